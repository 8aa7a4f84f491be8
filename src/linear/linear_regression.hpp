#pragma once

#include "core/regressor.hpp"
#include "linear/feature_slots.hpp"
#include "linear/weight_row.hpp"

namespace tarvo {

// Linear regression by stochastic gradient descent on the squared error:
// the error and every per-feature gradient are clipped to [-10, 10] (a NaN
// error clips to 10), the weights are shrunk by l2, the bias is not.
// Untrained, it predicts 0.
class LinearRegression final : public IRegressor {
public:
    explicit LinearRegression(double learning_rate = 0.01, double l2 = 0.0) noexcept
        : learning_rate(learning_rate), l2(l2) {}

    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameters, read by every learn_one.
    double learning_rate;
    double l2;

private:
    FeatureSlots features_;
    WeightRow model_;
    SlotSample sample_;
};

}  // namespace tarvo
