#include <stdexcept>
#include <string>

#include "bindings.hpp"
#include "class_binders.hpp"
#include "tree/efdt_classifier.hpp"
#include "tree/fimtdd_regressor.hpp"
#include "tree/hoeffding_adaptive_tree_classifier.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/hoeffding_tree_regressor.hpp"
#include "tree/sgt_classifier.hpp"

namespace tarvo::bindings {

namespace {
constexpr int kMaxSplitPoints = HoeffdingTreeClassifier::kMaxSplitPoints;
}  // namespace

void bind_hoeffding_tree_classifier(py::module_& m) {
    using T = HoeffdingTreeClassifier;
    auto cls = bind_classifier<T>(
        m, "HoeffdingTreeClassifier",
        "Incrementally grown decision tree on numeric features (Hoeffding tree).\n\n"
        "Leaves keep class weights and per-class Gaussian statistics; every grace_period units "
        "of leaf weight a leaf scores candidate thresholds and splits when the best beats the "
        "runner-up by more than the Hoeffding bound, or the bound falls below tie_threshold. "
        "split_criterion is \"gini\" or (anything else) information gain; leaf_prediction is "
        "\"mc\", \"nb\" or (anything else) \"nba\", the better of the two at each leaf. "
        "Untrained, predict_one answers 0 and predict_proba_one {}.",
        py::init<int, double, double, int, int, std::string>(), py::arg("grace_period") = 200,
        py::arg("split_confidence") = 1e-7, py::arg("tie_threshold") = 0.05,
        py::arg("nb_threshold") = 0, py::arg("max_depth") = 20,
        py::arg("split_criterion") = "info_gain")
        .def_readwrite("grace_period", &T::grace_period)
        .def_readwrite("split_confidence", &T::split_confidence)
        .def_readwrite("tie_threshold", &T::tie_threshold)
        .def_readwrite("max_depth", &T::max_depth)
        .def_property(
            "n_split_points", [](const T& self) { return self.n_split_points; },
            [](T& self, int value) {
                if (value > kMaxSplitPoints) {
                    throw std::invalid_argument("n_split_points must be at most " +
                                                std::to_string(kMaxSplitPoints));
                }
                self.n_split_points = value;
            },
            "Candidate thresholds per feature and split attempt (at most 100000).")
        .def_readwrite("no_pre_prune", &T::no_pre_prune);
    def_text_option(cls, "split_criterion", &T::split_criterion);
    def_text_option(cls, "leaf_prediction", &T::leaf_prediction);
}

void bind_efdt_classifier(py::module_& m) {
    bind_classifier<EFDTClassifier, HoeffdingTreeClassifier>(
        m, "EFDTClassifier",
        "Hoeffding tree with information gain and a default split_confidence of 1e-5; learns "
        "and predicts exactly as HoeffdingTreeClassifier, whose methods and properties it "
        "inherits.",
        py::init<int, double, double, int, int>(), py::arg("grace_period") = 200,
        py::arg("split_confidence") = 1e-5, py::arg("tie_threshold") = 0.05,
        py::arg("nb_threshold") = 0, py::arg("max_depth") = 20);
}

void bind_sgt_classifier(py::module_& m) {
    using T = SGTClassifier;
    bind_classifier<T>(
        m, "SGTClassifier",
        "Stochastic gradient tree: a binary classifier whose tree leaves hold a logit.\n\n"
        "Labels greater than 0 are the positive class. Each sample adds the logistic loss's "
        "gradient and hessian at its leaf, whose logit takes a regularised Newton step "
        "(learning_rate, lambda_). Every grace_period samples a leaf above max_depth considers "
        "splitting each feature at its gradient-weighted mean, estimating each side's share "
        "of the hessian from a hessian-weighted Gaussian and of the gradient from Gaussians of "
        "the samples with positive and with negative gradient. predict_one answers 1 when the "
        "leaf's logit is >= 0; untrained, 1 and {1: 0.5, 0: 0.5}.",
        py::init<double, double, std::int32_t, std::int32_t>(), py::arg("learning_rate") = 0.1,
        py::arg("lambda_") = 0.1, py::arg("grace_period") = 200, py::arg("max_depth") = 6)
        .def_readwrite("learning_rate", &T::learning_rate)
        .def_readwrite("lambda_", &T::lambda_)
        .def_readwrite("grace_period", &T::grace_period)
        .def_readwrite("max_depth", &T::max_depth);
}

void bind_hoeffding_adaptive_tree_classifier(py::module_& m) {
    using T = HoeffdingAdaptiveTreeClassifier;
    bind_classifier<T>(
        m, "HoeffdingAdaptiveTreeClassifier",
        "Hoeffding tree that follows concept drift.\n\n"
        "Two ADWIN detectors watch the tree's 0/1 test-then-train error: a warning "
        "(warning_delta) starts a background tree, a drift (drift_delta) replaces the tree by "
        "the background tree, or by a fresh tree when there is none. Only alarms about a "
        "rising error count: a tree whose error is falling is kept. grace_period and "
        "max_depth apply to trees built after they are set.",
        py::init<int, double, double, int, int, double, double, std::string>(),
        py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-7,
        py::arg("tie_threshold") = 0.05, py::arg("nb_threshold") = 0, py::arg("max_depth") = 20,
        py::arg("drift_delta") = 0.002, py::arg("warning_delta") = 0.02,
        py::arg("split_criterion") = "info_gain")
        .def_readwrite("grace_period", &T::grace_period)
        .def_readwrite("max_depth", &T::max_depth);
}

void bind_hoeffding_tree_regressor(py::module_& m) {
    using T = HoeffdingTreeRegressor;
    auto cls = bind_regressor<T>(
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
        .def_readwrite("learning_rate", &T::learning_rate);
    def_text_option(cls, "leaf_prediction", &T::leaf_prediction);
}

void bind_fimtdd_regressor(py::module_& m) {
    using T = FIMTDDRegressor;
    auto cls = bind_regressor<T>(
        m, "FIMTDDRegressor",
        "Incremental model tree for drifting streams (FIMT-DD).\n\n"
        "Leaves keep an extended binary search tree of each feature's values and split on the "
        "threshold of greatest standard-deviation reduction when the runner-up's reduction is "
        "below 1 - epsilon of the best's (epsilon the Hoeffding bound) or epsilon falls below "
        "tie_threshold. leaf_prediction: \"mean\", \"perceptron\" (a linear model on globally "
        "standardised features), or any other text for \"adaptive\" (whichever has erred less). "
        "A Page-Hinkley test at every internal node starts an alternate subtree on rising error; "
        "it replaces the node's subtree once its faded squared error is lower, or is dropped after "
        "alternate_tree_time samples. Memory at a leaf grows with the distinct feature values seen "
        "there until it splits (leaves at max_depth keep none). seed takes effect at reset(). "
        "Untrained, predict_one answers 0.0.",
        py::init<std::int32_t, double, double, std::int32_t, std::string, double, double, bool,
                 double, double, double, std::int32_t, std::int32_t, bool, std::int32_t>(),
        py::arg("grace_period") = 200, py::arg("split_confidence") = 1e-7,
        py::arg("tie_threshold") = 0.05, py::arg("max_depth") = 20,
        py::arg("leaf_prediction") = "adaptive", py::arg("learning_ratio") = 0.02,
        py::arg("learning_rate_decay") = 0.001, py::arg("learning_ratio_const") = false,
        py::arg("page_hinckley_alpha") = 0.005, py::arg("page_hinckley_threshold") = 50.0,
        py::arg("alternate_tree_fading_factor") = 0.995, py::arg("alternate_tree_t_min") = 150,
        py::arg("alternate_tree_time") = 1500, py::arg("drift_detection") = true,
        py::arg("seed") = 1)
        .def(
            "n_splits", [](const T& self) { return self.n_splits(); },
            "Splits made so far, alternate subtrees included (discarded ones too).")
        .def_readwrite("grace_period", &T::grace_period)
        .def_readwrite("split_confidence", &T::split_confidence);
    def_text_option(cls, "leaf_prediction", &T::leaf_prediction)
        .def_readwrite("drift_detection", &T::drift_detection)
        .def_readwrite("seed", &T::seed);
}

}  // namespace tarvo::bindings
