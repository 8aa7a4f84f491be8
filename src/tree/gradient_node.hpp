#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/running_stats.hpp"

namespace tarvo {

// A node of the stochastic gradient tree: a leaf holding a logit and the
// gradient statistics behind it, or an internal node that sends a sample left
// when its value of split_feature is <= split_threshold (absent counts as 0).
// A node owns its children; destroying a node of any depth uses constant
// stack space.
struct GradientNode {
    using Table = std::unordered_map<std::string, WeightedRunningStats>;

    GradientNode() = default;
    GradientNode(const GradientNode&) = delete;
    GradientNode& operator=(const GradientNode&) = delete;
    ~GradientNode();

    // A node is a leaf until it splits; a split gives it both children.
    [[nodiscard]] bool is_leaf() const noexcept { return left == nullptr; }

    // Leaf state. Feature values weighted by |g| + 1e-10 over every sample
    // (grad_stats), over the samples with g >= 0 and with g < 0 only
    // (positive_stats, negative_stats), and by h + 1e-10 (hess_stats).
    Table grad_stats;
    Table hess_stats;
    Table positive_stats;
    Table negative_stats;
    double value = 0.0;
    double grad_sum = 0.0;
    double hess_sum = 0.0;
    double positive_sum = 0.0;  // sum of |g| over the samples with g >= 0
    double negative_sum = 0.0;  // sum of |g| over the samples with g < 0
    std::int64_t count = 0;

    // Internal node state.
    std::string split_feature;
    double split_threshold = 0.0;
    std::unique_ptr<GradientNode> left;
    std::unique_ptr<GradientNode> right;
};

}  // namespace tarvo
