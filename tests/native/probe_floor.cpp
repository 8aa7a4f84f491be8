// Floor calls: native functions that convert the same arguments as a real
// method and do nothing else. Benchmarks divide by their cost.

#include <pybind11/stl.h>

#include "core/feature_map.hpp"
#include "probe.hpp"

namespace tarvo::probe {

void add_floor(py::module_& m) {
    m.def("floor_learn", [](const FeatureMap&, int) {}, "Converts a sample and a label.");
    m.def("floor_learn_target", [](const FeatureMap&, double) {},
          "Converts a sample and a target.");
    m.def("floor_predict", [](const FeatureMap&) { return 0; }, "Converts a sample, returns an int.");
    m.def("floor_predict_target", [](const FeatureMap&) { return 0.0; },
          "Converts a sample, returns a float.");
    m.def("floor_learn_sample", [](const FeatureMap&) {}, "Converts a sample.");
    m.def("floor_transform", [](const FeatureMap& x) { return x; },
          "Converts a sample, returns a copy as a new dict.");
    m.def("floor_update_labels", [](int, int) {}, "Converts two labels.");
    m.def("floor_update_values", [](double, double) {}, "Converts two floats.");
    m.def("floor_update_value", [](double) {}, "Converts one float.");
    m.def("floor_update_label", [](int) {}, "Converts one int.");
}

}  // namespace tarvo::probe
