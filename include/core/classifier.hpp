#pragma once

#include "core/feature_map.hpp"

namespace tarvo {

// A supervised learner with an integer class label.
class IClassifier {
public:
    virtual ~IClassifier() = default;
    virtual void learn_one(const FeatureMap& x, int y) = 0;
    [[nodiscard]] virtual int predict_one(const FeatureMap& x) = 0;
    [[nodiscard]] virtual ProbabilityMap predict_proba_one(const FeatureMap& x) = 0;
    virtual void reset() = 0;

protected:
    IClassifier() = default;
    IClassifier(const IClassifier&) = default;
    IClassifier& operator=(const IClassifier&) = default;
};

}  // namespace tarvo
