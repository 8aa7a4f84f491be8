#include "drift/hddm_a.hpp"

#include <cmath>

#include "core/archive.hpp"
#include "drift/detector_input.hpp"

namespace tarvo {

HDDM_A::HDDM_A(double drift_confidence, double warning_confidence, bool two_sided)
    : drift_confidence_(drift_confidence), warning_confidence_(warning_confidence), two_sided_(two_sided) {
    require_open_unit(drift_confidence, "drift_confidence");
    require_open_unit(warning_confidence, "warning_confidence");
}

void HDDM_A::reset() noexcept {
    n_ = 0.0;
    total_ = 0.0;
    low_ = Prefix{};
    high_ = Prefix{};
    drift_detected_ = false;
    warning_detected_ = false;
}

double HDDM_A::mean_bound(double n, double log_inv) noexcept {
    return std::sqrt(log_inv / (2.0 * n));
}

int HDDM_A::test(double gap, double n_cut) const noexcept {
    const double m = (n_ - n_cut) / (2.0 * n_ * n_cut);
    if (gap >= std::sqrt(m * std::log(1.0 / drift_confidence_))) {
        return 2;
    }
    return gap >= std::sqrt(m * std::log(1.0 / warning_confidence_)) ? 1 : 0;
}

void HDDM_A::update(double value) {
    require_unit(value, "HDDM_A");
    if (drift_detected_) {
        reset();
    }
    warning_detected_ = false;
    n_ += 1.0;
    total_ += value;
    const double log_inv = std::log(1.0 / drift_confidence_);
    const double mean = total_ / n_;
    const double bound = mean_bound(n_, log_inv);
    if (low_.n == 0.0 || mean + bound < low_.total / low_.n + mean_bound(low_.n, log_inv)) {
        low_ = Prefix{n_, total_};
    }
    if (two_sided_ && (high_.n == 0.0 || mean - bound > high_.total / high_.n - mean_bound(high_.n, log_inv))) {
        high_ = Prefix{n_, total_};
    }
    int level = 0;
    if (low_.n < n_) {
        level = test(mean - low_.total / low_.n, low_.n);
    }
    if (two_sided_ && level < 2 && high_.n < n_) {
        const int down = test(high_.total / high_.n - mean, high_.n);
        level = down > level ? down : level;
    }
    drift_detected_ = level == 2;
    warning_detected_ = level == 1;
}

template <class Archive>
void HDDM_A::fields(Archive& ar) {
    ar.param("drift_confidence", drift_confidence_);
    ar.param("warning_confidence", warning_confidence_);
    ar.param("two_sided", two_sided_);
    ar(n_, total_, low_, high_, drift_detected_, warning_detected_);
    ar.check(drift_confidence_ > 0.0 && drift_confidence_ < 1.0 && warning_confidence_ > 0.0 &&
                 warning_confidence_ < 1.0,
             "a confidence lies outside (0, 1)");
    ar.check(n_ >= 0.0 && low_.n >= 0.0 && low_.n <= n_ && high_.n >= 0.0 && high_.n <= n_,
             "the counts are out of range");
    ar.check(n_ == 0.0 || (low_.n >= 1.0 && (!two_sided_ || high_.n >= 1.0)), "a cut point is missing");
}

TARVO_ARCHIVE_FIELDS(HDDM_A);

}  // namespace tarvo
