// The native code's interrupt check, answered by the interpreter: a pending
// signal (Ctrl-C) runs its Python handler, whose exception (KeyboardInterrupt)
// propagates out of the native call.

#include <Python.h>

#include <pybind11/pybind11.h>

#include "core/interrupt.hpp"

namespace tarvo {

// Without the GIL (a batch of rows running in tarvo.batch, or a worker
// thread) the interpreter cannot be asked: the batch looks for Ctrl-C itself
// between its chunks of rows, so this returns at once.
void check_interrupt() {
    if (PyGILState_Check() != 0 && PyErr_CheckSignals() != 0) {
        throw pybind11::error_already_set();
    }
}

}  // namespace tarvo
