#pragma once

#include "core/classifier.hpp"
#include "neighbors/neighbor_window.hpp"

namespace tarvo {

// k-nearest-neighbour classifier over a sliding window of the most recent
// window_size samples: a majority vote of the k nearest by the Minkowski
// distance of order p.
//
// Vote ties go to the label met first among the neighbours, closest first.
// Memory grows with window_size times the number of distinct feature names
// ever learnt.
class KNNClassifier final : public IClassifier {
public:
    // Throws std::invalid_argument when n_neighbors < 0 or window_size < 1.
    explicit KNNClassifier(int n_neighbors = 5, int window_size = 1000, int p = 2);

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    [[nodiscard]] int n_neighbors() const noexcept { return n_neighbors_; }
    // Throws std::invalid_argument, keeping the current value, when k < 0.
    void set_n_neighbors(int k) { n_neighbors_ = checked_n_neighbors(k); }

    [[nodiscard]] const NeighborWindow<int>& window() const noexcept { return window_; }

    int p;  // order of the distance

private:
    int n_neighbors_;
    NeighborWindow<int> window_;
};

}  // namespace tarvo
