#pragma once

#include <cmath>

namespace tarvo {

// Running mean and sum of squared deviations of a stream of values
// (Welford's method).
struct RunningStats {
    double n = 0.0;
    double mean = 0.0;
    double m2 = 0.0;

    void update(double v) noexcept {
        n += 1.0;
        const double delta = v - mean;
        mean += delta / n;
        m2 = std::fma(delta, v - mean, m2);
    }

    // Sample variance; only meaningful once n > 1.
    [[nodiscard]] double sample_variance() const noexcept { return m2 / (n - 1.0); }
};

}  // namespace tarvo
