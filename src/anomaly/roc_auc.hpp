#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

namespace tarvo {

// A multiset of scores, each marked positive or negative, that counts the
// marks below and at any score in logarithmic time (expected). A treap whose
// priorities hash the scores' bits, walked without recursion.
class ScoreRanks {
public:
    struct Counts {
        std::int64_t positive = 0;
        std::int64_t negative = 0;
    };

    // Adds `count` marks (a negative count removes marks that are there).
    void add(double score, bool positive, std::int64_t count = 1);
    // The counts strictly below `score` and at it.
    [[nodiscard]] std::pair<Counts, Counts> around(double score) const noexcept;
    [[nodiscard]] Counts total() const noexcept { return root_ < 0 ? Counts{} : node(root_).sum; }
    void clear() noexcept;
    // Calls f(score, counts at it) in ascending score order.
    template <class F>
    void in_order(F&& f) const {
        std::vector<std::int32_t> stack;
        std::int32_t t = root_;
        while (t >= 0 || !stack.empty()) {
            while (t >= 0) {
                stack.push_back(t);
                t = node(t).left;
            }
            t = stack.back();
            stack.pop_back();
            f(node(t).key, node(t).own);
            t = node(t).right;
        }
    }

private:
    struct Node {
        double key = 0.0;
        std::uint64_t priority = 0;
        Counts own;
        Counts sum;  // own plus both subtrees
        std::int32_t left = -1;
        std::int32_t right = -1;
    };

    [[nodiscard]] const Node& node(std::int32_t i) const noexcept { return nodes_[static_cast<std::size_t>(i)]; }
    [[nodiscard]] Node& node(std::int32_t i) noexcept { return nodes_[static_cast<std::size_t>(i)]; }
    void refresh(std::int32_t i) noexcept;
    // Splits the subtree t (which does not hold `key`) into the keys below and above it.
    std::pair<std::int32_t, std::int32_t> split(std::int32_t t, double key);
    // Joins subtrees a and b, every key of a below every key of b.
    std::int32_t merge(std::int32_t a, std::int32_t b);

    std::vector<Node> nodes_;
    std::vector<std::int32_t> free_;
    std::vector<std::int32_t> touched_;  // scratch of split and merge
    std::int32_t root_ = -1;
};

// Area under the ROC curve of anomaly scores against 0/1 labels: the chance
// that a positive (a non-zero label: an anomaly) scores higher than a
// negative, ties counting one half; the Mann-Whitney U statistic divided by
// the number of (positive, negative) pairs. Exact, over every update since
// the last reset (window_size 0) or over the last window_size updates. 0.5
// while the updates counted hold no positive or no negative.
class ROCAUC {
public:
    // Throws std::invalid_argument when window_size < 0.
    explicit ROCAUC(int window_size = 0);

    // Throws std::invalid_argument for a NaN score, before anything changes.
    void update(int y_true, double y_score);
    [[nodiscard]] double get() const noexcept;
    void reset() noexcept;

    [[nodiscard]] int window_size() const noexcept { return window_size_; }
    // The updates counted.
    [[nodiscard]] std::int64_t size() const noexcept;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    void insert(double score, bool positive);
    void erase(double score, bool positive);

    int window_size_;
    ScoreRanks ranks_;
    std::deque<std::pair<double, bool>> window_;  // windowed only
    std::uint64_t twice_u_ = 0;                   // 2 U, exact
};

}  // namespace tarvo
