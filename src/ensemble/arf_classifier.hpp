#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/classifier.hpp"
#include "drift/drift_guarded_model.hpp"
#include "ensemble/forest.hpp"
#include "ensemble/forest_settings.hpp"
#include "ensemble/member_vote.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace tarvo {

// One tree of an adaptive random forest of classifiers with its background
// tree and drift detectors, its accuracy since the tree became the member's
// tree, and the seeds its trees were built with.
struct alignas(kMemberAlignment) ARFClassifierMember {
    using Trees = DriftGuardedModel<HoeffdingTreeClassifier>;

    explicit ARFClassifierMember(const BackgroundForestSettings& settings)
        : trees(settings.drift_delta, settings.warning_delta) {}

    Trees trees;  // trees.model is null until the first sample
    MemberAccuracy accuracy;
    bool initialised = false;
    // The seeds the tree and the background tree were built with (for inspection).
    std::int32_t tree_seed = 0;
    std::int32_t background_seed = 0;

    // What the forest asks of every member (see Forest); the tree sees every
    // feature of the sample and draws its own subsets at its split attempts.
    [[nodiscard]] HoeffdingTreeClassifier* current_tree() const noexcept {
        return trees.model.get();
    }
    [[nodiscard]] static const FeatureMap& input(const FeatureMap& x, SampleView) noexcept {
        return x;
    }
    [[nodiscard]] double vote_weight() const noexcept { return accuracy.weight(); }

    template <class Archive>
    void fields(Archive& ar) {
        ar(trees, accuracy, initialised, tree_seed, background_seed);
        ar.check(initialised == (trees.model != nullptr), "a member's tree does not match its state");
    }
};

// Adaptive random forest of Hoeffding trees.
//
// Every member learns each sample a Poisson(lambda_value) number of times,
// and its tree evaluates a random subset of the features at every split
// attempt. A warning detector over the member's 0/1 error starts a background
// tree; a drift detector replaces the tree by it (or by a fresh tree). The
// members vote with their accuracy since their tree was last replaced.
//
// Members and their trees are built at a member's first sample, with the
// number of features of that sample. n_models takes effect at reset; seed
// seeds the generator at reset and is read afresh for every member tree seed;
// the others are read by the next operation that needs them. learn_one
// throws std::invalid_argument, before anything changes, when lambda_value is
// NaN, infinite or above 1000; reset when n_models exceeds kMaxForestMembers.
class ARFClassifier final
    : public Forest<ARFClassifier, IClassifier, ARFClassifierMember, BackgroundForestSettings> {
public:
    explicit ARFClassifier(std::int32_t n_models = 10, std::int32_t seed = 0,
                           double lambda_value = 6.0, double drift_delta = 0.001,
                           double warning_delta = 0.01, std::int32_t grace_period = 50,
                           std::int32_t max_depth = 20, double split_confidence = 0.01,
                           std::int32_t subspace_size = -1);
    // Out of line: a source that only holds or deletes one compiles none of the
    // forest's code.
    ~ARFClassifier() override;
    ARFClassifier(const ARFClassifier&) = default;
    ARFClassifier(ARFClassifier&&) = default;
    ARFClassifier& operator=(const ARFClassifier&) = default;
    ARFClassifier& operator=(ARFClassifier&&) = default;

    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override {
        return vote(x);
    }

    // Member i's step (see Forest): its tree is built at its first sample;
    // trees built on a warning or a drift are seeded from its sample count.
    void learn_member(std::size_t i, const Row& row, int weight);

    double split_confidence;
    std::int32_t subspace_size;  // negative: trunc(sqrt(features)) + 1

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> make_member_tree(
        std::int32_t tree_seed, std::size_t n_features) const;
};

}  // namespace tarvo
