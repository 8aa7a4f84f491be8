#include "neighbors/knn_regressor.hpp"

#include "core/archive.hpp"

#include <cstddef>

namespace tarvo {

namespace {
constexpr double kDuplicateDistance = 1e-10;
constexpr double kDuplicateWeight = 1e10;
}  // namespace

KNNRegressor::KNNRegressor(int n_neighbors, int window_size, int p)
    : p(p), n_neighbors_(checked_n_neighbors(n_neighbors)), window_(checked_window_size(window_size)) {}

void KNNRegressor::learn_one(const FeatureMap& x, double y) { window_.add(x, y); }

double KNNRegressor::predict_one(const FeatureMap& x) {
    double weighted = 0.0;
    double total = 0.0;
    for (const auto& n : window_.nearest(x, static_cast<std::size_t>(n_neighbors_), p)) {
        // A (near) duplicate of the query dominates the mean.
        const double w = n.distance > kDuplicateDistance ? 1.0 / n.distance : kDuplicateWeight;
        weighted += w * n.payload;
        total += w;
    }
    return total > 0.0 ? weighted / total : 0.0;
}

void KNNRegressor::reset() { window_.clear(); }

template <class Archive>
void KNNRegressor::fields(Archive& ar) {
    archive_neighbors(ar, n_neighbors_, p, window_);
}

TARVO_ARCHIVE_FIELDS(KNNRegressor);

}  // namespace tarvo
