#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/feature_map.hpp"
#include "core/fresh_container.hpp"
#include "core/running_stats.hpp"

namespace tarvo {

// A value standardised by running sums: (v - mean) / (3 sd) with the
// population sd, usable once two values with some spread were seen; 0 and
// not usable otherwise.
struct Standardised {
    double value;
    bool usable;
};
[[nodiscard]] Standardised standardise(const RunningSums& sums, double v) noexcept;

// A feature's number in a tree's feature table, given in order of first
// appearance; kNoFeature for a name the table does not hold.
using FeatureNumber = std::uint32_t;
inline constexpr FeatureNumber kNoFeature = std::numeric_limits<FeatureNumber>::max();

// One feature of a sample with its value standardised by the global
// statistics.
struct ScaledFeature {
    FeatureNumber index;
    double value;
    Standardised scaled;
};

// Statistics of every target and feature value a tree has learnt, which put
// the leaf models' inputs and outputs on a common scale: three standard
// deviations on either side of the mean map to -1 and 1. The table also
// numbers the features, so that leaves key their per-feature state by number.
class GlobalScale {
public:
    struct Feature {
        RunningSums sums;
        FeatureNumber index = kNoFeature;

        template <class Archive>
        void fields(Archive& ar) {
            ar(sums, index);
        }
    };

    RunningSums target;
    std::unordered_map<std::string, Feature> features;

    // Folds y and x in, then lists x's features (in the sample's order)
    // standardised by the updated statistics. Throws std::length_error beyond
    // 2^32 - 1 feature names.
    void learn(const FeatureMap& x, double y, std::vector<ScaledFeature>& scaled);

    // Lists x's features standardised by the current statistics; a feature
    // never learnt is not usable. Changes nothing.
    void scale(const FeatureMap& x, std::vector<ScaledFeature>& scaled) const;

    // The name of a feature by its number.
    [[nodiscard]] const std::string& name(FeatureNumber index) const noexcept { return *names_[index]; }

    // The target standardised; 0 when the target statistics are not usable.
    [[nodiscard]] double scaled_target(double y) const noexcept { return standardise(target, y).value; }

    // The mean of the targets; 0 before any.
    [[nodiscard]] double target_mean() const noexcept {
        return target.count > 0.0 ? target.mean() : 0.0;
    }

    // A standardised score back on the target's scale (mean + 3 a sd); the
    // target mean when the statistics are not usable.
    [[nodiscard]] double unscale_target(double a) const noexcept;

    // Every field, for saving and restoring (core/archive.hpp); the numbers
    // must be 0 .. size - 1, each once.
    template <class Archive>
    void fields(Archive& ar);

    void clear() noexcept {
        target = RunningSums{};
        replace_with_empty(features);
        names_.clear();
    }

private:
    std::vector<const std::string*> names_;  // keys of `features` by number
};

}  // namespace tarvo
