#pragma once

#include "core/classifier.hpp"
#include "linear/class_weights.hpp"

namespace tarvo {

// Multinomial logistic regression: softmax over the class scores, and on
// every sample a stochastic gradient step on every known label from the
// probabilities computed before the step.
//
// Labels are visited in ascending order. predict_one takes the first
// greatest probability in the iteration order of the map predict_proba_one
// returns, starting from the smallest label; untrained it answers 0.
class SoftmaxRegression final : public IClassifier {
public:
    explicit SoftmaxRegression(double learning_rate = 0.01, double l2 = 0.0) noexcept
        : learning_rate(learning_rate), l2(l2) {}

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameters, read by every learn_one.
    double learning_rate;
    double l2;

private:
    // The softmax of every class for x into scratch_.scores (the classes are known).
    void probabilities(const FeatureMap& x);

    ClassWeights weights_{ClassWeights::Order::ascending};
    ScoreScratch scratch_;
};

}  // namespace tarvo
