#include "metrics/window_regression_metric.hpp"

#include <algorithm>
#include <cmath>

#include "core/archive.hpp"

namespace tarvo {

void WindowRegressionMetric::update(double y_true, double y_pred) {
    if (ring_.window_size() == 0) {
        return;
    }
    ring_.prepare_push();
    const double e = y_true - y_pred;
    const Errors now{std::fabs(e), e * e};
    if (ring_.full()) {
        sum_abs_ -= ring_.oldest().abs;
        sum_sq_ -= ring_.oldest().sq;
    }
    ring_.push(now);
    sum_abs_ += now.abs;
    sum_sq_ += now.sq;

    since_recompute_ += 1;
    if (since_recompute_ == ring_.window_size()) {
        sum_abs_ = 0.0;
        sum_sq_ = 0.0;
        for (const Errors& slot : ring_.slots()) {
            sum_abs_ += slot.abs;
            sum_sq_ += slot.sq;
        }
        since_recompute_ = 0;
    }
}

double WindowRegressionMetric::mae() const noexcept {
    const int n = ring_.size();
    return n == 0 ? 0.0 : sum_abs_ / static_cast<double>(n);
}

double WindowRegressionMetric::rmse() const noexcept {
    const int n = ring_.size();
    return n == 0 ? 0.0 : std::sqrt(sum_sq_ / static_cast<double>(n));
}

void WindowRegressionMetric::reset() noexcept {
    ring_.clear();
    sum_abs_ = 0.0;
    sum_sq_ = 0.0;
    since_recompute_ = 0;
}

template <class Archive>
void WindowRegressionMetric::fields(Archive& ar) {
    int window_size = ring_.window_size();
    ar.param("window_size", window_size);
    if constexpr (Archive::kLoading) {
        ring_ = WindowRing<Errors>(window_size);
    }
    ar(ring_, sum_abs_, sum_sq_, since_recompute_);
    ar.check(since_recompute_ >= 0 && since_recompute_ < std::max(ring_.window_size(), 1),
             "the recomputation count is out of range");
}

TARVO_ARCHIVE_FIELDS(WindowRegressionMetric);

}  // namespace tarvo
