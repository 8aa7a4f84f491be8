#pragma once

#include <cstdint>

namespace tarvo {

// Drift detection from Hoeffding's bound on moving averages, the A-test
// (Frías-Blanco, del Campo-Ávila, Ramos-Jiménez, Morales-Bueno, Ortiz-Díaz
// and Caballero-Mota, 2015), over values in [0, 1].
//
// The detector keeps the mean Z of every value since the last reset and a cut
// point: the prefix X of those values whose mean plus its Hoeffding bound
// sqrt(ln(1 / drift_confidence) / (2 n_X)) is the least seen (it moves to the
// whole stream whenever the whole stream's is smaller). With n values in all,
// the increase Z - X is tested against
//     eps(alpha) = sqrt((n - n_X) / (2 n n_X) ln(1 / alpha)),
// the bound of Hoeffding's inequality for Z - X, a weighted sum of the
// values: a drift at or above eps(drift_confidence), else a warning at or
// above eps(warning_confidence). With two_sided, a second cut point (the
// greatest mean minus its bound) tests a decrease X - Z the same way. The
// update after a drift starts afresh.
class HDDM_A {
public:
    // Throws std::invalid_argument unless both confidences lie in (0, 1).
    explicit HDDM_A(double drift_confidence = 0.001, double warning_confidence = 0.005, bool two_sided = false);

    // One value in [0, 1]; throws std::invalid_argument outside it or for NaN,
    // before anything changes.
    void update(double value);
    void reset() noexcept;

    [[nodiscard]] bool drift_detected() const noexcept { return drift_detected_; }
    [[nodiscard]] bool warning_detected() const noexcept { return warning_detected_; }
    // The mean of the values since the last reset (0.0 before any).
    [[nodiscard]] double estimation() const noexcept { return n_ > 0.0 ? total_ / n_ : 0.0; }

    [[nodiscard]] double drift_confidence() const noexcept { return drift_confidence_; }
    [[nodiscard]] double warning_confidence() const noexcept { return warning_confidence_; }
    [[nodiscard]] bool two_sided() const noexcept { return two_sided_; }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    // A prefix of the values: its count and sum (count 0: none yet).
    struct Prefix {
        double n = 0.0;
        double total = 0.0;

        template <class Archive>
        void fields(Archive& ar) {
            ar(n, total);
        }
    };

    // The Hoeffding bound of the mean of n values at confidence `log_inv`
    // = ln(1 / alpha).
    [[nodiscard]] static double mean_bound(double n, double log_inv) noexcept;
    // 0 none, 1 warning, 2 drift: `gap` (the change in the tested direction)
    // against the bounds for a cut of n_cut values out of n.
    [[nodiscard]] int test(double gap, double n_cut) const noexcept;

    double drift_confidence_;
    double warning_confidence_;
    bool two_sided_;
    double n_ = 0.0;
    double total_ = 0.0;
    Prefix low_;   // the cut point for an increase
    Prefix high_;  // the cut point for a decrease (two-sided only)
    bool drift_detected_ = false;
    bool warning_detected_ = false;
};

}  // namespace tarvo
