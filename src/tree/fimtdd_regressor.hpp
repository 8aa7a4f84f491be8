#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/feature_map.hpp"
#include "core/regressor.hpp"
#include "drift/page_hinkley.hpp"
#include "tree/fimtdd_leaf.hpp"
#include "tree/global_scale.hpp"

namespace tarvo {

// Incremental model tree for drifting streams (FIMT-DD).
//
// Leaves keep an E-BST per feature and split on the threshold of greatest
// standard-deviation reduction once the runner-up's reduction is below
// 1 - ε of the best's (ε the Hoeffding bound with range 1), or ε falls below
// tie_threshold. They predict their mean ("mean"), a perceptron on globally
// standardised features ("perceptron"), or whichever of the two has erred
// less so far (any other text).
//
// Every internal node runs a Page-Hinkley test on the tree's normalised
// absolute error. A detection grows an alternate subtree at the node from
// the samples that pass it; every alternate_tree_t_min of them the faded
// squared errors of the two are compared, and the alternate takes the node's
// place once it has erred less, or is dropped after alternate_tree_time
// samples without winning.
//
// Memory at a leaf grows with the distinct values of each feature seen there
// until the leaf splits; leaves at max_depth, which cannot split, keep none. Routing, destruction and every E-BST walk are
// iterative, so neither a deep tree nor a feature arriving in sorted order
// can exhaust the stack.
class FIMTDDRegressor final : public IRegressor {
public:
    // A leaf (with its statistics and model) or an internal node (with its
    // split, children, drift test and perhaps an alternate subtree). A node
    // owns its children and its alternate.
    struct Node {
        std::unique_ptr<FIMTDDLeaf> leaf;  // null once the node has split
        double error_sum = 0.0;            // normalised errors seen while internal
        double visits = 0.0;               // samples that reached the node
        std::string split_feature;
        double split_threshold = 0.0;
        std::unique_ptr<Node> left;
        std::unique_ptr<Node> right;
        bool ph_enabled = true;
        PageHinkley ph;
        std::unique_ptr<Node> alternate;
        double alt_count = 0.0;
        double main_faded_sse = 0.0;
        double alt_faded_sse = 0.0;
        double last_compare = 0.0;

        Node();
        Node(const Node&) = delete;
        Node& operator=(const Node&) = delete;
        Node& operator=(Node&&) noexcept;
        ~Node();

        [[nodiscard]] bool is_leaf() const noexcept { return leaf != nullptr; }
    };

    // How often alternate subtrees started, replaced their node, or were
    // dropped since construction or reset (for inspection).
    struct AlternateCounts {
        std::int64_t started = 0;
        std::int64_t promoted = 0;
        std::int64_t discarded = 0;
    };

    explicit FIMTDDRegressor(std::int32_t grace_period = 200, double split_confidence = 1e-7,
                             double tie_threshold = 0.05, std::int32_t max_depth = 20,
                             std::string leaf_prediction = "adaptive", double learning_ratio = 0.02,
                             double learning_rate_decay = 0.001, bool learning_ratio_const = false,
                             double page_hinckley_alpha = 0.005,
                             double page_hinckley_threshold = 50.0,
                             double alternate_tree_fading_factor = 0.995,
                             std::int32_t alternate_tree_t_min = 150,
                             std::int32_t alternate_tree_time = 1500, bool drift_detection = true,
                             std::int32_t seed = 1);

    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    // Drops the tree and the global statistics, zeroes the split counter and
    // reseeds the generator from `seed`.
    void reset() override;

    // Splits made so far, in the main tree and in alternate subtrees
    // (discarding an alternate does not take its splits back).
    [[nodiscard]] std::int64_t n_splits() const noexcept { return n_splits_; }

    // Inspection: the root (null before the first sample), the global
    // statistics, the generator and the alternate-subtree events.
    [[nodiscard]] const Node* root() const noexcept { return root_.get(); }
    [[nodiscard]] const GlobalScale& global_scale() const noexcept { return scale_; }
    [[nodiscard]] const std::mt19937& generator() const noexcept { return rng_; }
    [[nodiscard]] const AlternateCounts& alternate_counts() const noexcept { return alternates_; }

    // Hyper-parameters, read by every operation; `seed` takes effect at reset.
    std::int32_t grace_period;
    double split_confidence;
    double tie_threshold;
    std::int32_t max_depth;
    ModelLeafOption leaf_prediction;
    double learning_ratio;
    double learning_rate_decay;
    bool learning_ratio_const;
    double page_hinckley_alpha;
    double page_hinckley_threshold;
    double alternate_tree_fading_factor;
    std::int32_t alternate_tree_t_min;
    std::int32_t alternate_tree_time;
    bool drift_detection;
    std::int32_t seed;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    // One sample on its way down: the sample, its standardised features, the
    // target, the main tree's prediction and the normalised error.
    struct Sample {
        const FeatureMap& x;
        const std::vector<ScaledFeature>& scaled;
        double y;
        double prediction;
        double error;
    };

    [[nodiscard]] double leaf_value(const FIMTDDLeaf& leaf,
                                    const std::vector<ScaledFeature>& scaled) const;
    void descend(Node& from, bool in_alternate, std::int64_t depth, const Sample& s);
    // Whether the alternate replaced the node (the descent then goes on at
    // the node with its new content).
    bool tend_alternate(Node& node, std::int64_t depth, const Sample& s, bool& trained);
    void learn_at_leaf(Node& node, std::int64_t depth, const Sample& s, bool may_split);
    void split(Node& node, const FIMTDDLeaf::Split& where);
    template <class Archive>
    void tree_fields(Archive& ar);

    std::unique_ptr<Node> root_;
    GlobalScale scale_;
    std::int64_t n_splits_ = 0;
    AlternateCounts alternates_;
    std::mt19937 rng_;
    std::vector<ScaledFeature> scaled_;  // reused by every call
    LeafScratch scratch_;
};

}  // namespace tarvo
