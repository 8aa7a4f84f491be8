#include "tree/gaussian_observer.hpp"

#include <algorithm>

namespace tarvo {

void GaussianObserver::update(std::size_t class_index, double value) {
    if (class_index >= per_class_.size()) {
        per_class_.resize(class_index + 1);
    }
    per_class_[class_index].update(value);
}

bool GaussianObserver::value_range(double& lo, double& hi) const noexcept {
    bool found = false;
    for (const GaussianStats& s : per_class_) {
        if (!(s.n > 0.0)) {
            continue;
        }
        if (!found) {
            lo = s.min;
            hi = s.max;
            found = true;
            continue;
        }
        if (s.min < lo) {
            lo = s.min;
        }
        if (s.max > hi) {
            hi = s.max;
        }
    }
    return found;
}

void GaussianObserver::split_weights(double t, std::span<double> left,
                                     std::span<double> right) const noexcept {
    std::fill(left.begin(), left.end(), 0.0);
    std::fill(right.begin(), right.end(), 0.0);
    const std::size_t n_classes = std::min({per_class_.size(), left.size(), right.size()});
    for (std::size_t c = 0; c < n_classes; ++c) {
        const GaussianStats& s = per_class_[c];
        if (!(s.n > 0.0)) {
            continue;
        }
        if (t < s.min) {
            right[c] += s.n;
        } else if (s.max <= t) {
            left[c] += s.n;
        } else {
            // min <= t < max: the class has seen two different values.
            const double eq = s.n * s.density(t);
            const double lt = s.n * normal_cdf((t - s.mean) / s.std_dev()) - eq;
            left[c] += eq + lt;
            right[c] += std::max(0.0, s.n - eq - lt);
        }
    }
}

}  // namespace tarvo
