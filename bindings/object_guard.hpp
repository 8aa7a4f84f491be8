#pragma once

// The check every method and property of a bound class runs before touching
// its object: the object must have been constructed (an instance made with
// cls.__new__(cls) holds no C++ object yet), and no batch may be running on it
// in another thread. A pipeline also checks its steps and learner, at any
// depth, and a target wrapper its regressor: a batch may hold one of them.
//
// Busy objects are listed in a table that every module of this project shares
// through pybind11's shared data. The table is read and written only with the
// GIL held: a batch lists its objects before it releases the GIL and removes
// them after it has taken it back, so the table needs no lock of its own.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

#include "pipeline_parts.hpp"

namespace tarvo::bindings {

namespace py = pybind11;

// Native objects (by the address pybind11 holds for them) that a batch is
// using right now: how many claims listed each one, and the thread of the
// batch. The thread that holds a claim may still call the object's methods
// (an evaluation loop written in Python does); every other thread is refused,
// and so is every thread of a process forked meanwhile (`forked`, set in the
// child: the batch never ends there).
struct BusyHolder {
    std::size_t claims = 0;
    std::thread::id thread;
    bool forked = false;
};

struct BusyTable {
    std::unordered_map<const void*, BusyHolder> objects;
};

inline BusyTable& busy_table() {
    // The name carries a version: a module built from other sources never
    // reads a table of another layout.
    static BusyTable* table = &py::get_or_create_shared_data<BusyTable>("tarvo.busy_table.v2");
    return *table;
}

// The C++ object an instance of a bound class holds; nullptr when its
// constructor never ran.
inline const void* held_object(py::handle self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    const py::detail::value_and_holder v_h = inst->get_value_and_holder();
    return v_h.holder_constructed() ? v_h.value_ptr() : nullptr;
}

inline std::string type_name(py::handle self) {
    return py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>();
}

[[noreturn]] inline void refuse_unconstructed(py::handle self) {
    const auto name = type_name(self);
    throw py::type_error("this " + name + " object was never constructed (it was made with " +
                         name + ".__new__ and its __init__ never ran); create it with " + name +
                         "(...) or pickle.loads");
}

// The holder of a busy object that refuses the calling thread; nullptr when
// the object is free, or claimed by this thread of this process.
inline const BusyHolder* refusing_holder(const void* object) {
    const BusyTable& busy = busy_table();
    if (busy.objects.empty()) {
        return nullptr;
    }
    const auto it = busy.objects.find(object);
    if (it == busy.objects.end() ||
        (it->second.thread == std::this_thread::get_id() && !it->second.forked)) {
        return nullptr;
    }
    return &it->second;
}

// Why `what` cannot be used, ended by what to do about it.
[[noreturn]] inline void refuse_busy(const std::string& what, const BusyHolder& holder,
                                     const std::string& again) {
    if (holder.forked) {
        throw std::runtime_error(
            what + " was in use by a batch when this process was forked from its parent; that "
            "batch never ends in this process, so the object stays unusable here: fork before "
            "the batch starts or after it returns, or pickle the object in the parent after it");
    }
    throw std::runtime_error(what + " is in use by a batch running in another thread; use " + again +
                             " again when that batch has returned");
}

[[noreturn]] inline void refuse_busy(py::handle self, const BusyHolder& holder) {
    refuse_busy("this " + type_name(self) + " object", holder, "it");
}

inline bool is_busy(const void* object) { return refusing_holder(object) != nullptr; }

// The object held by `self`, checked: TypeError when it was never
// constructed, RuntimeError while a batch in another thread is using it.
inline const void* checked_object(py::handle self) {
    const void* object = held_object(self);
    if (object == nullptr) {
        refuse_unconstructed(self);
    }
    if (const BusyHolder* holder = refusing_holder(object)) {
        refuse_busy(self, *holder);
    }
    return object;
}

// The Python name of the bound class of a native object's dynamic type.
inline std::string bound_type_name(const std::type_info& type) {
    if (const auto* info = py::detail::get_type_info(type)) {
        return py::str(py::handle(reinterpret_cast<PyObject*>(info->type)).attr("__name__"))
            .cast<std::string>();
    }
    return "object";
}

// RuntimeError naming the part when a step or learner of the pipeline held by
// `self`, or the regressor of the target wrapper it holds (at any depth), is
// in use by a batch in another thread.
template <class Pipeline>
void check_pipeline_parts(py::handle self, const Pipeline& pipeline) {
    if (busy_table().objects.empty()) {
        return;
    }
    const IClassifier* classifier = nullptr;
    const IRegressor* regressor = nullptr;
    if constexpr (std::is_base_of_v<IClassifier, Pipeline>) {
        classifier = &pipeline;
    } else {
        regressor = &pipeline;
    }
    visit_pipeline_parts(classifier, regressor, [&](const void* part, const PartPath& path,
                                                    const std::type_info& type) {
        if (const BusyHolder* holder = refusing_holder(part)) {
            refuse_busy("this " + type_name(self) + "'s " + path.text() + " (" +
                            bound_type_name(type) + ")",
                        *holder,
                        std::is_same_v<Pipeline, ScaledTargetRegressor> ? "the wrapper" : "the pipeline");
        }
        return false;
    });
}

// In a child process just forked (only its forking thread runs, holding the
// GIL): every object busy in the parent stays busy here for good.
inline void mark_busy_forked() noexcept {
    for (auto& entry : busy_table().objects) {
        entry.second.forked = true;
    }
}

// Lists objects as busy for as long as it lives, held by the thread that made
// it; made and dropped with the GIL held. RuntimeError, listing nothing, when
// any of them is busy already (one object takes one batch at a time, whichever
// thread asks).
class BusyClaim {
public:
    explicit BusyClaim(std::vector<const void*> objects) : objects_(std::move(objects)) {
        BusyTable& busy = busy_table();
        for (const void* object : objects_) {
            const auto it = busy.objects.find(object);
            if (it != busy.objects.end()) {
                if (it->second.forked) {
                    refuse_busy("an object of this batch", it->second, "it");
                }
                throw std::runtime_error(
                    "an object of this batch is in use by another batch; one object takes one "
                    "batch at a time");
            }
        }
        const BusyHolder holder{0, std::this_thread::get_id(), false};
        for (const void* object : objects_) {
            auto& entry = busy.objects.try_emplace(object, holder).first->second;
            ++entry.claims;
        }
    }
    ~BusyClaim() {
        BusyTable& busy = busy_table();
        for (const void* object : objects_) {
            const auto it = busy.objects.find(object);
            if (it != busy.objects.end() && --it->second.claims == 0) {
                busy.objects.erase(it);
            }
        }
    }
    BusyClaim(const BusyClaim&) = delete;
    BusyClaim& operator=(const BusyClaim&) = delete;

private:
    std::vector<const void*> objects_;
};

// Whether the calls of a T check its parts too: the pipelines and the target
// wrapper.
template <class T>
inline constexpr bool checks_parts = std::is_same_v<T, ClassificationPipeline> ||
                                     std::is_same_v<T, RegressionPipeline> ||
                                     std::is_same_v<T, ScaledTargetRegressor>;

// Attribute for a bound method or property of T: run checked_object on self
// before the call, and for a pipeline or target wrapper check its parts too.
// (Most methods and properties make the same check in their shared
// dispatcher: shared_function.hpp.)
template <class T>
struct object_guard {};

}  // namespace tarvo::bindings

namespace pybind11::detail {

template <class T>
struct process_attribute<tarvo::bindings::object_guard<T>>
    : process_attribute_default<tarvo::bindings::object_guard<T>> {
    static void precall(function_call& call) {
        const void* object = tarvo::bindings::checked_object(call.args[0]);
        if constexpr (tarvo::bindings::checks_parts<T>) {
            tarvo::bindings::check_pipeline_parts(call.args[0], *static_cast<const T*>(object));
        }
    }
};

}  // namespace pybind11::detail
