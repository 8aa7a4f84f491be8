#include "core/running_stats.hpp"

namespace tarvo {

namespace {
constexpr double kSqrt2 = 1.4142135623730951;
}  // namespace

double normal_cdf(double z) noexcept {
    return (1.0 + std::erf(z / kSqrt2)) / 2.0;
}

void RunningVariance::update(double x) noexcept {
    count += 1.0;
    const double delta = x - mean;
    mean += (1.0 / count) * delta;
    m2 += delta * (x - mean);
}

void RunningVariance::update_dividing(double x) noexcept {
    count += 1.0;
    const double delta = x - mean;
    mean += delta / count;
    m2 += delta * (x - mean);
}

double RunningVariance::variance() const noexcept {
    return count > ddof ? m2 / (count - ddof) : 0.0;
}

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

}  // namespace tarvo
