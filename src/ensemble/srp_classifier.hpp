#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/classifier.hpp"
#include "ensemble/member_vote.hpp"
#include "ensemble/patch_forest.hpp"
#include "ensemble/subspace_member.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace tarvo {

// One tree of a streaming random patches classifier: its patch of features,
// the drift detectors over its 0/1 test-then-train error, and its accuracy
// since the tree became the member's tree. No tree until the first sample.
struct SRPClassifierMember : SubspaceMember<HoeffdingTreeClassifier, MemberTree::kFromFirstSample> {
    using SubspaceMember::SubspaceMember;

    MemberAccuracy accuracy;

    [[nodiscard]] double vote_weight() const noexcept { return accuracy.weight(); }

    template <class Archive>
    void fields(Archive& ar) {
        SubspaceMember::fields(ar);
        ar(accuracy);
    }
};

// Streaming random patches of Hoeffding trees.
//
// Every member learns on its own patch of the data: a fixed random share
// (subspace_fraction) of the features of its first sample, drawn with a
// generator seeded from seed and the member's position, and/or each sample a
// Poisson(lambda_value) number of times, as training_method says. A warning
// detector over the member's 0/1 error starts a background tree; a drift
// detector replaces the tree by it (or by a fresh tree). Members vote with
// their accuracy since their tree was last replaced.
//
// n_models takes effect at reset, seed seeds the weights' generator at reset
// and is read afresh by every patch drawn; the others are read by the next
// operation that needs them. learn_one throws std::invalid_argument, before
// anything changes, when the method resamples and lambda_value is NaN,
// infinite or above 1000; reset when n_models exceeds kMaxForestMembers.
class SRPClassifier final : public PatchForest<SRPClassifier, IClassifier, SRPClassifierMember> {
public:
    explicit SRPClassifier(std::int32_t n_models = 10, std::int32_t seed = 0,
                           double lambda_value = 6.0, double drift_delta = 0.001,
                           double warning_delta = 0.01, std::int32_t grace_period = 50,
                           std::int32_t max_depth = 20, double split_confidence = 0.01,
                           double subspace_fraction = 0.6,
                           std::string training_method = "patches");
    // Out of line: a source that only holds or deletes one compiles none of the
    // forest's code.
    ~SRPClassifier() override;
    SRPClassifier(const SRPClassifier&) = default;
    SRPClassifier(SRPClassifier&&) = default;
    SRPClassifier& operator=(const SRPClassifier&) = default;
    SRPClassifier& operator=(SRPClassifier&&) = default;

    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override {
        return vote(x);
    }

    // The tree a member starts with, or after a warning or a drift.
    [[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> make_member_tree() const;

    double split_confidence;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);
};

}  // namespace tarvo
