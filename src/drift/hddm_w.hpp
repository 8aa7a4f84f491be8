#pragma once

namespace tarvo {

// Drift detection from McDiarmid's bound on weighted moving averages, the
// W-test (Frías-Blanco, del Campo-Ávila, Ramos-Jiménez, Morales-Bueno,
// Ortiz-Díaz and Caballero-Mota, 2015), over values in [0, 1].
//
// An exponentially weighted moving average (EWMA) starts at its first value
// and then moves as  m <- lambda v + (1 - lambda) m; the sum of its squared
// weights w starts at 1 and moves as  w <- lambda^2 + (1 - lambda)^2 w, and
// McDiarmid's inequality bounds its deviation by sqrt(w / 2 ln(1 / alpha)).
//
// The detector keeps the EWMA Z of every value since the last reset, a cut
// point X (the value of Z, with its w, when Z plus its bound at
// drift_confidence was the least seen) and the EWMA Y of the values after the
// cut point (empty right after the cut moves). The increase Y - X is tested
// against  sqrt((w_X + w_Y) / 2 ln(1 / alpha)):  a drift at or above it for
// drift_confidence, else a warning for warning_confidence. With two_sided, a
// second cut point (Z minus its bound greatest) tests a decrease the same way.
// The update after a drift starts afresh.
class HDDM_W {
public:
    // Throws std::invalid_argument unless both confidences lie in (0, 1) and
    // 0 < lambda <= 1.
    explicit HDDM_W(double drift_confidence = 0.001, double warning_confidence = 0.005, double lambda = 0.05,
                    bool two_sided = false);

    // One value in [0, 1]; throws std::invalid_argument outside it or for NaN,
    // before anything changes.
    void update(double value);
    void reset() noexcept;

    [[nodiscard]] bool drift_detected() const noexcept { return drift_detected_; }
    [[nodiscard]] bool warning_detected() const noexcept { return warning_detected_; }
    // The EWMA of the values since the last reset (0.0 before any).
    [[nodiscard]] double estimation() const noexcept { return total_.mean; }

    [[nodiscard]] double drift_confidence() const noexcept { return drift_confidence_; }
    [[nodiscard]] double warning_confidence() const noexcept { return warning_confidence_; }
    [[nodiscard]] double lambda() const noexcept { return lambda_; }
    [[nodiscard]] bool two_sided() const noexcept { return two_sided_; }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    // An EWMA and the sum of its squared weights (weight 0: empty).
    struct Ewma {
        double mean = 0.0;
        double weight = 0.0;

        [[nodiscard]] bool empty() const noexcept { return weight == 0.0; }

        template <class Archive>
        void fields(Archive& ar) {
            ar(mean, weight);
        }
    };
    // One side's cut point and the EWMA after it.
    struct Side {
        Ewma cut;
        Ewma after;

        template <class Archive>
        void fields(Archive& ar) {
            ar(cut, after);
        }
    };

    void add(Ewma& e, double value) const noexcept;
    // Moves the side's cut point to Z when `better`, else adds the value after it.
    void follow(Side& side, bool better, double value) const noexcept;
    // 0 none, 1 warning, 2 drift: `gap` (the change in the tested direction)
    // against the bound for the side's two EWMAs.
    [[nodiscard]] int test(double gap, const Side& side) const noexcept;

    double drift_confidence_;
    double warning_confidence_;
    double lambda_;
    bool two_sided_;
    Ewma total_;
    Side up_;    // tests an increase
    Side down_;  // tests a decrease (two-sided only)
    bool drift_detected_ = false;
    bool warning_detected_ = false;
};

}  // namespace tarvo
