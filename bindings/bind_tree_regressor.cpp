#include "bindings.hpp"
#include "class_binders.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace tarvo::bindings {

void bind_hoeffding_tree_regressor(py::module_& m) {
    using T = HoeffdingTreeRegressor;
    bind_regressor<T>(
        m, "HoeffdingTreeRegressor",
        "Incrementally grown binary regression tree.\n\n"
        "Each leaf keeps running statistics of the target and of every feature and a "
        "linear model on standardised features. Every grace_period samples a leaf "
        "tries to split a feature at its mean; it splits when the Hoeffding bound "
        "(with the target's standard deviation as range) or the tie rule allows. "
        "leaf_prediction: \"mean\", \"linear\", or any other text for \"adaptive\" "
        "(the better of the two so far). Untrained, predict_one answers 0.0.",
        py::init<std::int32_t, double, double, std::int32_t, double>(),
        py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-7,
        py::arg("tie_threshold") = 0.05, py::arg("max_depth") = 20,
        py::arg("learning_rate") = 0.01)
        .def_readwrite("grace_period", &T::grace_period)
        .def_readwrite("split_confidence", &T::split_confidence)
        .def_readwrite("tie_threshold", &T::tie_threshold)
        .def_readwrite("max_depth", &T::max_depth)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("leaf_prediction", &T::leaf_prediction);
}

}  // namespace tarvo::bindings
