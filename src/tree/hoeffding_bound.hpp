#pragma once

namespace tarvo {

// The Hoeffding bound: with probability 1 - confidence, the mean of n
// observations of a variable of the given range lies within this distance of
// its true mean. sqrt(range^2 * ln(1 / confidence) / (2 n)).
[[nodiscard]] double hoeffding_bound(double range, double confidence, double n) noexcept;

}  // namespace tarvo
