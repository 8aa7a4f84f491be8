#include "linear/passive_aggressive_regressor.hpp"

#include "core/archive.hpp"

#include <cmath>

namespace tarvo {

void PassiveAggressiveRegressor::learn_one(const FeatureMap& x, double y) {
    features_.resolve(x, sample_);
    const double residual = y - model_.score(sample_);
    // A NaN residual (or epsilon) counts as no loss.
    const double loss = std::fmax(std::fabs(residual) - epsilon, 0.0);
    if (loss == 0.0) {
        return;
    }
    const double sign = residual > 0.0 ? 1.0 : -1.0;
    const double tau = std::fmin(loss / (1.0 + sample_.squared_norm()), C);
    features_.claim(sample_);
    const double step = sign * tau;
    for (const SlotSample::Entry& e : sample_.entries) {
        model_.weights.at(e.slot) += step * e.value;
    }
    model_.bias += step;
}

double PassiveAggressiveRegressor::predict_one(const FeatureMap& x) {
    features_.resolve(x, sample_);
    return model_.score(sample_);
}

void PassiveAggressiveRegressor::reset() {
    features_.clear();
    model_.clear();
}

template <class Archive>
void PassiveAggressiveRegressor::fields(Archive& ar) {
    ar.param("C", C);
    ar.param("epsilon", epsilon);
    ar(features_, model_);
    if constexpr (Archive::kLoading) {
        ar.check(model_.weights.slots_below(features_.size()),
                 "a weight belongs to no known feature");
    }
}

TARVO_ARCHIVE_FIELDS(PassiveAggressiveRegressor);

}  // namespace tarvo
