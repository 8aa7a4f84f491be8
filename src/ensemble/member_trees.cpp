#include "ensemble/member_trees.hpp"

namespace tarvo {

namespace {
constexpr double kMemberRegressorSplitConfidence = 1e-7;
}  // namespace

std::unique_ptr<HoeffdingTreeClassifier> member_classifier_tree(const ForestSettings& settings,
                                                                double split_confidence) {
    return std::make_unique<HoeffdingTreeClassifier>(settings.grace_period, split_confidence,
                                                     kMemberTieThreshold, 0, settings.max_depth,
                                                     "info_gain");
}

std::unique_ptr<HoeffdingTreeRegressor> member_regressor_tree(const ForestSettings& settings,
                                                              double learning_rate) {
    return std::make_unique<HoeffdingTreeRegressor>(settings.grace_period,
                                                    kMemberRegressorSplitConfidence,
                                                    kMemberTieThreshold, settings.max_depth,
                                                    learning_rate);
}

}  // namespace tarvo
