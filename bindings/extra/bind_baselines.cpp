#include "../class_binders.hpp"
#include "baselines/majority_class_classifier.hpp"
#include "baselines/mean_regressor.hpp"
#include "baselines/no_change_classifier.hpp"
#include "extra.hpp"

namespace tarvo::bindings {

// The baselines ignore the features: they are the floor every learner should
// beat on a stream.

void bind_no_change_classifier(py::module_& m) {
    bind_classifier<NoChangeClassifier>(
        m, "NoChangeClassifier",
        "Baseline that predicts the label of the last sample learnt, whatever the features.\n\n"
        "Before any label it predicts 0 and its probabilities are empty; after, they give 1.0 to the "
        "last label and 0.0 to every other label learnt so far.",
        py::init<>());
}

void bind_majority_class_classifier(py::module_& m) {
    bind_classifier<MajorityClassClassifier>(
        m, "MajorityClassClassifier",
        "Baseline that predicts the label learnt most often so far, whatever the features.\n\n"
        "Of labels learnt equally often it predicts the smallest. Its probabilities are each label's "
        "share of the samples learnt. Before any label it predicts 0 and its probabilities are empty.",
        py::init<>());
}

void bind_mean_regressor(py::module_& m) {
    bind_regressor<MeanRegressor>(
        m, "MeanRegressor",
        "Baseline that predicts the mean of every target learnt so far, whatever the features.\n\n"
        "It predicts 0.0 before any target. A NaN or infinite target makes the prediction NaN or "
        "infinite until reset().",
        py::init<>());
}

}  // namespace tarvo::bindings
