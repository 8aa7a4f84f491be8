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

// The native object held by `obj`, an instance of Base; TypeError naming
// `what` otherwise.
template <class Base>
std::shared_ptr<Base> held(const py::handle& obj, const std::string& what, const char* kind) {
    std::shared_ptr<Base> p;
    if (py::isinstance<Base>(obj)) {
        try {
            p = obj.cast<std::shared_ptr<Base>>();
        } catch (const py::cast_error&) {
            p.reset();  // an instance whose __init__ never ran
        }
    }
    if (!p) {
        const auto type_name = std::string(py::str(py::type::handle_of(obj).attr("__name__")));
        throw py::type_error(what + " is a " + type_name + ", not an initialised " + kind);
    }
    return p;
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

// Pickling keeps the steps and learner as objects (see pipeline_state);
// copy.copy and copy.deepcopy copy them too, so that a copy fed the same
// stream as the original gives the same outputs without touching it.
// __repr__ shows the reprs of the steps and the learner.
template <class Class, class Learner>
void def_pipeline_persistence(Class& cls, const char* name, const char* learner_kind) {
    using T = typename Class::type;
    cls.def(py::pickle([name](const T& self) { return pipeline_state(self, name); },
                       [name, learner_kind](const py::object& state) {
                           return restore_pipeline<T, Learner>(state, name, learner_kind);
                       }));
    cls.def(
        "__deepcopy__",
        [name, learner_kind](const T& self, const py::dict& memo) {
            const py::object deepcopy = py::module_::import("copy").attr("deepcopy");
            py::list steps;
            for (const auto& step : step_objects(self)) {
                steps.append(deepcopy(step, memo));
            }
            const py::object learner = deepcopy(py::cast(self.learner()), memo);
            PipelineRecord record{self.steps().size(), self.depth()};
            const py::object state =
                py::make_tuple(py::bytes(save_object(record, name)), steps, learner);
            return restore_pipeline<T, Learner>(state, name, learner_kind);
        },
        py::arg("memo"), "A copy whose steps and learner are copies too.");
    cls.def(
        "__copy__",
        [](const py::object& self) { return py::module_::import("copy").attr("deepcopy")(self); },
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
        py::init([](Steps steps, std::shared_ptr<IClassifier> learner) {
            refuse_none("ClassificationPipeline", steps, learner, "IClassifier");
            return std::make_shared<T>(std::move(steps), std::move(learner));
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
        py::init([](Steps steps, std::shared_ptr<IRegressor> learner) {
            refuse_none("RegressionPipeline", steps, learner, "IRegressor");
            return std::make_shared<T>(std::move(steps), std::move(learner));
        }),
        py::arg("steps"), py::arg("learner"));
    def_set_feature_order(cls);
    def_pipeline_persistence<decltype(cls), IRegressor>(cls, "RegressionPipeline", "IRegressor");
}

}  // namespace tarvo::bindings
