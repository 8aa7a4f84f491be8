#include "ensemble/leveraging_bagging_regressor.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/archive.hpp"
#include "ensemble/member_learning.hpp"
#include "ensemble/member_trees.hpp"

namespace tarvo {

LeveragingBaggingRegressor::~LeveragingBaggingRegressor() = default;

LeveragingBaggingRegressor::LeveragingBaggingRegressor(std::int32_t n_models_, std::int32_t seed_,
                                                       double lambda_value_, double drift_delta_,
                                                       std::int32_t grace_period_,
                                                       std::int32_t max_depth_,
                                                       double split_confidence_,
                                                       std::string leaf_prediction_)
    : Forest({n_models_, seed_, lambda_value_, drift_delta_, grace_period_, max_depth_}),
      split_confidence(split_confidence_),
      leaf_prediction(std::move(leaf_prediction_)) {
    reset();
}

std::unique_ptr<FIMTDDRegressor> LeveragingBaggingRegressor::make_member_tree(
    std::size_t index) const {
    // Member i's tree, first or replacement, starts from seed + i (wrapping).
    const auto tree_seed = static_cast<std::int32_t>(static_cast<std::uint32_t>(seed) +
                                                     static_cast<std::uint32_t>(index));
    auto tree = std::make_unique<FIMTDDRegressor>(grace_period, split_confidence,
                                                  kMemberTieThreshold, max_depth, leaf_prediction);
    tree->seed = tree_seed;
    tree->reset();
    return tree;
}

LBRegressorMember LeveragingBaggingRegressor::fresh_member(std::size_t i) const {
    LBRegressorMember m(*this);
    m.tree = make_member_tree(i);
    return m;
}

std::size_t LeveragingBaggingRegressor::member_count() const {
    if (n_models > kMaxForestMembers) {
        (void)forest_size(n_models);  // throws, naming n_models
    }
    if (n_models < 0) {
        // Refused before anything changes; length_error, as reserving a negative count fails.
        throw std::length_error("n_models must be at least 0, got " + std::to_string(n_models));
    }
    return static_cast<std::size_t>(n_models);
}

void LeveragingBaggingRegressor::reset() {
    Forest::reset();
    targets_ = RunningSums{};
}

double LeveragingBaggingRegressor::error_scale() const noexcept {
    const double variance = targets_.population_variance();
    return targets_.count > 1.0 && variance > 0.0 ? std::sqrt(variance) : 1.0;
}

LeveragingBaggingRegressor::Row LeveragingBaggingRegressor::begin_row(const FeatureMap& x,
                                                                      double y) {
    TrainingWeights weights = training_weights();
    targets_.update(y);  // the current target counts in the scale
    return Row{{x, y, {}, std::move(weights)}, error_scale()};
}

void LeveragingBaggingRegressor::learn_member(std::size_t i, const Row& row, int weight) {
    LBRegressorMember& m = members_[i];
    // A drift replaces the member after it has learnt.
    m.learn(row.x, row.y, weight, answer_error(*m.tree, row.x, row.y) / row.scale, drift_delta,
            [&] { return make_member_tree(i); });
}

template <class Archive>
void LeveragingBaggingRegressor::fields(Archive& ar) {
    params(ar);
    ar.param("split_confidence", split_confidence);
    ar.param("leaf_prediction", leaf_prediction);
    ar(targets_);
    state_fields(ar);
}

TARVO_ARCHIVE_FIELDS(LeveragingBaggingRegressor);

}  // namespace tarvo
