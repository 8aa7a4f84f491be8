#pragma once

namespace tarvo {

// Running mean and sum of squared deviations with a fixed number of degrees of
// freedom removed from the variance. Shared by R2, EDDM and the feature
// selectors; distinct from RunningStats (no fused multiply-add, and the mean
// advances by the reciprocal of the count times the deviation).
struct RunningVariance {
    double count = 0.0;
    double mean = 0.0;
    double m2 = 0.0;
    double ddof = 1.0;

    void update(double x) noexcept;
    // The same with the mean advanced by the deviation divided by the count;
    // the two forms can differ in the last bit. EDDM folds its distances in
    // this way.
    void update_dividing(double x) noexcept;

    // m2 / (count - ddof) once count exceeds ddof, else 0.0.
    [[nodiscard]] double variance() const noexcept;

    void reset() noexcept { *this = RunningVariance{}; }
};

}  // namespace tarvo
