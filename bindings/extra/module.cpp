// The module _tarvo_extra: the docstring, then every class in registration
// order. Its classes derive from the interfaces of _tarvo_core, which is
// imported first, and its objects go through _tarvo_batch like the core's.

#include "extra.hpp"

PYBIND11_MODULE(_tarvo_extra, m, pybind11::multiple_interpreters::not_supported()) {
    using namespace tarvo::bindings;
    pybind11::module_::import("_tarvo_core");  // the interfaces its classes derive from

    m.doc() =
        "Tarvo: classes beyond the core - wrappers around the learners of _tarvo_core, "
        "usable wherever those are (pipelines, tarvo.batch, pickle); drift detectors; baselines; "
        "anomaly detection.";

    bind_scaled_target_regressor(m);    //  1 ScaledTargetRegressor
    bind_ddm(m);                        //  2 DDM
    bind_hddm_a(m);                     //  3 HDDM_A
    bind_hddm_w(m);                     //  4 HDDM_W
    bind_page_hinkley(m);               //  5 PageHinkley (native PageHinkleyDetector)
    bind_kswin(m);                      //  6 KSWIN
    bind_no_change_classifier(m);       //  7 NoChangeClassifier
    bind_majority_class_classifier(m);  //  8 MajorityClassClassifier
    bind_mean_regressor(m);             //  9 MeanRegressor
    bind_half_space_trees(m);           // 10 HalfSpaceTrees
    bind_roc_auc(m);                    // 11 ROCAUC
}
