#pragma once

// Methods and properties of bound classes whose call code is compiled once per
// shape of signature, not once per class.
//
// pybind11 compiles a dispatcher for every function it binds: the conversion
// of each argument, the call, the conversion of the result. A method of a
// bound class takes its class as `self`, so forty classes with the same
// learn_one compiled forty dispatchers; they were most of the bindings'
// compile time. Here the dispatcher depends only on the types of the
// arguments after `self` and of the result, so every class with a method of
// that shape shares it; a class adds a one-line function calling its object
// (the thunk) and a static record of its type.
//
// Each class still gets a function object of its own in its __dict__ with its
// own name, docstring, argument names and signature text (`self` of its own
// class), made from the same attributes as pybind11's def() makes it, and the
// call makes the same checks in the same order: the object guard
// (object_guard.hpp) first, then the conversion of `self` and of the other
// arguments, failing with pybind11's TypeError listing the signature.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <pybind11/pybind11.h>

#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"
#include "object_guard.hpp"

namespace tarvo::bindings {

namespace py = pybind11;

// What a shared dispatcher needs of the class of a method: its type, and the
// check of a pipeline's or target wrapper's parts for the classes that have
// them.
struct ClassInfo {
    const std::type_info* type;
    void (*check_parts)(py::handle self, const void* object);
    // The object as its learner or transformer interface (interface_of<T>);
    // nullptr for a class with none.
    void* (*as_interface)(void* object);
};

// The interface a class implements, or void.
template <class T>
using interface_of =
    std::conditional_t<std::is_base_of_v<IClassifier, T>, IClassifier,
                       std::conditional_t<std::is_base_of_v<IRegressor, T>, IRegressor,
                                          std::conditional_t<std::is_base_of_v<ITransformer, T>,
                                                             ITransformer, void>>>;

template <class T>
constexpr auto interface_cast() -> void* (*)(void*) {
    if constexpr (std::is_void_v<interface_of<T>>) {
        return nullptr;
    } else {
        return [](void* object) -> void* {
            return static_cast<interface_of<T>*>(static_cast<T*>(object));
        };
    }
}

template <class T>
constexpr auto parts_check() -> void (*)(py::handle, const void*) {
    if constexpr (checks_parts<T>) {
        return [](py::handle self, const void* object) {
            check_pipeline_parts(self, *static_cast<const T*>(object));
        };
    } else {
        return nullptr;
    }
}

template <class T>
const ClassInfo* class_info() {
    static constexpr ClassInfo info{&typeid(T), parts_check<T>(), interface_cast<T>()};
    return &info;
}

// The C++ object a shared method is called on; nullptr when `self` is not an
// object of the method's class (None included), so that pybind11 tries the
// next overload and ends with its TypeError. An object of the class is checked
// first, as object_guard checks it: RuntimeError or TypeError when it cannot
// be used. (The check reads pybind11's layout of an instance, so it runs only
// on objects of the class.)
inline void* shared_self(py::detail::function_call& call) {
    const auto& info = *static_cast<const ClassInfo*>(call.func.data[0]);
    const py::handle self = call.args[0];
    if (PyObject_TypeCheck(self.ptr(), reinterpret_cast<PyTypeObject*>(call.func.scope.ptr()))) {
        const void* object = checked_object(self);
        if (info.check_parts != nullptr) {
            info.check_parts(self, object);
        }
    }
    py::detail::type_caster_generic caster(*info.type);
    if (!caster.load(self, call.args_convert[0])) {
        return nullptr;
    }
    return caster.value;
}

// The dispatcher of every method taking Args after `self` and returning R.
// The function record holds the ClassInfo (data[0]), the thunk (data[1]) and
// the callable the thunk calls (data[2], or a pointer to it).
template <class R, class... Args>
struct SharedCall {
    using Thunk = R (*)(void* self, void* const* data, Args... args);
    static_assert(sizeof(Thunk) <= sizeof(void*));

    static py::handle dispatch(py::detail::function_call& call) {
        return run(call, std::index_sequence_for<Args...>{});
    }

private:
    template <std::size_t... I>
    static py::handle run(py::detail::function_call& call, std::index_sequence<I...> /*unused*/) {
        void* self = shared_self(call);
        if (self == nullptr) {
            return PYBIND11_TRY_NEXT_OVERLOAD;
        }
        std::tuple<py::detail::make_caster<Args>...> casters;
        if ((... || !std::get<I>(casters).load(call.args[I + 1], call.args_convert[I + 1]))) {
            return PYBIND11_TRY_NEXT_OVERLOAD;
        }
        Thunk thunk = nullptr;
        std::memcpy(&thunk, &call.func.data[1], sizeof thunk);
        if constexpr (std::is_void_v<R>) {
            thunk(self, call.func.data, py::detail::cast_op<Args>(std::move(std::get<I>(casters)))...);
            return py::none().release();
        } else {
            if (call.func.is_setter) {
                (void)thunk(self, call.func.data,
                            py::detail::cast_op<Args>(std::move(std::get<I>(casters)))...);
                return py::none().release();
            }
            return py::detail::make_caster<R>::cast(
                thunk(self, call.func.data, py::detail::cast_op<Args>(std::move(std::get<I>(casters)))...),
                py::detail::return_value_policy_override<R>::policy(call.func.policy), call.parent);
        }
    }
};

// A callable kept in data[2] itself when it fits (a lambda capturing nothing
// or a pointer to a member), else on the heap, freed with the function.
template <class F>
inline constexpr bool stored_inline = sizeof(F) <= sizeof(void*) && alignof(F) <= alignof(void*) &&
                                      std::is_trivially_copyable_v<F> &&
                                      std::is_trivially_destructible_v<F>;

template <class F>
const F& stored(void* const* data) {
    if constexpr (stored_inline<F>) {
        return *std::launder(reinterpret_cast<const F*>(&data[2]));
    } else {
        return *static_cast<const F*>(data[2]);
    }
}

// A result holding a new object (a copy) reaches the dispatcher as the Python
// object already made, so that one dispatcher serves every class.
template <class R>
struct is_holder : std::false_type {};
template <class U>
struct is_holder<std::shared_ptr<U>> : std::true_type {};
template <class U, class D>
struct is_holder<std::unique_ptr<U, D>> : std::true_type {};

// The Python object of a new C++ object (a holder), made once per class.
template <class Holder>
[[gnu::noinline]] py::object new_object(Holder&& holder) {
    return py::reinterpret_steal<py::object>(py::detail::make_caster<Holder>::cast(
        std::forward<Holder>(holder), py::return_value_policy::move, py::handle()));
}

// Method F of class T, taking Self (T&, const T&, or a base) and Args,
// returning R.
template <class T, class F, class R, class Self, class... Args>
struct SharedMethod {
    using Result = std::conditional_t<is_holder<R>::value, py::object, R>;
    using Call = SharedCall<Result, Args...>;
    using Shown = py::detail::ReadableFunctionSignature<
        py::detail::argument_loader<Self, Args...>,
        py::detail::make_caster<std::conditional_t<std::is_void_v<R>, py::detail::void_type, R>>>;

    static Result thunk(void* self, void* const* data, Args... args) {
        if constexpr (is_holder<R>::value) {
            return new_object(stored<F>(data)(*static_cast<T*>(self), std::forward<Args>(args)...));
        } else {
            return stored<F>(data)(*static_cast<T*>(self), std::forward<Args>(args)...);
        }
    }
};

// Method F of interface I (a lambda capturing nothing), taking I& and Args,
// returning R: its thunk reaches the object through the class's
// as_interface, so one thunk serves every class of the interface, and the
// native method is called as any caller of the interface calls it.
template <class I, class F, class R, class... Args>
struct InterfaceMethod {
    using Call = SharedCall<R, Args...>;

    static R thunk(void* self, void* const* data, Args... args) {
        const auto& info = *static_cast<const ClassInfo*>(data[0]);
        return F{}(*static_cast<I*>(info.as_interface(self)), std::forward<Args>(args)...);
    }
};

// The callable of a pointer to a member function of T (or of a base).
template <class T, class R, class C, class... A>
auto member_callable(R (C::*f)(A...)) {
    return [f](T& self, A... a) -> R { return (self.*f)(std::forward<A>(a)...); };
}
template <class T, class R, class C, class... A>
auto member_callable(R (C::*f)(A...) const) {
    return [f](const T& self, A... a) -> R { return (self.*f)(std::forward<A>(a)...); };
}
template <class T, class R, class C, class... A>
auto member_callable(R (C::*f)(A...) noexcept) {
    return [f](T& self, A... a) -> R { return (self.*f)(std::forward<A>(a)...); };
}
template <class T, class R, class C, class... A>
auto member_callable(R (C::*f)(A...) const noexcept) {
    return [f](const T& self, A... a) -> R { return (self.*f)(std::forward<A>(a)...); };
}

template <class T, class Func>
auto as_callable(Func&& f) {
    if constexpr (std::is_member_function_pointer_v<std::decay_t<Func>>) {
        return member_callable<T>(f);
    } else {
        return std::decay_t<Func>(std::forward<Func>(f));
    }
}

// Whether a callable of T binds through a shared dispatcher: every callable
// but those taking *args or **kwargs, which keep pybind11's own.
template <class Sig>
struct plain_signature : std::false_type {};
template <class R, class Self, class... Args>
struct plain_signature<R(Self, Args...)>
    : std::bool_constant<(... && !(std::is_base_of_v<py::args, std::decay_t<Args>> ||
                                   std::is_base_of_v<py::kwargs, std::decay_t<Args>>))> {};

template <class Callable>
using callable_signature = py::detail::function_signature_t<Callable>;

template <class T, class Func>
inline constexpr bool shares_dispatch =
    plain_signature<callable_signature<decltype(as_callable<T>(std::declval<Func>()))>>::value;

// A docstring given as a string literal, as the pointer pybind11 keeps: one
// instantiation for docstrings of every length.
template <class E>
decltype(auto) attribute(const E& e) {
    if constexpr (std::is_array_v<E>) {
        return static_cast<const char*>(e);
    } else {
        return (e);
    }
}

// What makes the function object of a method, apart from its attributes: the
// dispatcher and what the function record holds for it, and the signature.
struct MethodPlan {
    py::handle (*impl)(py::detail::function_call&);
    const ClassInfo* info;
    void* thunk;     // the thunk's bits (data[1])
    void* callable;  // the callable's bits, or a pointer to it (data[2])
    void (*free_data)(py::detail::function_record*);
    std::uint16_t nargs;
    const char* text;
    const std::type_info* const* types;
};

template <class T, class Callable, class R, class Self, class... Args>
MethodPlan shared_plan(Callable&& f, R (*/*signature*/)(Self, Args...)) {
    using F = std::decay_t<Callable>;
    using Method = SharedMethod<T, F, R, Self, Args...>;
    MethodPlan plan{&Method::Call::dispatch, class_info<T>(), nullptr, nullptr, nullptr,
                    static_cast<std::uint16_t>(1 + sizeof...(Args)), Method::Shown::kSig.text,
                    Method::Shown::kTypes.data()};
    typename Method::Call::Thunk thunk = &Method::thunk;
    std::memcpy(&plan.thunk, &thunk, sizeof thunk);
    if constexpr (stored_inline<F>) {
        const F callable(std::forward<Callable>(f));
        std::memcpy(&plan.callable, &callable, sizeof callable);
    } else {
        plan.callable = new F(std::forward<Callable>(f));
        plan.free_data = [](py::detail::function_record* r) { delete static_cast<F*>(r->data[2]); };
    }
    return plan;
}

// The plan of method `f` of interface I (a lambda capturing nothing, taking
// I& first) bound on class T, whose signature shows T as `self`.
template <class T, class I, class F, class R, class... Args>
MethodPlan interface_plan_of(R (*/*signature*/)(I&, Args...)) {
    static_assert(std::is_same_v<I, interface_of<T>> && std::is_empty_v<F>);
    using Method = InterfaceMethod<I, F, R, Args...>;
    using Shown = py::detail::ReadableFunctionSignature<
        py::detail::argument_loader<T&, Args...>,
        py::detail::make_caster<std::conditional_t<std::is_void_v<R>, py::detail::void_type, R>>>;
    MethodPlan plan{&Method::Call::dispatch, class_info<T>(), nullptr, nullptr, nullptr,
                    static_cast<std::uint16_t>(1 + sizeof...(Args)), Shown::kSig.text,
                    Shown::kTypes.data()};
    typename Method::Call::Thunk thunk = &Method::thunk;
    std::memcpy(&plan.thunk, &thunk, sizeof thunk);
    return plan;
}

template <class T, class F>
MethodPlan interface_plan(F /*f*/) {
    return interface_plan_of<T, interface_of<T>, F>(static_cast<callable_signature<F>*>(nullptr));
}

// The function object of a method from its plan and the attributes `extra`
// (name, is_method, sibling, docstring, arguments, ...). Compiled once for
// each list of attribute types, whatever the class.
class SharedFunction : public py::cpp_function {
public:
    template <class... Extra>
    explicit SharedFunction(const MethodPlan& plan, const Extra&... extra) {
        auto rec = make_function_record();
        rec->impl = plan.impl;
        rec->data[0] = const_cast<ClassInfo*>(plan.info);
        rec->data[1] = plan.thunk;
        rec->data[2] = plan.callable;
        rec->free_data = plan.free_data;
        rec->nargs_pos = plan.nargs;
        py::detail::process_attributes<Extra...>::init(extra..., rec.get());
        initialize_generic(std::move(rec), plan.text, plan.types, plan.nargs);
    }
};

// As a plain cpp_function (pybind11's overloads take a cpp_function for a
// function already made, and any other class for a callable to wrap).
template <class... Extra>
[[gnu::noinline]] py::cpp_function make_shared_function(const MethodPlan& plan, const Extra&... extra) {
    SharedFunction function(plan, extra...);
    py::cpp_function out;
    static_cast<py::object&>(out) = static_cast<py::object&&>(function);
    return out;
}

// Method `name` of class `cls` from its plan, with the attributes class_::def
// gives a method, then `extra`.
template <class... Extra>
[[gnu::noinline]] void def_shared_method(py::object& cls, const char* name, const MethodPlan& plan,
                                         const Extra&... extra) {
    py::detail::add_class_method(cls, name,
                                 make_shared_function(plan, py::name(name), py::is_method(cls),
                                                      py::sibling(py::getattr(cls, name, py::none())),
                                                      extra...));
}

// The plan of callable `f` of class T (a pointer to a member function of T or
// of a base, or a callable taking the object first).
template <class T, class Func>
MethodPlan plan_of(Func&& f) {
    auto callable = as_callable<T>(std::forward<Func>(f));
    return shared_plan<T>(std::move(callable),
                          static_cast<callable_signature<decltype(callable)>*>(nullptr));
}

template <class T, class Callable, class... Extra>
py::cpp_function shared_function(Callable&& f, const Extra&... extra) {
    return make_shared_function(plan_of<T>(std::forward<Callable>(f)), extra...);
}

}  // namespace tarvo::bindings
