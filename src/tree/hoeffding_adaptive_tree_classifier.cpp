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
      drift_detector_(drift_delta_),
      warning_detector_(warning_delta_) {
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> HoeffdingAdaptiveTreeClassifier::build_tree() const {
    return std::make_unique<HoeffdingTreeClassifier>(grace_period, split_confidence, tie_threshold,
                                                     nb_threshold, max_depth, split_criterion);
}

void HoeffdingAdaptiveTreeClassifier::learn_one(const FeatureMap& x, int y) {
    const int predicted = main_tree_->predict_one(x);
    main_tree_->learn_one(x, y);
    if (background_tree_) {
        background_tree_->learn_one(x, y);
    }
    const double error = predicted == y ? 0.0 : 1.0;

    // ADWIN reports any change of the mean error, a fall as well as a rise;
    // only a rise (a larger estimate after the update) is acted on, so that a
    // tree that is getting better is kept.
    const double warning_before = warning_detector_.estimation();
    warning_detector_.update(error);
    if (warning_detector_.drift_detected() && warning_detector_.estimation() > warning_before &&
        !background_tree_) {
        background_tree_ = build_tree();
        warning_detector_ = ADWIN(warning_delta);
    }

    const double drift_before = drift_detector_.estimation();
    drift_detector_.update(error);
    if (drift_detector_.drift_detected() && drift_detector_.estimation() > drift_before) {
        main_tree_ = background_tree_ ? std::move(background_tree_) : build_tree();
        background_tree_.reset();
        drift_detector_ = ADWIN(drift_delta);
        warning_detector_ = ADWIN(warning_delta);
    }
}

int HoeffdingAdaptiveTreeClassifier::predict_one(const FeatureMap& x) {
    return main_tree_->predict_one(x);
}

ProbabilityMap HoeffdingAdaptiveTreeClassifier::predict_proba_one(const FeatureMap& x) {
    return main_tree_->predict_proba_one(x);
}

void HoeffdingAdaptiveTreeClassifier::reset() {
    main_tree_ = build_tree();
    background_tree_.reset();
    drift_detector_ = ADWIN(drift_delta);
    warning_detector_ = ADWIN(warning_delta);
}

}  // namespace tarvo
