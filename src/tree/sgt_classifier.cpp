#include "tree/sgt_classifier.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/running_stats.hpp"
#include "tree/node_walk.hpp"

namespace tarvo {

namespace {

constexpr double kWeightFloor = 1e-10;
constexpr double kMinHessian = 1e-6;
constexpr double kMinShare = 0.01;
constexpr double kMaxShare = 0.99;
// 2^63: products from here on do not truncate to a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

double sigmoid(double value) noexcept { return 1.0 / (1.0 + std::exp(-value)); }

// Share of a Gaussian fitted to `stats` at or below `threshold`, clamped to
// [0.01, 0.99]; 0.5 without weight or spread.
double share_below(const WeightedRunningStats* stats, double threshold) noexcept {
    double q = 0.5;
    if (stats != nullptr && stats->weight > 0.0) {
        const double sd = std::sqrt(stats->variance());
        if (sd > 0.0) {
            q = normal_cdf((threshold - stats->mean) / sd);
        }
    }
    q = std::min(q, kMaxShare);
    return std::max(q, kMinShare);
}

const WeightedRunningStats* find(const GradientNode::Table& table, const std::string& name) {
    const auto it = table.find(name);
    return it == table.end() ? nullptr : &it->second;
}

// The truncation of a whole count scaled by a share; NaN and negative
// products give 0, products beyond the int64 range its largest value.
std::int64_t scaled_count(double share, std::int64_t count) noexcept {
    const double scaled = share * static_cast<double>(count);
    if (!(scaled > 0.0)) {
        return 0;
    }
    if (scaled >= kInt64Limit) {
        return INT64_MAX;
    }
    return static_cast<std::int64_t>(scaled);
}

GradientNode::Table scaled_table(const GradientNode::Table& table, double share) {
    GradientNode::Table out;
    out.reserve(table.size());
    for (const auto& [name, stats] : table) {
        out.emplace(name, stats.scaled(share));
    }
    return out;
}

std::unique_ptr<GradientNode> make_child(const GradientNode& parent, double share, double g,
                                         double h, double positive, double negative,
                                         double lambda) {
    auto child = std::make_unique<GradientNode>();
    child->value = h + lambda > 0.0 ? -g / (h + lambda) : 0.0;
    child->grad_sum = g;
    child->hess_sum = h;
    child->positive_sum = positive;
    child->negative_sum = negative;
    child->count = scaled_count(share, parent.count);
    child->grad_stats = scaled_table(parent.grad_stats, share);
    child->hess_stats = scaled_table(parent.hess_stats, share);
    child->positive_stats = scaled_table(parent.positive_stats, share);
    child->negative_stats = scaled_table(parent.negative_stats, share);
    return child;
}

}  // namespace

SGTClassifier::SGTClassifier(double learning_rate_, double lambda__, std::int32_t grace_period_,
                             std::int32_t max_depth_)
    : learning_rate(learning_rate_),
      lambda_(lambda__),
      grace_period(grace_period_),
      max_depth(max_depth_),
      root_(std::make_unique<GradientNode>()) {}

SGTClassifier::~SGTClassifier() = default;

void SGTClassifier::learn_one(const FeatureMap& x, int y) {
    const auto at = std::lower_bound(classes_.begin(), classes_.end(), y);
    if (at == classes_.end() || *at != y) {
        classes_.insert(at, y);
    }
    const auto [leaf_ptr, depth] = route_to_leaf(*root_, 0, x);
    GradientNode& leaf = *leaf_ptr;

    const double p = sigmoid(leaf.value);
    const double g = p - (y > 0 ? 1.0 : 0.0);
    const double h = std::max(p * (1.0 - p), kMinHessian);
    leaf.grad_sum += g;
    leaf.hess_sum += h;
    leaf.count += 1;
    // A gradient of exactly 0 counts on the positive side.
    const bool negative = g < 0.0;
    (negative ? leaf.negative_sum : leaf.positive_sum) += std::fabs(g);
    GradientNode::Table& signed_stats = negative ? leaf.negative_stats : leaf.positive_stats;
    const double grad_weight = std::fabs(g) + kWeightFloor;
    const double hess_weight = h + kWeightFloor;
    for (const auto& [name, v] : x) {
        leaf.grad_stats[name].update(v, grad_weight);
        leaf.hess_stats[name].update(v, hess_weight);
        signed_stats[name].update(v, grad_weight);
    }
    if (leaf.hess_sum + lambda_ > 0.0) {
        leaf.value -= learning_rate * leaf.grad_sum / (leaf.hess_sum + lambda_);
    }

    if (grace_period != 0 && leaf.count % grace_period == 0 && depth < max_depth &&
        leaf.count >= grace_period) {
        attempt_split(leaf);
    }
}

void SGTClassifier::attempt_split(GradientNode& leaf) const {
    const double lambda = lambda_;
    const double G = leaf.grad_sum;
    const double H = leaf.hess_sum;
    double best_gain = 0.0;
    const std::string* best_feature = nullptr;
    double best_threshold = 0.0;
    double best_gl = 0.0;
    double best_hl = 0.0;
    double best_hr = 0.0;
    double best_positive_left = 0.0;
    double best_negative_left = 0.0;
    for (const auto& [name, stats] : leaf.grad_stats) {
        if (!(stats.weight > 0.0)) {
            continue;
        }
        const double threshold = stats.mean;
        const double q = share_below(find(leaf.hess_stats, name), threshold);
        const double positive_left =
            leaf.positive_sum * share_below(find(leaf.positive_stats, name), threshold);
        const double negative_left =
            leaf.negative_sum * share_below(find(leaf.negative_stats, name), threshold);
        const double gl = positive_left - negative_left;
        const double gr = G - gl;
        const double hl = H * q;
        const double hr = H * (1.0 - q);
        const double gain = 0.5 * (gl * gl / (lambda + hl) + gr * gr / (lambda + hr) -
                                   (gl + gr) * (gl + gr) / (lambda + hl + hr));
        // Ties keep the earlier feature.
        if (gain > best_gain) {
            best_gain = gain;
            best_feature = &name;
            best_threshold = threshold;
            best_gl = gl;
            best_hl = hl;
            best_hr = hr;
            best_positive_left = positive_left;
            best_negative_left = negative_left;
        }
    }
    if (best_feature == nullptr) {
        return;
    }
    const double f = H > 0.0 ? best_hl / H : 0.5;
    // Everything that may throw happens before the leaf changes.
    std::string feature = *best_feature;
    auto left = make_child(leaf, f, best_gl, best_hl, best_positive_left, best_negative_left,
                           lambda);
    auto right = make_child(leaf, 1.0 - f, G - best_gl, best_hr,
                            leaf.positive_sum - best_positive_left,
                            leaf.negative_sum - best_negative_left, lambda);

    leaf.split_feature = std::move(feature);
    leaf.split_threshold = best_threshold;
    leaf.left = std::move(left);
    leaf.right = std::move(right);
    GradientNode::Table().swap(leaf.grad_stats);
    GradientNode::Table().swap(leaf.hess_stats);
    GradientNode::Table().swap(leaf.positive_stats);
    GradientNode::Table().swap(leaf.negative_stats);
    leaf.grad_sum = 0.0;
    leaf.hess_sum = 0.0;
    leaf.positive_sum = 0.0;
    leaf.negative_sum = 0.0;
    leaf.count = 0;
}

int SGTClassifier::predict_one(const FeatureMap& x) {
    if (!root_) {
        return 0;
    }
    return route_to_leaf(*root_, 0, x).leaf->value >= 0.0 ? 1 : 0;
}

ProbabilityMap SGTClassifier::predict_proba_one(const FeatureMap& x) {
    if (!root_) {
        return {{0, 0.5}, {1, 0.5}};
    }
    const double p = sigmoid(route_to_leaf(*root_, 0, x).leaf->value);
    ProbabilityMap proba;
    proba.reserve(2);
    proba.emplace(1, p);
    proba.emplace(0, 1.0 - p);
    return proba;
}

void SGTClassifier::reset() {
    root_ = std::make_unique<GradientNode>();
    classes_.clear();
}

}  // namespace tarvo
