#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/feature_map.hpp"
#include "core/running_stats.hpp"

namespace tarvo {

// One leaf of a regression tree: running statistics of the target and of
// every feature seen at the leaf, a linear model on standardised features,
// and the squared errors the mean and the linear model made before learning
// each sample (which decide between them in the adaptive mode).
class RegressionLeaf {
public:
    // A feature's statistics at the leaf and its weight in the linear model.
    struct Feature {
        RunningStats stats;
        double weight = 0.0;
        bool has_weight = false;  // set the first time the linear model trains on the feature
    };

    // A sample's feature as learn() visits it; kept by the caller so that the
    // buffer is reused from one sample to the next.
    struct Touched {
        Feature* feature;
        double value;
        double z;
    };

    // Where the leaf would split: the feature, its threshold and the estimated
    // fraction of the leaf's weight that goes left.
    struct Split {
        const std::string* feature;
        double threshold;
        double fraction_left;
    };

    RunningStats target;
    std::unordered_map<std::string, Feature> features;
    std::int64_t count = 0;  // samples learnt here (estimated after a split)
    double bias = 0.0;
    double sse_mean = 0.0;
    double sse_linear = 0.0;

    // Standard deviation of the target (0 until two values were seen).
    [[nodiscard]] double target_sd() const noexcept;

    // The linear model's prediction for x, kept within 3 standard deviations
    // of the mean when the target has spread.
    [[nodiscard]] double linear_prediction(const FeatureMap& x) const;

    // Scores the sample with the leaf as it is, then folds it into the
    // statistics and trains the linear model once the target has spread.
    void learn(const FeatureMap& x, double y, double learning_rate, std::vector<Touched>& touched);

    // learn() in two parts, so that a sample learnt several times in a row
    // looks its features up once: gather() finds (or adds) the statistics
    // of x's features, in x's iteration order; learn_gathered() is the rest
    // of learn() for the gathered sample, as often as it is learnt.
    void gather(const FeatureMap& x, std::vector<Touched>& touched);
    void learn_gathered(double y, double learning_rate, std::vector<Touched>& touched);

    // True when a split attempt is due after the latest sample.
    [[nodiscard]] bool split_due(std::int32_t grace_period) const noexcept;

    // The best split if the Hoeffding test or the tie rule allows it.
    [[nodiscard]] std::optional<Split> choose_split(double split_confidence,
                                                    double tie_threshold) const;

    // A child's starting state: this leaf's statistics with their weight
    // scaled by `fraction`, and a copy of the linear model.
    [[nodiscard]] RegressionLeaf share(double fraction) const;

private:
    [[nodiscard]] double bound_to_target(double score) const noexcept;
};

}  // namespace tarvo
