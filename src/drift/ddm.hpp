#pragma once

#include <cstdint>

namespace tarvo {

// Drift detection method (Gama, Medas, Castillo and Rodrigues, 2004) on a
// classifier's error stream.
//
// After n updates the error rate is p (the running mean of the values) and
// its deviation s = sqrt(p (1 - p) / n). From update min_num_instances on,
// the least p + s seen so far is kept as (p_min, s_min); p + s at or above
// p_min + warning_level s_min raises the warning, at or above
// p_min + out_control_level s_min a drift. The update after a drift starts
// afresh.
//
// The least p + s is taken only among states with s > 0: right after a run
// of right predictions p_min = s_min = 0, and every later state would be a
// drift at the first error. A stream that starts with right predictions
// therefore has its first minimum at its first error.
class DDM {
public:
    explicit DDM(int min_num_instances = 30, double warning_level = 2.0, double out_control_level = 3.0);

    // Updates before the test starts (the test runs from this update on).
    int min_num_instances;
    // Deviations above the minimum that raise the warning and the drift.
    double warning_level;
    double out_control_level;

    // One error in [0, 1] (1 wrong, 0 right; a fraction counts as that
    // share of an error). Throws std::invalid_argument outside [0, 1] or
    // for NaN, before anything changes.
    void update(double value);
    void reset() noexcept;

    // Whether the last update raised a drift; the warning is off then.
    [[nodiscard]] bool drift_detected() const noexcept { return drift_detected_; }
    [[nodiscard]] bool warning_detected() const noexcept { return warning_detected_; }
    // The error rate since the last reset.
    [[nodiscard]] double estimation() const noexcept { return p_; }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    std::int64_t n_ = 0;
    double p_ = 0.0;
    double p_min_ = 0.0;
    double s_min_ = 0.0;
    bool has_min_ = false;
    bool drift_detected_ = false;
    bool warning_detected_ = false;
};

}  // namespace tarvo
