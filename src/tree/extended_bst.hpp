#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "core/running_stats.hpp"

namespace tarvo {

// Extended binary search tree (E-BST) over one feature's values at a leaf:
// one node per distinct value, each holding the count, sum and sum of
// squares of the targets of the values at or below its key that passed it
// (its own value and its whole left subtree).
//
// The tree is unbalanced, as the split statistics require, so values arriving
// in order make it a chain as deep as the number of distinct values. Every
// walk is therefore iterative: nodes live in arrays and refer to their
// children by index, so copying and freeing the tree are flat operations too.
// A value beyond every key on the right-hand spine (a timestamp, a counter)
// is attached at the spine's end at once instead of walking the chain.
// Memory grows with the distinct values seen until the leaf splits.
class ExtendedBST {
public:
    // The best threshold of a feature: the first key whose standard-deviation
    // reduction is strictly the largest; sdr stays -1 when no key qualifies.
    struct Candidate {
        double sdr = -1.0;
        double key = 0.0;
    };

    // Scratch space of the in-order scan, kept by the caller for reuse.
    struct Frame {
        std::uint32_t node;
        RunningSums below;  // sums inherited from the ancestors where the walk went right
    };

    [[nodiscard]] bool empty() const noexcept { return links_.empty(); }
    [[nodiscard]] std::size_t size() const noexcept { return links_.size(); }

    // Adds target y to every node on the path of v whose key is >= v, ending
    // at the node with key v, which is created if absent. NaN goes right at
    // every node. Throws std::length_error beyond 2^32 - 2 distinct values.
    void insert(double v, double y);

    // The best threshold for a leaf whose targets sum to `leaf`: thresholds
    // with at least 5 targets on each side are scored by
    // sd(leaf) - (c/N) sd(at or below) - ((N-c)/N) sd(above), visiting keys in
    // ascending order.
    [[nodiscard]] Candidate best_split(const RunningSums& leaf, std::vector<Frame>& stack) const;

    // In-order (key, count, sum, sum of squares) of every node, for inspection.
    struct Entry {
        double key;
        RunningSums at_or_below;
    };
    [[nodiscard]] std::vector<Entry> entries() const;

    // Every field, for saving and restoring (core/archive.hpp). Loading
    // checks that the links form one tree rooted at node 0 whose keys are in
    // search order, and derives the spine from it.
    template <class Archive>
    void fields(Archive& ar);

private:
    static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

    // The keys and links that a walk follows, apart from the statistics it
    // only updates: four links fit a cache line, so a walk misses less.
    struct Link {
        double key;
        std::uint32_t left;
        std::uint32_t right;
    };

    std::uint32_t attach(double v, double y);
    // Whether the loaded links and keys form a search tree; sets the spine.
    [[nodiscard]] bool adopt_loaded_links();

    std::vector<Link> links_;       // the root is node 0
    std::vector<RunningSums> le_;   // per node: targets at or below its key that passed it
    std::uint32_t spine_end_ = kNone;  // last node of the right-hand spine
    std::uint32_t spine_top_ = kNone;  // its last node with a non-NaN key: the largest such key
};

}  // namespace tarvo
