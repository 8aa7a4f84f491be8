#pragma once

namespace tarvo {

// Running sample covariance of a stream of (x, y) pairs, with ddof degrees of
// freedom removed (1.0). Each update divides by max(count - ddof, 1), so the
// first pair leaves cov at 0.0.
struct RunningCovariance {
    struct Mean {
        double count = 0.0;
        double mean = 0.0;

        void update(double v) noexcept {
            count += 1.0;
            mean += (v - mean) / count;
        }
    };

    Mean x;
    Mean y;
    double cov = 0.0;
    double ddof = 1.0;

    void update(double vx, double vy) noexcept;
};

}  // namespace tarvo
