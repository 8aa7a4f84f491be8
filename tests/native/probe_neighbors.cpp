// Nearest-neighbour internals: the stored rows and feature index of either
// learner, the distance kernels, and the neighbour order.

#include <algorithm>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "neighbors/knn_classifier.hpp"
#include "neighbors/knn_regressor.hpp"
#include "neighbors/minkowski.hpp"
#include "neighbors/neighbor_order.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

// {"features": names by position, "rows": [(values, label or target), ...] oldest first}.
template <class Payload>
py::dict describe(const NeighborWindow<Payload>& window) {
    std::vector<std::string> names(window.index().size());
    for (const auto& [name, entry] : window.index().positions()) {
        names.at(entry.number) = name;
    }
    py::list rows;
    for (const auto& row : window.rows()) {
        rows.append(py::make_tuple(row.values, row.payload));
    }
    py::dict d;
    d["features"] = names;
    d["rows"] = rows;
    d["capacity"] = window.capacity();
    return d;
}

}  // namespace

void add_neighbors(py::module_& m) {
    m.def(
        "knn_window", [](const KNNClassifier& model) { return describe(model.window()); },
        "The classifier's window: feature names by position, rows oldest first as (values, "
        "label), capacity.");
    m.def(
        "knn_window", [](const KNNRegressor& model) { return describe(model.window()); },
        "The regressor's window: feature names by position, rows oldest first as (values, "
        "target), capacity.");
    m.def(
        "minkowski",
        [](const std::vector<double>& a, const std::vector<double>& b, int p) {
            const std::size_t n = a.size() < b.size() ? a.size() : b.size();
            return minkowski(a.data(), b.data(), n, p);
        },
        "The distance of order p over the common length of a and b.");
    m.def(
        "nan_last_sorted",
        [](std::vector<double> values) {
            std::sort(values.begin(), values.end(), nan_last_less);
            return values;
        },
        "values sorted with NaN after every number.");
}

}  // namespace tarvo::probe
