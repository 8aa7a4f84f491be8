#include "drift/hddm_w.hpp"

#include <cmath>
#include <stdexcept>

#include "core/archive.hpp"
#include "drift/detector_input.hpp"

namespace tarvo {

namespace {

// The McDiarmid bound of an EWMA whose squared weights sum to w, at
// confidence `log_inv` = ln(1 / alpha).
double ewma_bound(double w, double log_inv) noexcept { return std::sqrt(w / 2.0 * log_inv); }

}  // namespace

HDDM_W::HDDM_W(double drift_confidence, double warning_confidence, double lambda, bool two_sided)
    : drift_confidence_(drift_confidence),
      warning_confidence_(warning_confidence),
      lambda_(lambda),
      two_sided_(two_sided) {
    require_open_unit(drift_confidence, "drift_confidence");
    require_open_unit(warning_confidence, "warning_confidence");
    if (!(lambda > 0.0 && lambda <= 1.0)) {
        throw std::invalid_argument("'lambda_' must lie in (0, 1], got " + shown_number(lambda));
    }
}

void HDDM_W::reset() noexcept {
    total_ = Ewma{};
    up_ = Side{};
    down_ = Side{};
    drift_detected_ = false;
    warning_detected_ = false;
}

void HDDM_W::add(Ewma& e, double value) const noexcept {
    if (e.empty()) {
        e = Ewma{value, 1.0};
        return;
    }
    const double keep = 1.0 - lambda_;
    e.mean = lambda_ * value + keep * e.mean;
    e.weight = lambda_ * lambda_ + keep * keep * e.weight;
}

void HDDM_W::follow(Side& side, bool better, double value) const noexcept {
    if (side.cut.empty() || better) {
        side.cut = total_;
        side.after = Ewma{};
    } else {
        add(side.after, value);
    }
}

int HDDM_W::test(double gap, const Side& side) const noexcept {
    const double w = side.cut.weight + side.after.weight;
    if (gap >= ewma_bound(w, std::log(1.0 / drift_confidence_))) {
        return 2;
    }
    return gap >= ewma_bound(w, std::log(1.0 / warning_confidence_)) ? 1 : 0;
}

void HDDM_W::update(double value) {
    require_unit(value, "HDDM_W");
    if (drift_detected_) {
        reset();
    }
    warning_detected_ = false;
    add(total_, value);
    const double log_inv = std::log(1.0 / drift_confidence_);
    const double bound = ewma_bound(total_.weight, log_inv);
    follow(up_, total_.mean + bound < up_.cut.mean + ewma_bound(up_.cut.weight, log_inv), value);
    if (two_sided_) {
        follow(down_, total_.mean - bound > down_.cut.mean - ewma_bound(down_.cut.weight, log_inv), value);
    }
    int level = 0;
    if (!up_.after.empty()) {
        level = test(up_.after.mean - up_.cut.mean, up_);
    }
    if (two_sided_ && level < 2 && !down_.after.empty()) {
        const int down = test(down_.cut.mean - down_.after.mean, down_);
        level = down > level ? down : level;
    }
    drift_detected_ = level == 2;
    warning_detected_ = level == 1;
}

template <class Archive>
void HDDM_W::fields(Archive& ar) {
    ar.param("drift_confidence", drift_confidence_);
    ar.param("warning_confidence", warning_confidence_);
    ar.param("lambda_", lambda_);
    ar.param("two_sided", two_sided_);
    ar(total_, up_, down_, drift_detected_, warning_detected_);
    ar.check(drift_confidence_ > 0.0 && drift_confidence_ < 1.0 && warning_confidence_ > 0.0 &&
                 warning_confidence_ < 1.0 && lambda_ > 0.0 && lambda_ <= 1.0,
             "a parameter lies outside its range");
}

TARVO_ARCHIVE_FIELDS(HDDM_W);

}  // namespace tarvo
