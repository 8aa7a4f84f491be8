#include "tree/regression_leaf.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "tree/hoeffding_bound.hpp"

namespace tarvo {

namespace {

constexpr double kMaxStandardScore = 3.0;  // bound on the model's corrections and errors
constexpr double kPhiAtZero = 0.5;         // the normal CDF at the threshold = feature mean
constexpr double kMinFraction = 0.01;

// NaN passes through unchanged, like std::clamp, but without its precondition.
[[nodiscard]] double clamp(double v, double lo, double hi) noexcept {
    return v < lo ? lo : (hi < v ? hi : v);
}

[[nodiscard]] double standard_deviation(const RunningStats& s) noexcept {
    return s.n > 1.0 ? std::sqrt(s.sample_variance()) : 0.0;
}

// The value in standard deviations from the feature's mean; 0 without spread.
[[nodiscard]] double standardise(const RunningStats& s, double v) noexcept {
    const double sd = standard_deviation(s);
    return sd > 0.0 ? (v - s.mean) / sd : 0.0;
}

// Estimated fraction of a feature's values at or below its own mean: all of
// them for a constant feature, half otherwise, never below 1% on a side.
[[nodiscard]] double fraction_below_mean(const RunningStats& s) noexcept {
    const double p = standard_deviation(s) == 0.0 ? 1.0 : kPhiAtZero;
    return clamp(p, kMinFraction, 1.0 - kMinFraction);
}

[[nodiscard]] double spread_gain(double fraction_left) noexcept {
    return 1.0 - std::pow(fraction_left, 1.5) - std::pow(1.0 - fraction_left, 1.5);
}

}  // namespace

double RegressionLeaf::target_sd() const noexcept { return standard_deviation(target); }

double RegressionLeaf::bound_to_target(double score) const noexcept {
    const double sd = target_sd();
    if (sd > 0.0) {
        const double reach = kMaxStandardScore * sd;
        return clamp(target.mean + score * sd, target.mean - reach, target.mean + reach);
    }
    return target.mean + score;
}

double RegressionLeaf::linear_prediction(const FeatureMap& x) const {
    double score = bias;
    for (const auto& [name, value] : x) {
        const auto it = features.find(name);
        if (it != features.end() && it->second.has_weight) {
            score += it->second.weight * standardise(it->second.stats, value);
        }
    }
    return bound_to_target(score);
}

void RegressionLeaf::learn(const FeatureMap& x, double y, double learning_rate,
                           std::vector<Touched>& touched) {
    gather(x, touched);
    learn_gathered(y, learning_rate, touched);
}

void RegressionLeaf::gather(const FeatureMap& x, std::vector<Touched>& touched) {
    // One lookup per feature: the entries found here serve every step below.
    // A new entry has no weight, so creating it leaves the old score unchanged.
    touched.clear();
    for (const auto& [name, value] : x) {
        touched.push_back(Touched{&features[name], value, 0.0});
    }
}

void RegressionLeaf::learn_gathered(double y, double learning_rate,
                                    std::vector<Touched>& touched) {
    if (count > 0) {
        double score = bias;
        for (const Touched& t : touched) {
            if (t.feature->has_weight) {
                score += t.feature->weight * standardise(t.feature->stats, t.value);
            }
        }
        const double mean_error = y - target.mean;
        const double linear_error = y - bound_to_target(score);
        sse_mean += mean_error * mean_error;
        sse_linear += linear_error * linear_error;
    }

    target.update(y);
    count += 1;
    for (const Touched& t : touched) {
        t.feature->stats.update(t.value);
    }

    const double sd = target_sd();
    if (!(sd > 0.0)) {
        return;
    }
    const double y_standard = (y - target.mean) / sd;
    double prediction = bias;
    for (Touched& t : touched) {
        t.z = standardise(t.feature->stats, t.value);
        if (t.feature->has_weight) {
            prediction += t.feature->weight * t.z;
        }
    }
    const double err = clamp(y_standard - prediction, -kMaxStandardScore, kMaxStandardScore);
    for (const Touched& t : touched) {
        t.feature->weight += learning_rate * clamp(err * t.z, -kMaxStandardScore, kMaxStandardScore);
        t.feature->has_weight = true;
    }
    bias += learning_rate * err;
}

bool RegressionLeaf::split_due(std::int32_t grace_period) const noexcept {
    // 64-bit remainder: no overflow even for the most negative grace period.
    const std::int64_t grace = grace_period;
    return grace != 0 && count % grace == 0 && count > 1 && target_sd() > 0.0 &&
           !features.empty();
}

std::optional<RegressionLeaf::Split> RegressionLeaf::choose_split(double split_confidence,
                                                                  double tie_threshold) const {
    using Entry = std::pair<const std::string, Feature>;
    std::vector<const Entry*> by_name;
    by_name.reserve(features.size());
    for (const Entry& e : features) {
        by_name.push_back(&e);
    }
    std::sort(by_name.begin(), by_name.end(),
              [](const Entry* a, const Entry* b) { return a->first < b->first; });

    const double sd = target_sd();
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    double best = kNone;
    double second = kNone;
    const Entry* best_entry = nullptr;
    for (const Entry* e : by_name) {
        const RunningStats& s = e->second.stats;
        if (s.n <= 0.0) {
            continue;
        }
        const double merit = target.n < 2.0 ? 0.0 : sd * spread_gain(fraction_below_mean(s));
        if (merit > best) {
            second = best;
            best = merit;
            best_entry = e;
        } else if (merit > second) {
            second = merit;
        }
    }
    if (best_entry == nullptr || !(best > 0.0)) {
        return std::nullopt;
    }

    const double epsilon =
        hoeffding_bound(sd, split_confidence, static_cast<double>(count));
    const double gap = best - second;
    if (gap > epsilon || (gap < tie_threshold && epsilon < tie_threshold)) {
        const RunningStats& s = best_entry->second.stats;
        return Split{&best_entry->first, s.mean, fraction_below_mean(s)};
    }
    return std::nullopt;
}

RegressionLeaf RegressionLeaf::share(double fraction) const {
    RegressionLeaf child;
    child.target = RunningStats{fraction * target.n, target.mean, fraction * target.m2};
    // count >= 0 and 0 < fraction < 1: the product is finite and in range.
    child.count = static_cast<std::int64_t>(fraction * static_cast<double>(count));
    child.features = features;
    for (auto& [name, f] : child.features) {
        f.stats.n *= fraction;
        f.stats.m2 *= fraction;
    }
    child.bias = bias;
    return child;
}

}  // namespace tarvo
