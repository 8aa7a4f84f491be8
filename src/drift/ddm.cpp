#include "drift/ddm.hpp"

#include <cmath>

#include "core/archive.hpp"
#include "drift/detector_input.hpp"

namespace tarvo {

DDM::DDM(int min_num_instances_, double warning_level_, double out_control_level_)
    : min_num_instances(min_num_instances_),
      warning_level(warning_level_),
      out_control_level(out_control_level_) {}

void DDM::reset() noexcept {
    n_ = 0;
    p_ = 0.0;
    p_min_ = 0.0;
    s_min_ = 0.0;
    has_min_ = false;
    drift_detected_ = false;
    warning_detected_ = false;
}

void DDM::update(double value) {
    require_unit(value, "DDM");
    if (drift_detected_) {
        reset();
    }
    n_ += 1;
    const double n = static_cast<double>(n_);
    p_ += (value - p_) / n;
    const double s = std::sqrt(p_ * (1.0 - p_) / n);
    warning_detected_ = false;
    if (n_ < static_cast<std::int64_t>(min_num_instances)) {
        return;
    }
    if (s > 0.0 && (!has_min_ || p_ + s <= p_min_ + s_min_)) {
        p_min_ = p_;
        s_min_ = s;
        has_min_ = true;
    }
    if (!has_min_) {
        return;
    }
    const double level = p_ + s;
    if (level >= p_min_ + out_control_level * s_min_) {
        drift_detected_ = true;
    } else {
        warning_detected_ = level >= p_min_ + warning_level * s_min_;
    }
}

template <class Archive>
void DDM::fields(Archive& ar) {
    ar.param("min_num_instances", min_num_instances);
    ar.param("warning_level", warning_level);
    ar.param("out_control_level", out_control_level);
    ar(n_, p_, p_min_, s_min_, has_min_, drift_detected_, warning_detected_);
    ar.check(n_ >= 0, "the update count is negative");
}

TARVO_ARCHIVE_FIELDS(DDM);

}  // namespace tarvo
