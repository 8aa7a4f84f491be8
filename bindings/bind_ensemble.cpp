#include <cstdint>

#include "bindings.hpp"
#include "class_binders.hpp"
#include "ensemble/arf_classifier.hpp"
#include "ensemble/arf_regressor.hpp"

namespace tarvo::bindings {

void bind_arf_classifier(py::module_& m) {
    using T = ARFClassifier;
    bind_classifier<T>(
        m, "ARFClassifier",
        "Adaptive random forest of Hoeffding trees.\n\n"
        "Each member learns every sample a Poisson(lambda_value) number of times and its tree "
        "evaluates subspace_size random features per split attempt (a negative size: "
        "trunc(sqrt(features)) + 1). ADWIN detectors over the member's 0/1 error start a "
        "background tree on a warning (warning_delta) and replace the tree on a drift "
        "(drift_delta). Members vote with their accuracy since their tree was last replaced. "
        "n_models (at most 100000) takes effect at reset; seed re-seeds the forest at reset "
        "and is the base of the seed of every tree built after it is set; a NaN or infinite "
        "lambda_value makes learn_one raise ValueError. The cost of learn_one grows linearly with "
        "lambda_value (every member learns the sample about lambda_value times); a long call "
        "stops with KeyboardInterrupt on Ctrl-C. Untrained, predict_one answers 0 and "
        "predict_proba_one {}.",
        py::init<std::int32_t, std::int32_t, double, double, double, std::int32_t, std::int32_t,
                 double, std::int32_t>(),
        py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
        py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
        py::arg("grace_period") = 50, py::arg("max_depth") = 20,
        py::arg("split_confidence") = 0.01, py::arg("subspace_size") = -1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
}

void bind_arf_regressor(py::module_& m) {
    using T = ARFRegressor;
    bind_regressor<T>(
        m, "ARFRegressor",
        "Adaptive random forest of Hoeffding regression trees.\n\n"
        "Each member sees a fixed random subset of max(1, round(sqrt(n))) of the n features of "
        "its first sample and learns every sample a Poisson(lambda_value) number of times. "
        "ADWIN detectors over the member's absolute error start a background tree on a "
        "warning (warning_delta) and replace the tree on a drift (drift_delta). The forest "
        "predicts the mean of its members. n_models (at most 100000) and seed take effect at "
        "reset; a NaN or infinite lambda_value makes learn_one raise ValueError. The cost of "
        "learn_one grows linearly with lambda_value (every member learns the sample about "
        "lambda_value times); a long call stops with KeyboardInterrupt on Ctrl-C. Untrained, "
        "predict_one answers 0.0.",
        py::init<std::int32_t, std::int32_t, double, double, double, std::int32_t, std::int32_t,
                 double>(),
        py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
        py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
        py::arg("grace_period") = 200, py::arg("max_depth") = 20,
        py::arg("learning_rate") = 0.01)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
}

}  // namespace tarvo::bindings
