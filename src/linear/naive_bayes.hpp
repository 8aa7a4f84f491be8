#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/classifier.hpp"
#include "core/running_stats.hpp"

namespace tarvo {

// Online Gaussian naive Bayes: a class prior times one normal density per
// feature, each fitted with running statistics per class.
//
// Labels are visited in the order they were first learnt, so ties in
// predict_one go to the label learnt first.
class NaiveBayes final : public IClassifier {
public:
    NaiveBayes() = default;

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // Floored likelihood of v under the running statistics s of one feature.
    [[nodiscard]] static double likelihood(const RunningStats& s, double v) noexcept;

private:
    struct ClassEntry {
        int label;
        std::int64_t count;
        std::unordered_map<std::string, RunningStats> feature_stats;
    };

    ClassEntry& entry_for(int y);
    // ln(prior) plus ln(floored likelihood) of each feature the class has seen.
    [[nodiscard]] double log_score(const ClassEntry& c, const FeatureMap& x) const;

    std::vector<ClassEntry> classes_;                  // in order of first learning
    std::unordered_map<int, std::size_t> index_;       // label -> position in classes_
    std::int64_t n_samples_ = 0;
};

}  // namespace tarvo
