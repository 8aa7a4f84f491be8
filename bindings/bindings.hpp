#pragma once

#include <pybind11/pybind11.h>

// One registration function per class, grouped by subsystem.
namespace tarvo::bindings {

namespace py = pybind11;

// bind_core.cpp
void bind_itransformer(py::module_& m);
void bind_iclassifier(py::module_& m);
void bind_iregressor(py::module_& m);

// bind_linear.cpp
void bind_naive_bayes(py::module_& m);

}  // namespace tarvo::bindings
