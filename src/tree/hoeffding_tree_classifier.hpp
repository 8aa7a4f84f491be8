#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/classifier.hpp"
#include "core/text_option.hpp"
#include "tree/classifier_node.hpp"
#include "tree/split_criterion.hpp"
#include "tree/split_suggestion.hpp"

namespace tarvo {

// How a classification leaf predicts: "mc" majority class, "nb" naive Bayes,
// any other text "nba", whichever of the two has been right more often.
enum class LeafPredictionChoice { kMajority, kNaiveBayes, kAdaptive };
[[nodiscard]] inline LeafPredictionChoice parse_leaf_prediction(std::string_view text) noexcept {
    if (text == "mc") {
        return LeafPredictionChoice::kMajority;
    }
    return text == "nb" ? LeafPredictionChoice::kNaiveBayes : LeafPredictionChoice::kAdaptive;
}
using LeafPredictionOption = TextOption<LeafPredictionChoice, parse_leaf_prediction>;

// An incrementally grown binary decision tree on numeric features. A leaf
// keeps class weights and per-class Gaussian statistics of every feature;
// whenever its weight reaches a multiple of grace_period it scores candidate
// thresholds and splits when the best one beats the runner-up by more than
// the Hoeffding bound (or the bound has fallen below tie_threshold). Leaves
// predict by majority class, naive Bayes, or ("nba") whichever of the two has
// been right more often at that leaf.
//
// Also the base learner of the adaptive tree and the tree ensembles, which
// build it through this constructor and drive it with learn_one (or
// learn_repeated), predict_one, predict_proba_one, reset and set_subspace.
class HoeffdingTreeClassifier : public IClassifier {
public:
    explicit HoeffdingTreeClassifier(int grace_period = 200, double split_confidence = 1e-7,
                                     double tie_threshold = 0.05, int nb_threshold = 0,
                                     int max_depth = 20, std::string split_criterion = "info_gain");
    ~HoeffdingTreeClassifier() override;
    HoeffdingTreeClassifier(const HoeffdingTreeClassifier&) = delete;
    HoeffdingTreeClassifier& operator=(const HoeffdingTreeClassifier&) = delete;
    // A moved-from tree has no root: it predicts 0 and {} and grows a new
    // root leaf when it learns.
    HoeffdingTreeClassifier(HoeffdingTreeClassifier&&) noexcept;
    HoeffdingTreeClassifier& operator=(HoeffdingTreeClassifier&&) noexcept;

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    // Replaces the tree by one empty leaf and forgets the labels; settings,
    // the subspace size and the generator's current state are kept.
    void reset() override;

    // Exactly `times` successive learn_one(x, y) calls (none when times <= 0),
    // for ensembles that learn a sample a Poisson number of times; the sample
    // is routed and looked up once per leaf it reaches rather than per call.
    void learn_repeated(const FeatureMap& x, int y, int times);

    // From now on evaluate `size` randomly chosen candidate features per split
    // attempt (when 0 < size < candidates), drawn from the tree's own
    // generator, reseeded here with `seed`.
    void set_subspace(int size, std::int32_t seed);

    [[nodiscard]] int subspace_size() const noexcept { return subspace_size_; }
    // The root node; nullptr only in a moved-from tree.
    [[nodiscard]] const ClassifierNode* root() const noexcept { return root_.get(); }
    // Every label learnt since construction or the last reset, ascending.
    [[nodiscard]] const std::vector<int>& classes() const noexcept { return classes_; }

    // Settings: plain fields, read by the next operation that needs them.
    int grace_period;
    double split_confidence;
    double tie_threshold;
    int nb_threshold;
    int max_depth;
    SplitCriterionOption split_criterion;  // "gini"; anything else is information gain
    int n_split_points = 10;
    LeafPredictionOption leaf_prediction{"nba"};  // "mc", "nb"; anything else is "nba"
    bool no_pre_prune = false;

private:
    enum class LeafMode { kMajority, kNaiveBayes };

    [[nodiscard]] LeafMode leaf_mode(const ClassifierNode& leaf) const;
    [[nodiscard]] int naive_bayes_label(ClassifierNode& leaf, const FeatureMap& x);
    [[nodiscard]] bool reuse_scores(const ClassifierNode& leaf, const FeatureMap& x);
    void insert_class(int y);
    // scores_ = the naive Bayes log scores of features_ at the leaf, through
    // terms_. Rows of terms_ already held for other classes than `stale` are
    // kept; kAllClasses recomputes every row.
    static constexpr std::size_t kAllClasses = static_cast<std::size_t>(-1);
    void score_leaf(const ClassifierNode& leaf, std::size_t stale);

    // One learn_one step at a reached leaf. `observed` says whether
    // features_ already holds x's observers at this leaf. Returns true when
    // the leaf split.
    bool learn_at_leaf(ClassifierNode& leaf, std::int64_t depth, const FeatureMap& x, int y,
                       bool observed);
    [[nodiscard]] bool split_due(const ClassifierNode& leaf, std::int64_t depth) const;
    template <class Criterion>
    bool attempt_split(ClassifierNode& leaf);
    void split(ClassifierNode& leaf, const SplitCandidate& best);

    int subspace_size_ = 0;
    std::mt19937 rng_;
    std::unique_ptr<ClassifierNode> root_;
    std::vector<int> classes_;

    // Buffers reused across calls.
    std::vector<ObservedFeature> features_;
    std::vector<double> scores_;
    std::vector<double> products_;  // linear-space naive Bayes terms
    std::vector<double> log_scratch_;
    // The log-density terms behind scores_, features_.size() per class
    // (terms_rows_ classes). A repeated learning step at the same leaf
    // changes one class's statistics only: learn_at_leaf keeps the other
    // classes' terms when terms_follow_ says that the previous step scored
    // this leaf and updated updated_class_.
    std::vector<double> terms_;
    std::size_t terms_rows_ = 0;
    bool terms_follow_ = false;
    std::size_t updated_class_ = 0;
    // The naive Bayes scores of the last predict_one stay in features_ and
    // scores_ until the tree or those buffers change: a learn_one of the same
    // sample (same names and values in the same order) at the same leaf reuses
    // them instead of computing them again (test-then-train).
    // Cleared on move, so that a moved-from tree never trusts it.
    struct LeafMark {
        const ClassifierNode* node = nullptr;
        LeafMark() = default;
        LeafMark(LeafMark&& other) noexcept : node(std::exchange(other.node, nullptr)) {}
        LeafMark& operator=(LeafMark&& other) noexcept {
            node = std::exchange(other.node, nullptr);
            return *this;
        }
    };
    LeafMark scored_leaf_;
    std::vector<std::string> scored_names_;
    std::vector<std::unordered_map<std::string, GaussianObserver>::value_type*> candidates_;
    std::vector<double> merits_;
    SplitCandidate trial_;
    SplitCandidate best_;
    SplitWorkspace workspace_;
};

}  // namespace tarvo
