#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/feature_map.hpp"
#include "core/feature_numbering.hpp"
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

// One feature of a sample with its value standardised by the global
// statistics.
struct ScaledFeature {
    FeatureNumber index;
    double value;
    Standardised scaled;
};

// Statistics of every target and feature value a tree has learnt, which put
// the leaf models' inputs and outputs on a common scale: three standard
// deviations on either side of the mean map to -1 and 1. The features are
// numbered in order of first appearance, so that leaves key their per-feature
// state by number.
class GlobalScale {
public:
    RunningSums target;

    // Folds y and x in, then lists x's features (in the sample's order)
    // standardised by the updated statistics. Throws std::length_error beyond
    // 2^32 - 1 feature names.
    void learn(const FeatureMap& x, double y, std::vector<ScaledFeature>& scaled);

    // Lists x's features standardised by the current statistics; a feature
    // never learnt is not usable. Changes nothing.
    void scale(const FeatureMap& x, std::vector<ScaledFeature>& scaled) const;

    // How many features were learnt.
    [[nodiscard]] std::size_t size() const noexcept { return features_.size(); }

    // The name of a feature by its number.
    [[nodiscard]] const std::string& name(FeatureNumber index) const noexcept { return features_.name(index); }

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
        features_.clear();
    }

private:
    static constexpr NumberingBound kBound{kNoFeature, "too many feature names"};

    // Each feature's number and statistics.
    BasicFeatureNumbering<true, RunningSums> features_;
};

}  // namespace tarvo
