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
#include <cstring>
#include <memory>
#include <new>
#include <tuple>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include <pybind11/pybind11.h>

#include "object_guard.hpp"

namespace tarvo::bindings {

namespace py = pybind11;

// What a shared dispatcher needs of the class of a method: its type, and the
// check of a pipeline's or target wrapper's parts for the classes that have
// them.
struct ClassInfo {
    const std::type_info* type;
    void (*check_parts)(py::handle self, const void* object);
};

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
    static constexpr ClassInfo info{&typeid(T), parts_check<T>()};
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
            return py::reinterpret_steal<py::object>(py::detail::make_caster<R>::cast(
                stored<F>(data)(*static_cast<T*>(self), std::forward<Args>(args)...),
                py::return_value_policy::move, py::handle()));
        } else {
            return stored<F>(data)(*static_cast<T*>(self), std::forward<Args>(args)...);
        }
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

// The function object of method `f` of class T with the attributes `extra`
// (name, is_method, sibling, docstring, arguments, ...), as a cpp_function.
class SharedFunction : public py::cpp_function {
public:
    template <class T, class Callable, class... Extra>
    SharedFunction(std::type_identity<T> /*unused*/, Callable&& f, const Extra&... extra) {
        make<T>(std::forward<Callable>(f), static_cast<callable_signature<std::decay_t<Callable>>*>(nullptr),
                extra...);
    }

private:
    template <class T, class Callable, class R, class Self, class... Args, class... Extra>
    void make(Callable&& f, R (*/*signature*/)(Self, Args...), const Extra&... extra) {
        using F = std::decay_t<Callable>;
        using Method = SharedMethod<T, F, R, Self, Args...>;
        auto rec = make_function_record();
        rec->impl = &Method::Call::dispatch;
        rec->data[0] = const_cast<ClassInfo*>(class_info<T>());
        typename Method::Call::Thunk thunk = &Method::thunk;
        std::memcpy(&rec->data[1], &thunk, sizeof thunk);
        if constexpr (stored_inline<F>) {
            new (&rec->data[2]) F(std::forward<Callable>(f));
        } else {
            rec->data[2] = new F(std::forward<Callable>(f));
            rec->free_data = [](py::detail::function_record* r) { delete static_cast<F*>(r->data[2]); };
        }
        rec->nargs_pos = static_cast<std::uint16_t>(1 + sizeof...(Args));
        py::detail::process_attributes<Extra...>::init(extra..., rec.get());
        initialize_generic(std::move(rec), Method::Shown::kSig.text, Method::Shown::kTypes.data(),
                           1 + sizeof...(Args));
    }
};

// As a plain cpp_function (pybind11's overloads take a cpp_function for a
// function already made, and any other class for a callable to wrap).
template <class T, class Callable, class... Extra>
py::cpp_function shared_function(Callable&& f, const Extra&... extra) {
    SharedFunction function(std::type_identity<T>{}, as_callable<T>(std::forward<Callable>(f)), extra...);
    py::cpp_function out;
    static_cast<py::object&>(out) = static_cast<py::object&&>(function);
    return out;
}

}  // namespace tarvo::bindings
