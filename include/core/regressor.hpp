#pragma once

#include "core/feature_map.hpp"

namespace tarvo {

// A supervised learner with a real-valued target.
class IRegressor {
public:
    virtual ~IRegressor() = default;
    virtual void learn_one(const FeatureMap& x, double y) = 0;
    [[nodiscard]] virtual double predict_one(const FeatureMap& x) = 0;
    virtual void reset() = 0;

protected:
    IRegressor() = default;
    IRegressor(const IRegressor&) = default;
    IRegressor& operator=(const IRegressor&) = default;
};

}  // namespace tarvo
