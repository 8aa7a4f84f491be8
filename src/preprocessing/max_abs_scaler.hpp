#pragma once

#include <string>
#include <unordered_map>

#include "core/fresh_container.hpp"
#include "core/transformer.hpp"

namespace tarvo {

// Divides every feature by its running maximum absolute value, not clipped. A
// feature never learnt, or learnt only as zeros, maps to 0.0.
class MaxAbsScaler final : public ITransformer {
public:
    MaxAbsScaler() = default;

    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    [[nodiscard]] FeatureMap transform_one(const FeatureMap& x) override;
    void transform_in_place(FeatureMap& x) override;
    void reset() override { replace_with_empty(stats_); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    std::unordered_map<std::string, double> stats_;  // name -> largest |v| so far
};

}  // namespace tarvo
