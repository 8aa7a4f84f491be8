#include "tree/global_scale.hpp"

#include <cmath>

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
        auto& feature = features_.add_entry(name, kBound);
        // A feature's statistics move only with its own value, which the
        // sample holds once: they are final as soon as it is folded in.
        RunningSums& s = feature.payload;
        s.update(v);
        scaled.push_back(ScaledFeature{feature.number, v, standardise(s, v)});
    }
}

void GlobalScale::scale(const FeatureMap& x, std::vector<ScaledFeature>& scaled) const {
    scaled.clear();
    for (const auto& [name, v] : x) {
        const auto* feature = features_.find_entry(name);
        scaled.push_back(feature == nullptr
                             ? ScaledFeature{kNoFeature, v, Standardised{0.0, false}}
                             : ScaledFeature{feature->number, v, standardise(feature->payload, v)});
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
    // A table of name -> (statistics, number).
    features_.fields_with(ar, kBound, [](Archive& a, auto& feature) { a(feature.payload, feature.number); });
}

TARVO_ARCHIVE_FIELDS(GlobalScale);

}  // namespace tarvo
