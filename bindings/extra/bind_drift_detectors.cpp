#include "../class_binders.hpp"
#include "drift/ddm.hpp"
#include "drift/hddm_a.hpp"
#include "drift/hddm_w.hpp"
#include "drift/kswin.hpp"
#include "drift/page_hinkley_detector.hpp"
#include "extra.hpp"

namespace tarvo::bindings {

// The detectors share ADWIN's interface (bind_detector): update(value),
// reset() and drift_detected, with warning_detected where the method warns.

void bind_ddm(py::module_& m) {
    bind_detector<DDM>(m, "DDM",
                   "Drift detection method (Gama et al., 2004) on a classifier's 0/1 errors.\n\n"
                   "After n updates the error rate is p and its deviation s = sqrt(p (1 - p) / n). From "
                   "update min_num_instances on, the least p + s with s > 0 is kept as (p_min, s_min); "
                   "p + s >= p_min + warning_level s_min raises the warning, p + s >= p_min + "
                   "out_control_level s_min a drift (the warning is off then). A run of right "
                   "predictions has s = 0 and sets no minimum, so the first error after it is not a "
                   "drift. The update after a drift starts afresh.\n\n"
                   "update takes an error in [0, 1] (1 wrong, 0 right; a fraction counts as that share "
                   "of an error) and raises ValueError for any other value, NaN included.",
                   "Record one error in [0, 1] (1 = wrong prediction).", "Forget everything; parameters are kept.",
                   py::init<int, double, double>(), py::arg("min_num_instances") = 30,
                   py::arg("warning_level") = 2.0, py::arg("out_control_level") = 3.0)
        .def_property_readonly("warning_detected", &DDM::warning_detected,
                               "Whether the last update raised the warning (off at a drift).")
        .def_property_readonly("estimation", &DDM::estimation, "The error rate since the last reset.")
        .def_readwrite("min_num_instances", &DDM::min_num_instances)
        .def_readwrite("warning_level", &DDM::warning_level)
        .def_readwrite("out_control_level", &DDM::out_control_level);
}

void bind_hddm_a(py::module_& m) {
    bind_detector<HDDM_A>(m, "HDDM_A",
                      "Drift detection with Hoeffding's bound on averages, the A-test (Frias-Blanco et al., "
                      "2015), over values in [0, 1].\n\n"
                      "It keeps the mean Z of every value since the last reset and a cut point: the prefix X "
                      "whose mean plus its Hoeffding bound sqrt(ln(1 / drift_confidence) / (2 n_X)) is least. "
                      "With n values in all, an increase Z - X at or above sqrt((n - n_X) / (2 n n_X) "
                      "ln(1 / alpha)) is a drift for alpha = drift_confidence, else a warning for alpha = "
                      "warning_confidence. With two_sided, a second cut point (greatest mean minus its "
                      "bound) tests a decrease the same way. The update after a drift starts afresh.\n\n"
                      "update takes a value in [0, 1] (a 0/1 error, or a rate) and raises ValueError for "
                      "any other value, NaN included.",
                      "Add one value in [0, 1].", "Forget everything; parameters are kept.",
                      py::init<double, double, bool>(), py::arg("drift_confidence") = 0.001,
                      py::arg("warning_confidence") = 0.005, py::arg("two_sided") = false)
        .def_property_readonly("warning_detected", &HDDM_A::warning_detected,
                               "Whether the last update raised the warning.")
        .def_property_readonly("estimation", &HDDM_A::estimation, "The mean of the values since the last reset.")
        .def_property_readonly("drift_confidence", &HDDM_A::drift_confidence)
        .def_property_readonly("warning_confidence", &HDDM_A::warning_confidence)
        .def_property_readonly("two_sided", &HDDM_A::two_sided);
}

void bind_hddm_w(py::module_& m) {
    bind_detector<HDDM_W>(m, "HDDM_W",
                      "Drift detection with McDiarmid's bound on weighted averages, the W-test (Frias-Blanco "
                      "et al., 2015), over values in [0, 1].\n\n"
                      "An EWMA starts at its first value and moves as m <- lambda_ v + (1 - lambda_) m; the sum "
                      "w of its squared weights starts at 1 and moves as w <- lambda_^2 + (1 - lambda_)^2 w. "
                      "It keeps the EWMA Z of every value since the last reset, a cut point X (Z when Z plus "
                      "sqrt(w / 2 ln(1 / drift_confidence)) was least) and the EWMA Y of the values after it. "
                      "An increase Y - X at or above sqrt((w_X + w_Y) / 2 ln(1 / alpha)) is a drift for alpha "
                      "= drift_confidence, else a warning for alpha = warning_confidence. With two_sided, a "
                      "second cut point tests a decrease the same way. The update after a drift starts "
                      "afresh.\n\n"
                      "update takes a value in [0, 1] (a 0/1 error, or a rate) and raises ValueError for "
                      "any other value, NaN included.",
                      "Add one value in [0, 1].", "Forget everything; parameters are kept.",
                      py::init<double, double, double, bool>(), py::arg("drift_confidence") = 0.001,
                      py::arg("warning_confidence") = 0.005, py::arg("lambda_") = 0.05,
                      py::arg("two_sided") = false)
        .def_property_readonly("warning_detected", &HDDM_W::warning_detected,
                               "Whether the last update raised the warning.")
        .def_property_readonly("estimation", &HDDM_W::estimation, "The EWMA of the values since the last reset.")
        .def_property_readonly("drift_confidence", &HDDM_W::drift_confidence)
        .def_property_readonly("warning_confidence", &HDDM_W::warning_confidence)
        .def_property_readonly("lambda_", &HDDM_W::lambda)
        .def_property_readonly("two_sided", &HDDM_W::two_sided);
}

void bind_page_hinkley(py::module_& m) {
    using T = PageHinkleyDetector;
    bind_detector<T>(m, "PageHinkley",
                 "The Page-Hinkley test for a rise in the mean of a stream of numbers, with a fading "
                 "factor.\n\n"
                 "After the t-th value x_t since the last reset, with mean_t the mean of x_1 .. x_t: "
                 "m_t = alpha m_(t-1) + (x_t - mean_t - delta) with m_0 = 0, and M_t = min(m_1, ..., m_t). "
                 "The update reports a drift when t >= min_instances and m_t - M_t > threshold (strictly; "
                 "`statistic` is m_t - M_t). It tests rises only: feed it errors, or negated values to "
                 "watch a fall. The update after a drift starts afresh.\n\n"
                 "update takes any finite number and raises ValueError for NaN or an infinite value.",
                 "Add one finite value.", "Forget everything; parameters are kept.",
                 py::init<int, double, double, double>(), py::arg("min_instances") = 30, py::arg("delta") = 0.005,
                 py::arg("threshold") = 50.0, py::arg("alpha") = 1.0 - 0.0001)
        .def_property_readonly("statistic", &T::statistic,
                               "m_t - M_t after the last update, compared with threshold (0.0 before any).")
        .def_property_readonly("estimation", &T::estimation, "The mean of the values since the last reset.")
        .def_readwrite("min_instances", &T::min_instances)
        .def_readwrite("delta", &T::delta)
        .def_readwrite("threshold", &T::threshold)
        .def_readwrite("alpha", &T::alpha);
}

void bind_kswin(py::module_& m) {
    bind_detector<KSWIN>(m, "KSWIN",
                     "Kolmogorov-Smirnov windowing drift detector (Raab et al., 2020) over a stream of "
                     "numbers.\n\n"
                     "It keeps the last window_size values. Each update that leaves the window full compares "
                     "its newest stat_size values with stat_size values drawn uniformly without replacement "
                     "from the older ones (a partial Fisher-Yates shuffle of their positions with the "
                     "seeded generator). A two-sample Kolmogorov-Smirnov distance above sqrt(-ln(alpha) / "
                     "stat_size) is a drift, and the window then keeps only the newest stat_size values. "
                     "`statistic` is the distance of the last test. reset() empties the window and "
                     "re-seeds the generator, so a seed fixes every result.\n\n"
                     "update takes any finite number and raises ValueError for NaN or an infinite value.",
                     "Add one finite value.", "Empty the window and re-seed the generator; parameters are kept.",
                     py::init<double, int, int, int>(), py::arg("alpha") = 0.005, py::arg("window_size") = 100,
                     py::arg("stat_size") = 30, py::arg("seed") = 0)
        .def_property_readonly("statistic", &KSWIN::statistic,
                               "The Kolmogorov-Smirnov distance of the last test (0.0 before any).")
        .def_property_readonly("size", &KSWIN::size, "The number of values in the window.")
        .def_property_readonly("alpha", &KSWIN::alpha)
        .def_property_readonly("window_size", &KSWIN::window_size)
        .def_property_readonly("stat_size", &KSWIN::stat_size)
        .def_property_readonly("seed", &KSWIN::seed);
}

}  // namespace tarvo::bindings
