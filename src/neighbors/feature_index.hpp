#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/feature_map.hpp"

namespace tarvo {

// Dense positions for feature names: 0, 1, 2, ... in order of first
// appearance. Positions are never taken back while the index lives (only
// reset and a failed learning step's roll-back forget names).
class FeatureIndex {
public:
    // Number of names known, the position the next new name receives.
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    // The position of every feature of x in the iteration order of x, giving
    // positions to names not yet known.
    void add(const FeatureMap& x, std::vector<std::size_t>& positions);

    // A vector of size() zeros holding each known feature of x at its
    // position; unknown features of x are ignored.
    [[nodiscard]] std::vector<double> dense(const FeatureMap& x) const;

    // Forgets every name at position `size` or later.
    void truncate(std::size_t size) noexcept;

    void clear() noexcept;

    [[nodiscard]] const std::unordered_map<std::string, std::size_t>& positions() const noexcept {
        return positions_;
    }

private:
    std::unordered_map<std::string, std::size_t> positions_;
    std::size_t size_ = 0;
};

}  // namespace tarvo
