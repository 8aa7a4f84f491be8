#include <memory>

#include "bindings.hpp"
#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"

namespace tarvo::bindings {

// The interfaces have no constructor and no methods: they exist so that
// functions taking an interface accept any derived object.

void bind_itransformer(py::module_& m) {
    py::class_<ITransformer, std::shared_ptr<ITransformer>>(
        m, "ITransformer", "Interface of the online preprocessing steps.");
}

void bind_iclassifier(py::module_& m) {
    py::class_<IClassifier, std::shared_ptr<IClassifier>>(
        m, "IClassifier", "Interface of the classifiers (integer class labels).");
}

void bind_iregressor(py::module_& m) {
    py::class_<IRegressor, std::shared_ptr<IRegressor>>(
        m, "IRegressor", "Interface of the regressors (real-valued targets).");
}

}  // namespace tarvo::bindings
