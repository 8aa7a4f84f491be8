#pragma once

#include <memory>
#include <utility>

#include "core/archive.hpp"
#include "drift/adwin.hpp"
#include "drift/alarm_policy.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/forest_settings.hpp"
#include "ensemble/member_learning.hpp"

namespace tarvo {

// A member of a leveraging bagging ensemble: a tree and the one drift
// detector over its test-then-train error. A drift on a rising error replaces
// both at once; there is no warning stage and no background tree. The member
// sees every feature and always has its tree.
template <class Tree>
struct alignas(kMemberAlignment) BaggingMember {
    explicit BaggingMember(const ForestSettings& settings)
        : drift_detector(settings.drift_delta) {}

    // Feeds one error to the detector; true when it reports a drift and its
    // estimate rose with this error (a tree that is getting better is kept).
    bool watch(double error) {
        return counted_alarm(drift_detector, error, AlarmPolicy::kRisingError);
    }

    // Starts over with `fresh` and a new detector.
    void restart(std::unique_ptr<Tree> fresh, double drift_delta) {
        tree = std::move(fresh);
        drift_detector = ADWIN(drift_delta);
    }

    // Test, then train: `error`, of the tree's answer before learning, goes
    // to the detector; the tree learns (x, y) `weight` times; then, when the
    // detector reported a drift, the tree is replaced by build() and the
    // detector by a fresh one.
    template <class Target, class Build>
    void learn(const FeatureMap& x, Target y, int weight, double error, double drift_delta,
               Build&& build) {
        const bool drift = watch(error);
        learn_weighted(*tree, x, y, weight);
        if (drift) {
            restart(build(), drift_delta);
        }
    }

    // What the forest asks of every member: the tree that answers, the sample
    // as the tree sees it, and the weight of the tree's vote.
    [[nodiscard]] Tree* current_tree() const noexcept { return tree.get(); }
    [[nodiscard]] static const FeatureMap& input(const FeatureMap& x, SampleView) noexcept {
        return x;
    }
    [[nodiscard]] static double vote_weight() noexcept { return 1.0; }

    // Every field, for saving and restoring (core/archive.hpp); a member
    // always has its tree.
    template <class Archive>
    void fields(Archive& ar) {
        archive_optional(ar, tree);
        ar(drift_detector);
        ar.check(tree != nullptr, "a member has no tree");
    }

    std::unique_ptr<Tree> tree;
    ADWIN drift_detector;
};

}  // namespace tarvo
