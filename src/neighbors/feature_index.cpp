#include "neighbors/feature_index.hpp"

namespace tarvo {

void FeatureIndex::add(const FeatureMap& x, std::vector<std::size_t>& positions) {
    positions.clear();
    positions.reserve(x.size());
    for (const auto& [name, value] : x) {
        positions.push_back(numbers_.add(name, kBound));
    }
}

std::vector<double> FeatureIndex::dense(const FeatureMap& x) const {
    std::vector<double> out(numbers_.size(), 0.0);
    for (const auto& [name, value] : x) {
        const FeatureNumber position = numbers_.find(name);
        if (position != kNoFeature) {
            out[position] = value;
        }
    }
    return out;
}

}  // namespace tarvo
