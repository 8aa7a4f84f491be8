#pragma once

namespace tarvo {

// Running Gaussian summary of one feature's values within one class at a
// leaf: count, mean, sum of squared deviations, and the extremes.
struct GaussianStats {
    double n = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double min = 0.0;
    double max = 0.0;

    void update(double v) noexcept;

    // m2 / (n - 1) once n > 1, else 0.
    [[nodiscard]] double variance() const noexcept;
    [[nodiscard]] double std_dev() const noexcept;

    // Normal density at t; 0 below two values; a zero variance puts 1 on the
    // mean and 0 elsewhere.
    [[nodiscard]] double density(double t) const noexcept;
};

// Standard normal distribution function, (1 + erf(z / sqrt 2)) / 2.
[[nodiscard]] double normal_cdf(double z) noexcept;

}  // namespace tarvo
