#pragma once

#include "core/running_stats.hpp"

namespace tarvo {

// Running sample covariance of a stream of (x, y) pairs, with ddof degrees of
// freedom removed (1.0). The means advance by the deviation divided by the
// count; each update divides by max(count - ddof, 1), so the first pair
// leaves cov at 0.0.
struct RunningCovariance {
    RunningMean x;
    RunningMean y;
    double cov = 0.0;
    double ddof = 1.0;

    void update(double vx, double vy) noexcept;

    template <class Archive>
    void fields(Archive& ar) {
        ar(x, y, cov, ddof);
    }
};

}  // namespace tarvo
