#pragma once

#include <optional>
#include <string>
#include <unordered_map>

#include "core/fresh_container.hpp"
#include "core/transformer.hpp"

namespace tarvo {

// Maps every feature by its running minimum and maximum: (v - min) / (max -
// min), not clipped. A feature never learnt, or with a zero range, maps to 0.0.
class MinMaxScaler final : public ITransformer {
public:
    MinMaxScaler() = default;

    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    [[nodiscard]] FeatureMap transform_one(const FeatureMap& x) override;
    void transform_in_place(FeatureMap& x) override;
    void reset() override { replace_with_empty(stats_); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    struct FeatureRange {
        std::optional<double> min;
        std::optional<double> max;

        template <class Archive>
        void fields(Archive& ar) {
            ar(min, max);
        }
    };

    std::unordered_map<std::string, FeatureRange> stats_;
};

}  // namespace tarvo
