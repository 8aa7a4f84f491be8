#include "preprocessing/standard_scaler.hpp"

#include <cmath>

#include "core/archive.hpp"

namespace tarvo {

void StandardScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) {
        FeatureMoments& s = stats_.try_emplace(name).first->second;
        if (with_std) {
            const double n = s.count + 1.0;
            const double delta = v - s.mean;
            s.mean += delta / n;
            s.variance += (delta * (v - s.mean) - s.variance) / n;
            s.count = n;
        } else {
            s.count += 1.0;
            s.mean += (v - s.mean) / s.count;
        }
    }
}

FeatureMap StandardScaler::transform_one(const FeatureMap& x) {
    FeatureMap out = x;
    transform_in_place(out);
    return out;
}

void StandardScaler::transform_in_place(FeatureMap& x) {
    for (auto& [name, v] : x) {
        const auto it = stats_.find(name);
        if (with_std) {
            v = (it == stats_.end() || it->second.variance == 0.0)
                    ? 0.0
                    : (v - it->second.mean) / std::sqrt(it->second.variance);
        } else if (it != stats_.end()) {
            v -= it->second.mean;
        }
    }
}

template <class Archive>
void StandardScaler::fields(Archive& ar) {
    ar.param("with_std", with_std);
    ar(stats_);
}

TARVO_ARCHIVE_FIELDS(StandardScaler);

}  // namespace tarvo
