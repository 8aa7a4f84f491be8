#pragma once

#include <cmath>

namespace tarvo {

// z kept within [-bound, bound]: fmin then fmax, so a NaN z becomes +bound.
[[nodiscard]] inline double clamp_symmetric(double z, double bound) noexcept {
    return std::fmax(std::fmin(z, bound), -bound);
}

}  // namespace tarvo
