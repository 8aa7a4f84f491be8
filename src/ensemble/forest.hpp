#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <random>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/archive.hpp"
#include "core/chunk_learner.hpp"
#include "core/classifier.hpp"
#include "core/feature_map.hpp"
#include "core/random.hpp"
#include "core/regressor.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/forest_chunk.hpp"
#include "ensemble/forest_settings.hpp"
#include "ensemble/member_vote.hpp"

namespace tarvo {

// One sample as the members of a forest learn it: the features, the label or
// target, x's entries (gathered once for members that project x onto their
// features; empty when no member does) and the law of the training weights.
template <class Target>
struct ForestRow {
    const FeatureMap& x;
    Target y;
    SampleView entries;
    TrainingWeights weights;
};

// The family of tree forests (adaptive random forests, streaming random
// patches, leveraging bagging): the settings every forest has, its members
// in order and the generator of its ensemble-level random draws, with the
// learning loop, the vote, the reset and the saved state they share.
//
// Derived (the forest class) states what differs. It must give
//   void learn_member(std::size_t i, const Row& row, int weight): member i's
//     test-then-train step on the row, given its training weight; it reads
//     the row and the settings and changes member i alone;
// and may replace the defaults below (declared again in Derived, they hide
// these): begin_row (more per-row values, in a RowType derived from
// ForestRow), training_weights (another
// law), draw (more ensemble-level draws per member), fresh_member (a member
// with its first tree), member_count (another rule for n_models) and
// kMinMembers (the fewest members a saved forest may hold).
//
// A member is built from the settings and offers current_tree() (the tree
// that answers, or null), input(x, entries) (the sample as that tree sees
// it) and, in a classifier, vote_weight(). Members that see a subset of the
// features (a `features` field) get x's entries gathered once per call.
//
// Since the members' steps are independent once the ensemble-level draws are
// made, a chunk of samples can be learnt with the members on several threads
// (learn_chunk) to the same forest, bit for bit.
template <class Interface>
using ForestTarget = std::conditional_t<std::is_base_of_v<IClassifier, Interface>, int, double>;

template <class Derived, class Interface, class Member, class Settings,
          class RowType = ForestRow<ForestTarget<Interface>>>
class Forest : public Interface, public Settings, public ChunkLearner<ForestTarget<Interface>> {
public:
    static constexpr bool kClassifier = std::is_base_of_v<IClassifier, Interface>;
    using Target = ForestTarget<Interface>;
    using Row = RowType;
    static constexpr std::size_t kMinMembers = 1;

    // learn_row(begin_row(x, y)). Throws std::invalid_argument, before
    // anything changes, when the training weights cannot be drawn (a NaN,
    // infinite or too large lambda_value).
    void learn_one(const FeatureMap& x, Target y) final { learn_row(self().begin_row(x, y)); }

    // Classifiers: the label of greatest vote (top_label), 0 when no member
    // votes. Regressors: the mean answer of the members that have a tree, 0.0
    // when none has.
    [[nodiscard]] Target predict_one(const FeatureMap& x) final {
        if constexpr (kClassifier) {
            return top_label(vote(x));
        } else {
            const SampleView entries = gather(x);
            double sum = 0.0;
            std::size_t count = 0;
            for (Member& m : members_) {
                if (auto* tree = m.current_tree()) {
                    sum += tree->predict_one(m.input(x, entries));
                    ++count;
                }
            }
            return count == 0 ? 0.0 : sum / static_cast<double>(count);
        }
    }

    // The members' class distributions, each normalised and weighted by its
    // member's vote_weight(), summed and normalised (MemberVote); members
    // without a tree take no part.
    [[nodiscard]] ProbabilityMap vote(const FeatureMap& x) {
        const SampleView entries = gather(x);
        MemberVote votes;
        for (Member& m : members_) {
            if (auto* tree = m.current_tree()) {
                votes.add(tree->predict_proba_one(m.input(x, entries)), m.vote_weight());
            }
        }
        return std::move(votes).result();
    }

    // Every member fresh (fresh_member), member_count() of them, and the
    // generator seeded with seed. Throws, before anything changes, what
    // member_count throws.
    void reset() override {
        const std::size_t size = self().member_count();
        seed_generator(generator_, this->seed);
        members_.clear();
        members_.reserve(size);
        for (std::size_t i = 0; i < size; ++i) {
            members_.push_back(self().fresh_member(i));
        }
    }

    // One sample for every member, in member order: member i's ensemble-level
    // draws (draw, from the forest's generator), then its step given them
    // (learn_member). The steps use no draw of the forest's generator and
    // leave the other members alone, so taking every member's draws for a row
    // first and then running the steps, in any order, gives the same forest.
    template <class R>
    void learn_row(const R& row) {
        for (std::size_t i = 0; i < members_.size(); ++i) {
            const int weight = self().draw(i, row);
            self().learn_member(i, row, weight);
        }
    }

    // The samples in order, as learn_one would learn them one after another,
    // as tasks of `runner`. Task 0 makes, in sample order, each sample (from
    // xs), its row (begin_row) and every member's ensemble-level draws for
    // it, in member order, so that the forest's generator and the statistics
    // of the rows move exactly as learn_one moves them; it publishes the rows
    // in blocks as it goes. Every other task is a member's rows (all of them,
    // or one of two halves), which it takes as they are published: its
    // answer (when answers are asked for), then its step.
    // Last, on the calling thread, each sample's answer from its members'
    // answers, combined in member order as predict_one combines them. A row
    // that cannot begin (training weights that cannot be drawn) ends the
    // chunk before it: the samples before it are learnt and answered, and its
    // exception is rethrown. An exception of a member's step (memory
    // exhausted) is rethrown once every task has stopped, with `learnt` left
    // at 0: the members are then part-way through the chunk, as learn_one
    // leaves them part-way through a sample.
    void learn_chunk(const SampleSource& xs, std::span<const Target> ys,
                     Target* answers, TaskRunner& runner, std::size_t& learnt) final {
        learnt = 0;
        const std::size_t n = xs.size();
        const std::size_t members = members_.size();
        auto& chunk = chunk_;
        chunk.prepare(n, members, answers != nullptr);
        chunk.reorder();
        std::exception_ptr stopped;
        // On several threads each member's rows are two tasks, the second
        // taking up where the first ended, so that the last tasks of the
        // chunk are short and no thread idles long at its end waiting for
        // another. The second half of every member comes after every first.
        const std::size_t parts = runner.threads() > 1 && n >= 4 * kPublishedRows ? 2 : 1;
        const std::size_t cut = parts == 2 ? n / 2 : n;
        runner.run(parts * members + 1, [&](std::size_t task) {
            if (task == 0) {
                make_rows(xs, ys, stopped);
                return;
            }
            const bool second = task > members;
            const std::size_t i = chunk.order[(task - 1) % members];
            if (second && !chunk.await_first_part(i)) {
                return;  // the first part failed, and its exception is the job's
            }
            const auto began = std::chrono::steady_clock::now();
            Member& m = members_[i];
            if constexpr (kClassifier) {
                if (answers != nullptr && !second) {
                    chunk.distributions[i].entries.clear();
                }
            }
            const auto first_part = chunk.first_part_guard(i, parts == 2 && !second);
            const std::size_t end = second ? n : cut;
            for (std::size_t r = second ? cut : 0; r < end && chunk.ready(r); ++r) {
                const auto& row = *chunk.rows[r];
                if (answers != nullptr) {
                    auto* tree = m.current_tree();
                    chunk.answered[i * n + r] = tree != nullptr ? 1 : 0;
                    if (tree != nullptr) {
                        if constexpr (kClassifier) {
                            chunk.keep_distribution(
                                i, r, n, tree->predict_proba_one(m.input(row.x, row.entries)));
                            chunk.vote_weights[i * n + r] = m.vote_weight();
                        } else {
                            chunk.answers[i * n + r] = tree->predict_one(m.input(row.x, row.entries));
                        }
                    }
                }
                self().learn_member(i, row, chunk.weights[i * n + r]);
            }
            chunk.seconds[i] = (second ? chunk.seconds[i] : 0.0) + seconds_since(began);
        });
        const std::size_t made = chunk.made();
        chunk.rows.clear();
        if (answers != nullptr) {
            for (std::size_t r = 0; r < made; ++r) {
                answers[r] = chunk.combine(r, n, members);
            }
        }
        learnt = made;
        if (stopped) {
            std::rethrow_exception(stopped);
        }
    }

    // The row of one sample: the training weights first (which may throw),
    // then x's entries.
    [[nodiscard]] ForestRow<Target> begin_row(const FeatureMap& x, Target y) {
        TrainingWeights weights = self().training_weights();
        return ForestRow<Target>{x, y, gather(x), std::move(weights)};
    }

    // Poisson(lambda_value).
    [[nodiscard]] TrainingWeights training_weights() const {
        return TrainingWeights(this->lambda_value);
    }

    // Member i's ensemble-level draws for the row: its training weight. A
    // draw may change member i only before its first step (learn_chunk makes
    // the draws of later rows while the members learn earlier ones).
    template <class R>
    int draw(std::size_t /*i*/, const R& row) {
        return row.weights.draw(generator_);
    }

    // A member as reset leaves it.
    [[nodiscard]] Member fresh_member(std::size_t /*i*/) const { return Member(settings()); }

    // max(1, n_models); throws std::invalid_argument naming n_models above
    // kMaxForestMembers.
    [[nodiscard]] std::size_t member_count() const { return forest_size(this->n_models); }

    // The members, in order (for inspection and tests).
    [[nodiscard]] const std::vector<Member>& members() const noexcept { return members_; }
    [[nodiscard]] std::vector<Member>& members() noexcept { return members_; }

protected:
    explicit Forest(const Settings& settings) : Settings(settings) {
        seed_generator(generator_, this->seed);
    }

    [[nodiscard]] const Settings& settings() const noexcept { return *this; }

    // The state behind the settings, for saving and restoring
    // (core/archive.hpp): the generator, then the members
    // (Derived::kMinMembers .. kMaxForestMembers of them).
    template <class Archive>
    void state_fields(Archive& ar) {
        ar(generator_);
        archive_members_at_least(ar, Derived::kMinMembers, members_, settings());
    }

    std::vector<Member> members_;
    std::mt19937 generator_;  // the ensemble-level draws

private:
    [[nodiscard]] Derived& self() noexcept { return static_cast<Derived&>(*this); }

    // x's entries when the members project x onto their features.
    SampleView gather(const FeatureMap& x) {
        if constexpr (requires { &Member::features; }) {
            gather_entries(x, entries_);
            return entries_;
        } else {
            return {};
        }
    }

    // The rows of a chunk and every member's draws for them, published to the
    // members every kPublishedRows rows; a row that cannot begin ends them
    // (its exception in `stopped`).
    static constexpr std::size_t kPublishedRows = 16;
    void make_rows(const SampleSource& xs, std::span<const Target> ys,
                   std::exception_ptr& stopped) {
        auto& chunk = chunk_;
        const std::size_t n = xs.size();
        std::size_t r = 0;
        try {
            for (; r < n; ++r) {
                const FeatureMap& x = xs.sample(r, chunk.samples[r]);
                const auto& row = chunk.rows[r].emplace(self().begin_row(x, ys[r]));
                if constexpr (requires { &Member::features; }) {
                    // The row's entries live in the buffer begin_row filled;
                    // the chunk keeps that buffer and lends its own for the next.
                    entries_.swap(chunk.entries[r]);
                }
                for (std::size_t i = 0; i < members_.size(); ++i) {
                    chunk.weights[i * n + r] = self().draw(i, row);
                }
                if ((r + 1) % kPublishedRows == 0) {
                    chunk.publish(r + 1);
                }
            }
        } catch (...) {
            stopped = std::current_exception();
        }
        chunk.finish(r);
    }

    SampleEntries entries_;  // of the sample at hand, shared by the members
    ForestChunk<Row, Target> chunk_;  // learn_chunk's work space
};

}  // namespace tarvo
