#include "drift/eddm.hpp"

#include "core/archive.hpp"

#include <cmath>
#include <stdexcept>

namespace tarvo {

EDDM::EDDM(int warm_start_, double alpha_, double beta_)
    : warm_start(warm_start_), alpha(alpha_), beta(beta_) {
    if (alpha < beta) {
        throw std::invalid_argument("'alpha' must be greater or equal to 'beta'.");
    }
}

void EDDM::reset() noexcept {
    distances_.reset();
    n_samples_ = 0;
    last_error_ = 0;
    n_errors_ = 0;
    max_m2s_ = -1.0;
    drift_detected_ = false;
    warning_detected_ = false;
}

void EDDM::update(int x) noexcept {
    if (drift_detected_) {
        reset();
    }
    // The warm-up compares the counts from before this update.
    const std::int64_t seen_before = n_samples_;
    n_samples_ += 1;
    if (x != 1) {
        return;  // a right prediction leaves both flags as they are
    }
    const std::int64_t errors_before = n_errors_;
    n_errors_ += 1;

    distances_.update_dividing(static_cast<double>(n_samples_ - last_error_));
    if (seen_before >= warm_start) {
        const double m2s = distances_.mean + 2.0 * std::sqrt(distances_.variance());
        if (m2s > max_m2s_) {
            max_m2s_ = m2s;
        } else if (errors_before >= warm_start) {
            const double ratio = m2s / max_m2s_;
            if (ratio < beta) {
                drift_detected_ = true;
            } else {
                warning_detected_ = ratio < alpha;
            }
        }
    }
    last_error_ = n_samples_;
}

template <class Archive>
void EDDM::fields(Archive& ar) {
    ar.param("warm_start", warm_start);
    ar.param("alpha", alpha);
    ar.param("beta", beta);
    ar(distances_, n_samples_, last_error_, n_errors_, max_m2s_, drift_detected_, warning_detected_);
}

TARVO_ARCHIVE_FIELDS(EDDM);

}  // namespace tarvo
