#pragma once

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace tarvo {

// Kolmogorov-Smirnov windowing drift detector (Raab, Heusinger and Schleif,
// 2020) over a stream of numbers.
//
// The detector keeps the last window_size values. Each update that leaves the
// window full compares its newest stat_size values R with stat_size values W
// drawn uniformly without replacement from the older window_size - stat_size
// (a partial Fisher-Yates shuffle of their positions with the seeded
// generator: for i = 0 .. stat_size - 1, j = uniform_int(i, older - 1) and
// positions i and j are exchanged). A two-sample Kolmogorov-Smirnov distance
// D = sup |F_R - F_W| (exact, ties counted together) above
// sqrt(-ln(alpha) / stat_size) is a drift, and the window then keeps only R.
// The values are compared by order only, so any finite numbers work.
class KSWIN {
public:
    // Throws std::invalid_argument unless 0 < alpha < 1, stat_size >= 1 and
    // window_size >= 2 stat_size.
    explicit KSWIN(double alpha = 0.005, int window_size = 100, int stat_size = 30, int seed = 0);

    // One finite value; throws std::invalid_argument for NaN or an infinite
    // value, before anything changes.
    void update(double value);
    // Empties the window and re-seeds the generator.
    void reset() noexcept;

    [[nodiscard]] bool drift_detected() const noexcept { return drift_detected_; }
    // The distance D of the last test (0.0 before any, and after a reset).
    [[nodiscard]] double statistic() const noexcept { return statistic_; }
    [[nodiscard]] std::size_t size() const noexcept { return window_.size(); }

    [[nodiscard]] double alpha() const noexcept { return alpha_; }
    [[nodiscard]] int window_size() const noexcept { return window_size_; }
    [[nodiscard]] int stat_size() const noexcept { return stat_size_; }
    [[nodiscard]] int seed() const noexcept { return seed_; }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    // D between the sorted samples a and b of equal size.
    [[nodiscard]] static double distance(const std::vector<double>& a, const std::vector<double>& b) noexcept;

    double alpha_;
    int window_size_;
    int stat_size_;
    int seed_;
    std::deque<double> window_;
    std::mt19937 gen_;
    double statistic_ = 0.0;
    bool drift_detected_ = false;
    // Scratch space of the test (its contents are not state).
    std::vector<std::int64_t> positions_;
    std::vector<double> older_;
    std::vector<double> recent_;
};

}  // namespace tarvo
