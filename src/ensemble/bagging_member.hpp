#pragma once

#include <memory>
#include <utility>

#include "core/archive.hpp"
#include "drift/adwin.hpp"
#include "drift/alarm_policy.hpp"

namespace tarvo {

// A member of a leveraging bagging ensemble: a tree and the one drift
// detector over its test-then-train error. A drift on a rising error replaces
// both at once; there is no warning stage and no background tree.
template <class Tree>
struct BaggingMember {
    explicit BaggingMember(double drift_delta) : drift_detector(drift_delta) {}

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
