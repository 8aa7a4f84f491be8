#include "neighbors/feature_index.hpp"

#include <iterator>

#include "core/fresh_container.hpp"

namespace tarvo {

void FeatureIndex::add(const FeatureMap& x, std::vector<std::size_t>& positions) {
    positions.clear();
    positions.reserve(x.size());
    for (const auto& [name, value] : x) {
        const auto [it, inserted] = positions_.try_emplace(name, size_);
        size_ += inserted ? 1 : 0;
        positions.push_back(it->second);
    }
}

std::vector<double> FeatureIndex::dense(const FeatureMap& x) const {
    std::vector<double> out(size_, 0.0);
    for (const auto& [name, value] : x) {
        const auto it = positions_.find(name);
        if (it != positions_.end()) {
            out[it->second] = value;
        }
    }
    return out;
}

void FeatureIndex::truncate(std::size_t size) noexcept {
    if (size >= size_) {
        return;
    }
    for (auto it = positions_.begin(); it != positions_.end();) {
        it = it->second >= size ? positions_.erase(it) : std::next(it);
    }
    size_ = size;
}

void FeatureIndex::clear() noexcept {
    replace_with_empty(positions_);
    size_ = 0;
}

}  // namespace tarvo
