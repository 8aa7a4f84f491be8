#pragma once

#include <random>
#include <unordered_map>
#include <vector>

#include "core/archive.hpp"
#include "tree/global_scale.hpp"

namespace tarvo {

// How a leaf perceptron's step size evolves: the learning ratio, divided by
// 1 + updates × decay unless it is held constant.
struct PerceptronRate {
    double learning_ratio;
    double decay;
    bool constant;
};

// A linear model of a leaf on globally standardised features, predicting the
// standardised target. Its weights start at random in [-1, 1] (drawn for the
// features of its first sample, in the sample's order, then the bias); a
// feature met later starts at 0.
class LeafPerceptron {
public:
    std::unordered_map<FeatureNumber, double> weights;  // by feature number
    double bias = 0.0;
    double updates = 0.0;
    bool initialised = false;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar) {
        ar(weights, bias, updates, initialised);
    }

    // bias + Σ weight × s(value) over the features with a weight and usable
    // statistics, brought back to the target's scale; 0 before any training.
    [[nodiscard]] double output(const std::vector<ScaledFeature>& x, const GlobalScale& scale) const;

    // One gradient step towards the standardised target y. `slots` is scratch
    // space kept by the caller.
    void train(const std::vector<ScaledFeature>& x, double y, const GlobalScale& scale,
               const PerceptronRate& rate, std::mt19937& rng, std::vector<double*>& slots);
};

}  // namespace tarvo
