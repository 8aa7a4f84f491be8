#include "neighbors/knn_classifier.hpp"

#include "core/archive.hpp"

#include <cstddef>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tarvo {

KNNClassifier::KNNClassifier(int n_neighbors, int window_size, int p)
    : p(p), n_neighbors_(checked_n_neighbors(n_neighbors)), window_(checked_window_size(window_size)) {}

void KNNClassifier::learn_one(const FeatureMap& x, int y) { window_.add(x, y); }

int KNNClassifier::predict_one(const FeatureMap& x) {
    const auto neighbors = window_.nearest(x, static_cast<std::size_t>(n_neighbors_), p);
    // Counts per label in order of first appearance among the neighbours.
    std::vector<std::pair<int, std::size_t>> counts;
    std::unordered_map<int, std::size_t> slot;
    for (const auto& n : neighbors) {
        const auto [it, inserted] = slot.try_emplace(n.payload, counts.size());
        if (inserted) {
            counts.emplace_back(n.payload, 0);
        }
        counts[it->second].second += 1;
    }
    int best = -1;
    std::size_t best_count = 0;
    for (const auto& [label, count] : counts) {
        if (count > best_count) {  // ties keep the label met first
            best = label;
            best_count = count;
        }
    }
    return best;
}

ProbabilityMap KNNClassifier::predict_proba_one(const FeatureMap& x) {
    const auto neighbors = window_.nearest(x, static_cast<std::size_t>(n_neighbors_), p);
    ProbabilityMap proba;
    if (neighbors.empty()) {
        return proba;
    }
    const double share = 1.0 / static_cast<double>(neighbors.size());
    for (const auto& n : neighbors) {
        proba[n.payload] += share;
    }
    return proba;
}

void KNNClassifier::reset() { window_.clear(); }

template <class Archive>
void KNNClassifier::fields(Archive& ar) {
    archive_neighbors(ar, n_neighbors_, p, window_);
}

TARVO_ARCHIVE_FIELDS(KNNClassifier);

}  // namespace tarvo
