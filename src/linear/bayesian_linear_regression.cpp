#include "linear/bayesian_linear_regression.hpp"

#include "core/archive.hpp"
#include "linear/clamp.hpp"

namespace tarvo {

void BayesianLinearRegression::learn_one(const FeatureMap& x, double y) {
    features_.resolve_claiming(x, sample_);
    const double error = clamp_symmetric(y - means_.score(sample_), 10.0);
    const double b = beta;
    beta_sum_ += b;
    // beta 0 keeps the sum at 0 and makes the bias NaN (0 times infinity).
    means_.bias += (b / beta_sum_) * error;
    const double prior = alpha;
    for (const SlotSample::Entry& e : sample_.entries) {
        const double* known = precisions_.find(e.slot);
        const double precision = (known != nullptr ? *known : prior) + b * (e.value * e.value);
        double& mean = means_.weights.at(e.slot);
        mean = mean + clamp_symmetric(error * e.value * b / precision, 10.0);
        precisions_.at(e.slot) = precision;
    }
}

double BayesianLinearRegression::predict_one(const FeatureMap& x) {
    features_.resolve(x, sample_);
    return means_.score(sample_);
}

void BayesianLinearRegression::reset() {
    features_.clear();
    means_.clear();
    precisions_.clear();
    beta_sum_ = 0.0;
}

template <class Archive>
void BayesianLinearRegression::fields(Archive& ar) {
    ar.param("alpha", alpha);
    ar.param("beta", beta);
    ar(features_, means_, precisions_, beta_sum_);
    if constexpr (Archive::kLoading) {
        const std::size_t n = features_.size();
        ar.check(means_.weights.slots_below(n) && precisions_.slots_below(n),
                 "a weight belongs to no known feature");
    }
}

TARVO_ARCHIVE_FIELDS(BayesianLinearRegression);

}  // namespace tarvo
