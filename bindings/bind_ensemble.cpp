#include <cstdint>
#include <string>

#include "bindings.hpp"
#include "class_binders.hpp"
#include "ensemble/arf_classifier.hpp"
#include "ensemble/arf_regressor.hpp"
#include "ensemble/leveraging_bagging_classifier.hpp"
#include "ensemble/leveraging_bagging_regressor.hpp"
#include "ensemble/sgbr_regressor.hpp"
#include "ensemble/sgbt_classifier.hpp"
#include "ensemble/srp_classifier.hpp"
#include "ensemble/srp_regressor.hpp"

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
        "and is the base of the seed of every tree built after it is set; a NaN, infinite or "
        "above-1000 lambda_value makes learn_one raise ValueError. The cost of learn_one grows "
        "linearly with "
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
        "reset; a NaN, infinite or above-1000 lambda_value makes learn_one raise ValueError. The cost of "
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

void bind_srp_classifier(py::module_& m) {
    using T = SRPClassifier;
    bind_classifier<T>(
        m, "SRPClassifier",
        "Streaming random patches of Hoeffding trees.\n\n"
        "Each member learns on its own patch: a fixed random share subspace_fraction of the "
        "features of its first sample (drawn from seed and the member's position, names kept in "
        "ascending order) and/or every sample a Poisson(lambda_value) number of times. "
        "training_method is \"subspaces\" (features only, every sample learnt once), "
        "\"resampling\" (weights only, every feature) or any other text for \"patches\" (both). "
        "ADWIN detectors over the member's 0/1 error start a background tree on a warning "
        "(warning_delta) and replace the tree on a drift (drift_delta). Members vote with their "
        "accuracy since their tree was last replaced. n_models (at most 100000) takes effect at "
        "reset; seed re-seeds the weights at reset and seeds every patch drawn after it is set; "
        "a NaN, infinite or above-1000 lambda_value makes learn_one raise ValueError when the method draws "
        "weights. The cost of learn_one grows linearly with lambda_value; a long call stops "
        "with KeyboardInterrupt on Ctrl-C. Untrained, predict_one answers 0 and "
        "predict_proba_one {}.",
        py::init<std::int32_t, std::int32_t, double, double, double, std::int32_t, std::int32_t,
                 double, double, std::string>(),
        py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
        py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
        py::arg("grace_period") = 50, py::arg("max_depth") = 20,
        py::arg("split_confidence") = 0.01, py::arg("subspace_fraction") = 0.6,
        py::arg("training_method") = "patches")
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
}

void bind_leveraging_bagging_classifier(py::module_& m) {
    using T = LeveragingBaggingClassifier;
    bind_classifier<T>(
        m, "LeveragingBaggingClassifier",
        "Leveraging bagging of Hoeffding trees.\n\n"
        "Every member sees every feature and learns each sample a Poisson(lambda_value) number "
        "of times; one ADWIN detector (drift_delta) over its 0/1 error replaces its tree by a "
        "fresh one on a drift during which the error rose. The ensemble predicts the unweighted mean of the members' "
        "normalised class distributions. n_models (at most 100000) and seed take effect at "
        "reset; a NaN, infinite or above-1000 lambda_value makes learn_one raise ValueError. The cost of "
        "learn_one grows linearly with lambda_value; a long call stops with KeyboardInterrupt "
        "on Ctrl-C. Untrained, predict_one answers 0 and predict_proba_one {}.",
        py::init<std::int32_t, std::int32_t, double, double, std::int32_t, std::int32_t,
                 double>(),
        py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
        py::arg("drift_delta") = 0.002, py::arg("grace_period") = 50, py::arg("max_depth") = 20,
        py::arg("split_confidence") = 0.01)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
}

void bind_srp_regressor(py::module_& m) {
    using T = SRPRegressor;
    bind_regressor<T>(
        m, "SRPRegressor",
        "Streaming random patches of Hoeffding regression trees.\n\n"
        "Members learn on their patches as in SRPClassifier (training_method \"subspaces\", "
        "\"resampling\" or any other text for \"patches\"); ADWIN detectors over a member's "
        "absolute error start a background tree on a warning (warning_delta) and replace the "
        "tree on a drift (drift_delta). The ensemble predicts the mean of its members that have "
        "learnt. n_models (at most 100000) takes effect at reset; seed re-seeds the weights at "
        "reset and seeds every patch drawn after it is set; a NaN, infinite or above-1000 lambda_value makes "
        "learn_one raise ValueError when the method draws weights. The cost of learn_one grows "
        "linearly with lambda_value; a long call stops with KeyboardInterrupt on Ctrl-C. "
        "Untrained, predict_one answers 0.0.",
        py::init<std::int32_t, std::int32_t, double, double, double, std::int32_t, std::int32_t,
                 double, double, std::string>(),
        py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
        py::arg("drift_delta") = 0.001, py::arg("warning_delta") = 0.01,
        py::arg("grace_period") = 200, py::arg("max_depth") = 20,
        py::arg("learning_rate") = 0.01, py::arg("subspace_fraction") = 0.6,
        py::arg("training_method") = "patches")
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("seed", &T::seed);
}

void bind_leveraging_bagging_regressor(py::module_& m) {
    using T = LeveragingBaggingRegressor;
    bind_regressor<T>(
        m, "LeveragingBaggingRegressor",
        "Leveraging bagging of FIMTDD model trees.\n\n"
        "Every member sees every feature and learns each sample a Poisson(lambda_value) number "
        "of times; one ADWIN detector (drift_delta) over its absolute error, divided by the "
        "standard deviation of the targets seen, replaces member i by a fresh tree seeded "
        "seed + i on a drift during which the error rose. The ensemble predicts the mean of its "
        "members. n_models (0 to "
        "100000; a negative count raises ValueError) and seed take effect at reset; "
        "lambda_value at the next learn_one, which raises ValueError when it is NaN or "
        "infinite. The cost of learn_one grows linearly with lambda_value; a long call stops "
        "with KeyboardInterrupt on Ctrl-C. Untrained, or without members, predict_one answers "
        "0.0.",
        py::init<std::int32_t, std::int32_t, double, double, std::int32_t, std::int32_t, double,
                 std::string>(),
        py::arg("n_models") = 10, py::arg("seed") = 0, py::arg("lambda_value") = 6.0,
        py::arg("drift_delta") = 0.002, py::arg("grace_period") = 50, py::arg("max_depth") = 20,
        py::arg("split_confidence") = 0.01, py::arg("leaf_prediction") = "adaptive")
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("lambda_value", &T::lambda_value)
        .def_readwrite("seed", &T::seed);
}

void bind_sgbt_classifier(py::module_& m) {
    using T = SGBTClassifier;
    bind_classifier<T>(
        m, "SGBTClassifier",
        "Streaming gradient boosted trees for classification.\n\n"
        "A booster is a fixed sequence of n_models stages, each a bag of bag_size FIMTDD trees "
        "on a fixed random percentage_of_features of the features, trained on Newton steps of "
        "a logistic (or squared) loss. By default one booster per label, one against the rest; "
        "n_classes=2 uses one booster for the smallest label against the others (n_classes is "
        "read at every call). A booster copies the settings when it is created, so n_models, "
        "learning_rate and seed reach boosters created later. n_models x bag_size is at most "
        "100000 and multiply_hessian_by at most 1000 (ValueError at learn_one). Untrained, predict_one answers 0 and "
        "predict_proba_one {}.",
        py::init<std::int32_t, double, std::int32_t, std::int32_t, std::int32_t, bool, std::int32_t,
                 std::int32_t, bool, std::int32_t, double, std::int32_t, std::string,
                 std::int32_t>(),
        py::arg("n_models") = 100, py::arg("learning_rate") = 0.0125,
        py::arg("percentage_of_features") = 75, py::arg("multiply_hessian_by") = 1,
        py::arg("skip_training") = 1, py::arg("use_squared_loss") = false,
        py::arg("bag_size") = 1, py::arg("n_classes") = 0,
        py::arg("scale_prediction_by_lr") = false, py::arg("grace_period") = 25,
        py::arg("split_confidence") = 0.05, py::arg("max_depth") = 20,
        py::arg("leaf_prediction") = "mean", py::arg("seed") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("n_classes", &T::n_classes)
        .def_readwrite("seed", &T::seed);
}

void bind_sgbr_regressor(py::module_& m) {
    using T = SGBRRegressor;
    bind_regressor<T>(
        m, "SGBRRegressor",
        "Streaming gradient boosted trees for regression.\n\n"
        "One booster with squared loss, created at the first learn_one: n_models stages, each "
        "a bag of bag_size FIMTDD trees on a fixed random percentage_of_features of the "
        "features. predict_one answers the sum of the stage means (0.0 before learning). "
        "n_models, learning_rate and seed reach the booster created after reset. n_models x "
        "bag_size is at most 100000 and multiply_hessian_by at most 1000 (ValueError at "
        "learn_one).",
        py::init<std::int32_t, double, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                 std::int32_t, double, std::int32_t, std::string, std::int32_t>(),
        py::arg("n_models") = 10, py::arg("learning_rate") = 1.0,
        py::arg("percentage_of_features") = 75, py::arg("multiply_hessian_by") = 1,
        py::arg("skip_training") = 1, py::arg("bag_size") = 10, py::arg("grace_period") = 50,
        py::arg("split_confidence") = 0.01, py::arg("max_depth") = 20,
        py::arg("leaf_prediction") = "mean", py::arg("seed") = 1)
        .def_readwrite("n_models", &T::n_models)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("seed", &T::seed);
}

}  // namespace tarvo::bindings
