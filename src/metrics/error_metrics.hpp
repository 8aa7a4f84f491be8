#pragma once

#include "core/running_stats.hpp"

namespace tarvo {

// Mean absolute error |y_true - y_pred|.
class MAE {
public:
    void update(double y_true, double y_pred) noexcept;
    [[nodiscard]] double get() const noexcept { return errors_.mean; }
    void reset() noexcept { errors_ = RunningMean{}; }

private:
    RunningMean errors_;
};

// Square root of the mean squared error.
class RMSE {
public:
    void update(double y_true, double y_pred) noexcept;
    [[nodiscard]] double get() const noexcept;
    void reset() noexcept { errors_ = RunningMean{}; }

private:
    RunningMean errors_;
};

}  // namespace tarvo
