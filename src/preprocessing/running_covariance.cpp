#include "preprocessing/running_covariance.hpp"

#include <algorithm>

namespace tarvo {

void RunningCovariance::update(double vx, double vy) noexcept {
    const double old_x_mean = x.mean;
    x.update_dividing(vx);
    y.update_dividing(vy);
    cov += ((vx - old_x_mean) * (vy - y.mean) - cov) / std::max(x.count - ddof, 1.0);
}

}  // namespace tarvo
