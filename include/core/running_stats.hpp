#pragma once

// Running summaries of a stream of values: one family, one update per form.
// Where two users specify different operation orders the forms are kept
// apart, named for what they do, because they can differ in the last bit.

#include <cmath>

namespace tarvo {

// 2π, as every normal density here writes it.
inline constexpr double kTwoPi = 6.283185307179586;

// The normal density at distance d from the mean of a distribution with
// variance var > 0: exp(-d² / (2 var)) / sqrt(2π var).
[[nodiscard]] inline double normal_density(double d, double var) noexcept {
    return std::exp(-(d * d) / (2.0 * var)) / std::sqrt(kTwoPi * var);
}

// The same density with the exponent formed as -0.5 × d² / var. It equals
// normal_density except where d²/2 or 2·var leaves the normal range.
[[nodiscard]] inline double normal_density_halved(double d, double var) noexcept {
    return std::exp(-0.5 * (d * d) / var) / std::sqrt(kTwoPi * var);
}

// Standard normal distribution function, (1 + erf(z / sqrt 2)) / 2.
[[nodiscard]] double normal_cdf(double z) noexcept;

// Running mean; the mean advances by the reciprocal of the count times the
// deviation. The count is held as a double.
struct RunningMean {
    double count = 0.0;
    double mean = 0.0;

    void update(double x) noexcept {
        count += 1.0;
        mean += (1.0 / count) * (x - mean);
    }
    // The mean advances by the deviation divided by the count; the two forms
    // can differ in the last bit.
    void update_dividing(double x) noexcept {
        count += 1.0;
        mean += (x - mean) / count;
    }

    template <class Archive>
    void fields(Archive& ar) {
        ar(count, mean);
    }
};

// Running mean and sum of squared deviations with a fixed number of degrees
// of freedom removed from the variance (no fused multiply-add).
struct RunningVariance {
    double count = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double ddof = 1.0;

    // The mean advances by the reciprocal of the count times the deviation.
    void update(double x) noexcept;
    // The mean advances by the deviation divided by the count; the two forms
    // can differ in the last bit.
    void update_dividing(double x) noexcept;

    // m2 / (count - ddof) once count exceeds ddof, else 0.0.
    [[nodiscard]] double variance() const noexcept;

    void reset() noexcept { *this = RunningVariance{}; }

    template <class Archive>
    void fields(Archive& ar) {
        ar(count, mean, m2, ddof);
    }
};

// Welford's running mean and sum of squared deviations, the sum folded with
// one fused multiply-add.
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

    template <class Archive>
    void fields(Archive& ar) {
        ar(n, mean, m2);
    }
};

// Weighted running mean and weighted sum of squared deviations: a value v
// of weight w adds w to the weight; d = w (v - mean); the mean advances by
// d / weight and m2 by (v - new mean) d.
struct WeightedRunningStats {
    double weight = 0.0;
    double mean = 0.0;
    double m2 = 0.0;

    void update(double v, double w) noexcept {
        weight += w;
        const double d = w * (v - mean);
        mean += d / weight;
        m2 += (v - mean) * d;
    }

    // m2 / (weight - 1) once weight > 1, else 0.
    [[nodiscard]] double variance() const noexcept { return weight > 1.0 ? m2 / (weight - 1.0) : 0.0; }

    // The same summary with its weight and m2 scaled by `share`.
    [[nodiscard]] WeightedRunningStats scaled(double share) const noexcept {
        return {weight * share, mean, m2 * share};
    }

    template <class Archive>
    void fields(Archive& ar) {
        ar(weight, mean, m2);
    }
};

// Count, sum and sum of squares of a stream of values (no deviations kept):
// the population variance is (sum_sq - sum² / count) / count.
struct RunningSums {
    double count = 0.0;
    double sum = 0.0;
    double sum_sq = 0.0;

    void update(double v) noexcept {
        count += 1.0;
        sum += v;
        sum_sq += v * v;
    }

    [[nodiscard]] double mean() const noexcept { return sum / count; }
    [[nodiscard]] double population_variance() const noexcept {
        return (sum_sq - sum * sum / count) / count;
    }

    template <class Archive>
    void fields(Archive& ar) {
        ar(count, sum, sum_sq);
    }
};

// Running Gaussian summary with the extremes: count, mean, sum of squared
// deviations (no fused multiply-add), minimum and maximum.
struct GaussianStats {
    double n = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double min = 0.0;
    double max = 0.0;

    void update(double v) noexcept;

    // m2 / (n - 1) once n > 1, else 0.
    [[nodiscard]] double variance() const noexcept { return n > 1.0 ? m2 / (n - 1.0) : 0.0; }
    [[nodiscard]] double std_dev() const noexcept { return std::sqrt(variance()); }

    // Normal density at t; 0 below two values; a zero variance puts 1 on the
    // mean and 0 elsewhere.
    [[nodiscard]] double density(double t) const noexcept {
        if (n < 2.0) {
            return 0.0;
        }
        const double v = variance();
        if (v <= 0.0) {
            return mean == t ? 1.0 : 0.0;
        }
        return normal_density(t - mean, v);
    }

    template <class Archive>
    void fields(Archive& ar) {
        ar(n, mean, m2, min, max);
    }
};

}  // namespace tarvo
