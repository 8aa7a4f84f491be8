#pragma once

#include <cstddef>
#include <functional>

namespace tarvo {

// Runs the tasks 0 .. n-1 of one job, each exactly once, on the calling
// thread alone or on several threads, and returns when every task has
// finished. Tasks are started in index order, and each runs to completion on
// the thread that started it, so a task may wait for one of lower index (it
// is running or done) but never for one of higher index. A task that throws
// stops the tasks not yet started; the first exception is rethrown to the
// caller once the running tasks have finished.
class TaskRunner {
public:
    virtual ~TaskRunner() = default;
    virtual void run(std::size_t n, const std::function<void(std::size_t)>& task) = 0;
    // The most tasks that run at once.
    [[nodiscard]] virtual std::size_t threads() const noexcept { return 1; }

protected:
    TaskRunner() = default;
    TaskRunner(const TaskRunner&) = default;
    TaskRunner& operator=(const TaskRunner&) = default;
};

// The tasks in order on the calling thread.
class SerialRunner final : public TaskRunner {
public:
    void run(std::size_t n, const std::function<void(std::size_t)>& task) override {
        for (std::size_t i = 0; i < n; ++i) {
            task(i);
        }
    }
};

}  // namespace tarvo
