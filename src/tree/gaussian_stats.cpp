#include "tree/gaussian_stats.hpp"

#include <cmath>

namespace tarvo {

namespace {
constexpr double kSqrt2 = 1.4142135623730951;
}  // namespace

void GaussianStats::update(double v) noexcept {
    if (n <= 0.0) {
        min = v;
        max = v;
    } else if (v < min) {
        min = v;
    } else if (v > max) {
        max = v;
    }
    n += 1.0;
    const double d = v - mean;
    mean += d / n;
    m2 += (v - mean) * d;
}

double normal_cdf(double z) noexcept {
    return (1.0 + std::erf(z / kSqrt2)) / 2.0;
}

}  // namespace tarvo
