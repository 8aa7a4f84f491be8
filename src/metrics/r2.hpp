#pragma once

#include "core/running_stats.hpp"

namespace tarvo {

// Coefficient of determination, 1 - SSE / total sum of squares of the true
// targets. Not clipped: negative when the predictions do worse than the mean.
class R2 {
public:
    void update(double y_true, double y_pred) noexcept;

    // 0.0 until two targets are seen, and while all targets are equal.
    [[nodiscard]] double get() const noexcept;

    void reset() noexcept {
        targets_.reset();
        sse_ = 0.0;
    }

private:
    RunningVariance targets_;
    double sse_ = 0.0;
};

}  // namespace tarvo
