#include "thread_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>

namespace tarvo::batch {

namespace {

// The shared pool, read and replaced only with the GIL held (or in the child
// of a fork, which has one thread). A pool is never deleted: a thread that
// released the GIL may still be running a job on it.
ThreadPool* shared_pool = nullptr;

}  // namespace

struct ThreadPool::Job {
    const std::function<void(std::size_t)>* task;
    std::size_t n;
    std::atomic<std::size_t> next{0};
    std::size_t seats = 0;   // workers still wanted; under the pool's lock
    std::size_t inside = 0;  // workers taking its tasks; under the pool's lock
    std::exception_ptr error;  // the first failure; under the pool's lock
};

ThreadPool& ThreadPool::shared() {
    if (shared_pool == nullptr) {
        shared_pool = new ThreadPool();
    }
    return *shared_pool;
}

void ThreadPool::forget_in_child() noexcept { shared_pool = nullptr; }

void ThreadPool::pause_shared() {
    if (shared_pool != nullptr) {
        shared_pool->stop();
        shared_pool->restart_allowed();
    }
}

void ThreadPool::restart_allowed() {
    const std::lock_guard lock(mutex_);
    stopping_ = closed_;
}

void ThreadPool::stop_shared() {
    if (shared_pool != nullptr) {
        {
            const std::lock_guard lock(shared_pool->mutex_);
            shared_pool->closed_ = true;
        }
        shared_pool->stop();
    }
}

ThreadPool::~ThreadPool() { stop(); }

void ThreadPool::stop() {
    std::vector<std::thread> workers;
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
        workers.swap(workers_);
    }
    wake_.notify_all();
    for (std::thread& w : workers) {
        w.join();
    }
}

void ThreadPool::take_tasks(Job& job, std::mutex& mutex) {
    for (;;) {
        const std::size_t i = job.next.fetch_add(1);
        if (i >= job.n) {
            return;
        }
        try {
            (*job.task)(i);
        } catch (...) {
            const std::lock_guard lock(mutex);
            if (!job.error) {
                job.error = std::current_exception();
            }
            job.next.store(job.n);
        }
    }
}

void ThreadPool::work() {
    // Signals (Ctrl-C) are for the interpreter's threads.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
        if (stopping_) {
            return;
        }
        Job& job = *queue_.front();
        if (--job.seats == 0) {
            queue_.pop_front();
        }
        ++job.inside;
        lock.unlock();
        take_tasks(job, mutex_);
        lock.lock();
        if (--job.inside == 0) {
            left_.notify_all();
        }
    }
}

void ThreadPool::run(std::size_t n, std::size_t threads,
                     const std::function<void(std::size_t)>& task) {
    if (n == 0) {
        return;
    }
    Job job;
    job.task = &task;
    job.n = n;
    const std::size_t helpers = std::min({threads > 0 ? threads - 1 : 0, n - 1, kMaxWorkers});
    std::size_t seats = 0;
    if (helpers > 0) {
        {
            const std::lock_guard lock(mutex_);
            if (!stopping_) {
                try {
                    while (workers_.size() < helpers) {
                        workers_.emplace_back([this] { work(); });
                    }
                } catch (const std::system_error&) {
                    // No more threads to be had: the ones running take the job.
                }
                seats = std::min(helpers, workers_.size());
                job.seats = seats;
                if (seats > 0) {
                    queue_.push_back(&job);
                }
            }
        }
        // One wake-up per seat: a worker woken for nothing would take a core from
        // those at work. A worker busy elsewhere finds the job when it looks again.
        for (std::size_t k = 0; k < seats; ++k) {
            wake_.notify_one();
        }
    }
    take_tasks(job, mutex_);
    {
        std::unique_lock lock(mutex_);
        // No worker joins once the tasks are taken; those inside finish theirs.
        std::erase(queue_, &job);
        left_.wait(lock, [&] { return job.inside == 0; });
    }
    if (job.error) {
        std::rethrow_exception(job.error);
    }
}

}  // namespace tarvo::batch
