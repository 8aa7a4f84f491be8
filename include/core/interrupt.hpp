#pragma once

#include <cstdint>

namespace tarvo {

// Loops whose length a caller chooses (a sample learnt a Poisson number of
// times, say) look for a pending interrupt, such as Ctrl-C, every
// kInterruptStride steps, so that a huge count can be stopped.
inline constexpr std::int64_t kInterruptStride = 4096;

// Raises the host's pending interrupt as an exception; returns when none is
// pending. Supplied by the module that hosts the native code.
void check_interrupt();

// Calls step() `times` times (none when times <= 0), looking for an interrupt
// every kInterruptStride calls. Each step completes before the loop stops, so
// an interrupted loop leaves its object in the state of the steps taken.
template <class Step>
void repeat_interruptibly(std::int64_t times, Step&& step) {
    for (std::int64_t i = 0; i < times; ++i) {
        if (i != 0 && i % kInterruptStride == 0) {
            check_interrupt();
        }
        step();
    }
}

// The steps of one long call split among many short loops (a booster's
// trees, each learning a sample a few hundred times): looks for an interrupt
// each time kInterruptStride steps have been taken since it last looked,
// however the loops split them.
class InterruptBudget {
public:
    // Call before each step.
    void step() {
        if (++taken_ == kInterruptStride) {
            taken_ = 0;
            check_interrupt();
        }
    }

private:
    std::int64_t taken_ = 0;
};

}  // namespace tarvo
