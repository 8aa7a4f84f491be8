#pragma once

namespace tarvo {

// Page-Hinkley test for a rise in the mean of a stream of values.
//
// Each update adds the value's excess over the current mean, less a
// tolerance alpha, to a cumulative sum and tracks the sum's minimum; a rise
// of the sum above its minimum by more than the threshold is a detection.
// The caller supplies the mean (it may keep it over a longer history than
// the test's). A detection does not restart the test: the caller does.
class PageHinkley {
public:
    // Adds value - mean - alpha to the sum and reports whether the sum now
    // stands more than `threshold` above its minimum. The first update after
    // a restart sets the minimum to the sum, so it never detects when the
    // threshold is non-negative.
    bool update(double value, double mean, double alpha, double threshold) noexcept;

    // Sum back to 0 and no minimum yet.
    void restart() noexcept;

    [[nodiscard]] double sum() const noexcept { return sum_; }
    [[nodiscard]] double minimum() const noexcept { return min_; }
    [[nodiscard]] bool has_minimum() const noexcept { return min_set_; }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar) {
        ar(sum_, min_, min_set_);
    }

private:
    double sum_ = 0.0;
    double min_ = 0.0;
    bool min_set_ = false;
};

}  // namespace tarvo
