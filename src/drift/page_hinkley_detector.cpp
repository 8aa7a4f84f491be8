#include "drift/page_hinkley_detector.hpp"

#include <algorithm>

#include "core/archive.hpp"
#include "drift/detector_input.hpp"

namespace tarvo {

PageHinkleyDetector::PageHinkleyDetector(int min_instances_, double delta_, double threshold_, double alpha_)
    : min_instances(min_instances_), delta(delta_), threshold(threshold_), alpha(alpha_) {}

void PageHinkleyDetector::reset() noexcept {
    n_ = 0;
    mean_ = 0.0;
    sum_ = 0.0;
    min_ = 0.0;
    drift_detected_ = false;
}

void PageHinkleyDetector::update(double value) {
    require_finite(value, "PageHinkley");
    if (drift_detected_) {
        reset();
    }
    n_ += 1;
    mean_ += (value - mean_) / static_cast<double>(n_);
    sum_ = alpha * sum_ + (value - mean_ - delta);
    min_ = n_ == 1 ? sum_ : std::min(min_, sum_);
    drift_detected_ = n_ >= static_cast<std::int64_t>(min_instances) && sum_ - min_ > threshold;
}

template <class Archive>
void PageHinkleyDetector::fields(Archive& ar) {
    ar.param("min_instances", min_instances);
    ar.param("delta", delta);
    ar.param("threshold", threshold);
    ar.param("alpha", alpha);
    ar(n_, mean_, sum_, min_, drift_detected_);
    ar.check(n_ >= 0, "the update count is negative");
}

TARVO_ARCHIVE_FIELDS(PageHinkleyDetector);

}  // namespace tarvo
