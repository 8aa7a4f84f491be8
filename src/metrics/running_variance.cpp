#include "metrics/running_variance.hpp"

namespace tarvo {

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

}  // namespace tarvo
