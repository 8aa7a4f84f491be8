#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/feature_map.hpp"
#include "core/feature_numbering.hpp"

namespace tarvo {

// Dense positions for feature names: 0, 1, 2, ... in order of first
// appearance. Positions are never taken back while the index lives (only
// reset and a failed learning step's roll-back forget names).
class FeatureIndex {
public:
    // Number of names known, the position the next new name receives.
    [[nodiscard]] std::size_t size() const noexcept { return numbers_.size(); }

    // The position of every feature of x in the iteration order of x, giving
    // positions to names not yet known. Throws std::length_error beyond
    // 2^32 - 1 names, having given positions to the names before.
    void add(const FeatureMap& x, std::vector<std::size_t>& positions);

    // A vector of size() zeros holding each known feature of x at its
    // position; unknown features of x are ignored.
    [[nodiscard]] std::vector<double> dense(const FeatureMap& x) const;

    // Forgets every name at position `size` or later.
    void truncate(std::size_t size) noexcept { numbers_.truncate(size); }

    void clear() noexcept { numbers_.clear(); }

    [[nodiscard]] const FeatureNumbering& positions() const noexcept { return numbers_; }

    // Every field, for saving and restoring (core/archive.hpp): the names
    // with their positions, then their count.
    template <class Archive>
    void fields(Archive& ar) {
        numbers_.fields_as<std::uint64_t>(ar, kBound);
        std::uint64_t size = numbers_.size();
        ar(size);
        ar.check(size == numbers_.size(), "the feature positions do not match their count");
    }

private:
    static constexpr NumberingBound kBound{kNoFeature, "too many feature names for a neighbour window"};

    FeatureNumbering numbers_;
};

}  // namespace tarvo
