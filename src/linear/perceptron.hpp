#pragma once

#include "core/classifier.hpp"
#include "linear/class_weights.hpp"

namespace tarvo {

// Multi-class perceptron: on a mistake the true label's weights move towards
// the sample and the predicted label's away from it, by learning_rate per
// unit of each value (and one learning_rate of bias).
//
// Labels are visited in the order they were first learnt, so ties go to the
// label learnt first. Untrained, predict_one answers 0.
class Perceptron final : public IClassifier {
public:
    explicit Perceptron(double learning_rate = 0.01) noexcept : learning_rate(learning_rate) {}

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Hyper-parameter, read by every learn_one.
    double learning_rate;

private:
    ClassWeights weights_{ClassWeights::Order::first_learnt};
    ScoreScratch scratch_;
};

}  // namespace tarvo
