#include "drift/page_hinkley.hpp"

#include <algorithm>

namespace tarvo {

bool PageHinkley::update(double value, double mean, double alpha, double threshold) noexcept {
    sum_ += value - mean - alpha;
    // std::min keeps the old minimum when either side is NaN: no NaN order needed.
    min_ = min_set_ ? std::min(min_, sum_) : sum_;
    min_set_ = true;
    return sum_ - min_ > threshold;
}

void PageHinkley::restart() noexcept {
    sum_ = 0.0;
    min_set_ = false;
}

}  // namespace tarvo
