#pragma once

// The trees that forest members are made of, built from a forest's settings.

#include <memory>

#include "ensemble/forest_settings.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace tarvo {

// A member tree's tie threshold, in every forest.
inline constexpr double kMemberTieThreshold = 0.05;

// A Hoeffding tree classifier with the forest's grace_period and max_depth,
// split_confidence, the member tie threshold, no naive Bayes leaves and the
// information gain criterion.
[[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> member_classifier_tree(
    const ForestSettings& settings, double split_confidence);

// A Hoeffding regression tree with the forest's grace_period and max_depth,
// split confidence 1e-7, the member tie threshold and learning_rate for its
// leaf models.
[[nodiscard]] std::unique_ptr<HoeffdingTreeRegressor> member_regressor_tree(
    const ForestSettings& settings, double learning_rate);

}  // namespace tarvo
