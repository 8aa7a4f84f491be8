#pragma once

// What a forest keeps while it learns a chunk of samples with its members on
// several threads: each sample's row, each member's training weights, how
// many rows are ready for the members and, for test-then-train, each member's
// answer before it learnt the sample. Kept between chunks, so that a steady
// stream allocates per sample no more than learning one sample at a time does.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <type_traits>
#include <vector>

#include "core/classifier.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/member_vote.hpp"

namespace tarvo {

template <class Row, class Target>
struct ForestChunk {
    static constexpr bool kClassifier = std::is_same_v<Target, int>;
    // A member's class distribution for a sample: its entries, in the map's
    // order, at [begin, end) of the member's `distributions`.
    struct Span {
        std::size_t begin = 0;
        std::size_t end = 0;
    };
    // A member's answer for a sample: where its class distribution is (with
    // the weight of its vote), or a value.
    using Answer = std::conditional_t<kClassifier, Span, double>;
    // Set in `published` once no more rows will come.
    static constexpr std::size_t kFinished = std::size_t{1}
                                             << (std::numeric_limits<std::size_t>::digits - 1);

    ForestChunk() = default;
    // Work space only: a copy starts empty.
    ForestChunk(const ForestChunk& /*other*/) {}
    ForestChunk& operator=(const ForestChunk& /*other*/) { return *this; }
    ~ForestChunk() = default;

    std::vector<std::optional<Row>> rows;
    // The samples the rows refer to, when the source makes them; each is
    // replaced by the next chunk's (and freed) on the thread that makes rows.
    std::vector<FeatureMap> samples;
    // The rows whose draws are made, with kFinished once the last is: the
    // rows and their weights are written before the count that covers them.
    std::atomic<std::size_t> published{0};
    std::vector<SampleEntries> entries;  // per sample, when members project it
    // Per member i and sample r, at [i * rows.size() + r]: the training
    // weight, and whether the member answered and what.
    std::vector<int> weights;
    std::vector<unsigned char> answered;
    std::vector<Answer> answers;
    // Per member, the entries of its distributions in this chunk. Copied out
    // of the map the member's tree returns, so that the map is freed by the
    // thread that made it and the buffers are reused from chunk to chunk.
    struct alignas(64) Kept {
        std::vector<std::pair<int, double>> entries;  // on a cache line of its own
    };
    std::vector<Kept> distributions;
    std::vector<double> vote_weights;
    // The members in the order their work is handed out, longest first by
    // the last chunk's timings. Any order gives the same forest.
    std::vector<std::size_t> order;
    std::vector<double> seconds;
    // Per member whose rows are two tasks: how its first ended (kPartRunning
    // until then), written before the second task reads the member.
    static constexpr unsigned kPartRunning = 0;
    static constexpr unsigned kPartDone = 1;
    static constexpr unsigned kPartFailed = 2;
    std::vector<std::atomic<unsigned>> first_parts;

    // Room for n samples of `members` members.
    void prepare(std::size_t n, std::size_t members, bool with_answers) {
        rows.clear();
        rows.resize(n);
        published.store(0);
        if (entries.size() < n) {
            entries.resize(n);
        }
        if (samples.size() < n) {
            samples.resize(n);
        }
        weights.resize(n * members);
        if (with_answers) {
            answered.resize(n * members);
            answers.resize(n * members);
            if constexpr (kClassifier) {
                vote_weights.resize(n * members);
                distributions.resize(members);
            }
        }
        if (first_parts.size() != members) {
            first_parts = std::vector<std::atomic<unsigned>>(members);
        }
        for (auto& part : first_parts) {
            part.store(kPartRunning, std::memory_order_relaxed);
        }
        if (order.size() != members) {
            order.resize(members);
            std::iota(order.begin(), order.end(), std::size_t{0});
            seconds.assign(members, 0.0);
        }
    }

    // By the thread making the rows: the first `count` rows are ready, and
    // (finish) no more will come.
    void publish(std::size_t count) {
        published.store(count, std::memory_order_release);
        published.notify_all();
    }
    void finish(std::size_t count) { publish(count | kFinished); }
    // The rows published so far.
    [[nodiscard]] std::size_t made() const { return published.load() & ~kFinished; }

    // By a member: true once row r is ready, false when the rows ended before it.
    [[nodiscard]] bool ready(std::size_t r) {
        std::size_t seen = published.load(std::memory_order_acquire);
        while ((seen & ~kFinished) <= r) {
            if ((seen & kFinished) != 0) {
                return false;
            }
            published.wait(seen, std::memory_order_acquire);
            seen = published.load(std::memory_order_acquire);
        }
        return true;
    }

    // By the task of member i's first part, when `active`: marks the part
    // done when it ends, or failed when it ends by an exception.
    class FirstPart {
    public:
        explicit FirstPart(std::atomic<unsigned>* flag) noexcept
            : flag_(flag), exceptions_(std::uncaught_exceptions()) {}
        FirstPart(const FirstPart&) = delete;
        FirstPart& operator=(const FirstPart&) = delete;
        ~FirstPart() {
            if (flag_ != nullptr) {
                flag_->store(std::uncaught_exceptions() > exceptions_ ? kPartFailed : kPartDone,
                             std::memory_order_release);
                flag_->notify_all();
            }
        }

    private:
        std::atomic<unsigned>* flag_;
        int exceptions_;
    };
    [[nodiscard]] FirstPart first_part_guard(std::size_t i, bool active) {
        return FirstPart(active ? &first_parts[i] : nullptr);
    }
    // By the task of member i's second part: false when the first failed.
    [[nodiscard]] bool await_first_part(std::size_t i) {
        std::atomic<unsigned>& part = first_parts[i];
        part.wait(kPartRunning, std::memory_order_acquire);
        return part.load(std::memory_order_acquire) == kPartDone;
    }

    // By member i's task: its class distribution for sample r of n.
    void keep_distribution(std::size_t i, std::size_t r, std::size_t n, const ProbabilityMap& p) {
        auto& kept = distributions[i].entries;
        const std::size_t begin = kept.size();
        kept.insert(kept.end(), p.begin(), p.end());
        answers[i * n + r] = Span{begin, kept.size()};
    }

    // The order of the next chunk: the members that took longest first, so
    // that the short ones fill in at the end; ties keep member order.
    void reorder() {
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t a, std::size_t b) { return seconds[a] > seconds[b]; });
    }

    // The forest's answer for sample r of n from its members' answers, as
    // predict_one gives it: the label of greatest vote (the votes added in
    // member order), or the mean value of the members that answered.
    [[nodiscard]] Target combine(std::size_t r, std::size_t n, std::size_t members) const {
        if constexpr (kClassifier) {
            MemberVote votes;
            for (std::size_t i = 0; i < members; ++i) {
                if (answered[i * n + r] != 0) {
                    const Span at = answers[i * n + r];
                    const std::span entries(distributions[i].entries.data() + at.begin, at.end - at.begin);
                    votes.add_entries(entries, vote_weights[i * n + r]);
                }
            }
            return top_label(std::move(votes).result());
        } else {
            double sum = 0.0;
            std::size_t count = 0;
            for (std::size_t i = 0; i < members; ++i) {
                if (answered[i * n + r] != 0) {
                    sum += answers[i * n + r];
                    ++count;
                }
            }
            return count == 0 ? 0.0 : sum / static_cast<double>(count);
        }
    }
};

// Seconds since `began`, for the hand-out order.
[[nodiscard]] inline double seconds_since(std::chrono::steady_clock::time_point began) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
}

}  // namespace tarvo
