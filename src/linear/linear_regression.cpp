#include "linear/linear_regression.hpp"

#include "core/archive.hpp"
#include "linear/clamp.hpp"

namespace tarvo {

void LinearRegression::learn_one(const FeatureMap& x, double y) {
    features_.resolve_claiming(x, sample_);
    const double error = clamp_symmetric(y - model_.score(sample_), 10.0);
    const double rate = learning_rate;
    const double decay = l2;
    for (const SlotSample::Entry& e : sample_.entries) {
        const double g = clamp_symmetric(error * e.value, 10.0);
        double& w = model_.weights.at(e.slot);
        w = w + rate * (g - decay * w);
    }
    model_.bias += rate * error;
}

double LinearRegression::predict_one(const FeatureMap& x) {
    features_.resolve(x, sample_);
    return model_.score(sample_);
}

void LinearRegression::reset() {
    features_.clear();
    model_.clear();
}

template <class Archive>
void LinearRegression::fields(Archive& ar) {
    ar.param("learning_rate", learning_rate);
    ar.param("l2", l2);
    ar(features_, model_);
    if constexpr (Archive::kLoading) {
        ar.check(model_.weights.slots_below(features_.size()),
                 "a weight belongs to no known feature");
    }
}

TARVO_ARCHIVE_FIELDS(LinearRegression);

}  // namespace tarvo
