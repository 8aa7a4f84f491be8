#pragma once

// What every learner, transformer and metric binding shares lives here once:
// a class's own binding states only its constructor and its properties.

#include <cstdint>
#include <functional>
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
#include "object_guard.hpp"
#include "parameter_docs.hpp"
#include "shared_function.hpp"

namespace tarvo::bindings {

namespace py = pybind11;

// A bound class whose methods and properties all check their object first
// (see object_guard.hpp): constructors and __setstate__, which make the
// object, are the only functions that skip the check. Its methods and
// properties share their dispatchers with every class's of the same shape
// (shared_function.hpp), which make that check. Its docstring ends with
// the "Parameters" section of the parameter table (parameter_docs.hpp), and
// each property takes its docstring from that table where it has one.
template <class T, class... Options>
class Bound : public py::class_<T, Options...> {
public:
    using Base = py::class_<T, Options...>;

    Bound(py::handle scope, const char* name) : Base(scope, name) {}
    template <class... Extra>
    Bound(py::handle scope, const char* name, const char* doc, const Extra&... extra)
        : Base(scope, name, with_parameters(name, doc).c_str(), extra...) {}

    template <class Func, class... Extra>
    Bound& def(const char* name, Func&& f, const Extra&... extra) {
        if constexpr (shares_dispatch<T, Func>) {
            def_shared_method(*this, name, plan_of<T>(std::forward<Func>(f)), attribute(extra)...);
        } else {
            Base::def(name, std::forward<Func>(f), extra..., object_guard<T>{});
        }
        return *this;
    }
    // Method `name` of the class's learner or transformer interface: `f`, a
    // lambda at namespace scope taking the interface first, serves every class.
    template <class Func, class... Extra>
    Bound& def_interface(const char* name, Func f, const Extra&... extra) {
        def_shared_method(*this, name, interface_plan<T>(f), attribute(extra)...);
        return *this;
    }
    template <class... Args, class... Extra>
    Bound& def(py::detail::initimpl::constructor<Args...>&& init, const Extra&... extra) {
        Base::def(std::move(init), extra...);
        return *this;
    }
    template <class... Args, class... Extra>
    Bound& def(py::detail::initimpl::factory<Args...>&& init, const Extra&... extra) {
        Base::def(std::move(init), extra...);
        return *this;
    }

    template <class C, class D, class... Extra>
    Bound& def_readwrite(const char* name, D C::*pm, const Extra&... extra) {
        return def_property(
            name, [pm](const T& self) -> D { return self.*pm; },
            [pm](T& self, const D& value) { self.*pm = value; }, extra...);
    }
    template <class C, class D, class... Extra>
    Bound& def_readonly(const char* name, const D C::*pm, const Extra&... extra) {
        return def_property_readonly(
            name, [pm](const T& self) -> D { return self.*pm; }, extra...);
    }
    template <class Getter, class... Extra>
    Bound& def_property_readonly(const char* name, const Getter& fget, const Extra&... extra) {
        define_property(*this, name, getter(fget), py::cpp_function(), attribute(extra)...);
        return *this;
    }
    template <class Getter, class Setter, class... Extra>
    Bound& def_property(const char* name, const Getter& fget, const Setter& fset,
                        const Extra&... extra) {
        define_property(*this, name, getter(fget),
                        shared_function<T>(fset, py::is_setter(), py::is_method(*this)),
                        attribute(extra)...);
        return *this;
    }

private:
    static std::string with_parameters(const char* name, const char* doc) {
        const std::string_view section = docs::parameters(name);
        std::string out = doc != nullptr ? doc : "";
        if (!section.empty()) {
            out.append(out.empty() ? "" : "\n\n").append(section);
        }
        return out;
    }

    template <class Getter>
    py::cpp_function getter(const Getter& fget) {
        return shared_function<T>(fget, py::is_method(*this));
    }
};

template <class T, class Base>
using SharedClass = Bound<T, Base, std::shared_ptr<T>>;

// Defines properties on any bound class: class_'s property code uses its class
// only as the handle it is.
struct PropertyHost {};

// Property `name` of class `cls` from its getter and setter (an empty function
// for none) as class_::def_property makes it, with the parameter table's
// docstring of the property as the last attribute, so that it takes
// precedence, when the table has one. Compiled once per list of attribute
// types, whatever the class.
template <class... Extra>
[[gnu::noinline]] void define_property(py::handle cls, const char* name, const py::cpp_function& fget,
                                       const py::cpp_function& fset, const Extra&... extra) {
    auto host = py::reinterpret_borrow<py::class_<PropertyHost>>(cls);
    const auto cls_name = py::str(cls.attr("__name__")).cast<std::string>();
    const std::string doc(docs::property(cls_name, name));
    if (doc.empty()) {
        host.def_property(name, fget, fset, extra...);
    } else {
        host.def_property(name, fget, fset, extra..., doc.c_str());
    }
}

// __reduce_ex__ of a class whose objects are of C++ type `type`: names
// copyreg.__newobj__ and the class, so every pickle protocol (0 and 1
// included) stores the same state. One function serves every class.
inline void def_reduce_ex(py::object& cls, const std::type_info& type) {
    py::detail::add_class_method(
        cls, "__reduce_ex__",
        py::cpp_function(
            [type = &type](const py::object& self, int /*protocol*/) {
                if (!py::detail::isinstance_generic(self, *type)) {
                    throw py::type_error("__reduce_ex__() needs an object of its own class");
                }
                const py::object newobj = py::module_::import("copyreg").attr("__newobj__");
                return py::make_tuple(newobj, py::make_tuple(py::type::handle_of(self)),
                                      self.attr("__getstate__")());
            },
            py::name("__reduce_ex__"), py::is_method(cls),
            py::sibling(py::getattr(cls, "__reduce_ex__", py::none())), py::arg("protocol"),
            "How pickle stores the object, for every protocol."));
}

// __setstate__ of a class whose objects are of C++ type `type`, named `name`:
// constructs the new, empty object that pickle made (cls.__new__(cls)) from
// its state with `restore`, and refuses an object already constructed.
template <class State>
void def_setstate(py::object& cls, const char* name, const std::type_info& type,
                  std::function<void(py::detail::value_and_holder&, const State&)> restore) {
    py::cpp_function function(
        [name, type = &type, restore = std::move(restore)](const py::object& self, const State& state) {
            if (!py::detail::isinstance_generic(self, *type)) {
                throw py::type_error(std::string(name) +
                                     ".__setstate__() needs an object of its own class");
            }
            auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
            py::detail::value_and_holder v_h =
                inst->get_value_and_holder(py::detail::get_type_info(*type));
            if (v_h.holder_constructed()) {
                throw py::type_error(std::string(name) +
                                     ".__setstate__() restores only the new, empty object that "
                                     "pickle makes; this one is already constructed (load "
                                     "saved state with pickle.loads)");
            }
            restore(v_h, state);
        },
        py::name("__setstate__"), py::is_method(cls),
        py::sibling(py::getattr(cls, "__setstate__", py::none())), py::arg("state"),
        "Construct a new object from its saved state (used by pickle).");
    // pybind11 takes any function named __setstate__ for a constructor and
    // silently ignores a call on a constructed object; this one checks for
    // that itself and says so.
    py::detail::function_record_ptr_from_PyObject(
        PyCFunction_GET_SELF(py::detail::get_function(function).ptr()))
        ->is_constructor = false;
    py::detail::add_class_method(cls, "__setstate__", function);
}

// Pickling from a state function and a restore function. __reduce_ex__
// names copyreg.__newobj__ and the class, so every pickle protocol (0 and 1
// included) stores the same state; unpickling makes the object with
// cls.__new__(cls) and constructs it in __setstate__. __setstate__ refuses an
// object that is already constructed: it restores only what pickle has just
// made. `restore(state)` returns the holder of the new object.
template <class Cls, class State, class GetState, class Restore>
void def_pickling(Cls& cls, const char* name, GetState get_state, Restore restore) {
    using T = typename Cls::type;
    cls.def("__getstate__", std::move(get_state), "The saved state, as pickle stores it.");
    def_reduce_ex(cls, typeid(T));
    def_setstate<State>(cls, name, typeid(T),
                        [restore = std::move(restore)](py::detail::value_and_holder& v_h,
                                                       const State& state) {
                            py::detail::initimpl::construct<Cls>(v_h, restore(state), false);
                        });
}

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

// The native object held by `obj`, an instance of Base; TypeError naming
// `what` otherwise (None, another kind, or an object never constructed).
template <class Base>
std::shared_ptr<Base> held(const py::handle& obj, const std::string& what, const char* kind) {
    if (obj.is_none()) {
        throw py::type_error(what + " is None; it must be an " + kind);
    }
    const auto type_name = std::string(py::str(py::type::handle_of(obj).attr("__name__")));
    if (!py::isinstance<Base>(obj)) {
        throw py::type_error(what + " is a " + type_name + ", not an " + kind);
    }
    if (held_object(obj) == nullptr) {
        throw py::type_error(what + " is a " + type_name +
                             " that was never constructed (its __init__ never ran)");
    }
    return obj.cast<std::shared_ptr<Base>>();
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

// A new object with the saved state of `self` (copy.copy and copy.deepcopy).
template <class Holder, class T>
[[gnu::noinline]] Holder copy_object(T& self, const char* name) {
    return load_object<Holder>(save_object(self, name), name);
}

// "Name(keyword=value, ...)": the constructor keywords in `keywords` (every
// parameter in `params` when empty) with their values in `params`.
inline std::string describe_params(const ParamList& params, const char* name,
                                   const std::vector<std::string>& keywords) {
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

// The same for an object: its current parameter values.
template <class T>
std::string describe(T& self, const char* name, const std::vector<std::string>& keywords) {
    ParamList params;
    self.fields(params);
    return describe_params(params, name, keywords);
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
    def_pickling<Cls, py::bytes>(
        cls, name, [name](T& self) { return py::bytes(save_object(self, name)); },
        [name](const py::bytes& state) {
            return load_object<Holder>(static_cast<std::string_view>(state), name);
        });
    cls.def(
        "__copy__", [name](T& self) { return copy_object<Holder>(self, name); },
        "An independent copy with the same state.");
    cls.def(
        "__deepcopy__",
        [name](T& self, const py::object& /*memo*/) { return copy_object<Holder>(self, name); },
        py::arg("memo"), "An independent copy with the same state.");
    cls.def(
        "__repr__",
        [name, keywords = std::move(keywords)](T& self) { return describe(self, name, keywords); });
    return cls;
    }
}

// The learner and transformer methods, as every class of an interface binds
// them (Bound::def_interface).
namespace interface_methods {
inline constexpr auto classifier_learn_one = [](IClassifier& self, const FeatureMap& x, int y) {
    self.learn_one(x, y);
};
inline constexpr auto classifier_predict_one = [](IClassifier& self, const FeatureMap& x) {
    return self.predict_one(x);
};
inline constexpr auto classifier_predict_proba_one = [](IClassifier& self, const FeatureMap& x) {
    return self.predict_proba_one(x);
};
inline constexpr auto classifier_reset = [](IClassifier& self) { self.reset(); };
inline constexpr auto regressor_learn_one = [](IRegressor& self, const FeatureMap& x, double y) {
    self.learn_one(x, y);
};
inline constexpr auto regressor_predict_one = [](IRegressor& self, const FeatureMap& x) {
    return self.predict_one(x);
};
inline constexpr auto regressor_reset = [](IRegressor& self) { self.reset(); };
inline constexpr auto transformer_learn_one_target = [](ITransformer& self, const FeatureMap& x,
                                                        double y) { self.learn_one(x, y); };
inline constexpr auto transformer_learn_one = [](ITransformer& self, const FeatureMap& x) {
    self.learn_one(x);
};
inline constexpr auto transformer_transform_one = [](ITransformer& self, const FeatureMap& x) {
    return self.transform_one(x);
};
inline constexpr auto transformer_set_feature_order =
    [](ITransformer& self, const std::vector<std::string>& names) { self.set_feature_order(names); };
inline constexpr auto transformer_reset = [](ITransformer& self) { self.reset(); };
}  // namespace interface_methods

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
        cls.def_interface("learn_one", interface_methods::classifier_learn_one,
                          "Learn from one labelled sample.");
        cls.def_interface("predict_one", interface_methods::classifier_predict_one,
                          "The predicted label for one sample.");
        cls.def_interface("predict_proba_one", interface_methods::classifier_predict_proba_one,
                          "Class probabilities for one sample, one entry per known label.");
        cls.def_interface("reset", interface_methods::classifier_reset,
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
    cls.def_interface("learn_one", interface_methods::regressor_learn_one,
                      "Learn from one sample and its target.");
    cls.def_interface("predict_one", interface_methods::regressor_predict_one,
                      "The predicted target for one sample.");
    cls.def_interface("reset", interface_methods::regressor_reset,
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
        cls.def_interface("learn_one", interface_methods::transformer_learn_one_target,
                          "Update the statistics from one sample and its target.");
    } else {
        cls.def_interface("learn_one", interface_methods::transformer_learn_one,
                          "Update the statistics from one sample.");
    }
    cls.def_interface("transform_one", interface_methods::transformer_transform_one,
                      "The transformed copy of one sample, a new dict; the argument is not modified.");
    if constexpr (declares_feature_order<T>) {
        cls.def_interface("set_feature_order", interface_methods::transformer_set_feature_order,
                          "Fix the canonical order of the named features (the tie order).");
    }
    cls.def(
        "clone_state", [](const T& self) { return std::make_shared<T>(self); },
        "A new, independent object with the same parameters and a copy of all learnt state.");
    cls.def_interface("reset", interface_methods::transformer_reset,
                      "Forget everything learnt; hyper-parameters are kept.");
    return cls;
}

// Registers a drift detector with its constructor, update(value) taking one
// number positionally, reset and drift_detected (true only right after the
// update that detects); the caller adds what its method has beyond that: a
// warning, its estimate, its statistic, its settings.
template <class T, class Init, class... InitExtra>
Bound<T> bind_detector(py::module_& m, const char* name, const char* doc, const char* update_doc,
                       const char* reset_doc, Init&& init, const InitExtra&... init_extra) {
    Bound<T> cls(m, name, doc);
    def_persistence(cls, name);
    cls.def(std::forward<Init>(init), init_extra...);
    cls.def(
        "update", [](T& self, double value) { self.update(value); }, update_doc);
    cls.def("reset", &T::reset, reset_doc);
    cls.def_property_readonly("drift_detected", &T::drift_detected, "Whether the last update raised a drift.");
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
Bound<T> bind_metric(py::module_& m, const char* name, const char* doc, UpdateArgs args,
                          Init&& init, const InitExtra&... init_extra) {
    Bound<T> cls(m, name, doc);
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
