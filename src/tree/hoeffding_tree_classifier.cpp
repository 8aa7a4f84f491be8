#include "tree/hoeffding_tree_classifier.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <limits>
#include <span>
#include <utility>

#include "core/class_distribution.hpp"
#include "core/interrupt.hpp"
#include "core/random.hpp"
#include "tree/hoeffding_bound.hpp"
#include "tree/node_walk.hpp"
#include "tree/split_criterion.hpp"

namespace tarvo {

namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
// 2^63: weights from here on do not truncate to a signed 64-bit integer.
constexpr double kInt64Limit = 9223372036854775808.0;

// A new leaf holding the positive entries of an estimated distribution.
std::unique_ptr<ClassifierNode> make_child(const std::vector<int>& labels,
                                           const std::vector<double>& dist) {
    auto child = std::make_unique<ClassifierNode>();
    const std::size_t n = std::min(labels.size(), dist.size());
    for (std::size_t c = 0; c < n; ++c) {
        if (dist[c] > 0.0) {
            child->labels.push_back(labels[c]);
            child->weights.push_back(dist[c]);
            child->total_weight += dist[c];
        }
    }
    return child;
}

}  // namespace

HoeffdingTreeClassifier::HoeffdingTreeClassifier(int grace_period_, double split_confidence_,
                                                 double tie_threshold_, int nb_threshold_,
                                                 int max_depth_, std::string split_criterion_)
    : grace_period(grace_period_),
      split_confidence(split_confidence_),
      tie_threshold(tie_threshold_),
      nb_threshold(nb_threshold_),
      max_depth(max_depth_),
      split_criterion(std::move(split_criterion_)),
      root_(std::make_unique<ClassifierNode>()) {
    seed_generator(rng_, 0);
}

HoeffdingTreeClassifier::~HoeffdingTreeClassifier() = default;
HoeffdingTreeClassifier::HoeffdingTreeClassifier(HoeffdingTreeClassifier&&) noexcept = default;
HoeffdingTreeClassifier& HoeffdingTreeClassifier::operator=(HoeffdingTreeClassifier&&) noexcept =
    default;

void HoeffdingTreeClassifier::learn_one(const FeatureMap& x, int y) {
    learn_repeated(x, y, 1);
}

void HoeffdingTreeClassifier::learn_repeated(const FeatureMap& x, int y, int times) {
    if (times <= 0) {
        return;
    }
    if (!root_) {
        root_ = std::make_unique<ClassifierNode>();
    }
    insert_class(y);
    Reached<ClassifierNode> at = route_to_leaf(*root_, 0, x);
    bool observed = false;
    repeat_interruptibly(times, [&] {
        if (learn_at_leaf(*at.leaf, at.depth, x, y, observed)) {
            // The leaf is now internal: carry on down to the new child.
            at = route_to_leaf(*at.leaf, at.depth, x);
            observed = false;
        } else {
            observed = true;
        }
    });
}

void HoeffdingTreeClassifier::score_leaf(const ClassifierNode& leaf, std::size_t stale) {
    const std::size_t n_features = features_.size();
    const std::size_t n_classes = leaf.labels.size();
    if (stale == kAllClasses) {
        terms_rows_ = 0;
    }
    terms_.resize(n_classes * n_features);
    const std::span<double> terms(terms_);
    for (std::size_t c = 0; c < n_classes; ++c) {
        if (c >= terms_rows_ || c == stale) {
            leaf.log_terms(features_, c, terms.subspan(c * n_features, n_features));
        }
    }
    terms_rows_ = n_classes;
    leaf.sum_log_terms(n_features, terms_, scores_);
}

void HoeffdingTreeClassifier::insert_class(int y) {
    const auto it = std::lower_bound(classes_.begin(), classes_.end(), y);
    if (it == classes_.end() || *it != y) {
        classes_.insert(it, y);
    }
}

bool HoeffdingTreeClassifier::learn_at_leaf(ClassifierNode& leaf, std::int64_t depth,
                                            const FeatureMap& x, int y, bool observed) {
    // The leaf's own performance is scored on its state before this sample.
    const bool account =
        leaf_prediction.choice() != LeafPredictionChoice::kMajority && leaf.total_weight > 0.0;
    const bool scored = !observed && account && reuse_scores(leaf, x);
    // Repeating the previous step at this leaf: only its class has new terms.
    const std::size_t stale = observed && terms_follow_ ? updated_class_ : kAllClasses;
    scored_leaf_.node = nullptr;  // the leaf changes below
    terms_follow_ = false;
    if (!observed && !scored) {
        if (account) {
            leaf.observe(x, features_);
        } else {
            features_.clear();
            for (const auto& [name, value] : x) {
                features_.push_back({&name, value, nullptr});
            }
        }
    }
    if (account) {
        if (leaf.majority_class() == y) {
            leaf.mc_correct += 1.0;
        }
        if (!scored) {
            score_leaf(leaf, stale);
        }
        terms_follow_ = true;
        double best = kNegInf;
        bool found = false;
        int label = 0;
        for (std::size_t c = 0; c < scores_.size(); ++c) {
            if (scores_[c] > best) {
                best = scores_[c];
                label = leaf.labels[c];
                found = true;
            }
        }
        if (found && label == y) {
            leaf.nb_correct += 1.0;
        }
    }

    const std::size_t c = leaf.class_index_or_add(y);
    updated_class_ = c;
    leaf.weights[c] += 1.0;
    leaf.total_weight += 1.0;
    for (ObservedFeature& f : features_) {
        if (f.observer == nullptr) {
            f.observer = &leaf.observers.try_emplace(*f.name).first->second;
        }
        f.observer->update(c, f.value);
    }

    if (!split_due(leaf, depth)) {
        return false;
    }
    return split_criterion.choice() == SplitCriterionChoice::kGini
               ? attempt_split<GiniCriterion>(leaf)
                                     : attempt_split<InfoGainCriterion>(leaf);
}

bool HoeffdingTreeClassifier::split_due(const ClassifierNode& leaf, std::int64_t depth) const {
    if (grace_period == 0 || depth >= max_depth || classes_.size() < 2) {
        return false;
    }
    const double weight = leaf.total_weight;
    // NaN and weights beyond the int64 range are never truncated.
    if (!(weight >= 2.0) || !(weight < kInt64Limit)) {
        return false;
    }
    return static_cast<std::int64_t>(weight) % grace_period == 0;
}

template <class Criterion>
bool HoeffdingTreeClassifier::attempt_split(ClassifierNode& leaf) {
    candidates_.clear();
    for (auto& entry : leaf.observers) {
        candidates_.push_back(&entry);
    }
    if (candidates_.empty()) {
        return false;
    }
    std::sort(candidates_.begin(), candidates_.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });

    const double bound =
        hoeffding_bound(Criterion::range(classes_.size()), split_confidence, leaf.total_weight);
    const std::span<const double> pre(leaf.weights);

    merits_.clear();
    std::size_t best_index = 0;
    if (!no_pre_prune) {
        const std::array<Branch, 1> keep{Branch{pre, leaf.total_weight}};
        best_.is_null = true;
        best_.feature = nullptr;
        best_.merit = Criterion::merit(pre, leaf.total_weight, keep);
        merits_.push_back(best_.merit);
    }
    if (subspace_size_ > 0 && static_cast<std::size_t>(subspace_size_) < candidates_.size()) {
        shuffle(rng_, candidates_);
        candidates_.resize(static_cast<std::size_t>(subspace_size_));
    }
    for (auto* entry : candidates_) {
        if (!best_threshold<Criterion>(entry->second, pre, leaf.total_weight, n_split_points,
                                       workspace_, trial_)) {
            continue;
        }
        trial_.feature = &entry->first;
        merits_.push_back(trial_.merit);
        // The first candidate is the best so far; later ones must beat it.
        if (merits_.size() == 1 || trial_.merit > best_.merit) {
            std::swap(trial_, best_);
            best_index = merits_.size() - 1;
        }
    }
    if (merits_.empty() || best_.is_null || !(best_.merit > kNegInf)) {
        return false;
    }
    double second = kNegInf;
    for (std::size_t i = 0; i < merits_.size(); ++i) {
        if (i != best_index && merits_[i] > second) {
            second = merits_[i];
        }
    }
    if (merits_.size() == 1 || best_.merit - second > bound || bound < tie_threshold) {
        split(leaf, best_);
        return true;
    }
    return false;
}

void HoeffdingTreeClassifier::split(ClassifierNode& leaf, const SplitCandidate& best) {
    // Everything that may fail happens before the leaf changes.
    std::string feature = *best.feature;
    std::unique_ptr<ClassifierNode> left = make_child(leaf.labels, best.left_dist);
    std::unique_ptr<ClassifierNode> right = make_child(leaf.labels, best.right_dist);

    leaf.split_feature = std::move(feature);
    leaf.split_threshold = best.threshold;
    leaf.left = std::move(left);
    leaf.right = std::move(right);
    // Statistics live at leaves only.
    decltype(leaf.observers)().swap(leaf.observers);
    std::vector<int>().swap(leaf.labels);
    std::vector<double>().swap(leaf.weights);
    leaf.total_weight = 0.0;
}

HoeffdingTreeClassifier::LeafMode HoeffdingTreeClassifier::leaf_mode(
    const ClassifierNode& leaf) const {
    if (leaf_prediction.choice() == LeafPredictionChoice::kMajority ||
        leaf.total_weight < nb_threshold) {
        return LeafMode::kMajority;
    }
    if (leaf_prediction.choice() == LeafPredictionChoice::kNaiveBayes) {
        return LeafMode::kNaiveBayes;
    }
    return leaf.mc_correct < leaf.nb_correct ? LeafMode::kNaiveBayes : LeafMode::kMajority;
}

int HoeffdingTreeClassifier::naive_bayes_label(ClassifierNode& leaf, const FeatureMap& x) {
    scored_leaf_.node = nullptr;
    leaf.observe(x, features_);
    score_leaf(leaf, kAllClasses);
    scored_names_.resize(features_.size());
    for (std::size_t i = 0; i < features_.size(); ++i) {
        scored_names_[i] = *features_[i].name;
    }
    scored_leaf_.node = &leaf;
    // Start from the majority class: without scores it is the answer.
    int label = leaf.majority_class();
    double best = kNegInf;
    for (std::size_t c = 0; c < scores_.size(); ++c) {
        if (scores_[c] > best) {
            best = scores_[c];
            label = leaf.labels[c];
        }
    }
    return label;
}

bool HoeffdingTreeClassifier::reuse_scores(const ClassifierNode& leaf, const FeatureMap& x) {
    if (scored_leaf_.node != &leaf || x.size() != features_.size()) {
        return false;
    }
    std::size_t i = 0;
    for (const auto& [name, value] : x) {
        // Bit for bit: only an identical sample is known to score identically.
        if (std::bit_cast<std::uint64_t>(features_[i].value) != std::bit_cast<std::uint64_t>(value) ||
            scored_names_[i] != name) {
            return false;
        }
        ++i;
    }
    i = 0;
    for (const auto& entry : x) {
        features_[i++].name = &entry.first;
    }
    return true;
}

int HoeffdingTreeClassifier::predict_one(const FeatureMap& x) {
    if (!root_) {
        return 0;
    }
    ClassifierNode& leaf = *route_to_leaf(*root_, 0, x).leaf;
    return leaf_mode(leaf) == LeafMode::kMajority ? leaf.majority_class()
                                                  : naive_bayes_label(leaf, x);
}

ProbabilityMap HoeffdingTreeClassifier::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap proba;
    if (!root_) {
        return proba;
    }
    proba.reserve(classes_.size());
    ClassifierNode& leaf = *route_to_leaf(*root_, 0, x).leaf;
    if (leaf.total_weight <= 0.0) {
        if (classes_.empty()) {
            return proba;
        }
        const double uniform = 1.0 / static_cast<double>(classes_.size());
        for (int label : classes_) {
            proba.emplace(label, uniform);
        }
        return proba;
    }
    if (leaf_mode(leaf) == LeafMode::kMajority) {
        for (std::size_t c = 0; c < leaf.labels.size(); ++c) {
            proba.emplace(leaf.labels[c], leaf.weights[c] / leaf.total_weight);
        }
    } else {
        scored_leaf_.node = nullptr;
        leaf.observe(x, features_);
        leaf.likelihood_products(features_, products_);
        // Products that all underflow are normalised from the log scores.
        normalise_class_terms(products_, log_scratch_, [&](std::span<double> logs) {
            score_leaf(leaf, kAllClasses);
            std::copy_n(scores_.begin(), logs.size(), logs.begin());
        });
        for (std::size_t c = 0; c < products_.size(); ++c) {
            proba.emplace(leaf.labels[c], products_[c]);
        }
    }
    for (int label : classes_) {
        proba.try_emplace(label, 0.0);
    }
    return proba;
}

void HoeffdingTreeClassifier::reset() {
    scored_leaf_.node = nullptr;
    root_ = std::make_unique<ClassifierNode>();
    classes_.clear();
}

void HoeffdingTreeClassifier::set_subspace(int size, std::int32_t seed) {
    subspace_size_ = size;
    seed_generator(rng_, seed);
}

}  // namespace tarvo
