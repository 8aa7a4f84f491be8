#pragma once

namespace tarvo {

// Running mean of a per-update error; the count is held as a double.
struct RunningMean {
    double count = 0.0;
    double mean = 0.0;

    void update(double x) noexcept {
        count += 1.0;
        mean += (1.0 / count) * (x - mean);
    }
};

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
