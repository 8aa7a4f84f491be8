#include "bindings.hpp"
#include "class_binders.hpp"
#include "drift/adwin.hpp"
#include "drift/eddm.hpp"

namespace tarvo::bindings {

// The detectors' update takes its value positionally only, like the learners.

void bind_adwin(py::module_& m) {
    Bound<ADWIN> cls(m, "ADWIN",
                      "Adaptive windowing drift detector over a stream of numbers.\n\n"
                      "Every `clock` updates it tests whether an older and a newer part of "
                      "its window have different means and, if so, drops the oldest data; "
                      "drift_detected tells whether the last update did. clock and "
                      "max_buckets must be at least 1.");
    def_persistence(cls, "ADWIN");
    cls.def(py::init<double, int, int, int, int>(), py::arg("delta") = 0.002,
             py::arg("clock") = 32, py::arg("max_buckets") = 5, py::arg("min_window_length") = 5,
             py::arg("grace_period") = 10)
        .def(
            "update", [](ADWIN& self, double value) { self.update(value); },
            "Add one value and test for a change when due.")
        .def("reset", &ADWIN::reset, "Forget the window; parameters are kept.")
        .def_property_readonly("drift_detected", &ADWIN::drift_detected,
                               "Whether the last update cut the window.")
        .def_property_readonly("estimation", &ADWIN::estimation, "Mean of the window.")
        .def_property_readonly("width", &ADWIN::width, "Number of values in the window.")
        .def_property_readonly("variance", &ADWIN::variance, "Variance of the window.")
        .def_readwrite("delta", &ADWIN::delta, "Confidence of the cut test.");
}

void bind_eddm(py::module_& m) {
    Bound<EDDM> cls(m, "EDDM",
                     "Early drift detection from the distances between a classifier's errors.\n\n"
                     "update(1) records an error, any other value a right prediction. Raises "
                     "ValueError when alpha < beta.\n\n"
                     "The spread of the distances between errors is their sample standard deviation "
                     "(divided by n - 1; 0 until the second distance), so the level tested is the "
                     "mean distance plus twice that deviation.");
    def_persistence(cls, "EDDM");
    cls.def(py::init<int, double, double>(), py::arg("warm_start") = 30, py::arg("alpha") = 0.95,
             py::arg("beta") = 0.9)
        .def(
            "update", [](EDDM& self, int x) { self.update(x); },
            "Record one prediction outcome (1 = error).")
        .def("reset", &EDDM::reset, "Forget everything; parameters are kept.")
        .def_property_readonly("drift_detected", &EDDM::drift_detected,
                               "Whether the last update raised a drift.")
        .def_property_readonly("warning_detected", &EDDM::warning_detected,
                               "Whether the warning is raised.")
        .def_readwrite("warm_start", &EDDM::warm_start, "Updates and errors before any flag.")
        .def_readwrite("alpha", &EDDM::alpha, "Warning threshold on the ratio.")
        .def_readwrite("beta", &EDDM::beta, "Drift threshold on the ratio.");
}

}  // namespace tarvo::bindings
