#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "metrics/running_variance.hpp"
#include "metrics/window_metric.hpp"
#include "probe.hpp"

namespace tarvo::probe {

void add_metrics(py::module_& m) {
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
