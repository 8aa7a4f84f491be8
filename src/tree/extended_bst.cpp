#include "tree/extended_bst.hpp"

#include <cmath>
#include <stdexcept>

#include "core/archive.hpp"

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

bool ExtendedBST::adopt_loaded_links() {
    spine_end_ = spine_top_ = kNone;
    if (links_.empty()) {
        return true;
    }
    // Each node must be reached once from the root, and its key must lie
    // within the bounds its ancestors set: below every ancestor it sits left
    // of, above (or NaN beyond) every ancestor it sits right of. Nothing goes
    // left of a NaN key, and a NaN key lies on no left path.
    struct Bounds {
        std::uint32_t node;
        bool has_low;
        double low;  // key > low, or NaN
        bool has_high;
        double high;  // key < high
    };
    std::vector<bool> reached(links_.size(), false);
    std::vector<Bounds> stack{Bounds{0, false, 0.0, false, 0.0}};
    std::size_t count = 0;
    while (!stack.empty()) {
        const Bounds b = stack.back();
        stack.pop_back();
        if (b.node >= links_.size() || reached[b.node]) {
            return false;
        }
        reached[b.node] = true;
        ++count;
        const Link& link = links_[b.node];
        const bool nan = std::isnan(link.key);
        if ((b.has_high && !(link.key < b.high)) || (b.has_low && !nan && !(link.key > b.low)) ||
            (nan && link.left != kNone)) {
            return false;
        }
        if (link.right != kNone) {
            stack.push_back(nan ? Bounds{link.right, b.has_low, b.low, b.has_high, b.high}
                                : Bounds{link.right, true, link.key, b.has_high, b.high});
        }
        if (link.left != kNone) {
            stack.push_back(Bounds{link.left, b.has_low, b.low, true, link.key});
        }
    }
    if (count != links_.size()) {
        return false;
    }
    for (std::uint32_t at = 0; at != kNone; at = links_[at].right) {
        spine_end_ = at;
        if (!std::isnan(links_[at].key)) {
            spine_top_ = at;
        }
    }
    return true;
}

template <class Archive>
void ExtendedBST::fields(Archive& ar) {
    if constexpr (Archive::kParamsOnly) {
        return;
    } else {
        std::size_t n = links_.size();
        if constexpr (Archive::kLoading) {
            n = ar.get_count(sizeof(Link) + sizeof(RunningSums));
            ar.check(n < kNone, "an E-BST has too many nodes");
            links_.assign(n, Link{0.0, kNone, kNone});
            le_.assign(n, RunningSums{});
        } else {
            ar.put_u64(n);
        }
        for (std::size_t i = 0; i < n; ++i) {
            ar(links_[i].key, links_[i].left, links_[i].right, le_[i]);
        }
        if constexpr (Archive::kLoading) {
            ar.check(adopt_loaded_links(), "an E-BST's links do not form a search tree");
        }
    }
}

TARVO_ARCHIVE_FIELDS(ExtendedBST);

}  // namespace tarvo
