#include "anomaly/half_space_trees.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/archive.hpp"

namespace tarvo {

namespace {

// What a draw decides, keyed into the counter-based generator.
constexpr std::uint64_t kWorkCentre = 1;
constexpr std::uint64_t kSplitFeature = 2;

// The splitmix64 finaliser: a bijection of 64-bit words that mixes every bit.
constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31U);
}

// The draw of a tree for one purpose and index: a pure function of its keys.
std::uint64_t draw(int seed, int tree, std::uint64_t what, std::uint64_t index) noexcept {
    std::uint64_t z = mix64(static_cast<std::uint32_t>(seed));
    z = mix64(z ^ static_cast<std::uint64_t>(tree));
    z = mix64(z ^ what);
    return mix64(z ^ index);
}

// The share of the reference mass below which a node ends a path.
constexpr double kSizeLimit = 0.1;

}  // namespace

HalfSpaceTrees::HalfSpaceTrees(int n_trees, int height, int window_size, int seed, std::optional<Limits> limits)
    : n_trees_(n_trees), height_(height), window_size_(window_size), seed_(seed), limits_(std::move(limits)) {
    if (n_trees < 1 || n_trees > kMostTrees) {
        throw std::invalid_argument("'n_trees' must be from 1 to 10000, got " + std::to_string(n_trees));
    }
    if (height < 1 || height > kMostHeight) {
        throw std::invalid_argument("'height' must be from 1 to 40, got " + std::to_string(height));
    }
    if (window_size < 1) {
        throw std::invalid_argument("'window_size' must be at least 1, got " + std::to_string(window_size));
    }
    if (limits_) {
        for (const auto& [name, range] : *limits_) {
            const auto [low, high] = range;
            if (!(std::isfinite(low) && std::isfinite(high) && 0.5 * high - 0.5 * low > 0.0)) {
                throw std::invalid_argument("'limits': the range of '" + name +
                                            "' must be two finite numbers (low, high) with low < high");
            }
        }
    }
    reset();
}

void HalfSpaceTrees::reset() {
    started_ = false;
    features_.clear();
    low_.clear();
    high_.clear();
    half_.clear();
    first_.clear();
    count_ = 0;
    profiled_ = false;
    trees_.assign(static_cast<std::size_t>(n_trees_), {});
    if (limits_) {
        start(*limits_);
    }
}

void HalfSpaceTrees::start(const Limits& ranges) {
    features_.clear();
    low_.clear();
    high_.clear();
    half_.clear();
    for (const auto& [name, range] : ranges) {
        features_.push_back(name);
        low_.push_back(range.first);
        high_.push_back(range.second);
        half_.push_back(0.5 * range.second - 0.5 * range.first);
    }
    started_ = true;
}

HalfSpaceTrees::Limits HalfSpaceTrees::ranges() const {
    if (limits_) {
        return *limits_;
    }
    Limits out;
    for (std::size_t q = 0; q < features_.size(); ++q) {
        out.emplace(features_[q], std::make_pair(low_[q], high_[q]));
    }
    return out;
}

std::size_t HalfSpaceTrees::node_count() const noexcept {
    std::size_t n = 0;
    for (const auto& tree : trees_) {
        n += tree.size();
    }
    return n;
}

void HalfSpaceTrees::scale(const FeatureMap& x, std::vector<double>& out) const {
    out.resize(features_.size());
    for (std::size_t q = 0; q < features_.size(); ++q) {
        const auto it = x.find(features_[q]);
        out[q] = it == x.end() ? 0.5 : (0.5 * it->second - 0.5 * low_[q]) / half_[q];
    }
}

HalfSpaceTrees::Node HalfSpaceTrees::make_node(int t, std::uint64_t heap, int depth,
                                               const std::array<Step, kMostHeight>& path) const {
    Node node;
    if (depth == height_ || features_.empty()) {
        return node;  // a leaf, or a tree with nothing to split: every sample goes right
    }
    const auto d = static_cast<std::uint64_t>(features_.size());
    const std::uint64_t z = draw(seed_, t, kSplitFeature, heap);
    const std::uint64_t q = d <= 0xffffffffULL ? ((z >> 32U) * d) >> 32U : z % d;
    // The work range of feature q, narrowed by the splits on q above.
    const double s = static_cast<double>(draw(seed_, t, kWorkCentre, q) >> 11U) * 0x1.0p-53;
    const double m = std::max(s, 1.0 - s);
    double low = s - 2.0 * m;
    double high = s + 2.0 * m;
    for (int k = 0; k < depth; ++k) {
        if (path[static_cast<std::size_t>(k)].feature == q) {
            (path[static_cast<std::size_t>(k)].right ? low : high) = path[static_cast<std::size_t>(k)].split;
        }
    }
    node.feature = static_cast<std::uint32_t>(q);
    node.split = 0.5 * low + 0.5 * high;
    return node;
}

double HalfSpaceTrees::score_scaled(const std::vector<double>& v) const {
    if (!profiled_) {
        return 0.0;
    }
    const double limit = kSizeLimit * static_cast<double>(window_size_);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    double total = 0.0;
    for (const auto& nodes : trees_) {
        if (nodes.empty()) {
            continue;
        }
        std::int32_t at = 0;
        for (int k = 0;; ++k) {
            const Node& node = nodes[static_cast<std::size_t>(at)];
            if (k == height_ || static_cast<double>(node.r) <= limit) {
                total += std::ldexp(static_cast<double>(node.r), k);
                break;
            }
            const double value = node.feature < v.size() ? v[node.feature] : nan;
            at = value < node.split ? node.left : node.right;
            if (at < 0) {
                break;  // a node no sample reached: no mass
            }
        }
    }
    const double mean = total / static_cast<double>(n_trees_);
    const double most = std::ldexp(static_cast<double>(window_size_), height_);
    return 1.0 - std::log1p(mean) / std::log1p(most);
}

void HalfSpaceTrees::learn_scaled(const std::vector<double>& v) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::array<Step, kMostHeight> path{};
    for (int t = 0; t < n_trees_; ++t) {
        auto& nodes = trees_[static_cast<std::size_t>(t)];
        if (nodes.empty()) {
            nodes.push_back(make_node(t, 1, 0, path));
        }
        std::size_t at = 0;
        std::uint64_t heap = 1;
        nodes[0].l += 1;
        for (int k = 0; k < height_; ++k) {
            const Node& node = nodes[at];
            const double value = node.feature < v.size() ? v[node.feature] : nan;
            const bool right = !(value < node.split);
            path[static_cast<std::size_t>(k)] = Step{node.feature, node.split, right};
            heap = 2 * heap + (right ? 1U : 0U);
            std::int32_t child = right ? node.right : node.left;
            if (child < 0) {
                child = static_cast<std::int32_t>(nodes.size());
                const Node made = make_node(t, heap, k + 1, path);
                (right ? nodes[at].right : nodes[at].left) = child;
                nodes.push_back(made);
            }
            at = static_cast<std::size_t>(child);
            nodes[at].l += 1;
        }
    }
    count_ += 1;
    if (count_ == window_size_) {
        swap_profiles();
    }
}

void HalfSpaceTrees::swap_profiles() {
    for (auto& nodes : trees_) {
        for (Node& node : nodes) {
            node.r = node.l;
            node.l = 0;
        }
        // Keep the nodes with mass, in pre-order; the others hold nothing and
        // are made again, identical, when a sample reaches them.
        std::vector<Node> kept;
        std::vector<std::pair<std::size_t, std::int32_t*>> pending;  // old index, slot of its new index
        std::int32_t root = -1;
        if (!nodes.empty() && nodes[0].r > 0) {
            pending.emplace_back(0, &root);
        }
        // Slots point into `kept`, which must not move while they are pending.
        kept.reserve(nodes.size());
        while (!pending.empty()) {
            const auto [old, slot] = pending.back();
            pending.pop_back();
            *slot = static_cast<std::int32_t>(kept.size());
            kept.push_back(nodes[old]);
            Node& node = kept.back();
            const std::int32_t left = node.left;
            const std::int32_t right = node.right;
            node.left = -1;
            node.right = -1;
            if (right >= 0 && nodes[static_cast<std::size_t>(right)].r > 0) {
                pending.emplace_back(static_cast<std::size_t>(right), &node.right);
            }
            if (left >= 0 && nodes[static_cast<std::size_t>(left)].r > 0) {
                pending.emplace_back(static_cast<std::size_t>(left), &node.left);
            }
        }
        kept.shrink_to_fit();
        nodes = std::move(kept);
    }
    count_ = 0;
    profiled_ = true;
}

void HalfSpaceTrees::learn_first(const FeatureMap& x) {
    first_.push_back(x);
    if (first_.size() < static_cast<std::size_t>(window_size_)) {
        return;
    }
    Limits seen;
    for (const FeatureMap& sample : first_) {
        for (const auto& [name, value] : sample) {
            if (!std::isfinite(value)) {
                continue;
            }
            const auto [it, made] = seen.try_emplace(name, value, value);
            if (!made) {
                it->second.first = std::min(it->second.first, value);
                it->second.second = std::max(it->second.second, value);
            }
        }
    }
    start(seen);
    for (std::size_t q = 0; q < features_.size(); ++q) {
        if (!(half_[q] > 0.0)) {
            half_[q] = 0.5;  // constant over the first window: [v, v + 1]
            high_[q] = low_[q] + 1.0;
        }
    }
    std::vector<FeatureMap> samples;
    samples.swap(first_);
    std::vector<double> v;
    for (const FeatureMap& sample : samples) {
        scale(sample, v);
        learn_scaled(v);
    }
}

void HalfSpaceTrees::learn_one(const FeatureMap& x) {
    if (!started_) {
        learn_first(x);
        return;
    }
    std::vector<double> v;
    scale(x, v);
    learn_scaled(v);
}

double HalfSpaceTrees::score_one(const FeatureMap& x) const {
    if (!profiled_) {
        return 0.0;
    }
    std::vector<double> v;
    scale(x, v);
    return score_scaled(v);
}

double HalfSpaceTrees::score_then_learn(const FeatureMap& x) {
    if (!started_) {
        learn_first(x);
        return 0.0;  // no profile before the first window ends
    }
    std::vector<double> v;
    scale(x, v);
    const double score = score_scaled(v);
    learn_scaled(v);
    return score;
}

template <class Archive>
void HalfSpaceTrees::fields(Archive& ar) {
    ar.param("n_trees", n_trees_);
    ar.param("height", height_);
    ar.param("window_size", window_size_);
    ar.param("seed", seed_);
    ar(limits_, started_, features_, low_, high_, half_, first_, count_, profiled_, trees_);
    if constexpr (Archive::kLoading) {
        ar.check(n_trees_ >= 1 && n_trees_ <= kMostTrees && height_ >= 1 && height_ <= kMostHeight &&
                     window_size_ >= 1,
                 "a parameter lies outside its range");
        const std::size_t d = features_.size();
        ar.check(low_.size() == d && high_.size() == d && half_.size() == d,
                 "the feature ranges do not match the features");
        ar.check(std::adjacent_find(features_.begin(), features_.end(),
                                    [](const std::string& a, const std::string& b) { return !(a < b); }) ==
                     features_.end(),
                 "the features are not in ascending order");
        for (std::size_t q = 0; q < d; ++q) {
            ar.check(std::isfinite(low_[q]) && std::isfinite(high_[q]) && std::isfinite(half_[q]) && half_[q] > 0.0,
                     "a feature range is not a finite, non-empty interval");
        }
        if (limits_) {
            ar.check(started_ && d == limits_->size(), "the features in use are not the limits given");
            std::size_t q = 0;
            for (const auto& [name, range] : *limits_) {
                const auto [low, high] = range;
                ar.check(std::isfinite(low) && std::isfinite(high) && 0.5 * high - 0.5 * low > 0.0,
                         "a limit is not a finite range");
                ar.check(features_[q] == name && low_[q] == low && high_[q] == high &&
                             half_[q] == 0.5 * high - 0.5 * low,
                         "the ranges in use are not the limits given");
                ++q;
            }
        }
        ar.check(started_ ? first_.empty()
                          : (d == 0 && first_.size() < static_cast<std::size_t>(window_size_) && !profiled_),
                 "the first window does not match the ranges");
        ar.check(started_ || std::all_of(trees_.begin(), trees_.end(), [](const auto& t) { return t.empty(); }),
                 "trees hold mass before the ranges are known");
        ar.check(count_ >= 0 && count_ < window_size_ && (started_ || count_ == 0),
                 "the window count is out of range");
        ar.check(trees_.size() == static_cast<std::size_t>(n_trees_), "the number of trees is wrong");
        const auto most = static_cast<std::uint32_t>(window_size_);
        for (const auto& nodes : trees_) {
            ar.check(nodes.size() < static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()),
                     "a tree is too large");
            // Children come after their parent and each node but the root
            // has one parent, so the nodes form one tree; depths stay within
            // the height.
            std::vector<int> depth(nodes.size(), -1);
            if (!nodes.empty()) {
                depth[0] = 0;
            }
            for (std::size_t i = 0; i < nodes.size(); ++i) {
                const Node& node = nodes[i];
                ar.check(depth[i] >= 0, "a tree node has no parent");
                ar.check(node.r <= most && node.l <= most, "a tree node holds too much mass");
                ar.check(node.feature < std::max<std::size_t>(d, 1), "a tree node splits an unknown feature");
                for (const std::int32_t child : {node.left, node.right}) {
                    if (child < 0) {
                        ar.check(child == -1, "a tree node has a bad child");
                        continue;
                    }
                    const auto c = static_cast<std::size_t>(child);
                    ar.check(c > i && c < nodes.size() && depth[c] == -1 && depth[i] < height_,
                             "a tree node has a bad child");
                    depth[c] = depth[i] + 1;
                }
            }
        }
    }
}

TARVO_ARCHIVE_FIELDS(HalfSpaceTrees);

}  // namespace tarvo
