#pragma once

#include <pybind11/pybind11.h>

// One registration function per class, grouped by subsystem; module.cpp calls
// them in registration order.
namespace tarvo::bindings {

namespace py = pybind11;

// bind_core.cpp
void bind_itransformer(py::module_& m);
void bind_iclassifier(py::module_& m);
void bind_iregressor(py::module_& m);

// bind_linear.cpp
void bind_naive_bayes(py::module_& m);
void bind_perceptron(py::module_& m);
void bind_logistic_regression(py::module_& m);
void bind_passive_aggressive_classifier(py::module_& m);
void bind_softmax_regression(py::module_& m);
void bind_linear_regression(py::module_& m);
void bind_bayesian_linear_regression(py::module_& m);
void bind_passive_aggressive_regressor(py::module_& m);

// bind_neighbors.cpp
void bind_knn_classifier(py::module_& m);
void bind_knn_regressor(py::module_& m);

// bind_tree.cpp
void bind_hoeffding_tree_regressor(py::module_& m);
void bind_hoeffding_tree_classifier(py::module_& m);
void bind_efdt_classifier(py::module_& m);
void bind_sgt_classifier(py::module_& m);
void bind_hoeffding_adaptive_tree_classifier(py::module_& m);
void bind_fimtdd_regressor(py::module_& m);

// bind_ensemble.cpp
void bind_arf_classifier(py::module_& m);
void bind_arf_regressor(py::module_& m);
void bind_srp_classifier(py::module_& m);
void bind_leveraging_bagging_classifier(py::module_& m);
void bind_srp_regressor(py::module_& m);
void bind_leveraging_bagging_regressor(py::module_& m);
void bind_sgbt_classifier(py::module_& m);
void bind_sgbr_regressor(py::module_& m);

// bind_preprocessing.cpp
void bind_standard_scaler(py::module_& m);
void bind_min_max_scaler(py::module_& m);
void bind_max_abs_scaler(py::module_& m);
void bind_variance_threshold(py::module_& m);
void bind_select_k_best(py::module_& m);

// bind_pipeline.cpp
void bind_classification_pipeline(py::module_& m);
void bind_regression_pipeline(py::module_& m);

// bind_metrics.cpp
void bind_accuracy(py::module_& m);
void bind_macro_precision(py::module_& m);
void bind_macro_recall(py::module_& m);
void bind_macro_f1(py::module_& m);
void bind_mae(py::module_& m);
void bind_rmse(py::module_& m);
void bind_window_metric(py::module_& m);
void bind_window_regression_metric(py::module_& m);
void bind_r2(py::module_& m);

// bind_drift.cpp
void bind_adwin(py::module_& m);
void bind_eddm(py::module_& m);

}  // namespace tarvo::bindings
