#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/archive.hpp"
#include "core/running_stats.hpp"
#include "core/text_option.hpp"
#include "tree/extended_bst.hpp"
#include "tree/global_scale.hpp"
#include "tree/leaf_perceptron.hpp"

namespace tarvo {

// How a model-tree leaf predicts: "mean", "perceptron", or for any other text
// whichever of the two has made the smaller squared error so far.
enum class ModelLeafChoice { kMean, kPerceptron, kAdaptive };
[[nodiscard]] inline ModelLeafChoice parse_model_leaf(std::string_view text) noexcept {
    if (text == "mean") {
        return ModelLeafChoice::kMean;
    }
    return text == "perceptron" ? ModelLeafChoice::kPerceptron : ModelLeafChoice::kAdaptive;
}
using ModelLeafOption = TextOption<ModelLeafChoice, parse_model_leaf>;

// Scratch space of one leaf's learning and split attempts, kept by the tree.
struct LeafScratch {
    std::vector<double*> weight_slots;
    std::vector<ExtendedBST::Frame> scan;
};

// A leaf of a model tree: the targets it has learnt (count, sum, sum of
// squares, range), one E-BST per feature, a perceptron, and the squared
// errors the mean and the perceptron made before learning each sample.
class FIMTDDLeaf {
public:
    // Where the leaf splits: a feature and a threshold (value <= it goes left).
    struct Split {
        const std::string* feature;
        double threshold;
    };

    RunningSums target;
    double last_attempt = 0.0;  // target.count at the last split attempt
    std::unordered_map<FeatureNumber, ExtendedBST> observers;  // by feature number
    LeafPerceptron perceptron;
    double sse_mean = 0.0;
    double sse_perceptron = 0.0;
    double low = 0.0;
    double high = 0.0;
    bool bounds_set = false;

    // The leaf's target mean; the global mean before it has any.
    [[nodiscard]] double mean(const GlobalScale& scale) const noexcept;

    // Whether the prediction in this mode reads the perceptron (only then
    // does it need the standardised sample).
    [[nodiscard]] bool uses_perceptron(ModelLeafChoice mode) const noexcept {
        return mode == ModelLeafChoice::kPerceptron ||
               (mode == ModelLeafChoice::kAdaptive && sse_perceptron < sse_mean);
    }

    // The prediction: the mean, the raw perceptron output, or (adaptive) the
    // output kept within the targets' range if the perceptron has erred less.
    [[nodiscard]] double prediction(ModelLeafChoice mode, const std::vector<ScaledFeature>& x,
                                    const GlobalScale& scale) const;

    // Scores the sample (unless in "mean" mode), folds its target in, trains
    // the perceptron (unless in "mean" mode) and, when the leaf may still
    // split (`observe`), adds the sample's values to the E-BSTs.
    void learn(const std::vector<ScaledFeature>& x, double y, ModelLeafChoice mode,
               const GlobalScale& scale, const PerceptronRate& rate, std::mt19937& rng,
               bool observe, LeafScratch& scratch);

    // True when grace_period targets have arrived since the last attempt.
    [[nodiscard]] bool split_due(std::int32_t grace_period) const noexcept {
        return target.count - last_attempt >= static_cast<double>(grace_period);
    }

    // A split attempt: each feature's best threshold by standard-deviation
    // reduction, the best two features (in name order; ties keep the first)
    // compared by the ratio test against the Hoeffding bound. Records the
    // attempt whatever the outcome.
    [[nodiscard]] std::optional<Split> attempt_split(double split_confidence, double tie_threshold,
                                                     const GlobalScale& scale, LeafScratch& scratch);

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar) {
        ar(target, last_attempt, observers, perceptron, sse_mean, sse_perceptron, low, high,
           bounds_set);
    }

private:
    [[nodiscard]] double bounded(double p) const noexcept;
};

}  // namespace tarvo
