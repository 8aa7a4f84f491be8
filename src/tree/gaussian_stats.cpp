#include "tree/gaussian_stats.hpp"

#include <cmath>

namespace tarvo {

namespace {
constexpr double kTwoPi = 6.283185307179586;
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

double GaussianStats::variance() const noexcept {
    return n > 1.0 ? m2 / (n - 1.0) : 0.0;
}

double GaussianStats::std_dev() const noexcept {
    return std::sqrt(variance());
}

double GaussianStats::density(double t) const noexcept {
    if (n < 2.0) {
        return 0.0;
    }
    const double v = variance();
    if (v <= 0.0) {
        return mean == t ? 1.0 : 0.0;
    }
    const double d = t - mean;
    return std::exp(-(d * d) / (2.0 * v)) / std::sqrt(kTwoPi * v);
}

double normal_cdf(double z) noexcept {
    return (1.0 + std::erf(z / kSqrt2)) / 2.0;
}

}  // namespace tarvo
