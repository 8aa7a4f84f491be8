#pragma once

#include "core/classifier.hpp"
#include "linear/class_weights.hpp"

namespace tarvo {

// Multi-class passive-aggressive classifier with the step bounded by C: when
// the best rival label scores within a margin of 1 of the true label, the
// sample is added to the true label's weights and subtracted from the
// rival's, by the smallest step that restores the margin (at most C).
//
// Labels are visited in ascending order, so ties go to the smallest label.
// Untrained, predict_one answers 0.
class PassiveAggressiveClassifier final : public IClassifier {
public:
    explicit PassiveAggressiveClassifier(double C = 1.0) noexcept : C(C) {}

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameter (upper bound of a step), read by every learn_one.
    double C;

private:
    ClassWeights weights_{ClassWeights::Order::ascending};
    ScoreScratch scratch_;
};

}  // namespace tarvo
