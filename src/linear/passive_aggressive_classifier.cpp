#include "linear/passive_aggressive_classifier.hpp"

#include "core/archive.hpp"

#include <cmath>

#include "linear/probabilities.hpp"
#include "linear/raw_score_rule.hpp"

namespace tarvo {

void PassiveAggressiveClassifier::learn_one(const FeatureMap& x, int y) {
    const std::size_t truth = weights_.register_label(y);
    weights_.score_all(x, scratch_);
    // Ties go to the smaller rival; NaN and -infinity never make one.
    const std::size_t rival = first_greatest(scratch_.scores, truth);
    if (rival == kNoPosition) {
        return;
    }
    // A NaN margin counts as no loss.
    const double loss = std::fmax(scratch_.scores[rival] - scratch_.scores[truth] + 1.0, 0.0);
    if (loss == 0.0) {
        return;
    }
    // 2 (|x|^2 + 1): the squared norm of the joint update, the sample on both
    // rows plus one unit of bias on each.
    const double tau = std::fmin(loss / (2.0 * (scratch_.sample.squared_norm() + 1.0)), C);
    weights_.features().claim(scratch_.sample);
    WeightRow& towards = weights_.at(truth).row;
    WeightRow& away = weights_.at(rival).row;
    for (const SlotSample::Entry& e : scratch_.sample.entries) {
        towards.weights.at(e.slot) += tau * e.value;
        away.weights.at(e.slot) -= tau * e.value;
    }
    towards.bias += tau;
    away.bias -= tau;
}

int PassiveAggressiveClassifier::predict_one(const FeatureMap& x) {
    return raw_score_label(weights_, x, scratch_);
}

ProbabilityMap PassiveAggressiveClassifier::predict_proba_one(const FeatureMap& x) {
    return raw_score_probabilities(weights_, x, scratch_);
}

void PassiveAggressiveClassifier::reset() {
    weights_.clear();
}

template <class Archive>
void PassiveAggressiveClassifier::fields(Archive& ar) {
    ar.param("C", C);
    ar(weights_);
}

TARVO_ARCHIVE_FIELDS(PassiveAggressiveClassifier);

}  // namespace tarvo
