#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/classifier.hpp"
#include "ensemble/bagging_member.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace tarvo {

using LBClassifierMember = BaggingMember<HoeffdingTreeClassifier>;

// Leveraging bagging of Hoeffding trees.
//
// Every member sees every feature and learns each sample a
// Poisson(lambda_value) number of times; one ADWIN detector over its 0/1
// test-then-train error replaces its tree by a fresh one on a drift during
// which the error rose (a falling error is a tree that learns). The
// ensemble predicts the unweighted mean of the members' normalised class
// distributions.
//
// n_models and seed take effect at reset; the others are read by the next
// operation that needs them.
class LeveragingBaggingClassifier final : public IClassifier {
public:
    explicit LeveragingBaggingClassifier(std::int32_t n_models = 10, std::int32_t seed = 0,
                                         double lambda_value = 6.0, double drift_delta = 0.002,
                                         std::int32_t grace_period = 50,
                                         std::int32_t max_depth = 20,
                                         double split_confidence = 0.01);

    // Throws std::invalid_argument, before anything changes, when
    // lambda_value is NaN or infinite.
    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    // Throws std::invalid_argument, before anything changes, when n_models
    // exceeds kMaxForestMembers.
    void reset() override;

    // The members, in order (for inspection and tests).
    [[nodiscard]] const std::vector<LBClassifierMember>& members() const noexcept {
        return members_;
    }
    [[nodiscard]] std::vector<LBClassifierMember>& members() noexcept { return members_; }

    std::int32_t n_models;
    std::int32_t seed;
    double lambda_value;
    double drift_delta;
    double split_confidence;
    std::int32_t grace_period;
    std::int32_t max_depth;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> make_member_tree() const;

    std::vector<LBClassifierMember> members_;
    std::mt19937 generator_;  // the Poisson weights
};

}  // namespace tarvo
