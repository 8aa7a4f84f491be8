#pragma once

#include <cstdint>
#include <map>

#include "core/classifier.hpp"

namespace tarvo {

// The majority-class baseline: predicts the label learnt most often so far,
// whatever the features; of labels learnt equally often, the smallest. Its
// probabilities are each learnt label's share of the samples. Before any label
// it predicts 0 with no probabilities.
class MajorityClassClassifier final : public IClassifier {
public:
    MajorityClassClassifier() = default;

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    std::map<int, std::int64_t> counts_;
    std::int64_t total_ = 0;
    // The label predicted and its count (derived from counts_).
    int best_ = 0;
    std::int64_t best_count_ = 0;
};

}  // namespace tarvo
