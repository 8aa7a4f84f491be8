// The six forests learning chunks with their members on the shared pool, and
// the two boosters with their stages in lanes, from two threads at once,
// under ThreadSanitizer (`make tsan`): every answer and the saved state must
// equal learning one sample at a time, and the run must report no data race.

#include <chrono>
#include <cstdio>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/archive.hpp"
#include "ensemble/arf_classifier.hpp"
#include "ensemble/arf_regressor.hpp"
#include "ensemble/forest_chunk.hpp"
#include "ensemble/leveraging_bagging_classifier.hpp"
#include "ensemble/leveraging_bagging_regressor.hpp"
#include "ensemble/sgbr_regressor.hpp"
#include "ensemble/sgbt_classifier.hpp"
#include "ensemble/srp_classifier.hpp"
#include "ensemble/srp_regressor.hpp"
#include "thread_pool.hpp"

namespace tarvo {
void check_interrupt() {}
}  // namespace tarvo

namespace {

using namespace tarvo;

template <class Forest>
std::string save_bytes(Forest& forest) {
    ArchiveWriter writer("forest");
    forest.fields(writer);
    return writer.finish();
}

struct Stream {
    std::vector<FeatureMap> xs;
    std::vector<int> labels;
    std::vector<int> three;  // three labels, the third first seen a quarter of the way in
    std::vector<double> targets;
};

// Five features, 5 % of them missing; the concept flips half-way.
Stream make_stream(std::size_t n) {
    Stream s;
    std::mt19937 g(1);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (std::size_t i = 0; i < n; ++i) {
        FeatureMap x;
        for (int j = 0; j < 5; ++j) {
            if (u(g) > 0.05) {
                x["f" + std::to_string(j)] = u(g);
            }
        }
        const double a = x.contains("f0") ? x["f0"] : 0.0;
        const double b = x.contains("f1") ? x["f1"] : 0.0;
        const bool flipped = i > n / 2;
        s.labels.push_back((a + b > 1.0) != flipped ? 1 : 0);
        s.three.push_back(i > n / 4 && a > 0.7 ? 2 : s.labels.back());
        s.targets.push_back((flipped ? -1.0 : 1.0) * (3.0 * a - 2.0 * b));
        s.xs.push_back(std::move(x));
    }
    return s;
}

struct Quick {
    template <class Model>
    void operator()(Model& m) const {
        m.grace_period = 20;
    }
};

// Small boosters with bagged stages and dropped samples.
struct QuickBoosters {
    template <class Model>
    void operator()(Model& m) const {
        m.grace_period = 20;
        m.n_models = 12;
        m.bag_size = 3;
        m.skip_training = 2;
    }
};

template <class Forest, class Target, class Setup = Quick>
bool same_as_one_at_a_time(const Stream& s, const std::vector<Target>& ys, std::size_t threads,
                           Setup setup = {}) {
    Forest chunked;
    Forest plain;
    setup(chunked);
    setup(plain);
    batch::PoolRunner runner(batch::ThreadPool::shared(), threads);
    std::vector<Target> answers(ys.size());
    for (std::size_t a = 0; a < ys.size(); a += 300) {
        const std::size_t n = std::min<std::size_t>(300, ys.size() - a);
        std::size_t learnt = 0;
        chunked.learn_chunk(SampleSpan(std::span(s.xs).subspan(a, n)), std::span(ys).subspan(a, n),
                            answers.data() + a, runner, learnt);
    }
    bool same = true;
    for (std::size_t r = 0; r < ys.size(); ++r) {
        same = same && plain.predict_one(s.xs[r]) == answers[r];
        plain.learn_one(s.xs[r], ys[r]);
    }
    return same && save_bytes(chunked) == save_bytes(plain);
}

int check_all(const Stream& s, std::size_t threads) {
    int failures = 0;
    const auto report = [&](const char* name, bool same) {
        if (!same) {
            std::printf("%s on %zu threads differs from one sample at a time\n", name, threads);
            ++failures;
        }
    };
    report("ARFClassifier", same_as_one_at_a_time<ARFClassifier>(s, s.labels, threads));
    report("SRPClassifier", same_as_one_at_a_time<SRPClassifier>(s, s.labels, threads));
    report("LeveragingBaggingClassifier",
           same_as_one_at_a_time<LeveragingBaggingClassifier>(s, s.labels, threads));
    report("ARFRegressor", same_as_one_at_a_time<ARFRegressor>(s, s.targets, threads));
    report("SRPRegressor", same_as_one_at_a_time<SRPRegressor>(s, s.targets, threads));
    report("LeveragingBaggingRegressor",
           same_as_one_at_a_time<LeveragingBaggingRegressor>(s, s.targets, threads));
    report("SGBTClassifier",
           same_as_one_at_a_time<SGBTClassifier>(s, s.three, threads, QuickBoosters{}));
    report("SGBRRegressor",
           same_as_one_at_a_time<SGBRRegressor>(s, s.targets, threads, QuickBoosters{}));
    return failures;
}

// A task's exception reaches the caller once the other tasks have stopped;
// the pool serves the next job as before.
int failure_reaches_the_caller() {
    auto& pool = batch::ThreadPool::shared();
    std::vector<int> ran(8, 0);
    try {
        pool.run(8, 3, [&](std::size_t i) {
            ran[i] = 1;
            if (i == 2) {
                throw std::runtime_error("member failed");
            }
        });
    } catch (const std::runtime_error&) {
        int total = 0;
        pool.run(8, 3, [&](std::size_t i) { ran[i] = 2; });
        for (int r : ran) {
            total += r;
        }
        return total == 16 ? 0 : 1;
    }
    std::printf("a task's exception did not reach the caller\n");
    return 1;
}

// A member whose rows are two tasks: when its first part fails, the second
// does not wait for ever nor learn, and the failure reaches the caller.
int failed_first_part_ends_the_second() {
    ForestChunk<ForestRow<int>, int> chunk;
    chunk.prepare(64, 1, false);
    bool second_went_on = false;
    try {
        batch::ThreadPool::shared().run(2, 2, [&](std::size_t task) {
            if (task == 0) {
                const auto guard = chunk.first_part_guard(0, true);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                throw std::runtime_error("member failed");
            }
            second_went_on = chunk.await_first_part(0);
        });
    } catch (const std::runtime_error&) {
        return second_went_on ? 1 : 0;
    }
    std::printf("a first part's exception did not reach the caller\n");
    return 1;
}

}  // namespace

int main() {
    const Stream s = make_stream(2000);
    (void)batch::ThreadPool::shared();  // made once, as the GIL orders it in the module
    int failures[2] = {0, 0};
    std::thread first([&] { failures[0] = check_all(s, 2); });
    std::thread second([&] { failures[1] = check_all(s, 3); });
    first.join();
    second.join();
    const int total = failures[0] + failures[1] + failure_reaches_the_caller() +
                      failed_first_part_ends_the_second();
    batch::ThreadPool::stop_shared();
    std::printf("%s\n", total == 0 ? "every forest and booster equals learning one sample at a time" : "FAILED");
    return total == 0 ? 0 : 1;
}
