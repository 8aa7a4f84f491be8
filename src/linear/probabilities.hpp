#pragma once

#include <cstddef>
#include <vector>

#include "core/feature_map.hpp"
#include "linear/class_weights.hpp"

namespace tarvo {

// exp(score) / the sum of exp(score) for every score, into `out`.
//
// The exponentials are taken of the raw scores, and whenever their sum is a
// normal positive number the result is exactly that. When the sum overflows
// (a score above about 709) or underflows to zero or a subnormal number
// (every score below about -708), the same ratios are computed with every
// score shifted by the greatest, so that the answer is still a distribution;
// scores equal to the greatest (infinite ones included) then share its
// weight. A NaN sum (a NaN score) leaves the exponentials unnormalised.
void normalised_exponentials(const std::vector<double>& scores, std::vector<double>& out);

// Softmax with the shift always applied, in place: exp(score - greatest
// score), divided by their sum when the sum is positive, left unnormalised
// otherwise (the greatest ignores NaN scores).
void shifted_softmax(std::vector<double>& values);

// Position of the greatest value, visiting in order from -infinity and
// replacing only on a strictly greater value, so the first of tied values
// wins and NaN never does. `skip` is passed over. Returns kNoPosition when no
// value exceeds -infinity.
inline constexpr std::size_t kNoPosition = static_cast<std::size_t>(-1);
[[nodiscard]] std::size_t first_greatest(const std::vector<double>& values,
                                         std::size_t skip = kNoPosition) noexcept;

// One entry per class: label -> value, the values given in visiting order.
[[nodiscard]] ProbabilityMap probability_map(const ClassWeights& classes,
                                             const std::vector<double>& values);

}  // namespace tarvo
