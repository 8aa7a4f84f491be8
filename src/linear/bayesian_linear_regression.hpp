#pragma once

#include "core/regressor.hpp"
#include "linear/feature_slots.hpp"
#include "linear/sparse_weights.hpp"
#include "linear/weight_row.hpp"

namespace tarvo {

// Diagonal Bayesian linear regression: every feature's weight has its own
// Gaussian posterior (prior precision alpha, noise precision beta), updated
// from the clipped residual of the sample; the posterior means are the
// weights used for prediction. The bias is the beta-weighted running mean of
// the clipped residuals. Untrained, it predicts 0.
class BayesianLinearRegression final : public IRegressor {
public:
    explicit BayesianLinearRegression(double alpha = 1.0, double beta = 1.0) noexcept
        : alpha(alpha), beta(beta) {}

    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameters, read by every learn_one.
    double alpha;
    double beta;

private:
    FeatureSlots features_;
    WeightRow means_;             // posterior means, and the bias
    SparseWeights precisions_;    // posterior precisions; absent = alpha
    double beta_sum_ = 0.0;
    SlotSample sample_;
};

}  // namespace tarvo
