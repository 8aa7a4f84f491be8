#pragma once

#include <cstdint>

#include "metrics/window_ring.hpp"

namespace tarvo {

// Mean absolute error and root mean squared error over the last
// `window_size` (y_true, y_pred) pairs. A window size of 0 or less ignores
// every update.
//
// The running sums are recomputed from the window once every `window_size`
// updates, which bounds the rounding error they accumulate.
class WindowRegressionMetric {
public:
    explicit WindowRegressionMetric(int window_size = 1000) : ring_(window_size) {}

    void update(double y_true, double y_pred);

    // metric 1: rmse(); any other value: mae().
    [[nodiscard]] double get(int metric) const noexcept { return metric == 1 ? rmse() : mae(); }
    [[nodiscard]] double mae() const noexcept;
    [[nodiscard]] double rmse() const noexcept;

    void reset() noexcept;

    [[nodiscard]] int size() const noexcept { return ring_.size(); }
    [[nodiscard]] int window_size() const noexcept { return ring_.window_size(); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    struct Errors {
        double abs = 0.0;
        double sq = 0.0;

        template <class Archive>
        void fields(Archive& ar) {
            ar(abs, sq);
        }
    };

    WindowRing<Errors> ring_;
    double sum_abs_ = 0.0;
    double sum_sq_ = 0.0;
    std::int64_t since_recompute_ = 0;
};

}  // namespace tarvo
