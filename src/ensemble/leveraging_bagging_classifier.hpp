#pragma once

#include <cstdint>
#include <memory>

#include "core/classifier.hpp"
#include "ensemble/bagging_member.hpp"
#include "ensemble/forest.hpp"
#include "ensemble/forest_settings.hpp"
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
// operation that needs them. learn_one throws std::invalid_argument, before
// anything changes, when lambda_value is NaN, infinite or above 1000; reset
// when n_models exceeds kMaxForestMembers.
class LeveragingBaggingClassifier final
    : public Forest<LeveragingBaggingClassifier, IClassifier, LBClassifierMember, ForestSettings> {
public:
    explicit LeveragingBaggingClassifier(std::int32_t n_models = 10, std::int32_t seed = 0,
                                         double lambda_value = 6.0, double drift_delta = 0.002,
                                         std::int32_t grace_period = 50,
                                         std::int32_t max_depth = 20,
                                         double split_confidence = 0.01);
    // Out of line: a source that only holds or deletes one compiles none of the
    // forest's code.
    ~LeveragingBaggingClassifier() override;
    LeveragingBaggingClassifier(const LeveragingBaggingClassifier&) = default;
    LeveragingBaggingClassifier(LeveragingBaggingClassifier&&) = default;
    LeveragingBaggingClassifier& operator=(const LeveragingBaggingClassifier&) = default;
    LeveragingBaggingClassifier& operator=(LeveragingBaggingClassifier&&) = default;

    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override {
        return vote(x);
    }

    // Member i's step (see Forest).
    void learn_member(std::size_t i, const Row& row, int weight);
    [[nodiscard]] LBClassifierMember fresh_member(std::size_t i) const;

    double split_confidence;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> make_member_tree() const;
};

}  // namespace tarvo
