#pragma once

// The process's pool of worker threads for the members of a forest: made at
// its first use, grown to the most threads a job has asked for, reused by
// every later job, remade in the child of a fork (whose copy has no threads)
// and stopped when the interpreter exits.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "core/task_runner.hpp"

namespace tarvo::batch {

class ThreadPool {
public:
    // The most worker threads the pool starts.
    static constexpr std::size_t kMaxWorkers = 64;

    // The process's pool. Call it with the GIL held: the GIL orders it with
    // fork and with stop_shared.
    static ThreadPool& shared();
    // Stops the shared pool's workers once their current tasks end (at
    // interpreter exit, with the GIL held). Jobs submitted later, or still
    // running, finish on their callers' threads.
    static void stop_shared();
    // Before a fork: the shared pool's workers end once their current tasks
    // do, so that no worker is copied mid-task into the child; the next job
    // starts them again.
    static void pause_shared();
    // In the child of a fork, which has none of the parent's threads (and may
    // hold a copy of a lock another thread held): the parent's pool is left
    // untouched and the child makes its own at its first job.
    static void forget_in_child() noexcept;

    ThreadPool() = default;
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    ~ThreadPool();

    // Runs task(0 .. n-1), each once, on the calling thread and up to
    // threads - 1 workers that join as they come free; the calling thread
    // takes tasks too, so a job ends even when every worker is busy with the
    // jobs of other threads. Tasks are handed out one at a time, in index
    // order. A task's exception stops the tasks not yet started and is
    // rethrown here once the job's running tasks have ended.
    void run(std::size_t n, std::size_t threads, const std::function<void(std::size_t)>& task);

private:
    struct Job;

    void work();
    static void take_tasks(Job& job, std::mutex& mutex);
    void stop();
    void restart_allowed();

    std::mutex mutex_;
    std::condition_variable wake_;  // workers: a job is queued, or the pool stops
    std::condition_variable left_;  // callers: a worker left a job
    std::deque<Job*> queue_;        // jobs that want more workers
    std::vector<std::thread> workers_;
    bool stopping_ = false;  // workers leave, and no job queues for them
    bool closed_ = false;    // for good (interpreter exit)
};

// A TaskRunner over the shared pool with a number of threads.
class PoolRunner final : public TaskRunner {
public:
    PoolRunner(ThreadPool& pool, std::size_t threads) : pool_(&pool), threads_(threads) {}
    void run(std::size_t n, const std::function<void(std::size_t)>& task) override {
        pool_->run(n, threads_, task);
    }
    [[nodiscard]] std::size_t threads() const noexcept override { return threads_; }

private:
    ThreadPool* pool_;
    std::size_t threads_;
};

}  // namespace tarvo::batch
