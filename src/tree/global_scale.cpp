#include "tree/global_scale.hpp"

#include <cmath>

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
        // A feature's statistics move only with its own value, which the
        // sample holds once: they are final as soon as it is folded in.
        RunningSums& s = features[name];
        s.update(v);
        scaled.push_back(ScaledFeature{&name, v, standardise(s, v)});
    }
}

void GlobalScale::scale(const FeatureMap& x, std::vector<ScaledFeature>& scaled) const {
    scaled.clear();
    for (const auto& [name, v] : x) {
        const auto it = features.find(name);
        scaled.push_back(ScaledFeature{&name, v,
                                       it == features.end() ? Standardised{0.0, false}
                                                            : standardise(it->second, v)});
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

}  // namespace tarvo
