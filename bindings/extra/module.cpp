// The module _tarvo_extra: the docstring, then every class in registration
// order. Its classes derive from the interfaces of _tarvo_core, which is
// imported first, and its objects go through _tarvo_batch like the core's.

#include "extra.hpp"

PYBIND11_MODULE(_tarvo_extra, m, pybind11::multiple_interpreters::not_supported()) {
    using namespace tarvo::bindings;
    pybind11::module_::import("_tarvo_core");  // the interfaces its classes derive from

    m.doc() =
        "Tarvo: classes beyond the core - wrappers around the learners of _tarvo_core, "
        "usable wherever those are (pipelines, tarvo.batch, pickle).";

    bind_scaled_target_regressor(m);  // 1 ScaledTargetRegressor
}
