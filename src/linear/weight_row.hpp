#pragma once

#include "linear/feature_slots.hpp"
#include "linear/sparse_weights.hpp"

namespace tarvo {

// One linear function of the features: a bias and sparse weights.
struct WeightRow {
    double bias = 0.0;
    SparseWeights weights;

    // bias + the sum of weight * value over the sample's features that have a
    // weight, accumulated with fused multiply-add in the sample's order.
    // Every linear model scores through this one loop.
    [[nodiscard]] double score(const SlotSample& sample) const noexcept;

    template <class Archive>
    void fields(Archive& ar) {
        ar(bias, weights);
    }

    void clear() noexcept {
        bias = 0.0;
        weights.clear();
    }
};

}  // namespace tarvo
