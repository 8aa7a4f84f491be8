#pragma once

#include "core/classifier.hpp"
#include "linear/class_weights.hpp"

namespace tarvo {

// One-vs-rest logistic regression: every known label is an independent
// two-class model of "is it this label", and every one of them takes a
// stochastic gradient step on every sample (the bias is not regularised).
//
// Labels are visited in ascending order, so ties go to the smallest label.
// Untrained, predict_one answers 0. Exposed to Python as
// LogisticRegressionClassifier.
class LogisticRegression final : public IClassifier {
public:
    explicit LogisticRegression(double learning_rate = 0.01, double l2 = 0.0) noexcept
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
    ClassWeights weights_{ClassWeights::Order::ascending};
    ScoreScratch scratch_;
};

}  // namespace tarvo
