#include "ensemble/forest_settings.hpp"

#include <cmath>
#include <stdexcept>
#include <string>

namespace tarvo {

std::size_t forest_size(std::int32_t n_models) {
    if (n_models > kMaxForestMembers) {
        throw std::invalid_argument("n_models must be at most " +
                                    std::to_string(kMaxForestMembers));
    }
    return n_models < 1 ? 1 : static_cast<std::size_t>(n_models);
}

PoissonParams training_weight(double lambda_value) {
    if (!std::isfinite(lambda_value) || lambda_value > kMaxTrainingWeightMean) {
        throw std::invalid_argument("lambda_value must be a finite number at most 1000");
    }
    return PoissonParams(lambda_value);
}

std::int32_t member_seed(std::int32_t seed, std::uint32_t step, std::size_t index,
                         double count) noexcept {
    constexpr double kTwo32 = 4294967296.0;
    // A count is whole and far below 2^53, so the remainder is exact; a
    // negative or NaN count never occurs and is taken as 0.
    double wrapped = std::fmod(std::trunc(count), kTwo32);
    if (!(wrapped >= 0.0)) {
        wrapped = 0.0;
    }
    const std::uint32_t sum = static_cast<std::uint32_t>(seed) +
                              step * static_cast<std::uint32_t>(index + 1) +
                              static_cast<std::uint32_t>(wrapped);
    return static_cast<std::int32_t>(sum);
}

}  // namespace tarvo
