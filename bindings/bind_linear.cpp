#include "bindings.hpp"
#include "class_binders.hpp"
#include "linear/naive_bayes.hpp"

namespace tarvo::bindings {

void bind_naive_bayes(py::module_& m) {
    bind_classifier<NaiveBayes>(
        m, "NaiveBayes",
        "Online Gaussian naive Bayes classifier.\n\n"
        "Keeps per class a count and, per feature, a running mean and variance; "
        "predicts with the class prior times one normal density per feature. "
        "Untrained, predict_one answers -1 and predict_proba_one {}.",
        py::init<>());
}

}  // namespace tarvo::bindings
