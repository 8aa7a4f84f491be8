#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

#include "core/fresh_container.hpp"
#include "core/transformer.hpp"
#include "core/running_stats.hpp"

namespace tarvo {

// Drops the features whose running sample variance is not above threshold
// once they have been learnt min_samples times. Features never learnt, or
// learnt fewer times, are kept; a NaN variance counts as not above.
class VarianceThreshold final : public ITransformer {
public:
    explicit VarianceThreshold(double threshold = 0.0, std::int32_t min_samples = 2)
        : threshold(threshold), min_samples(min_samples) {}

    using ITransformer::learn_one;
    void learn_one(const FeatureMap& x) override;
    // The kept entries of x, values unchanged.
    [[nodiscard]] FeatureMap transform_one(const FeatureMap& x) override;
    void transform_in_place(FeatureMap& x) override;
    void reset() override { replace_with_empty(stats_); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameters, read at every transform.
    double threshold;
    std::int32_t min_samples;

private:
    [[nodiscard]] bool drops(const std::string& name) const;

    std::unordered_map<std::string, RunningVariance> stats_;
};

}  // namespace tarvo
