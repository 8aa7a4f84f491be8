#include "tree/hoeffding_adaptive_tree_classifier.hpp"

#include <utility>

namespace tarvo {

HoeffdingAdaptiveTreeClassifier::HoeffdingAdaptiveTreeClassifier(
    int grace_period_, double split_confidence_, double tie_threshold_, int nb_threshold_,
    int max_depth_, double drift_delta_, double warning_delta_, std::string split_criterion_)
    : grace_period(grace_period_),
      split_confidence(split_confidence_),
      tie_threshold(tie_threshold_),
      nb_threshold(nb_threshold_),
      max_depth(max_depth_),
      split_criterion(std::move(split_criterion_)),
      drift_delta(drift_delta_),
      warning_delta(warning_delta_),
      trees_(drift_delta_, warning_delta_) {
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> HoeffdingAdaptiveTreeClassifier::build_tree() const {
    return std::make_unique<HoeffdingTreeClassifier>(grace_period, split_confidence, tie_threshold,
                                                     nb_threshold, max_depth, split_criterion);
}

void HoeffdingAdaptiveTreeClassifier::learn_one(const FeatureMap& x, int y) {
    const int predicted = trees_.model->predict_one(x);
    trees_.train([&](HoeffdingTreeClassifier& tree) { tree.learn_one(x, y); });
    // Only a rising error counts, so that a tree that is getting better is kept.
    trees_.watch(predicted == y ? 0.0 : 1.0, drift_delta, warning_delta,
                 Trees::Alarms::kRisingError, [this](Trees::Role) { return build_tree(); });
}

int HoeffdingAdaptiveTreeClassifier::predict_one(const FeatureMap& x) {
    return trees_.model->predict_one(x);
}

ProbabilityMap HoeffdingAdaptiveTreeClassifier::predict_proba_one(const FeatureMap& x) {
    return trees_.model->predict_proba_one(x);
}

void HoeffdingAdaptiveTreeClassifier::reset() {
    trees_.restart(build_tree(), drift_delta, warning_delta);
}

}  // namespace tarvo
