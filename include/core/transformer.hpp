#pragma once

#include <string>
#include <vector>

#include "core/feature_map.hpp"

namespace tarvo {

// An online preprocessing step.
class ITransformer {
public:
    virtual ~ITransformer() = default;

    // Update the statistics from an unlabelled sample.
    virtual void learn_one(const FeatureMap& x) = 0;
    // Update from a sample with its target; by default the target is ignored.
    virtual void learn_one(const FeatureMap& x, double /*y*/) { learn_one(x); }
    // A transformed copy of x; x is untouched.
    [[nodiscard]] virtual FeatureMap transform_one(const FeatureMap& x) = 0;
    // The same transformation applied to x itself.
    virtual void transform_in_place(FeatureMap& x) = 0;
    // True when the transformer must be fed through learn_one(x, y).
    [[nodiscard]] virtual bool requires_target() const { return false; }
    // The canonical order of the feature names; ignored by default.
    virtual void set_feature_order(const std::vector<std::string>& /*names*/) {}
    virtual void reset() = 0;

protected:
    ITransformer() = default;
    ITransformer(const ITransformer&) = default;
    ITransformer& operator=(const ITransformer&) = default;
};

}  // namespace tarvo
