// The native code's interrupt check, answered by the interpreter: a pending
// signal (Ctrl-C) runs its Python handler, whose exception (KeyboardInterrupt)
// propagates out of the native call.

#include <Python.h>

#include <pybind11/pybind11.h>

#include "core/interrupt.hpp"

namespace tarvo {

void check_interrupt() {
    if (PyErr_CheckSignals() != 0) {
        throw pybind11::error_already_set();
    }
}

}  // namespace tarvo
