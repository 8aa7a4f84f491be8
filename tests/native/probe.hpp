#pragma once

// _tarvo_probe: a test-only module that reaches native pieces Python cannot
// see (helpers, internal state) and provides the benchmarks' floor calls.
// It is built beside _tarvo_core for the tests and never installed.

#include <pybind11/pybind11.h>

namespace tarvo::probe {

namespace py = pybind11;

void add_floor(py::module_& m);
// probe_limit.cpp
void add_limit(py::module_& m);
void add_core(py::module_& m);
void add_stream(py::module_& m);

// probe_random.cpp
void add_random(py::module_& m);

// probe_neighbors.cpp
void add_neighbors(py::module_& m);

// probe_tree.cpp
void add_tree(py::module_& m);

// probe_tree_regressor.cpp
void add_tree_regressor(py::module_& m);

// probe_fimtdd.cpp
void add_fimtdd(py::module_& m);

// probe_ensemble.cpp
void add_ensemble(py::module_& m);

// probe_metrics.cpp
void add_metrics(py::module_& m);

// probe_drift.cpp
void add_drift(py::module_& m);

// probe_pipeline.cpp
void add_pipeline(py::module_& m);
// probe_boosting.cpp
void add_boosting(py::module_& m);
// probe_numbering.cpp
void add_numbering(py::module_& m);

}  // namespace tarvo::probe
