#pragma once

#include "core/regressor.hpp"
#include "core/running_stats.hpp"

namespace tarvo {

// The mean baseline: predicts the mean of every target learnt so far,
// whatever the features (0.0 before any). The mean advances by the deviation
// divided by the count; a NaN or infinite target makes it NaN or infinite
// until reset().
class MeanRegressor final : public IRegressor {
public:
    MeanRegressor() = default;

    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    RunningMean mean_;
};

}  // namespace tarvo
