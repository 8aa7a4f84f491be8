#pragma once

#include <span>
#include <string>
#include <vector>

#include "tree/gaussian_observer.hpp"

namespace tarvo {

// One evaluated split of a leaf: the null split (keep the leaf) or a
// threshold on a feature, with its merit and the estimated class weights of
// the two children, by the leaf's class index.
struct SplitCandidate {
    bool is_null = false;
    const std::string* feature = nullptr;  // the key in the leaf's observer table
    double threshold = 0.0;
    double merit = 0.0;
    std::vector<double> left_dist;
    std::vector<double> right_dist;
    double left_total = 0.0;
    double right_total = 0.0;
};

// Buffers reused from one split attempt to the next.
struct SplitWorkspace {
    std::vector<double> thresholds;
    std::vector<double> left;
    std::vector<double> right;
};

// The candidate thresholds strictly inside (lo, hi): lo + i * step for
// i = 1 .. n_split_points, step = (hi - lo) / (n_split_points + 1), ascending
// and without duplicates. Empty when lo < hi fails or n_split_points <= 0.
void threshold_grid(double lo, double hi, int n_split_points, std::vector<double>& out);

// The best threshold of one feature under Criterion: the first threshold in
// ascending order whose merit is strictly the highest. pre is the leaf's
// class weights with its total weight. Returns false when the feature has no
// candidate threshold; otherwise out holds the candidate, whose merit is -inf
// (threshold 0, empty distributions) when no threshold scored above -inf.
template <class Criterion>
bool best_threshold(const GaussianObserver& observer, std::span<const double> pre,
                    double pre_total, int n_split_points, SplitWorkspace& ws,
                    SplitCandidate& out);

}  // namespace tarvo
