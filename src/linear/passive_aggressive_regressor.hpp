#pragma once

#include "core/regressor.hpp"
#include "linear/feature_slots.hpp"
#include "linear/weight_row.hpp"

namespace tarvo {

// Passive-aggressive regression with an epsilon-insensitive loss and the
// step bounded by C: a residual larger than epsilon moves the weights and
// the bias towards the target by the smallest step that brings it within
// epsilon (at most C). Untrained, it predicts 0.
class PassiveAggressiveRegressor final : public IRegressor {
public:
    explicit PassiveAggressiveRegressor(double C = 1.0, double epsilon = 0.1) noexcept
        : C(C), epsilon(epsilon) {}

    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameters, read by every learn_one.
    double C;
    double epsilon;

private:
    FeatureSlots features_;
    WeightRow model_;
    SlotSample sample_;
};

}  // namespace tarvo
