#pragma once

#include <vector>

#include "core/classifier.hpp"

namespace tarvo {

// The no-change baseline: predicts the label of the last sample learnt,
// whatever the features. Before any label it predicts 0 with no
// probabilities; after, its probabilities give 1.0 to the last label and 0.0
// to every other label learnt so far.
class NoChangeClassifier final : public IClassifier {
public:
    NoChangeClassifier() = default;

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    std::vector<int> labels_;  // every label learnt, ascending
    int last_ = 0;
};

}  // namespace tarvo
