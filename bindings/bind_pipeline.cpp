#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "class_binders.hpp"
#include "pipeline/classification_pipeline.hpp"
#include "pipeline/regression_pipeline.hpp"

namespace tarvo::bindings {

namespace {

using Steps = std::vector<std::shared_ptr<ITransformer>>;

// None converts to a null handle; a pipeline holding one would fail at its
// first call, so it is refused here, naming the argument.
template <class Learner>
void refuse_none(const char* pipeline, const Steps& steps, const std::shared_ptr<Learner>& learner,
                 const char* learner_kind) {
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (!steps[i]) {
            throw py::type_error(std::string(pipeline) + "(): steps[" + std::to_string(i) +
                                 "] is None; every step must be an ITransformer");
        }
    }
    if (!learner) {
        throw py::type_error(std::string(pipeline) + "(): learner is None; it must be an " +
                             learner_kind);
    }
}

// The one method a pipeline adds to its learner interface.
template <class Class>
void def_set_feature_order(Class& cls) {
    using T = typename Class::type;
    cls.def(
        "set_feature_order",
        [](T& self, const std::vector<std::string>& names) { self.set_feature_order(names); },
        "Pass the canonical order of the feature names to every step; the learner is not told.");
}

}  // namespace

void bind_classification_pipeline(py::module_& m) {
    using T = ClassificationPipeline;
    auto cls = bind_classifier<T>(
        m, "ClassificationPipeline",
        "Transformers chained in front of a classifier.\n\n"
        "learn_one lets each step learn from the sample as the steps before it left it (with "
        "the label as a float for a step that needs the target), then transform it, and the "
        "learner learn the result; prediction only transforms. Steps and learner are shared "
        "with the caller, who sees what they learn; the caller's dict is never modified. "
        "Pipelines nest at most 100 deep.",
        py::init([](Steps steps, std::shared_ptr<IClassifier> learner) {
            refuse_none("ClassificationPipeline", steps, learner, "IClassifier");
            return std::make_shared<T>(std::move(steps), std::move(learner));
        }),
        py::arg("steps"), py::arg("learner"));
    def_set_feature_order(cls);
}

void bind_regression_pipeline(py::module_& m) {
    using T = RegressionPipeline;
    auto cls = bind_regressor<T>(
        m, "RegressionPipeline",
        "Transformers chained in front of a regressor.\n\n"
        "learn_one lets each step learn from the sample as the steps before it left it (with "
        "the target for a step that needs it), then transform it, and the learner learn the "
        "result; prediction only transforms. Steps and learner are shared with the caller, who "
        "sees what they learn; the caller's dict is never modified. Pipelines nest at most 100 "
        "deep.",
        py::init([](Steps steps, std::shared_ptr<IRegressor> learner) {
            refuse_none("RegressionPipeline", steps, learner, "IRegressor");
            return std::make_shared<T>(std::move(steps), std::move(learner));
        }),
        py::arg("steps"), py::arg("learner"));
    def_set_feature_order(cls);
}

}  // namespace tarvo::bindings
