#include "released_gil.hpp"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <thread>

namespace tarvo::batch {

namespace {

// Sequentially consistent: a thread counts itself in `returning` and then
// reads `exiting`; the exit hook sets `exiting` and then reads `returning`.
// So either the thread sees the exit and waits, or the hook sees the thread
// and lets it through first.
std::atomic<bool> exiting{false};
std::atomic<std::size_t> returning{0};

[[noreturn]] void wait_for_process_exit() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::hours(1));
    }
}

}  // namespace

ReleasedGil::~ReleasedGil() {
    returning.fetch_add(1);
    if (exiting.load()) {
        returning.fetch_sub(1);
        wait_for_process_exit();
    }
    PyEval_RestoreThread(state_);
    returning.fetch_sub(1);
}

void ReleasedGil::close_at_exit() {
    exiting.store(true);
    Py_BEGIN_ALLOW_THREADS
    while (returning.load() != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Py_END_ALLOW_THREADS
}

void ReleasedGil::reset_in_child() noexcept { returning.store(0); }

}  // namespace tarvo::batch
