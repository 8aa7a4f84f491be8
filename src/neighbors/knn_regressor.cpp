#include "neighbors/knn_regressor.hpp"

#include "core/archive.hpp"

#include <cstddef>
#include <limits>

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
    ar.param("n_neighbors", n_neighbors_);
    auto window_size = static_cast<std::int64_t>(window_.capacity());
    ar.param("window_size", window_size);
    ar.param("p", p);
    if constexpr (Archive::kLoading) {
        ar.check(n_neighbors_ >= 0, "n_neighbors is negative");
        ar.check(window_size >= 1 && window_size <= std::numeric_limits<int>::max(),
                 "window_size is out of range");
        window_ = NeighborWindow<double>(static_cast<std::size_t>(window_size));
    }
    ar(window_);
}

TARVO_ARCHIVE_FIELDS(KNNRegressor);

}  // namespace tarvo
