#pragma once

#include <cstdint>

#include "core/running_stats.hpp"

namespace tarvo {

// Early drift detection on a classifier's error stream (1 = wrong prediction,
// anything else = right). Tracks the distance in updates between consecutive
// errors: its running mean plus two standard deviations falling below `alpha`
// of the highest value seen raises a warning, below `beta` a drift. The update
// after a drift starts afresh, warm-up included.
class EDDM {
public:
    // Throws std::invalid_argument when alpha < beta.
    explicit EDDM(int warm_start = 30, double alpha = 0.95, double beta = 0.9);

    // Updates and errors that must be seen before a flag can be raised.
    int warm_start;
    // Warning and drift thresholds on the ratio to the highest value seen.
    double alpha;
    double beta;

    void update(int x) noexcept;
    void reset() noexcept;

    [[nodiscard]] bool drift_detected() const noexcept { return drift_detected_; }
    [[nodiscard]] bool warning_detected() const noexcept { return warning_detected_; }

private:
    RunningVariance distances_;
    std::int64_t n_samples_ = 0;
    std::int64_t last_error_ = 0;
    std::int64_t n_errors_ = 0;
    double max_m2s_ = -1.0;
    bool drift_detected_ = false;
    bool warning_detected_ = false;
};

}  // namespace tarvo
