#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "class_binders.hpp"
#include "pipeline/classification_pipeline.hpp"
#include "pipeline/pipeline_record.hpp"
#include "pipeline/regression_pipeline.hpp"

namespace tarvo::bindings {

namespace {

using Steps = std::vector<std::shared_ptr<ITransformer>>;

// A new pipeline from the objects given to its constructor; TypeError naming
// steps[i] or learner for None, an object of another kind or one whose
// constructor never ran.
template <class T, class Learner>
std::shared_ptr<T> make_pipeline(const char* name, const py::iterable& given,
                                 const py::object& learner, const char* learner_kind) {
    const std::string where = std::string(name) + "(): ";
    if (py::isinstance<py::str>(given) || py::isinstance<py::bytes>(given)) {
        throw py::type_error(where + "steps must be a list of ITransformer objects");
    }
    Steps steps;
    for (const py::handle step : given) {
        steps.push_back(held<ITransformer>(
            step, where + "steps[" + std::to_string(steps.size()) + "]", "ITransformer"));
    }
    return std::make_shared<T>(std::move(steps),
                               held<Learner>(learner, where + "learner", learner_kind));
}

// The Python objects of a pipeline's steps, in list order.
template <class T>
py::list step_objects(const T& self) {
    py::list steps;
    for (const auto& step : self.steps()) {
        steps.append(py::cast(step));
    }
    return steps;
}

// The saved state of a pipeline: (record, steps, learner), the steps and the
// learner being the Python objects themselves, so that pickle's memo keeps an
// object shared between the pipeline and its caller shared.
template <class T>
py::object pipeline_state(const T& self, const char* name) {
    PipelineRecord record{self.steps().size(), self.depth()};
    return py::make_tuple(py::bytes(save_object(record, name)), step_objects(self),
                          py::cast(self.learner()));
}

// A pipeline rebuilt from a saved state; TypeError for objects of the wrong
// kind, ValueError for a record that does not match them or nesting too deep.
template <class T, class Learner>
std::shared_ptr<T> restore_pipeline(const py::object& state, const char* name,
                                    const char* learner_kind) {
    const std::string where = std::string(name) + ".__setstate__(): ";
    if (!py::isinstance<py::tuple>(state) || py::len(state) != 3) {
        throw py::type_error(where + "the state must be a (bytes, list of steps, learner) tuple");
    }
    const auto parts = py::reinterpret_borrow<py::tuple>(state);
    if (!py::isinstance<py::bytes>(parts[0]) || !py::isinstance<py::list>(parts[1])) {
        throw py::type_error(where + "the state must be a (bytes, list of steps, learner) tuple");
    }
    const auto record = load_object<std::shared_ptr<PipelineRecord>>(
        static_cast<std::string_view>(py::reinterpret_borrow<py::bytes>(parts[0])), name);
    const auto list = py::reinterpret_borrow<py::list>(parts[1]);
    Steps steps;
    for (std::size_t i = 0; i < list.size(); ++i) {
        steps.push_back(held<ITransformer>(list[i], where + "steps[" + std::to_string(i) + "]",
                                           "ITransformer"));
    }
    auto learner = held<Learner>(parts[2], where + "the learner", learner_kind);
    auto self = std::make_shared<T>(std::move(steps), std::move(learner));  // checks the depth
    if (record->n_steps != self->steps().size() || record->depth != self->depth()) {
        throw py::value_error("cannot load " + std::string(name) +
                              ": the saved steps or learner do not match the pipeline");
    }
    return self;
}

// A copy of a pipeline whose steps and learner are deep copies (sharing
// what they share through `memo`).
template <class T, class Learner>
std::shared_ptr<T> copy_pipeline(const T& self, const py::dict& memo, const char* name,
                                 const char* learner_kind) {
    const py::object deepcopy = py::module_::import("copy").attr("deepcopy");
    py::list steps;
    for (const auto& step : step_objects(self)) {
        steps.append(deepcopy(step, memo));
    }
    const py::object learner = deepcopy(py::cast(self.learner()), memo);
    PipelineRecord record{self.steps().size(), self.depth()};
    const py::object state = py::make_tuple(py::bytes(save_object(record, name)), steps, learner);
    return restore_pipeline<T, Learner>(state, name, learner_kind);
}

// Pickling keeps the steps and learner as objects (see pipeline_state);
// copy.copy and copy.deepcopy copy them too, so that a copy fed the same
// stream as the original gives the same outputs without touching it.
// __repr__ shows the reprs of the steps and the learner.
template <class Class, class Learner>
void def_pipeline_persistence(Class& cls, const char* name, const char* learner_kind) {
    using T = typename Class::type;
    def_pickling<Class, py::object>(
        cls, name, [name](const T& self) { return pipeline_state(self, name); },
        [name, learner_kind](const py::object& state) {
            return restore_pipeline<T, Learner>(state, name, learner_kind);
        });
    cls.def(
        "__deepcopy__",
        [name, learner_kind](const T& self, const py::dict& memo) {
            return copy_pipeline<T, Learner>(self, memo, name, learner_kind);
        },
        py::arg("memo"), "A copy whose steps and learner are copies too.");
    cls.def(
        "__copy__",
        [name, learner_kind](const T& self) {
            return copy_pipeline<T, Learner>(self, py::dict(), name, learner_kind);
        },
        "A copy whose steps and learner are copies too (the same as copy.deepcopy).");
    cls.def("__repr__", [name](const T& self) {
        return std::string(name) + "(steps=" + std::string(py::repr(step_objects(self))) +
               ", learner=" + std::string(py::repr(py::cast(self.learner()))) + ")";
    });
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
        "Pipelines nest at most 100 deep.\n\n"
        "pickle saves the steps and learner as the objects they are, so that an object shared "
        "with the caller is still shared after a round trip that carries both; copy.copy and "
        "copy.deepcopy copy the steps and learner too, so a copy shares nothing with the "
        "original.",
        py::init([](const py::typing::Iterable<ITransformer>& steps,
                    const py::typing::Union<IClassifier>& learner) {
            return make_pipeline<T, IClassifier>("ClassificationPipeline", steps, learner, "IClassifier");
        }),
        py::arg("steps"), py::arg("learner"));
    def_set_feature_order(cls);
    def_pipeline_persistence<decltype(cls), IClassifier>(cls, "ClassificationPipeline",
                                                         "IClassifier");
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
        "deep.\n\n"
        "pickle saves the steps and learner as the objects they are, so that an object shared "
        "with the caller is still shared after a round trip that carries both; copy.copy and "
        "copy.deepcopy copy the steps and learner too, so a copy shares nothing with the "
        "original.",
        py::init([](const py::typing::Iterable<ITransformer>& steps,
                    const py::typing::Union<IRegressor>& learner) {
            return make_pipeline<T, IRegressor>("RegressionPipeline", steps, learner, "IRegressor");
        }),
        py::arg("steps"), py::arg("learner"));
    def_set_feature_order(cls);
    def_pipeline_persistence<decltype(cls), IRegressor>(cls, "RegressionPipeline", "IRegressor");
}

}  // namespace tarvo::bindings
