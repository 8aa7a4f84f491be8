#pragma once

#include <string>
#include <utility>
#include <vector>

#include "drift/drift_guarded_model.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

// When a subspace member gets its tree: at the forest's reset, or at the
// member's first sample, together with its subset of the features.
enum class MemberTree { kFromReset, kFromFirstSample };

// A forest member that sees a fixed subset of the features: its tree with
// the background tree and drift detectors that guard it, and the subset,
// drawn at the member's first sample (empty: every feature). The subset
// survives every replacement of the tree; only a reset clears it.
template <class Tree, MemberTree kTreeFrom>
struct alignas(kMemberAlignment) SubspaceMember {
    using Trees = DriftGuardedModel<Tree>;

    explicit SubspaceMember(const BackgroundForestSettings& settings)
        : trees(settings.drift_delta, settings.warning_delta) {}

    Trees trees;
    FeatureSubspace features;
    bool initialised = false;  // the subset is drawn

    // What the forest asks of every member: the tree that answers (null
    // before it is built) and the sample as the tree sees it (the reference
    // is valid until the next call).
    [[nodiscard]] Tree* current_tree() const noexcept { return trees.model.get(); }
    [[nodiscard]] const FeatureMap& input(const FeatureMap& x, SampleView entries) {
        return features.project(x, entries);
    }

    // Every field, for saving and restoring (core/archive.hpp). The cached
    // projection is not saved: it is rebuilt from the names alone, entry for
    // entry and in the same iteration order.
    template <class Archive>
    void fields(Archive& ar) {
        std::vector<std::string> names = features.names();
        ar(trees, names, initialised);
        if constexpr (kTreeFrom == MemberTree::kFromReset) {
            ar.check(trees.model != nullptr, "a member has no tree");
        } else {
            ar.check(initialised == (trees.model != nullptr),
                     "a member's tree does not match its state");
        }
        if constexpr (Archive::kLoading) {
            features.assign(std::move(names));
        }
    }
};

}  // namespace tarvo
