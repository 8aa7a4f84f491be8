#pragma once

// The check every method and property of a bound class runs before touching
// its object: the object must have been constructed (an instance made with
// cls.__new__(cls) holds no C++ object yet), and no batch may be running on it
// in another thread.
//
// Busy objects are listed in a table that every module of this project shares
// through pybind11's shared data. The table is read and written only with the
// GIL held: a batch lists its objects before it releases the GIL and removes
// them after it has taken it back, so the table needs no lock of its own.

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <pybind11/pybind11.h>

namespace tarvo::bindings {

namespace py = pybind11;

// Native objects (by the address pybind11 holds for them) that a batch is
// using right now, with the number of batches that listed each one.
struct BusyTable {
    std::unordered_map<const void*, std::size_t> objects;
};

inline BusyTable& busy_table() {
    // The name carries a version: a module built from other sources never
    // reads a table of another layout.
    static BusyTable* table = &py::get_or_create_shared_data<BusyTable>("tarvo.busy_table.v1");
    return *table;
}

// The C++ object an instance of a bound class holds; nullptr when its
// constructor never ran.
inline const void* held_object(py::handle self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    const py::detail::value_and_holder v_h = inst->get_value_and_holder();
    return v_h.holder_constructed() ? v_h.value_ptr() : nullptr;
}

[[noreturn]] inline void refuse_unconstructed(py::handle self) {
    const auto name = py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>();
    throw py::type_error("this " + name + " object was never constructed (it was made with " +
                         name + ".__new__ and its __init__ never ran); create it with " + name +
                         "(...) or pickle.loads");
}

[[noreturn]] inline void refuse_busy(py::handle self) {
    const auto name = py::str(py::type::handle_of(self).attr("__name__")).cast<std::string>();
    throw std::runtime_error("this " + name +
                             " object is in use by a batch running in another thread; use it "
                             "again when that batch has returned");
}

inline bool is_busy(const void* object) {
    const BusyTable& busy = busy_table();
    return !busy.objects.empty() && busy.objects.count(object) != 0;
}

// The object held by `self`, checked: TypeError when it was never
// constructed, RuntimeError while a batch in another thread is using it.
inline const void* checked_object(py::handle self) {
    const void* object = held_object(self);
    if (object == nullptr) {
        refuse_unconstructed(self);
    }
    if (is_busy(object)) {
        refuse_busy(self);
    }
    return object;
}

// Lists objects as busy for as long as it lives; made and dropped with the
// GIL held. RuntimeError, listing nothing, when any of them is busy already.
class BusyClaim {
public:
    explicit BusyClaim(std::vector<const void*> objects) : objects_(std::move(objects)) {
        BusyTable& busy = busy_table();
        for (const void* object : objects_) {
            if (busy.objects.count(object) != 0) {
                throw std::runtime_error(
                    "an object of this batch is in use by a batch running in another thread; "
                    "one object takes one batch at a time");
            }
        }
        for (const void* object : objects_) {
            ++busy.objects[object];
        }
    }
    ~BusyClaim() {
        BusyTable& busy = busy_table();
        for (const void* object : objects_) {
            const auto it = busy.objects.find(object);
            if (it != busy.objects.end() && --it->second == 0) {
                busy.objects.erase(it);
            }
        }
    }
    BusyClaim(const BusyClaim&) = delete;
    BusyClaim& operator=(const BusyClaim&) = delete;

private:
    std::vector<const void*> objects_;
};

// Attribute for a bound method or property: run checked_object on self
// before the call.
struct object_guard {};

}  // namespace tarvo::bindings

namespace pybind11::detail {

template <>
struct process_attribute<tarvo::bindings::object_guard>
    : process_attribute_default<tarvo::bindings::object_guard> {
    static void precall(function_call& call) { tarvo::bindings::checked_object(call.args[0]); }
};

}  // namespace pybind11::detail
