#include <cstdint>

#include "bindings.hpp"
#include "class_binders.hpp"
#include "preprocessing/max_abs_scaler.hpp"
#include "preprocessing/min_max_scaler.hpp"
#include "preprocessing/select_k_best.hpp"
#include "preprocessing/standard_scaler.hpp"
#include "preprocessing/variance_threshold.hpp"

namespace tarvo::bindings {

void bind_standard_scaler(py::module_& m) {
    bind_transformer<StandardScaler>(
        m, "StandardScaler",
        "Centres every feature on its running mean and, with with_std, divides by its running "
        "population standard deviation.\n\n"
        "A feature never learnt, or with zero variance, maps to 0.0; with with_std false a "
        "feature never learnt passes unchanged. The variance is updated only while with_std "
        "is true.",
        py::init<bool>(), py::arg("with_std") = true)
        .def_readwrite("with_std", &StandardScaler::with_std);
}

void bind_min_max_scaler(py::module_& m) {
    bind_transformer<MinMaxScaler>(
        m, "MinMaxScaler",
        "Maps every feature to (v - min) / (max - min) by its running minimum and maximum, not "
        "clipped. A feature never learnt, or with a zero range, maps to 0.0.",
        py::init<>());
}

void bind_max_abs_scaler(py::module_& m) {
    bind_transformer<MaxAbsScaler>(
        m, "MaxAbsScaler",
        "Divides every feature by its running maximum absolute value, not clipped. A feature "
        "never learnt, or learnt only as zeros, maps to 0.0.",
        py::init<>());
}

void bind_variance_threshold(py::module_& m) {
    using T = VarianceThreshold;
    bind_transformer<T>(
        m, "VarianceThreshold",
        "Drops the features whose running sample variance is not above threshold once they "
        "have been learnt min_samples times.\n\n"
        "Features never learnt, or learnt fewer times, are kept; kept values are unchanged.",
        py::init<double, std::int32_t>(), py::arg("threshold") = 0.0, py::arg("min_samples") = 2)
        .def_readwrite("threshold", &T::threshold)
        .def_readwrite("min_samples", &T::min_samples);
}

void bind_select_k_best(py::module_& m) {
    using T = SelectKBest;
    bind_transformer<T>(
        m, "SelectKBest",
        "Keeps the k features whose running Pearson correlation with the target is highest "
        "(by absolute value with use_abs).\n\n"
        "Without use_abs the signed correlation ranks, so a strong negative predictor ranks "
        "last and is dropped: pass use_abs=True to keep the strongest predictors of either "
        "sign. "
        "Equal scores keep the feature first named by set_feature_order or first learnt; a "
        "NaN score ranks last. Before anything is learnt a sample passes unchanged, afterwards "
        "features never learnt are dropped; k <= 0 keeps nothing. reset keeps the tie order. "
        "A new k applies when the selection is next recomputed (after a learn_one, "
        "set_feature_order or reset), a new use_abs to the scores of later learn_one calls.",
        py::init<std::int32_t, bool>(), py::arg("k") = 10, py::arg("use_abs") = false)
        .def_readwrite("k", &T::k)
        .def_readwrite("use_abs", &T::use_abs);
}

}  // namespace tarvo::bindings
