#include "tree/hoeffding_bound.hpp"

#include <cmath>

namespace tarvo {

double hoeffding_bound(double range, double confidence, double n) noexcept {
    return std::sqrt(range * range * std::log(1.0 / confidence) / (2.0 * n));
}

}  // namespace tarvo
