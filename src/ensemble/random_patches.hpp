#pragma once

// How the members of a streaming random patches ensemble get their patch of
// the data: a fixed random subset of the feature names, Poisson-weighted
// resampling of the samples, or both.

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/feature_map.hpp"
#include "core/random.hpp"
#include "core/text_option.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

// "subspaces": a feature subset per member, every sample learnt once;
// "resampling": every feature, Poisson weights; any other text ("patches"):
// both.
enum class TrainingMethodChoice { kPatches, kSubspaces, kResampling };
[[nodiscard]] inline TrainingMethodChoice parse_training_method(std::string_view text) noexcept {
    if (text == "subspaces") {
        return TrainingMethodChoice::kSubspaces;
    }
    return text == "resampling" ? TrainingMethodChoice::kResampling
                                : TrainingMethodChoice::kPatches;
}
using TrainingMethodOption = TextOption<TrainingMethodChoice, parse_training_method>;

[[nodiscard]] constexpr bool draws_subspaces(TrainingMethodChoice c) noexcept {
    return c != TrainingMethodChoice::kResampling;
}
[[nodiscard]] constexpr bool draws_weights(TrainingMethodChoice c) noexcept {
    return c != TrainingMethodChoice::kSubspaces;
}

// The training weights of the members in one learning step: Poisson counts
// when the method resamples, else 1 (and no draw). Throws
// std::invalid_argument naming lambda_value when the method resamples and
// lambda_value is NaN or infinite.
[[nodiscard]] TrainingWeights patch_weights(TrainingMethodChoice method, double lambda_value);

// Features a patch keeps out of n: fraction * n rounded half away from zero
// (a negative or NaN product keeps none), at most n, at least 1.
[[nodiscard]] std::size_t patch_size(double fraction, std::size_t n) noexcept;

// The feature names of member `index`'s patch, from its first sample x: the
// sorted names of x shuffled with a generator of the member's own, seeded
// with seed + 7919 * (index + 1) (32-bit wrap-around), cut to patch_size
// names and sorted again. An empty x gives a single empty name, so that the
// member sees no feature rather than every feature.
[[nodiscard]] std::vector<std::string> draw_patch(std::int32_t seed, std::size_t index,
                                                  const FeatureMap& x, double fraction);

}  // namespace tarvo
