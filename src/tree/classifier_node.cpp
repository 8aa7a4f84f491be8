#include "tree/classifier_node.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

#include "tree/node_walk.hpp"

namespace tarvo {

namespace {
constexpr double kDensityFloor = 1e-300;

}  // namespace

template <class Start, class Fold>
void ClassifierNode::fold_features(std::span<const ObservedFeature> features,
                                   std::vector<double>& out, Start start, Fold fold) const {
    out.clear();
    if (total_weight <= 0.0) {
        return;
    }
    out.resize(labels.size());
    for (std::size_t c = 0; c < labels.size(); ++c) {
        out[c] = start(weights[c] / total_weight);
    }
    for (const ObservedFeature& f : features) {
        if (f.observer == nullptr) {
            continue;
        }
        const auto stats = f.observer->per_class();
        const std::size_t n = std::min(stats.size(), out.size());
        for (std::size_t c = 0; c < n; ++c) {
            if (stats[c].n > 0.0) {
                // A NaN density stays NaN (std::max keeps its first argument).
                out[c] = fold(out[c], std::max(stats[c].density(f.value), kDensityFloor));
            }
        }
    }
}

ClassifierNode::~ClassifierNode() {
    dismantle(std::move(left));
    dismantle(std::move(right));
}

std::size_t ClassifierNode::class_index(int label) const noexcept {
    const auto it = std::find(labels.begin(), labels.end(), label);
    return it == labels.end() ? npos : static_cast<std::size_t>(it - labels.begin());
}

std::size_t ClassifierNode::class_index_or_add(int label) {
    const std::size_t index = class_index(label);
    if (index != npos) {
        return index;
    }
    weights.reserve(weights.size() + 1);
    labels.push_back(label);
    weights.push_back(0.0);
    return labels.size() - 1;
}

int ClassifierNode::majority_class() const noexcept {
    if (labels.empty()) {
        return 0;
    }
    std::size_t best = 0;
    for (std::size_t i = 1; i < labels.size(); ++i) {
        if (weights[i] > weights[best]) {
            best = i;
        }
    }
    return labels[best];
}

void ClassifierNode::observe(const FeatureMap& x, std::vector<ObservedFeature>& out) {
    out.clear();
    for (const auto& [name, value] : x) {
        const auto it = observers.find(name);
        out.push_back({&name, value, it == observers.end() ? nullptr : &it->second});
    }
}

void ClassifierNode::log_terms(std::span<const ObservedFeature> features, std::size_t class_index,
                               std::span<double> out) const {
    for (std::size_t i = 0; i < features.size(); ++i) {
        const ObservedFeature& f = features[i];
        out[i] = kNoTerm;
        if (f.observer == nullptr) {
            continue;
        }
        const auto stats = f.observer->per_class();
        if (class_index < stats.size() && stats[class_index].n > 0.0) {
            // A NaN density stays NaN (std::max keeps its first argument).
            out[i] = std::log(std::max(stats[class_index].density(f.value), kDensityFloor));
        }
    }
}

void ClassifierNode::sum_log_terms(std::size_t n_features, std::span<const double> terms,
                                   std::vector<double>& out) const {
    out.clear();
    if (total_weight <= 0.0) {
        return;
    }
    out.resize(labels.size());
    for (std::size_t c = 0; c < labels.size(); ++c) {
        double acc = std::log(weights[c] / total_weight);
        for (const double term : terms.subspan(c * n_features, n_features)) {
            if (term != kNoTerm) {
                acc = acc + term;
            }
        }
        out[c] = acc;
    }
}

void ClassifierNode::likelihood_products(std::span<const ObservedFeature> features,
                                         std::vector<double>& out) const {
    fold_features(
        features, out, [](double prior) { return prior; },
        [](double acc, double density) { return acc * density; });
}

}  // namespace tarvo
