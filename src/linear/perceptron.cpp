#include "linear/perceptron.hpp"

#include "core/archive.hpp"
#include "linear/probabilities.hpp"
#include "linear/raw_score_rule.hpp"

namespace tarvo {

void Perceptron::learn_one(const FeatureMap& x, int y) {
    const std::size_t truth = weights_.register_label(y);
    weights_.score_all(x, scratch_);
    std::size_t guess = first_greatest(scratch_.scores);
    if (guess == kNoPosition) {
        guess = 0;
    }
    if (guess == truth) {
        return;
    }
    weights_.features().claim(scratch_.sample);
    WeightRow& towards = weights_.at(truth).row;
    WeightRow& away = weights_.at(guess).row;
    const double rate = learning_rate;
    for (const SlotSample::Entry& e : scratch_.sample.entries) {
        towards.weights.at(e.slot) += rate * e.value;
        away.weights.at(e.slot) -= rate * e.value;
    }
    towards.bias += rate;
    away.bias -= rate;
}

int Perceptron::predict_one(const FeatureMap& x) {
    return raw_score_label(weights_, x, scratch_);
}

ProbabilityMap Perceptron::predict_proba_one(const FeatureMap& x) {
    return raw_score_probabilities(weights_, x, scratch_);
}

void Perceptron::reset() {
    weights_.clear();
}

template <class Archive>
void Perceptron::fields(Archive& ar) {
    ar.param("learning_rate", learning_rate);
    ar(weights_);
}

TARVO_ARCHIVE_FIELDS(Perceptron);

}  // namespace tarvo
