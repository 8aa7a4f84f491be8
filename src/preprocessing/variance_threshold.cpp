#include "preprocessing/variance_threshold.hpp"

#include "core/archive.hpp"

namespace tarvo {

void VarianceThreshold::learn_one(const FeatureMap& x) {
    for (const auto& [name, v] : x) {
        stats_.try_emplace(name).first->second.update(v);
    }
}

bool VarianceThreshold::drops(const std::string& name) const {
    const auto it = stats_.find(name);
    if (it == stats_.end() || it->second.count < static_cast<double>(min_samples)) {
        return false;
    }
    return !(it->second.variance() > threshold);
}

FeatureMap VarianceThreshold::transform_one(const FeatureMap& x) {
    FeatureMap out;
    out.reserve(x.size());
    for (const auto& entry : x) {
        if (!drops(entry.first)) {
            out.insert(entry);
        }
    }
    return out;
}

void VarianceThreshold::transform_in_place(FeatureMap& x) {
    std::erase_if(x, [this](const auto& entry) { return drops(entry.first); });
}

template <class Archive>
void VarianceThreshold::fields(Archive& ar) {
    ar.param("threshold", threshold);
    ar.param("min_samples", min_samples);
    ar(stats_);
}

TARVO_ARCHIVE_FIELDS(VarianceThreshold);

}  // namespace tarvo
