#include "tree/global_scale.hpp"

#include <cmath>
#include <stdexcept>

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
        auto [it, added] = features.try_emplace(name, Feature{RunningSums{}, kNoFeature});
        if (added) {
            if (names_.size() >= kNoFeature) {
                features.erase(it);
                throw std::length_error("too many feature names");
            }
            try {
                names_.push_back(&it->first);  // keys stay in place while the table grows
            } catch (...) {
                features.erase(it);
                throw;
            }
            it->second.index = static_cast<FeatureNumber>(names_.size() - 1);
        }
        // A feature's statistics move only with its own value, which the
        // sample holds once: they are final as soon as it is folded in.
        RunningSums& s = it->second.sums;
        s.update(v);
        scaled.push_back(ScaledFeature{it->second.index, v, standardise(s, v)});
    }
}

void GlobalScale::scale(const FeatureMap& x, std::vector<ScaledFeature>& scaled) const {
    scaled.clear();
    for (const auto& [name, v] : x) {
        const auto it = features.find(name);
        scaled.push_back(it == features.end()
                             ? ScaledFeature{kNoFeature, v, Standardised{0.0, false}}
                             : ScaledFeature{it->second.index, v, standardise(it->second.sums, v)});
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
    ar(target, features);
    if constexpr (Archive::kLoading) {
        ar.check(features.size() <= kNoFeature, "too many feature names");
        names_.assign(features.size(), nullptr);
        for (const auto& [name, feature] : features) {
            ar.check(feature.index < names_.size() && names_[feature.index] == nullptr,
                     "the feature numbers are not 0 .. n - 1");
            names_[feature.index] = &name;
        }
    }
}

TARVO_ARCHIVE_FIELDS(GlobalScale);

}  // namespace tarvo
