#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/feature_map.hpp"

namespace tarvo {

// Half-space trees (Tan, Ting and Liu, 2011): a streaming anomaly detector
// that scores a sample by the mass of the regions it falls in, as counted over
// the last complete window of samples.
//
// Features are scaled to [0, 1] by their ranges: given as `limits` (name ->
// (low, high)), or learnt as the least and greatest finite value of each
// feature over the first window_size samples (a feature constant there gets
// [v, v + 1]). Only those features are used; an absent one counts as the
// middle of its range.
//
// Each of the n_trees trees is a complete binary tree of `height` levels
// below the root. For feature q a tree has a work range [s - 2 m, s + 2 m],
// s uniform in [0, 1) and m = max(s, 1 - s); each inner node splits the
// current range of a feature drawn uniformly at its midpoint (value < midpoint
// goes left; NaN goes right). The draws come from a counter-based generator
// keyed by the seed, the tree and the node's position, so a tree is fixed by
// the seed alone: its nodes are made when a sample first reaches them, and
// nodes that hold no mass are dropped.
//
// Every node counts the samples of the latest window that reach it (l); the
// reference profile r is the latest window's counts as they stood when it
// ended. Every window_size samples learnt the profiles swap: r <- l, l <- 0.
//
// A tree scores a sample r 2^k at the first node on its path, at depth k,
// whose r is at most 0.1 window_size, or at the leaf; the paper's score (high
// for normal samples) is their sum. score_one returns
//     1 - ln(1 + S) / ln(1 + window_size 2^height),
// S the mean of the trees' scores: in [0, 1], higher for more anomalous
// samples, 1 in regions the reference window never reached, and in the
// reverse order of the paper's score. It is 0.0 until the first window is
// complete, as there is no reference yet.
class HalfSpaceTrees {
public:
    using Limits = std::map<std::string, std::pair<double, double>>;

    static constexpr int kMostTrees = 10000;
    static constexpr int kMostHeight = 40;

    // Throws std::invalid_argument unless 1 <= n_trees <= 10000,
    // 1 <= height <= 40, window_size >= 1 and every limit is a finite range
    // with low < high.
    explicit HalfSpaceTrees(int n_trees = 25, int height = 15, int window_size = 250, int seed = 0,
                            std::optional<Limits> limits = std::nullopt);

    void learn_one(const FeatureMap& x);
    // The anomaly score in [0, 1] (see above); const.
    [[nodiscard]] double score_one(const FeatureMap& x) const;
    // score_one(x) then learn_one(x), scaling x once.
    double score_then_learn(const FeatureMap& x);
    // Forgets every sample (learnt ranges too); parameters are kept.
    void reset();

    [[nodiscard]] int n_trees() const noexcept { return n_trees_; }
    [[nodiscard]] int height() const noexcept { return height_; }
    [[nodiscard]] int window_size() const noexcept { return window_size_; }
    [[nodiscard]] int seed() const noexcept { return seed_; }
    [[nodiscard]] const std::optional<Limits>& limits() const noexcept { return limits_; }
    // The ranges in use, given or learnt; empty until the first window ends
    // when learnt.
    [[nodiscard]] Limits ranges() const;
    // Samples learnt since the last swap of the profiles (or in the first window).
    [[nodiscard]] int window_count() const noexcept {
        return started_ ? static_cast<int>(count_) : static_cast<int>(first_.size());
    }
    // Nodes held over all trees.
    [[nodiscard]] std::size_t node_count() const noexcept;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    struct Node {
        std::int32_t left = -1;
        std::int32_t right = -1;
        std::uint32_t feature = 0;  // inner nodes only
        double split = 0.0;         // inner nodes only
        std::uint32_t r = 0;
        std::uint32_t l = 0;

        template <class Archive>
        void fields(Archive& ar) {
            ar(left, right, feature, split, r, l);
        }
    };
    // One step of a path: the node's feature, its split and the side taken.
    struct Step {
        std::uint32_t feature;
        double split;
        bool right;
    };

    // Fixes the features and their ranges.
    void start(const Limits& ranges);
    // The sample's scaled values, one per feature in use.
    void scale(const FeatureMap& x, std::vector<double>& out) const;
    [[nodiscard]] double score_scaled(const std::vector<double>& v) const;
    void learn_scaled(const std::vector<double>& v);
    // Learns one sample of the first window when the ranges are learnt.
    void learn_first(const FeatureMap& x);
    void swap_profiles();
    // A new node at depth `depth` of tree t, at heap position `heap`, below `path`.
    [[nodiscard]] Node make_node(int t, std::uint64_t heap, int depth, const std::array<Step, kMostHeight>& path) const;

    int n_trees_;
    int height_;
    int window_size_;
    int seed_;
    std::optional<Limits> limits_;

    bool started_ = false;                 // the features and ranges are fixed
    std::vector<std::string> features_;    // ascending
    std::vector<double> low_;              // per feature
    std::vector<double> high_;             // per feature
    std::vector<double> half_;             // per feature: half the range's width, > 0
    std::vector<FeatureMap> first_;        // the first window, while the ranges are unknown
    std::int64_t count_ = 0;               // samples learnt since the last swap
    bool profiled_ = false;                // a reference profile exists
    std::vector<std::vector<Node>> trees_;  // each in pre-order, the root first
};

}  // namespace tarvo
