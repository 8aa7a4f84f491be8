#pragma once

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
};

}  // namespace tarvo
