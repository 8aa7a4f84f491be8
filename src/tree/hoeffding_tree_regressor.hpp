#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/feature_map.hpp"
#include "core/regressor.hpp"
#include "core/text_option.hpp"
#include "tree/regression_leaf.hpp"

namespace tarvo {

// How a regression leaf predicts: "mean", "linear", or for any other text
// whichever of the two has made the smaller squared error so far.
enum class RegressionLeafChoice { kMean, kLinear, kAdaptive };
[[nodiscard]] inline RegressionLeafChoice parse_regression_leaf(std::string_view text) noexcept {
    if (text == "mean") {
        return RegressionLeafChoice::kMean;
    }
    return text == "linear" ? RegressionLeafChoice::kLinear : RegressionLeafChoice::kAdaptive;
}
using RegressionLeafOption = TextOption<RegressionLeafChoice, parse_regression_leaf>;

// Incrementally grown binary regression tree on numeric features.
//
// Every sample is routed to one leaf (value <= threshold goes left, an
// absent feature counts as 0.0). Every grace_period samples a leaf scores
// its features, each split at its own mean, and splits when the best beats
// the runner-up by more than the Hoeffding bound on the target's standard
// deviation, or when the two are tied and the bound is below tie_threshold.
// Leaves predict their mean, their linear model ("linear"), or whichever of
// the two has made the smaller squared error so far ("adaptive", any text
// other than "mean" and "linear").
//
// Routing and destruction are iterative, so a tree as deep as the data
// allows neither overflows the stack when used nor when destroyed.
class HoeffdingTreeRegressor final : public IRegressor {
public:
    // A leaf (holding its statistics) or an internal node (holding its split
    // and both children). A node owns its children.
    struct Node {
        std::unique_ptr<RegressionLeaf> leaf;  // null once the node has split
        std::string split_feature;
        double split_threshold = 0.0;
        std::unique_ptr<Node> left;
        std::unique_ptr<Node> right;

        Node() = default;
        Node(const Node&) = delete;
        Node& operator=(const Node&) = delete;
        ~Node();

        [[nodiscard]] bool is_leaf() const noexcept { return leaf != nullptr; }
    };

    explicit HoeffdingTreeRegressor(std::int32_t grace_period = 200, double split_confidence = 1e-7,
                                    double tie_threshold = 0.05, std::int32_t max_depth = 20,
                                    double learning_rate = 0.01);

    void learn_one(const FeatureMap& x, double y) override;
    // Exactly `times` successive learn_one(x, y) calls (none when times <= 0),
    // for ensembles that learn a sample a Poisson number of times; the sample
    // is routed and its features looked up once per leaf it reaches rather
    // than per call.
    void learn_repeated(const FeatureMap& x, double y, std::int64_t times);
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override;

    // The root node; null only in a tree that has been moved from.
    [[nodiscard]] const Node* root() const noexcept { return root_.get(); }

    // Hyper-parameters, read by every operation.
    RegressionLeafOption leaf_prediction{"adaptive"};
    std::int32_t grace_period;
    double split_confidence;
    double tie_threshold;
    std::int32_t max_depth;
    double learning_rate;

private:
    void split(Node& node, const RegressionLeaf::Split& where);

    std::unique_ptr<Node> root_;
    std::vector<RegressionLeaf::Touched> touched_;  // reused by every learn_one
};

}  // namespace tarvo
