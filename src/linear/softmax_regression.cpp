#include "linear/softmax_regression.hpp"

#include "core/archive.hpp"

#include <cstddef>

#include "linear/probabilities.hpp"

namespace tarvo {

void SoftmaxRegression::probabilities(const FeatureMap& x) {
    weights_.score_all(x, scratch_);
    shifted_softmax(scratch_.scores);
}

void SoftmaxRegression::learn_one(const FeatureMap& x, int y) {
    weights_.register_label(y);
    probabilities(x);
    weights_.features().claim(scratch_.sample);
    const double rate = learning_rate;
    const double decay = l2;
    for (std::size_t i = 0; i < weights_.size(); ++i) {
        ClassWeights::Class& c = weights_.at(i);
        const double g = (c.label == y ? 1.0 : 0.0) - scratch_.scores[i];
        for (const SlotSample::Entry& e : scratch_.sample.entries) {
            double& w = c.row.weights.at(e.slot);
            w = w + rate * (g * e.value - decay * w);
        }
        c.row.bias += rate * g;
    }
}

int SoftmaxRegression::predict_one(const FeatureMap& x) {
    if (weights_.empty()) {
        return 0;
    }
    probabilities(x);
    const std::vector<double>& p = scratch_.scores;
    // Visiting the probability map from (smallest label, -1) keeps the first
    // greatest value in the map's order; all NaN leaves the smallest label.
    const std::size_t best = first_greatest(p);
    if (best == kNoPosition) {
        return weights_.classes().front().label;
    }
    std::size_t tied = 0;
    for (double v : p) {
        tied += (v == p[best]) ? 1 : 0;
    }
    if (tied == 1) {
        return weights_.classes()[best].label;
    }
    // Only the map's own order can break the tie.
    int answer = weights_.classes().front().label;
    double answer_p = -1.0;
    for (const auto& [label, value] : probability_map(weights_, p)) {
        if (value > answer_p) {
            answer = label;
            answer_p = value;
        }
    }
    return answer;
}

ProbabilityMap SoftmaxRegression::predict_proba_one(const FeatureMap& x) {
    if (weights_.empty()) {
        return {};
    }
    probabilities(x);
    return probability_map(weights_, scratch_.scores);
}

void SoftmaxRegression::reset() {
    weights_.clear();
}

template <class Archive>
void SoftmaxRegression::fields(Archive& ar) {
    ar.param("learning_rate", learning_rate);
    ar.param("l2", l2);
    ar(weights_);
}

TARVO_ARCHIVE_FIELDS(SoftmaxRegression);

}  // namespace tarvo
