#pragma once

// What every learner, transformer and metric binding shares lives here once:
// a class's own binding states only its constructor and its properties.

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "core/archive.hpp"
#include "core/classifier.hpp"
#include "core/feature_map.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"

namespace tarvo::bindings {

namespace py = pybind11;

template <class T, class Base>
using SharedClass = py::class_<T, Base, std::shared_ptr<T>>;

// The keyword names among a constructor's extra arguments, in order.
template <class... Extra>
std::vector<std::string> keyword_names(const Extra&... extra) {
    std::vector<std::string> names;
    const auto add = [&names](const auto& e) {
        if constexpr (std::is_base_of_v<py::arg, std::decay_t<decltype(e)>>) {
            names.emplace_back(e.name);
        }
    };
    (add(extra), ...);
    (void)add;  // unused when there is no extra argument
    return names;
}

// The saved bytes of an object, under the class name `name`.
template <class T>
std::string save_object(T& self, const char* name) {
    ArchiveWriter writer(name);
    self.fields(writer);
    return writer.finish();
}

// A new object restored from saved bytes; ValueError on anything bad.
template <class Holder>
Holder load_object(std::string_view blob, const char* name) {
    using T = typename Holder::element_type;
    Holder self(new T());
    ArchiveReader reader(blob, name);
    self->fields(reader);
    reader.finish();
    return self;
}

// "Name(keyword=value, ...)": the constructor keywords in `keywords` (every
// parameter the class states when empty) with their current values.
template <class T>
std::string describe(T& self, const char* name, const std::vector<std::string>& keywords) {
    ParamList params;
    self.fields(params);
    std::string out = std::string(name) + "(";
    bool first = true;
    const auto shown = [&](const std::string& param) {
        if (keywords.empty()) {
            return true;
        }
        for (const std::string& k : keywords) {
            if (k == param) {
                return true;
            }
        }
        return false;
    };
    for (const auto& [param, value] : params.entries) {
        if (!shown(param)) {
            continue;
        }
        out += first ? "" : ", ";
        first = false;
        out += param + "=";
        out += std::visit(
            [](const auto& v) -> std::string {
                using V = std::decay_t<decltype(v)>;
                if constexpr (std::is_same_v<V, bool>) {
                    return v ? "True" : "False";
                } else if constexpr (std::is_same_v<V, std::int64_t>) {
                    return std::to_string(v);
                } else if constexpr (std::is_same_v<V, double>) {
                    return py::repr(py::float_(v)).cast<std::string>();
                } else {
                    return py::repr(py::str(v)).cast<std::string>();
                }
            },
            value);
    }
    return out + ")";
}

// Adds pickling (every protocol from 2), copy.copy, copy.deepcopy and a
// __repr__ naming the constructor keywords, all from the class's fields().
// A copy is a whole new object, equal in every later output to the original.
template <class Cls>
Cls& def_persistence(Cls& cls, const char* name, std::vector<std::string> keywords = {}) {
    using T = typename Cls::type;
    using Holder = typename Cls::holder_type;
    if constexpr (!requires(T& t, ArchiveWriter& w) { t.fields(w); }) {
        return cls;  // not saved yet
    } else {
    cls.def(py::pickle(
        [name](T& self) { return py::bytes(save_object(self, name)); },
        [name](const py::bytes& state) {
            return load_object<Holder>(static_cast<std::string_view>(state), name);
        }));
    cls.def(
        "__copy__",
        [name](T& self) { return load_object<Holder>(save_object(self, name), name); },
        "An independent copy with the same state.");
    cls.def(
        "__deepcopy__",
        [name](T& self, const py::object& /*memo*/) {
            return load_object<Holder>(save_object(self, name), name);
        },
        py::arg("memo"), "An independent copy with the same state.");
    cls.def(
        "__repr__",
        [name, keywords = std::move(keywords)](T& self) { return describe(self, name, keywords); });
    return cls;
    }
}

// Registers a classifier with its constructor and the four learner methods.
// Sample and label are positional-only, as for every learner. A classifier
// derived from another bound classifier gets only its constructor.
template <class T, class Base = IClassifier, class Init, class... InitExtra>
SharedClass<T, Base> bind_classifier(py::module_& m, const char* name, const char* doc, Init&& init,
                                     const InitExtra&... init_extra) {
    SharedClass<T, Base> cls(m, name, doc);
    cls.def(std::forward<Init>(init), init_extra...);
    def_persistence(cls, name, keyword_names(init_extra...));
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
    def_persistence(cls, name, keyword_names(init_extra...));
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
    def_persistence(cls, name, keyword_names(init_extra...));
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
    def_persistence(cls, name, keyword_names(init_extra...));
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
