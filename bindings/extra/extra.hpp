#pragma once

#include <pybind11/pybind11.h>

// The module _tarvo_extra: classes beyond the core, built on the same native
// library and the same binders as _tarvo_core. One registration function per
// class; module.cpp calls them in registration order.
namespace tarvo::bindings {

namespace py = pybind11;

// bind_scaled_target.cpp
void bind_scaled_target_regressor(py::module_& m);

}  // namespace tarvo::bindings
