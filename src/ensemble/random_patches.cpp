#include "ensemble/random_patches.hpp"

#include <cmath>
#include <random>

#include "core/random.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

namespace {
constexpr std::uint32_t kPatchSeedStep = 7919;
}  // namespace

TrainingWeights patch_weights(TrainingMethodChoice method, double lambda_value) {
    return draws_weights(method) ? TrainingWeights(lambda_value) : TrainingWeights();
}

std::size_t patch_size(double fraction, std::size_t n) noexcept {
    const double count = static_cast<double>(n);
    double k = std::round(fraction * count);
    if (!(k > 0.0)) {
        k = 0.0;
    }
    if (k > count) {
        k = count;
    }
    return k < 1.0 ? 1 : static_cast<std::size_t>(k);
}

std::vector<std::string> draw_patch(std::int32_t seed, std::size_t index, const FeatureMap& x,
                                    double fraction) {
    std::mt19937 local;
    seed_generator(local, member_seed(seed, kPatchSeedStep, index, 0.0));
    const std::size_t k = patch_size(fraction, x.size());
    std::vector<std::string> names = select_subspace(local, x, [k](std::size_t) { return k; });
    // Only an empty sample has fewer names than the patch keeps.
    names.resize(k);
    sort_names(names);
    return names;
}

}  // namespace tarvo
