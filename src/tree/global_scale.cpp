#include "tree/global_scale.hpp"

#include <cmath>
#include <utility>

#include "core/archive.hpp"

namespace tarvo {

namespace {
constexpr double kSpan = 3.0;  // standard deviations mapped to 1
}  // namespace

Standardised standardise(const RunningSums& sums, double v) noexcept {
    if (!(sums.count > 1.0)) {
        return {0.0, false};
    }
    const double var = sums.population_variance();
    if (!(var > 0.0)) {
        return {0.0, false};
    }
    return {(v - sums.mean()) / (kSpan * std::sqrt(var)), true};
}

void GlobalScale::learn(const FeatureMap& x, double y, std::vector<ScaledFeature>& scaled) {
    target.update(y);
    scaled.clear();
    for (const auto& [name, v] : x) {
        const FeatureNumber index = numbers_.add(name, kBound);
        if (index == sums_.size()) {
            try {
                sums_.emplace_back();
            } catch (...) {
                numbers_.truncate(index);
                throw;
            }
        }
        // A feature's statistics move only with its own value, which the
        // sample holds once: they are final as soon as it is folded in.
        RunningSums& s = sums_[index];
        s.update(v);
        scaled.push_back(ScaledFeature{index, v, standardise(s, v)});
    }
}

void GlobalScale::scale(const FeatureMap& x, std::vector<ScaledFeature>& scaled) const {
    scaled.clear();
    for (const auto& [name, v] : x) {
        const FeatureNumber index = numbers_.find(name);
        scaled.push_back(index == kNoFeature ? ScaledFeature{kNoFeature, v, Standardised{0.0, false}}
                                             : ScaledFeature{index, v, standardise(sums_[index], v)});
    }
}

double GlobalScale::unscale_target(double a) const noexcept {
    if (target.count > 1.0) {
        const double var = target.population_variance();
        if (var > 0.0) {
            return target.mean() + kSpan * a * std::sqrt(var);
        }
    }
    return target_mean();
}

template <class Archive>
void GlobalScale::fields(Archive& ar) {
    ar(target);
    // Saved as a table of name -> (statistics, number), in table order.
    std::vector<std::pair<FeatureNumber, RunningSums>> loaded;
    numbers_.fields_with(ar, kBound, [this, &loaded](Archive& a, FeatureNumber& index) {
        if constexpr (Archive::kLoading) {
            RunningSums& sums = loaded.emplace_back().second;
            a(sums, index);
            loaded.back().first = index;
        } else {
            a(sums_[index], index);
        }
    });
    if constexpr (Archive::kLoading) {
        sums_.assign(numbers_.size(), RunningSums{});
        for (const auto& [index, sums] : loaded) {
            sums_[index] = sums;
        }
    }
}

TARVO_ARCHIVE_FIELDS(GlobalScale);

}  // namespace tarvo
