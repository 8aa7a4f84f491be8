#include "tree/extended_bst.hpp"

#include <cmath>
#include <stdexcept>

namespace tarvo {

namespace {

constexpr double kMinSide = 5.0;  // targets needed on each side of a threshold

// Population standard deviation of (count, sum, sum of squares); 0 for a
// single value, no spread, or a negative rounding residue.
[[nodiscard]] double spread(double n, double s, double q) noexcept {
    if (!(n > 1.0)) {
        return 0.0;
    }
    const double var = (q - s * s / n) / n;
    return var > 0.0 ? std::sqrt(var) : 0.0;
}

[[nodiscard]] RunningSums plus(const RunningSums& a, const RunningSums& b) noexcept {
    return RunningSums{a.count + b.count, a.sum + b.sum, a.sum_sq + b.sum_sq};
}

}  // namespace

std::uint32_t ExtendedBST::attach(double v, double y) {
    if (links_.size() >= kNone - 1) {
        throw std::length_error("too many distinct values at one leaf");
    }
    RunningSums le{};
    le.update(y);
    links_.push_back(Link{v, kNone, kNone});
    try {
        le_.push_back(le);
    } catch (...) {
        links_.pop_back();  // both arrays grow together or not at all
        throw;
    }
    return static_cast<std::uint32_t>(links_.size() - 1);
}

void ExtendedBST::insert(double v, double y) {
    if (links_.empty()) {
        spine_end_ = attach(v, y);
        spine_top_ = std::isnan(v) ? kNone : spine_end_;
        return;
    }
    // On the right-hand spine the non-NaN keys ascend and NaN keys send every
    // value right, so a value above the top key (or NaN) would walk the whole
    // spine without touching a node, and a value equal to it would stop there.
    if (spine_top_ != kNone) {
        const double top = links_[spine_top_].key;
        if (v == top) {
            le_[spine_top_].update(y);
            return;
        }
        if (v > top) {
            const std::uint32_t added = attach(v, y);
            links_[spine_end_].right = added;
            spine_end_ = spine_top_ = added;
            return;
        }
    }
    if (std::isnan(v)) {
        const std::uint32_t added = attach(v, y);
        links_[spine_end_].right = added;
        spine_end_ = added;
        return;
    }
    std::uint32_t at = 0;
    while (true) {
        const Link link = links_[at];
        // Both children are fetched while the comparison is decided: a walk
        // through a large tree waits on memory far more than on arithmetic.
        if (link.left != kNone) {
            __builtin_prefetch(&links_[link.left]);
        }
        if (link.right != kNone) {
            __builtin_prefetch(&links_[link.right]);
        }
        if (v <= link.key) {
            le_[at].update(y);
            if (v == link.key) {
                return;
            }
            if (link.left == kNone) {
                const std::uint32_t added = attach(v, y);
                links_[at].left = added;
                return;
            }
            at = link.left;
        } else {
            if (link.right == kNone) {
                const std::uint32_t added = attach(v, y);
                links_[at].right = added;
                if (at == spine_end_) {  // only when the spine holds NaN keys alone
                    spine_end_ = spine_top_ = added;
                }
                return;
            }
            at = link.right;
        }
    }
}

ExtendedBST::Candidate ExtendedBST::best_split(const RunningSums& leaf,
                                               std::vector<Frame>& stack) const {
    Candidate best;
    if (links_.empty()) {
        return best;
    }
    const double n = leaf.count;
    const double whole = spread(n, leaf.sum, leaf.sum_sq);
    stack.clear();
    std::uint32_t at = 0;
    RunningSums below{};
    while (true) {
        for (; at != kNone; at = links_[at].left) {
            stack.push_back(Frame{at, below});
        }
        if (stack.empty()) {
            return best;
        }
        const Frame frame = stack.back();
        stack.pop_back();
        const Link& link = links_[frame.node];
        const RunningSums le = plus(frame.below, le_[frame.node]);
        const double c = le.count;
        if (c >= kMinSide && n - c >= kMinSide) {
            const double sdr = whole - (c / n) * spread(c, le.sum, le.sum_sq) -
                               ((n - c) / n) * spread(n - c, leaf.sum - le.sum, leaf.sum_sq - le.sum_sq);
            if (sdr > best.sdr) {
                best = Candidate{sdr, link.key};
            }
        }
        below = le;  // the right subtree inherits everything at or below this key
        at = link.right;
    }
}

std::vector<ExtendedBST::Entry> ExtendedBST::entries() const {
    std::vector<Entry> out;
    out.reserve(links_.size());
    std::vector<std::uint32_t> stack;
    std::uint32_t at = links_.empty() ? kNone : 0;
    while (at != kNone || !stack.empty()) {
        for (; at != kNone; at = links_[at].left) {
            stack.push_back(at);
        }
        const std::uint32_t i = stack.back();
        stack.pop_back();
        out.push_back(Entry{links_[i].key, le_[i]});
        at = links_[i].right;
    }
    return out;
}

}  // namespace tarvo
