#pragma once

// What every learner, transformer and metric binding shares lives here once:
// a class's own binding states only its constructor and its properties.

#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/classifier.hpp"
#include "core/feature_map.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"

namespace tarvo::bindings {

namespace py = pybind11;

template <class T, class Base>
using SharedClass = py::class_<T, Base, std::shared_ptr<T>>;

// Registers a classifier with its constructor and the four learner methods.
// Sample and label are positional-only, as for every learner. A classifier
// derived from another bound classifier gets only its constructor.
template <class T, class Base = IClassifier, class Init, class... InitExtra>
SharedClass<T, Base> bind_classifier(py::module_& m, const char* name, const char* doc, Init&& init,
                                     const InitExtra&... init_extra) {
    SharedClass<T, Base> cls(m, name, doc);
    cls.def(std::forward<Init>(init), init_extra...);
    // A subclass of a bound classifier inherits the methods from it.
    if constexpr (std::is_same_v<Base, IClassifier>) {
        cls.def(
            "learn_one", [](T& self, const FeatureMap& x, int y) { self.learn_one(x, y); },
            "Learn from one labelled sample.");
        cls.def(
            "predict_one", [](T& self, const FeatureMap& x) { return self.predict_one(x); },
            "The predicted label for one sample.");
        cls.def(
            "predict_proba_one",
            [](T& self, const FeatureMap& x) { return self.predict_proba_one(x); },
            "Class probabilities for one sample, one entry per known label.");
        cls.def(
            "reset", [](T& self) { self.reset(); },
            "Forget everything learnt; hyper-parameters are kept.");
    }
    return cls;
}

// Registers a regressor with its constructor and the three learner methods.
template <class T, class Base = IRegressor, class Init, class... InitExtra>
SharedClass<T, Base> bind_regressor(py::module_& m, const char* name, const char* doc, Init&& init,
                                    const InitExtra&... init_extra) {
    SharedClass<T, Base> cls(m, name, doc);
    cls.def(std::forward<Init>(init), init_extra...);
    cls.def(
        "learn_one", [](T& self, const FeatureMap& x, double y) { self.learn_one(x, y); },
        "Learn from one sample and its target.");
    cls.def(
        "predict_one", [](T& self, const FeatureMap& x) { return self.predict_one(x); },
        "The predicted target for one sample.");
    cls.def(
        "reset", [](T& self) { self.reset(); },
        "Forget everything learnt; hyper-parameters are kept.");
    return cls;
}

// A transformer that needs the target declares requires_target() itself; one
// that uses the canonical feature order declares set_feature_order().
template <class T>
inline constexpr bool declares_requires_target =
    !std::is_same_v<decltype(&T::requires_target), decltype(&ITransformer::requires_target)>;
template <class T>
inline constexpr bool declares_feature_order =
    !std::is_same_v<decltype(&T::set_feature_order), decltype(&ITransformer::set_feature_order)>;

// Registers a transformer with its constructor, learn_one (from x alone, or
// from x and the target for a transformer that needs it), transform_one,
// set_feature_order where the class uses it, clone_state and reset. Method
// arguments are positional-only, as for the learners.
template <class T, class Init, class... InitExtra>
SharedClass<T, ITransformer> bind_transformer(py::module_& m, const char* name, const char* doc,
                                              Init&& init, const InitExtra&... init_extra) {
    SharedClass<T, ITransformer> cls(m, name, doc);
    cls.def(std::forward<Init>(init), init_extra...);
    if constexpr (declares_requires_target<T>) {
        cls.def(
            "learn_one", [](T& self, const FeatureMap& x, double y) { self.learn_one(x, y); },
            "Update the statistics from one sample and its target.");
    } else {
        cls.def(
            "learn_one", [](T& self, const FeatureMap& x) { self.learn_one(x); },
            "Update the statistics from one sample.");
    }
    cls.def(
        "transform_one", [](T& self, const FeatureMap& x) { return self.transform_one(x); },
        "The transformed copy of one sample, a new dict; the argument is not modified.");
    if constexpr (declares_feature_order<T>) {
        cls.def(
            "set_feature_order",
            [](T& self, const std::vector<std::string>& names) { self.set_feature_order(names); },
            "Fix the canonical order of the named features (the tie order).");
    }
    cls.def(
        "clone_state", [](const T& self) { return std::make_shared<T>(self); },
        "A new, independent object with the same parameters and a copy of all learnt state.");
    cls.def(
        "reset", [](T& self) { self.reset(); },
        "Forget everything learnt; hyper-parameters are kept.");
    return cls;
}

// A read/write property for a text option: reads the text as stored, and an
// assignment stores the new text (and the choice it selects).
template <class Cls, class T, class Option>
Cls& def_text_option(Cls& cls, const char* name, Option T::*member) {
    cls.def_property(
        name, [member](const T& self) { return (self.*member).text(); },
        [member](T& self, std::string text) { self.*member = std::move(text); });
    return cls;
}

// Keyword names of a metric's two update arguments, in call order.
struct UpdateArgs {
    const char* first;
    const char* second;
};
inline constexpr UpdateArgs kTrueThenPred{"y_true", "y_pred"};

// Registers a metric (sole ownership) with its constructor, update(first,
// second) taking Value arguments by keyword or position, get and reset. A
// metric whose get picks one of several figures takes it as metric=0.
template <class T, class Value, class Init, class... InitExtra>
py::class_<T> bind_metric(py::module_& m, const char* name, const char* doc, UpdateArgs args,
                          Init&& init, const InitExtra&... init_extra) {
    py::class_<T> cls(m, name, doc);
    cls.def(std::forward<Init>(init), init_extra...);
    cls.def(
        "update", [](T& self, Value a, Value b) { self.update(a, b); }, py::arg(args.first),
        py::arg(args.second), "Add one pair of observations.");
    if constexpr (requires(const T& t) { t.get(0); }) {
        cls.def(
            "get", [](const T& self, int metric) { return self.get(metric); }, py::arg("metric") = 0,
            "The current value of the chosen figure.");
    } else {
        cls.def(
            "get", [](const T& self) { return self.get(); }, "The current value.");
    }
    cls.def(
        "reset", [](T& self) { self.reset(); }, "Forget every observation.");
    return cls;
}

}  // namespace tarvo::bindings
