#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/feature_map.hpp"
#include "tree/gaussian_observer.hpp"

namespace tarvo {

// A feature of the sample at hand with its observer at a leaf (nullptr when
// the leaf has none for it). The name points into the sample.
struct ObservedFeature {
    const std::string* name;
    double value;
    GaussianObserver* observer;
};

// A node of the classification tree: a leaf that collects class weights and
// per-class Gaussian statistics, or an internal node that sends a sample left
// when its value of split_feature is <= split_threshold (absent counts as 0).
// A node owns its children; destroying a node of any depth uses constant
// stack space.
class ClassifierNode {
public:
    ClassifierNode() = default;
    ~ClassifierNode();
    ClassifierNode(const ClassifierNode&) = delete;
    ClassifierNode& operator=(const ClassifierNode&) = delete;

    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    // Position of a label in the leaf's class table, or npos.
    [[nodiscard]] std::size_t class_index(int label) const noexcept;
    // Position of a label, appending it with weight 0 when absent.
    std::size_t class_index_or_add(int label);

    // The label of largest weight; ties keep the earlier entry; 0 when empty.
    [[nodiscard]] int majority_class() const noexcept;

    // Each feature of x with the leaf's observer for it (no insertion).
    void observe(const FeatureMap& x, std::vector<ObservedFeature>& out);

    // Naive Bayes log scores come in two steps, so that a caller whose leaf
    // changed in one class only recomputes that class's terms:
    // log_terms gives, per feature in order, ln(max(density, 1e-300)) of its
    // value under the statistics of one class index, or kNoTerm where the
    // class has none (a value no density gives);
    // sum_log_terms gives per class index ln(weight / total_weight) plus the
    // class's terms other than kNoTerm, summed in feature order (terms holds
    // n_features terms per class, class by class). Empty when total_weight <= 0.
    static constexpr double kNoTerm = -std::numeric_limits<double>::infinity();
    void log_terms(std::span<const ObservedFeature> features, std::size_t class_index,
                   std::span<double> out) const;
    void sum_log_terms(std::size_t n_features, std::span<const double> terms,
                       std::vector<double>& out) const;

    // Per class index: weight / total_weight times max(density, 1e-300) of
    // every feature the class has statistics for. Empty when total_weight <= 0.
    void likelihood_products(std::span<const ObservedFeature> features,
                             std::vector<double>& out) const;

    // A node is a leaf until it splits; a split gives it both children.
    [[nodiscard]] bool is_leaf() const noexcept { return left == nullptr; }

    // Leaf state. Class tables in the order labels reached the leaf; every
    // weight is positive.
    std::vector<int> labels;
    std::vector<double> weights;
    std::unordered_map<std::string, GaussianObserver> observers;
    double total_weight = 0.0;
    double mc_correct = 0.0;
    double nb_correct = 0.0;

    // Internal node state.
    std::string split_feature;
    double split_threshold = 0.0;
    std::unique_ptr<ClassifierNode> left;
    std::unique_ptr<ClassifierNode> right;

private:
    // Per class index: start(prior), then fold(acc, floored density) for
    // every feature in order that the class has statistics for.
    template <class Start, class Fold>
    void fold_features(std::span<const ObservedFeature> features, std::vector<double>& out,
                       Start start, Fold fold) const;
};

}  // namespace tarvo
