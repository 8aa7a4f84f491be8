#include "tree/fimtdd_regressor.hpp"

#include <cmath>
#include <initializer_list>
#include <utility>

#include "core/archive.hpp"
#include "core/random.hpp"
#include "tree/node_walk.hpp"

namespace tarvo {

namespace {

using Node = FIMTDDRegressor::Node;

constexpr double kTiny = 1e-12;  // keeps the faded-error ratio finite

std::unique_ptr<Node> empty_leaf() {
    auto node = std::make_unique<Node>();
    node->leaf = std::make_unique<FIMTDDLeaf>();
    return node;
}

// A fresh drift test and no alternate to compare against.
void rearm(Node& node) noexcept {
    node.ph_enabled = true;
    node.ph.restart();
}

}  // namespace

FIMTDDRegressor::Node::Node() = default;
FIMTDDRegressor::Node& FIMTDDRegressor::Node::operator=(Node&&) noexcept = default;

FIMTDDRegressor::Node::~Node() {
    // Alternates never hold alternates, so freeing one nests only once.
    dismantle(std::move(alternate));
    dismantle(std::move(left));
    dismantle(std::move(right));
}

FIMTDDRegressor::FIMTDDRegressor(std::int32_t grace_period, double split_confidence,
                                 double tie_threshold, std::int32_t max_depth,
                                 std::string leaf_prediction, double learning_ratio,
                                 double learning_rate_decay, bool learning_ratio_const,
                                 double page_hinckley_alpha, double page_hinckley_threshold,
                                 double alternate_tree_fading_factor,
                                 std::int32_t alternate_tree_t_min,
                                 std::int32_t alternate_tree_time, bool drift_detection,
                                 std::int32_t seed)
    : grace_period(grace_period),
      split_confidence(split_confidence),
      tie_threshold(tie_threshold),
      max_depth(max_depth),
      leaf_prediction(std::move(leaf_prediction)),
      learning_ratio(learning_ratio),
      learning_rate_decay(learning_rate_decay),
      learning_ratio_const(learning_ratio_const),
      page_hinckley_alpha(page_hinckley_alpha),
      page_hinckley_threshold(page_hinckley_threshold),
      alternate_tree_fading_factor(alternate_tree_fading_factor),
      alternate_tree_t_min(alternate_tree_t_min),
      alternate_tree_time(alternate_tree_time),
      drift_detection(drift_detection),
      seed(seed) {
    seed_generator(rng_, seed);
}

void FIMTDDRegressor::reset() {
    dismantle(std::move(root_));
    scale_.clear();
    n_splits_ = 0;
    alternates_ = AlternateCounts{};
    seed_generator(rng_, seed);
}

double FIMTDDRegressor::leaf_value(const FIMTDDLeaf& leaf,
                                   const std::vector<ScaledFeature>& scaled) const {
    return leaf.prediction(leaf_prediction.choice(), scaled, scale_);
}

double FIMTDDRegressor::predict_one(const FeatureMap& x) {
    if (!root_) {
        return 0.0;
    }
    const FIMTDDLeaf& leaf = *route_to_leaf(*root_, 0, x).leaf->leaf;
    const ModelLeafChoice mode = leaf_prediction.choice();
    if (!leaf.uses_perceptron(mode)) {
        return leaf.mean(scale_);  // no need to standardise the sample
    }
    scale_.scale(x, scaled_);
    return leaf.prediction(mode, scaled_, scale_);
}

void FIMTDDRegressor::learn_one(const FeatureMap& x, double y) {
    if (!root_) {
        root_ = empty_leaf();
    }
    scale_.learn(x, y, scaled_);
    const double prediction = leaf_value(*route_to_leaf(*root_, 0, x).leaf->leaf, scaled_);
    const double error = std::abs(scale_.scaled_target(y) - scale_.scaled_target(prediction));
    descend(*root_, false, 0, Sample{x, scaled_, y, prediction, error});
}

void FIMTDDRegressor::descend(Node& from, bool in_alternate, std::int64_t depth,
                              const Sample& s) {
    Node* node = &from;
    bool trained_alternate = false;
    while (!node->is_leaf()) {
        node->error_sum += s.error;
        node->visits += 1.0;
        if (!in_alternate && node->alternate &&
            tend_alternate(*node, depth, s, trained_alternate)) {
            continue;  // the node now holds the alternate's content: start over there
        }
        if (drift_detection && node->ph_enabled && !in_alternate &&
            node->ph.update(s.error, node->error_sum / node->visits, page_hinckley_alpha,
                            page_hinckley_threshold)) {
            node->alternate = empty_leaf();  // no alternate exists while the test is armed
            node->ph_enabled = false;
            node->alt_count = 0.0;
            node->main_faded_sse = 0.0;
            node->alt_faded_sse = 0.0;
            node->last_compare = 0.0;
            alternates_.started += 1;
        }
        node = child_for(*node, s.x);
        ++depth;
    }
    // Leaves inside an alternate always may split, or alternates could not grow.
    learn_at_leaf(*node, depth, s, in_alternate || !trained_alternate);
}

bool FIMTDDRegressor::tend_alternate(Node& node, std::int64_t depth, const Sample& s,
                                     bool& trained) {
    const double alt_prediction =
        leaf_value(*route_to_leaf(*node.alternate, 0, s.x).leaf->leaf, s.scaled);
    const double f = alternate_tree_fading_factor;
    const double main_error = s.y - s.prediction;
    const double alt_error = s.y - alt_prediction;
    node.main_faded_sse = f * node.main_faded_sse + main_error * main_error;
    node.alt_faded_sse = f * node.alt_faded_sse + alt_error * alt_error;
    node.alt_count += 1.0;

    if (node.alt_count - node.last_compare >= static_cast<double>(alternate_tree_t_min)) {
        node.last_compare = node.alt_count;
        if (std::log((node.main_faded_sse + kTiny) / (node.alt_faded_sse + kTiny)) > 0.0) {
            // The alternate's root leaves its slot first, so that moving its
            // content never frees the object being read from.
            const std::unique_ptr<Node> winner = std::move(node.alternate);
            node = std::move(*winner);
            rearm(node);
            alternates_.promoted += 1;
            return true;
        }
        if (node.alt_count >= static_cast<double>(alternate_tree_time)) {
            dismantle(std::move(node.alternate));
            rearm(node);
            alternates_.discarded += 1;
            return false;
        }
    }
    descend(*node.alternate, true, depth, s);
    trained = true;
    return false;
}

void FIMTDDRegressor::learn_at_leaf(Node& node, std::int64_t depth, const Sample& s,
                                    bool may_split) {
    FIMTDDLeaf& leaf = *node.leaf;
    node.visits += 1.0;
    const PerceptronRate rate{learning_ratio, learning_rate_decay, learning_ratio_const};
    // A node's depth never changes, so a leaf at the depth limit never splits:
    // it keeps no E-BSTs, whose memory would otherwise grow with the stream.
    const bool below_limit = depth < max_depth;
    leaf.learn(s.scaled, s.y, leaf_prediction.choice(), scale_, rate, rng_, below_limit, scratch_);
    if (may_split && below_limit && leaf.split_due(grace_period)) {
        if (const auto where = leaf.attempt_split(split_confidence, tie_threshold, scale_, scratch_)) {
            split(node, *where);
        }
    }
}

void FIMTDDRegressor::split(Node& node, const FIMTDDLeaf::Split& where) {
    // Everything that may throw comes first; the node changes only after.
    std::string feature = *where.feature;
    auto left = empty_leaf();
    auto right = empty_leaf();
    if (leaf_prediction.choice() != ModelLeafChoice::kMean) {
        left->leaf->perceptron = node.leaf->perceptron;
        right->leaf->perceptron = node.leaf->perceptron;
    }
    node.split_feature = std::move(feature);
    node.split_threshold = where.threshold;
    node.left = std::move(left);
    node.right = std::move(right);
    node.leaf.reset();
    n_splits_ += 1;
}

// The tree in pre-order, walked with an explicit stack (a tree may be as
// deep as max_depth): per node a tag (0 leaf, 1 split; 2 for a missing root),
// the drift and alternate statistics, then the leaf, or the split with a flag
// for an alternate subtree, which follows before the children. Loading checks
// what the rest of the class relies on: an alternate never holds an
// alternate (so freeing one nests only once) and a leaf's E-BSTs are keyed
// by features the global table numbers.
template <class Archive>
void FIMTDDRegressor::tree_fields(Archive& ar) {
    const auto common = [&ar](Node& node) {
        ar(node.error_sum, node.visits, node.ph_enabled, node.ph, node.alt_count,
           node.main_faded_sse, node.alt_faded_sse, node.last_compare);
    };
    if constexpr (Archive::kLoading) {
        dismantle(std::move(root_));
        struct Pending {
            std::unique_ptr<Node>* slot;
            bool in_alternate;
        };
        std::vector<Pending> pending{{&root_, false}};
        const std::size_t n_features = scale_.size();
        while (!pending.empty()) {
            const Pending at = pending.back();
            pending.pop_back();
            const std::uint8_t tag = ar.get_u8();
            if (tag == 2 && at.slot == &root_) {
                continue;
            }
            ar.check(tag <= 1, "a tree node has an unknown kind");
            *at.slot = std::make_unique<Node>();
            Node& node = **at.slot;
            common(node);
            if (tag == 0) {
                node.leaf = std::make_unique<FIMTDDLeaf>();
                ar(*node.leaf);
                for (const auto& entry : node.leaf->observers) {
                    ar.check(entry.first < n_features, "a leaf observes an unknown feature");
                }
                continue;
            }
            bool has_alternate = false;
            ar(node.split_feature, node.split_threshold, has_alternate);
            ar.check(!(has_alternate && at.in_alternate), "an alternate subtree holds another");
            pending.push_back({&node.right, at.in_alternate});
            pending.push_back({&node.left, at.in_alternate});
            if (has_alternate) {
                pending.push_back({&node.alternate, true});
            }
        }
    } else {
        if (!root_) {
            ar.put_u8(2);
            return;
        }
        std::vector<Node*> pending{root_.get()};
        while (!pending.empty()) {
            Node& node = *pending.back();
            pending.pop_back();
            const bool leaf = node.is_leaf();
            ar.put_u8(leaf ? 0 : 1);
            common(node);
            if (leaf) {
                ar(*node.leaf);
                continue;
            }
            bool has_alternate = node.alternate != nullptr;
            ar(node.split_feature, node.split_threshold, has_alternate);
            pending.push_back(node.right.get());
            pending.push_back(node.left.get());
            if (has_alternate) {
                pending.push_back(node.alternate.get());
            }
        }
    }
}

template <class Archive>
void FIMTDDRegressor::fields(Archive& ar) {
    ar.param("grace_period", grace_period);
    ar.param("split_confidence", split_confidence);
    ar.param("tie_threshold", tie_threshold);
    ar.param("max_depth", max_depth);
    ar.param("leaf_prediction", leaf_prediction);
    ar.param("learning_ratio", learning_ratio);
    ar.param("learning_rate_decay", learning_rate_decay);
    ar.param("learning_ratio_const", learning_ratio_const);
    ar.param("page_hinckley_alpha", page_hinckley_alpha);
    ar.param("page_hinckley_threshold", page_hinckley_threshold);
    ar.param("alternate_tree_fading_factor", alternate_tree_fading_factor);
    ar.param("alternate_tree_t_min", alternate_tree_t_min);
    ar.param("alternate_tree_time", alternate_tree_time);
    ar.param("drift_detection", drift_detection);
    ar.param("seed", seed);
    if constexpr (!Archive::kParamsOnly) {
        ar(scale_, n_splits_, alternates_.started, alternates_.promoted, alternates_.discarded,
           rng_);
        // The counters only ever grow by one; far below the int64 limit they
        // cannot overflow however long the model learns on.
        constexpr std::int64_t kCounterLimit = std::int64_t{1} << 62;
        for (const std::int64_t c : {n_splits_, alternates_.started, alternates_.promoted,
                                     alternates_.discarded}) {
            ar.check(c >= 0 && c < kCounterLimit, "a counter is out of range");
        }
        tree_fields(ar);
    }
    // The standardised sample and the scratch space are rewritten by every call.
}

TARVO_ARCHIVE_FIELDS(FIMTDDRegressor);

}  // namespace tarvo
