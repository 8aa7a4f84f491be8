#include "tree/hoeffding_tree_regressor.hpp"

#include <utility>

#include "core/interrupt.hpp"
#include "tree/node_walk.hpp"

namespace tarvo {

namespace {

using Node = HoeffdingTreeRegressor::Node;

std::unique_ptr<Node> empty_leaf() {
    auto node = std::make_unique<Node>();
    node->leaf = std::make_unique<RegressionLeaf>();
    return node;
}

}  // namespace

HoeffdingTreeRegressor::Node::~Node() {
    dismantle(std::move(left));
    dismantle(std::move(right));
}

HoeffdingTreeRegressor::HoeffdingTreeRegressor(std::int32_t grace_period, double split_confidence,
                                               double tie_threshold, std::int32_t max_depth,
                                               double learning_rate)
    : grace_period(grace_period),
      split_confidence(split_confidence),
      tie_threshold(tie_threshold),
      max_depth(max_depth),
      learning_rate(learning_rate),
      root_(empty_leaf()) {}

void HoeffdingTreeRegressor::learn_one(const FeatureMap& x, double y) {
    learn_repeated(x, y, 1);
}

void HoeffdingTreeRegressor::learn_repeated(const FeatureMap& x, double y, std::int64_t times) {
    if (times <= 0) {
        return;
    }
    if (!root_) {  // only a moved-from tree has no root
        root_ = empty_leaf();
    }
    Reached<Node> at = route_to_leaf(*root_, 0, x);
    at.leaf->leaf->gather(x, touched_);
    repeat_interruptibly(times, [&] {
        RegressionLeaf& leaf = *at.leaf->leaf;
        leaf.learn_gathered(y, learning_rate, touched_);
        if (at.depth < max_depth && leaf.split_due(grace_period)) {
            if (const auto where = leaf.choose_split(split_confidence, tie_threshold)) {
                split(*at.leaf, *where);
                // The leaf is now internal: carry on down to the new child.
                at = route_to_leaf(*at.leaf, at.depth, x);
                at.leaf->leaf->gather(x, touched_);
            }
        }
    });
}

void HoeffdingTreeRegressor::split(Node& node, const RegressionLeaf::Split& where) {
    // Everything that may throw comes first; the node changes only after.
    std::string feature = *where.feature;
    auto left = std::make_unique<Node>();
    left->leaf = std::make_unique<RegressionLeaf>(node.leaf->share(where.fraction_left));
    auto right = std::make_unique<Node>();
    right->leaf = std::make_unique<RegressionLeaf>(node.leaf->share(1.0 - where.fraction_left));

    node.split_feature = std::move(feature);
    node.split_threshold = where.threshold;
    node.left = std::move(left);
    node.right = std::move(right);
    node.leaf.reset();
}

double HoeffdingTreeRegressor::predict_one(const FeatureMap& x) {
    if (!root_) {
        return 0.0;
    }
    const RegressionLeaf& leaf = *route_to_leaf(*root_, 0, x).leaf->leaf;
    if (leaf_prediction.choice() == RegressionLeafChoice::kMean || leaf.count < grace_period) {
        return leaf.target.mean;
    }
    if (leaf_prediction.choice() == RegressionLeafChoice::kLinear ||
        leaf.sse_linear < leaf.sse_mean) {
        return leaf.linear_prediction(x);
    }
    return leaf.target.mean;
}

void HoeffdingTreeRegressor::reset() { root_ = empty_leaf(); }

}  // namespace tarvo
