#include "preprocessing/min_max_scaler.hpp"

#include "core/archive.hpp"

namespace tarvo {

void MinMaxScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) {
        FeatureRange& r = stats_.try_emplace(name).first->second;
        if (!r.min || *r.min > v) {
            r.min = v;
        }
        if (!r.max || *r.max < v) {
            r.max = v;
        }
    }
}

FeatureMap MinMaxScaler::transform_one(const FeatureMap& x) {
    FeatureMap out = x;
    transform_in_place(out);
    return out;
}

void MinMaxScaler::transform_in_place(FeatureMap& x) {
    for (auto& [name, v] : x) {
        const auto it = stats_.find(name);
        if (it == stats_.end() || !it->second.min || !it->second.max) {
            v = 0.0;
            continue;
        }
        const double low = *it->second.min;
        const double range = *it->second.max - low;
        v = range != 0.0 ? (v - low) / range : 0.0;
    }
}

template <class Archive>
void MinMaxScaler::fields(Archive& ar) {
    ar(stats_);
}

TARVO_ARCHIVE_FIELDS(MinMaxScaler);

}  // namespace tarvo
