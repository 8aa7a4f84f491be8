#pragma once

// The GIL released for the life of the object, as pybind11's
// gil_scoped_release, but safe at interpreter exit. A daemon thread whose
// batch outlives the main thread would otherwise wait for the GIL while the
// interpreter finalizes, and be ended there by an unwind through a
// destructor, which aborts the process. So the module's exit hook
// (close_at_exit) first lets every thread already on its way back into the
// interpreter through, and from then on a thread leaving its native work
// waits, holding nothing, until the process has exited.

#include <Python.h>

namespace tarvo::batch {

class ReleasedGil {
public:
    ReleasedGil() : state_(PyEval_SaveThread()) {}
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;
    ~ReleasedGil();

    // With the GIL held, at interpreter exit, before finalization begins.
    static void close_at_exit();
    // In the child of a fork, which has none of the parent's other threads.
    static void reset_in_child() noexcept;

private:
    PyThreadState* state_;
};

}  // namespace tarvo::batch
