#pragma once

#include "core/regressor.hpp"
#include "neighbors/neighbor_window.hpp"

namespace tarvo {

// k-nearest-neighbour regressor over a sliding window of the most recent
// window_size samples: the inverse-distance weighted mean of the targets of
// the k nearest by the Minkowski distance of order p. A neighbour within
// 1e-10 of the query weighs 1e10.
//
// Memory grows with window_size times the number of distinct feature names
// ever learnt.
class KNNRegressor final : public IRegressor {
public:
    // Throws std::invalid_argument when n_neighbors < 0 or window_size < 1.
    explicit KNNRegressor(int n_neighbors = 5, int window_size = 1000, int p = 2);

    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override;

    [[nodiscard]] int n_neighbors() const noexcept { return n_neighbors_; }
    // Throws std::invalid_argument, keeping the current value, when k < 0.
    void set_n_neighbors(int k) { n_neighbors_ = checked_n_neighbors(k); }

    [[nodiscard]] const NeighborWindow<double>& window() const noexcept { return window_; }

    int p;  // order of the distance

private:
    int n_neighbors_;
    NeighborWindow<double> window_;
};

}  // namespace tarvo
