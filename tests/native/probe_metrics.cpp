#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "core/running_stats.hpp"
#include "metrics/window_metric.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

// Methods that convert the same arguments as the metric and detector updates
// and do nothing: the floor of a method call, self included.
struct FloorUpdater {};

}  // namespace

void add_metrics(py::module_& m) {
    py::class_<FloorUpdater>(m, "FloorUpdater", "Do-nothing update methods, for the benchmarks.")
        .def(py::init<>())
        .def("labels", [](FloorUpdater&, int, int) {}, py::arg("y_true"), py::arg("y_pred"),
             "Converts two labels.")
        .def("values", [](FloorUpdater&, double, double) {}, py::arg("y_true"), py::arg("y_pred"),
             "Converts two floats.")
        .def("value", [](FloorUpdater&, double) {}, "Converts one float.")
        .def("label", [](FloorUpdater&, int) {}, "Converts one int.");

    m.def(
        "window_metric_tracked",
        [](int window_size, const std::vector<std::pair<int, int>>& pairs) {
            WindowMetric w(window_size);
            std::size_t most = 0;
            for (const auto& [predicted, actual] : pairs) {
                w.update(predicted, actual);
                most = std::max(most, w.tracked_labels());
            }
            return py::make_tuple(w.tracked_labels(), most, w.accuracy(), w.macro_f1());
        },
        "Feeds (predicted, actual) pairs to a WindowMetric; returns (labels tracked at the end, "
        "most labels tracked at once, accuracy, macro F1).");

    m.def(
        "running_variance",
        [](const std::vector<double>& values, bool dividing) {
            RunningVariance v;
            for (double x : values) {
                if (dividing) {
                    v.update_dividing(x);
                } else {
                    v.update(x);
                }
            }
            return py::make_tuple(v.count, v.mean, v.m2, v.variance());
        },
        py::arg("values"), py::arg("dividing") = false,
        "Folds the values into a RunningVariance; returns (count, mean, m2, variance).");
}

}  // namespace tarvo::probe
