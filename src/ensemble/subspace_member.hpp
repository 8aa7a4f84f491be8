#pragma once

#include <string>
#include <utility>
#include <vector>

#include "drift/drift_guarded_model.hpp"
#include "ensemble/feature_subspace.hpp"

namespace tarvo {

// A forest member that sees a fixed subset of the features: its tree with
// the background tree and drift detectors that guard it, and the subset,
// drawn at the member's first sample (empty: every feature). The subset
// survives every replacement of the tree; only a reset clears it.
template <class Tree>
struct SubspaceMember {
    using Trees = DriftGuardedModel<Tree>;

    SubspaceMember(double drift_delta, double warning_delta) : trees(drift_delta, warning_delta) {}

    Trees trees;
    FeatureSubspace features;
    bool initialised = false;

    // Every field, for saving and restoring (core/archive.hpp). The cached
    // projection is not saved: it is rebuilt from the names alone, entry for
    // entry and in the same iteration order.
    template <class Archive>
    void fields(Archive& ar) {
        std::vector<std::string> names = features.names();
        ar(trees, names, initialised);
        // A member that has seen a sample has a tree; one that has not may
        // already hold its first tree (the ARF regressor builds them up front).
        ar.check(!initialised || trees.model != nullptr, "a member's tree does not match its state");
        if constexpr (Archive::kLoading) {
            features.assign(std::move(names));
        }
    }
};

}  // namespace tarvo
