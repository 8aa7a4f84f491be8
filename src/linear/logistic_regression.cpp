#include "linear/logistic_regression.hpp"

#include "core/archive.hpp"

#include <cmath>

#include "linear/clamp.hpp"
#include "linear/raw_score_rule.hpp"

namespace tarvo {

void LogisticRegression::learn_one(const FeatureMap& x, int y) {
    weights_.register_label(y);
    weights_.features().resolve_claiming(x, scratch_.sample);
    const double rate = learning_rate;
    const double decay = l2;
    for (std::size_t i = 0; i < weights_.size(); ++i) {
        ClassWeights::Class& c = weights_.at(i);
        const double s = c.row.score(scratch_.sample);
        const double target = c.label == y ? 1.0 : 0.0;
        const double g = target - 1.0 / (1.0 + std::exp(-clamp_symmetric(s, 500.0)));
        for (const SlotSample::Entry& e : scratch_.sample.entries) {
            double& w = c.row.weights.at(e.slot);
            w = w + rate * (g * e.value - decay * w);
        }
        c.row.bias += rate * g;
    }
}

int LogisticRegression::predict_one(const FeatureMap& x) {
    return raw_score_label(weights_, x, scratch_);
}

ProbabilityMap LogisticRegression::predict_proba_one(const FeatureMap& x) {
    return raw_score_probabilities(weights_, x, scratch_);
}

void LogisticRegression::reset() {
    weights_.clear();
}

template <class Archive>
void LogisticRegression::fields(Archive& ar) {
    ar.param("learning_rate", learning_rate);
    ar.param("l2", l2);
    ar(weights_);
}

TARVO_ARCHIVE_FIELDS(LogisticRegression);

}  // namespace tarvo
