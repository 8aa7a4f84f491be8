#pragma once

#include <cmath>

namespace tarvo::regression_tree {

// With probability 1 - confidence, the mean of n observations of a variable
// spanning `range` lies within this distance of its true mean.
[[nodiscard]] inline double hoeffding_bound(double range, double confidence, double n) noexcept {
    return std::sqrt(range * range * std::log(1.0 / confidence) / (2.0 * n));
}

}  // namespace tarvo::regression_tree
