#include "preprocessing/max_abs_scaler.hpp"

#include <cmath>

#include "core/archive.hpp"

namespace tarvo {

void MaxAbsScaler::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) {
        double& largest = stats_.try_emplace(name, 0.0).first->second;
        const double magnitude = std::fabs(v);
        if (magnitude > largest) {
            largest = magnitude;
        }
    }
}

FeatureMap MaxAbsScaler::transform_one(const FeatureMap& x) {
    FeatureMap out = x;
    transform_in_place(out);
    return out;
}

void MaxAbsScaler::transform_in_place(FeatureMap& x) {
    for (auto& [name, v] : x) {
        const auto it = stats_.find(name);
        v = (it != stats_.end() && it->second != 0.0) ? v / it->second : 0.0;
    }
}

template <class Archive>
void MaxAbsScaler::fields(Archive& ar) {
    ar(stats_);
}

TARVO_ARCHIVE_FIELDS(MaxAbsScaler);

}  // namespace tarvo
