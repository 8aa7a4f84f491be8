#pragma once

#include <cstdint>

namespace tarvo {

// The Page-Hinkley test for a rise in the mean of a stream of numbers, with a
// fading factor (Page, 1954; Hinkley, 1971; the fading form of Gama, Sebastião
// and Rodrigues, 2013).
//
// After the t-th value x_t since the last reset, with mean_t the mean of
// x_1 .. x_t:
//     m_t = alpha m_{t-1} + (x_t - mean_t - delta),   m_0 = 0,
//     M_t = min(m_1, ..., m_t),
// and the update reports a drift when t >= min_instances and
// m_t - M_t > threshold (strictly). delta is the size of change tolerated;
// alpha < 1 lets old deviations fade. The update after a drift starts afresh.
// It tests rises only: feed it errors (or negated values for a fall).
class PageHinkleyDetector {
public:
    explicit PageHinkleyDetector(int min_instances = 30, double delta = 0.005, double threshold = 50.0,
                                 double alpha = 1.0 - 0.0001);

    // Updates before a drift can be reported.
    int min_instances;
    double delta;
    double threshold;
    double alpha;

    // One finite value; throws std::invalid_argument for NaN or an infinite
    // value, before anything changes.
    void update(double value);
    void reset() noexcept;

    [[nodiscard]] bool drift_detected() const noexcept { return drift_detected_; }
    // m_t - M_t after the last update (0.0 before any).
    [[nodiscard]] double statistic() const noexcept { return sum_ - min_; }
    // The mean of the values since the last reset (0.0 before any).
    [[nodiscard]] double estimation() const noexcept { return mean_; }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    std::int64_t n_ = 0;
    double mean_ = 0.0;
    double sum_ = 0.0;
    double min_ = 0.0;
    bool drift_detected_ = false;
};

}  // namespace tarvo
