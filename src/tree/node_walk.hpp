#pragma once

// Walks shared by every binary tree: routing a sample to its leaf and
// dismantling a subtree. A node type has `split_feature`, `split_threshold`,
// owning `left` / `right` pointers, and `is_leaf()`.

#include <cstdint>
#include <memory>
#include <utility>

#include "core/feature_map.hpp"

namespace tarvo {

// The leaf a sample reaches and its depth.
template <class Node>
struct Reached {
    Node* leaf;
    std::int64_t depth;
};

// The child of an internal node that x goes to: a value less than or equal
// to the threshold goes left, an absent feature counts as 0.0 (and NaN, which
// compares false, goes right).
template <class Node>
[[nodiscard]] Node* child_for(Node& node, const FeatureMap& x) {
    const auto it = x.find(node.split_feature);
    const double value = it == x.end() ? 0.0 : it->second;
    return value <= node.split_threshold ? node.left.get() : node.right.get();
}

// Routes x down from `from`, which sits at `depth`, by child_for. Iterative,
// so any depth is safe.
template <class Node>
[[nodiscard]] Reached<Node> route_to_leaf(Node& from, std::int64_t depth, const FeatureMap& x) {
    Node* node = &from;
    while (!node->is_leaf()) {
        node = child_for(*node, x);
        ++depth;
    }
    return {node, depth};
}

// Frees a subtree without recursion and without allocating: left children
// are rotated up until the top node has none, then it is freed and its right
// child taken next. Every node is freed childless, so a node's destructor
// calling this for its children never recurses.
template <class Node>
void dismantle(std::unique_ptr<Node> top) noexcept {
    while (top) {
        if (top->left) {
            std::unique_ptr<Node> pivot = std::move(top->left);
            top->left = std::move(pivot->right);
            pivot->right = std::move(top);
            top = std::move(pivot);
        } else {
            top = std::move(top->right);  // frees the old top, which has no children left
        }
    }
}

}  // namespace tarvo
