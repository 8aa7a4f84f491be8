#include "bindings.hpp"
#include "class_binders.hpp"
#include "metrics/accuracy.hpp"
#include "metrics/error_metrics.hpp"
#include "metrics/macro.hpp"
#include "metrics/r2.hpp"
#include "metrics/window_metric.hpp"
#include "metrics/window_regression_metric.hpp"

namespace tarvo::bindings {

void bind_accuracy(py::module_& m) {
    bind_metric<Accuracy, int>(m, "Accuracy",
                               "Share of updates whose true and predicted labels are equal.",
                               kTrueThenPred, py::init<>());
}

void bind_macro_precision(py::module_& m) {
    bind_metric<MacroPrecision, int>(
        m, "MacroPrecision",
        "Precision averaged over every label seen, true or predicted, with equal weights.",
        kTrueThenPred, py::init<>());
}

void bind_macro_recall(py::module_& m) {
    bind_metric<MacroRecall, int>(
        m, "MacroRecall",
        "Recall averaged over every label seen, true or predicted, with equal weights.",
        kTrueThenPred, py::init<>());
}

void bind_macro_f1(py::module_& m) {
    bind_metric<MacroF1, int>(
        m, "MacroF1",
        "F1 averaged over every label seen, true or predicted, with equal weights; per label "
        "2tp / (2tp + fp + fn).",
        kTrueThenPred, py::init<>());
}

void bind_mae(py::module_& m) {
    bind_metric<MAE, double>(m, "MAE", "Mean absolute error.", kTrueThenPred, py::init<>());
}

void bind_rmse(py::module_& m) {
    bind_metric<RMSE, double>(m, "RMSE", "Root mean squared error.", kTrueThenPred, py::init<>());
}

void bind_window_metric(py::module_& m) {
    bind_metric<WindowMetric, int>(
        m, "WindowMetric",
        "Accuracy and macro F1 over the last window_size (predicted, actual) pairs.\n\n"
        "get(1) gives macro_f1(), any other value accuracy(). Negative labels count for "
        "accuracy only. A window size of 0 or less ignores every update.",
        UpdateArgs{"predicted", "actual"}, py::init<int>(), py::arg("window_size") = 1000)
        .def("accuracy", &WindowMetric::accuracy, "Share of equal pairs in the window.")
        .def("macro_f1", &WindowMetric::macro_f1,
             "F1 averaged over the non-negative labels present in the window.")
        .def_property_readonly("size", &WindowMetric::size, "Number of pairs in the window.");
}

void bind_window_regression_metric(py::module_& m) {
    bind_metric<WindowRegressionMetric, double>(
        m, "WindowRegressionMetric",
        "Mean absolute and root mean squared error over the last window_size pairs.\n\n"
        "get(1) gives rmse(), any other value mae(). A window size of 0 or less ignores every "
        "update.",
        kTrueThenPred, py::init<int>(), py::arg("window_size") = 1000)
        .def("mae", &WindowRegressionMetric::mae, "Mean absolute error over the window.")
        .def("rmse", &WindowRegressionMetric::rmse, "Root mean squared error over the window.")
        .def_property_readonly("size", &WindowRegressionMetric::size,
                               "Number of pairs in the window.");
}

void bind_r2(py::module_& m) {
    bind_metric<R2, double>(m, "R2",
                            "Coefficient of determination, 1 - SSE / total sum of squares; not "
                            "clipped, 0.0 while the true targets have no spread.",
                            kTrueThenPred, py::init<>());
}

}  // namespace tarvo::bindings
