#pragma once

#include <pybind11/pybind11.h>

// The module _tarvo_extra: classes beyond the core, built on the same native
// library and the same binders as _tarvo_core. One registration function per
// class; module.cpp calls them in registration order.
namespace tarvo::bindings {

namespace py = pybind11;

// bind_scaled_target.cpp
void bind_scaled_target_regressor(py::module_& m);

// bind_drift_detectors.cpp
void bind_ddm(py::module_& m);
void bind_hddm_a(py::module_& m);
void bind_hddm_w(py::module_& m);
void bind_page_hinkley(py::module_& m);
void bind_kswin(py::module_& m);

// bind_baselines.cpp
void bind_no_change_classifier(py::module_& m);
void bind_majority_class_classifier(py::module_& m);
void bind_mean_regressor(py::module_& m);

// bind_anomaly.cpp
void bind_half_space_trees(py::module_& m);
void bind_roc_auc(py::module_& m);

}  // namespace tarvo::bindings
