#include "baselines/mean_regressor.hpp"

#include "core/archive.hpp"

namespace tarvo {

void MeanRegressor::learn_one(const FeatureMap& /*x*/, double y) { mean_.update_dividing(y); }

double MeanRegressor::predict_one(const FeatureMap& /*x*/) { return mean_.mean; }

void MeanRegressor::reset() { mean_ = RunningMean{}; }

template <class Archive>
void MeanRegressor::fields(Archive& ar) {
    ar(mean_);
    ar.check(mean_.count >= 0.0, "the count is negative");
}

TARVO_ARCHIVE_FIELDS(MeanRegressor);

}  // namespace tarvo
