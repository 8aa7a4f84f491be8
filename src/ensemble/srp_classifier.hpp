#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/classifier.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/member_vote.hpp"
#include "ensemble/random_patches.hpp"
#include "ensemble/subspace_member.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace tarvo {

// One tree of a streaming random patches classifier: its patch of features,
// the drift detectors over its 0/1 test-then-train error, and its accuracy
// since the tree became the member's tree. No tree until the first sample.
struct SRPClassifierMember : SubspaceMember<HoeffdingTreeClassifier> {
    using SubspaceMember::SubspaceMember;

    MemberAccuracy accuracy;

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
// operation that needs them.
class SRPClassifier final : public IClassifier {
public:
    explicit SRPClassifier(std::int32_t n_models = 10, std::int32_t seed = 0,
                           double lambda_value = 6.0, double drift_delta = 0.001,
                           double warning_delta = 0.01, std::int32_t grace_period = 50,
                           std::int32_t max_depth = 20, double split_confidence = 0.01,
                           double subspace_fraction = 0.6,
                           std::string training_method = "patches");

    // Throws std::invalid_argument, before anything changes, when the method
    // resamples and lambda_value is NaN or infinite.
    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    // Throws std::invalid_argument, before anything changes, when n_models
    // exceeds kMaxForestMembers.
    void reset() override;

    // The members, in order (for inspection and tests).
    [[nodiscard]] const std::vector<SRPClassifierMember>& members() const noexcept {
        return members_;
    }
    [[nodiscard]] std::vector<SRPClassifierMember>& members() noexcept { return members_; }

    std::int32_t n_models;
    std::int32_t seed;
    double lambda_value;
    double subspace_fraction;
    TrainingMethodOption training_method;  // "subspaces", "resampling"; else "patches"
    double drift_delta;
    double warning_delta;
    double split_confidence;
    std::int32_t grace_period;
    std::int32_t max_depth;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    using Trees = SRPClassifierMember::Trees;

    [[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> make_member_tree() const;

    std::vector<SRPClassifierMember> members_;
    std::mt19937 generator_;  // the Poisson weights
    SampleEntries entries_;   // of the sample at hand, shared by the members
};

}  // namespace tarvo
