#include "tree/split_suggestion.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <utility>

#include "tree/split_criterion.hpp"

namespace tarvo {

namespace {
double sum(std::span<const double> values) noexcept {
    double total = 0.0;
    for (double v : values) {
        total += v;
    }
    return total;
}
}  // namespace

void threshold_grid(double lo, double hi, int n_split_points, std::vector<double>& out) {
    out.clear();
    if (!(lo < hi) || n_split_points <= 0) {
        return;
    }
    const double step = (hi - lo) / (static_cast<double>(n_split_points) + 1.0);
    // lo + i * step never decreases with i, so duplicates are neighbours.
    for (std::int64_t i = 1; i <= n_split_points; ++i) {
        const double t = lo + static_cast<double>(i) * step;
        if (lo < t && t < hi && (out.empty() || t != out.back())) {
            out.push_back(t);
        }
    }
}

template <class Criterion>
bool best_threshold(const GaussianObserver& observer, std::span<const double> pre,
                    double pre_total, int n_split_points, SplitWorkspace& ws,
                    SplitCandidate& out) {
    out.is_null = false;
    out.threshold = 0.0;
    out.merit = -std::numeric_limits<double>::infinity();
    out.left_dist.clear();
    out.right_dist.clear();
    out.left_total = 0.0;
    out.right_total = 0.0;

    double lo = 0.0;
    double hi = 0.0;
    if (!observer.value_range(lo, hi)) {
        return false;
    }
    threshold_grid(lo, hi, n_split_points, ws.thresholds);
    if (ws.thresholds.empty()) {
        return false;
    }
    const std::size_t n_classes = pre.size();
    for (double t : ws.thresholds) {
        ws.left.resize(n_classes);
        ws.right.resize(n_classes);
        observer.split_weights(t, ws.left, ws.right);
        const double left_total = sum(ws.left);
        const double right_total = sum(ws.right);
        const std::array<Branch, 2> branches{Branch{ws.left, left_total},
                                             Branch{ws.right, right_total}};
        const double merit = Criterion::merit(pre, pre_total, branches);
        if (merit > out.merit) {
            out.merit = merit;
            out.threshold = t;
            out.left_total = left_total;
            out.right_total = right_total;
            std::swap(ws.left, out.left_dist);
            std::swap(ws.right, out.right_dist);
        }
    }
    return true;
}

template bool best_threshold<GiniCriterion>(const GaussianObserver&, std::span<const double>,
                                            double, int, SplitWorkspace&, SplitCandidate&);
template bool best_threshold<InfoGainCriterion>(const GaussianObserver&, std::span<const double>,
                                                double, int, SplitWorkspace&, SplitCandidate&);

}  // namespace tarvo
