#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/classifier.hpp"
#include "drift/drift_guarded_model.hpp"
#include "ensemble/member_vote.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace tarvo {

// One tree of an adaptive random forest of classifiers with its background
// tree and drift detectors, its accuracy since the tree became the member's
// tree, and the seeds its trees were built with.
struct ARFClassifierMember {
    using Trees = DriftGuardedModel<HoeffdingTreeClassifier>;

    ARFClassifierMember(double drift_delta, double warning_delta)
        : trees(drift_delta, warning_delta) {}

    Trees trees;  // trees.model is null until the first sample
    MemberAccuracy accuracy;
    bool initialised = false;
    // The seeds the tree and the background tree were built with (for inspection).
    std::int32_t tree_seed = 0;
    std::int32_t background_seed = 0;
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
// seeds the generator at reset and is read afresh for every member tree seed.
class ARFClassifier final : public IClassifier {
public:
    explicit ARFClassifier(std::int32_t n_models = 10, std::int32_t seed = 0,
                           double lambda_value = 6.0, double drift_delta = 0.001,
                           double warning_delta = 0.01, std::int32_t grace_period = 50,
                           std::int32_t max_depth = 20, double split_confidence = 0.01,
                           std::int32_t subspace_size = -1);

    // Throws std::invalid_argument, before anything changes, when
    // lambda_value is NaN or infinite.
    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    // Throws std::invalid_argument, before anything changes, when n_models
    // exceeds kMaxForestMembers.
    void reset() override;

    // The members, in order (for inspection and tests).
    [[nodiscard]] const std::vector<ARFClassifierMember>& members() const noexcept {
        return members_;
    }
    [[nodiscard]] std::vector<ARFClassifierMember>& members() noexcept { return members_; }

    // Settings. n_models is read by reset only; seed seeds the generator at
    // reset and is the base of every member tree's seed; the others are read
    // by the next operation that needs them.
    std::int32_t n_models;
    std::int32_t seed;
    double lambda_value;
    std::int32_t subspace_size;  // negative: trunc(sqrt(features)) + 1
    double drift_delta;
    double warning_delta;
    double split_confidence;
    std::int32_t grace_period;
    std::int32_t max_depth;

private:
    using Trees = ARFClassifierMember::Trees;

    [[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> make_member_tree(
        std::int32_t tree_seed, std::size_t n_features) const;

    std::vector<ARFClassifierMember> members_;
    std::mt19937 generator_;  // the Poisson weights
};

}  // namespace tarvo
