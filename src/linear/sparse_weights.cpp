#include "linear/sparse_weights.hpp"

#include <unordered_set>
#include <utility>

#include "core/archive.hpp"

namespace tarvo {

double& SparseWeights::at(std::uint32_t slot) {
    // Grow first, so that the cell found below stays where it is.
    if (4 * (size_ + 1) > 3 * cells_.size()) {
        grow();
    }
    std::size_t i = home(slot);
    while (cells_[i].slot != slot) {
        if (cells_[i].slot == kEmpty) {
            cells_[i].slot = slot;
            cells_[i].weight = 0.0;
            ++size_;
            break;
        }
        i = (i + 1) & mask_;
    }
    return cells_[i].weight;
}

void SparseWeights::clear() noexcept {
    cells_.clear();
    cells_.shrink_to_fit();
    size_ = 0;
    mask_ = 0;
    shift_ = 64;
}

void SparseWeights::grow() {
    const std::size_t capacity = cells_.empty() ? 8 : 2 * cells_.size();
    std::vector<Cell> old = std::exchange(cells_, std::vector<Cell>(capacity));
    mask_ = capacity - 1;
    shift_ = 64;
    for (std::size_t c = capacity; c > 1; c >>= 1) {
        --shift_;
    }
    for (const Cell& c : old) {
        if (c.slot == kEmpty) {
            continue;
        }
        std::size_t i = home(c.slot);
        while (cells_[i].slot != kEmpty) {
            i = (i + 1) & mask_;
        }
        cells_[i] = c;
    }
}

template <class Archive>
void SparseWeights::fields(Archive& ar) {
    if constexpr (Archive::kLoading) {
        // An empty cell takes 4 bytes, a used one 12.
        const std::size_t capacity = ar.get_count(sizeof(std::uint32_t));
        ar.check(capacity == 0 || (capacity >= 8 && (capacity & (capacity - 1)) == 0),
                 "a weight table has an impossible size");
        clear();
        cells_.resize(capacity);
        for (Cell& c : cells_) {
            ar(c.slot);
            if (c.slot != kEmpty) {
                ar(c.weight);
                ++size_;
            }
        }
        if (capacity != 0) {
            mask_ = capacity - 1;
            shift_ = 64;
            for (std::size_t c = capacity; c > 1; c >>= 1) {
                --shift_;
            }
        }
        // At most three quarters full (so probing always meets an empty
        // cell), and every weight found where a lookup looks for it: its cell
        // is reached from its home cell through used cells only, and no slot
        // is there twice. Checked in one pass from an empty cell, in time
        // linear in the table (a lookup per cell could take quadratic time on
        // a crafted table of long runs).
        ar.check(4 * size_ <= 3 * capacity, "a weight table is too full");
        std::size_t start = 0;
        while (start < capacity && cells_[start].slot != kEmpty) {
            ++start;
        }
        std::unordered_set<std::uint32_t> seen;
        seen.reserve(size_);
        std::size_t run = 0;  // used cells in a row, ending at the current one
        for (std::size_t k = 1; k <= capacity; ++k) {
            const std::size_t i = (start + k) & mask_;
            const Cell& c = cells_[i];
            run = c.slot == kEmpty ? 0 : run + 1;
            const bool placed = c.slot == kEmpty || (((i - home(c.slot)) & mask_) < run &&
                                                     seen.insert(c.slot).second);
            ar.check(placed, "a weight table holds a misplaced or repeated feature");
        }
    } else if constexpr (!Archive::kParamsOnly) {
        ar.put_u64(cells_.size());
        for (Cell& c : cells_) {
            ar(c.slot);
            if (c.slot != kEmpty) {
                ar(c.weight);
            }
        }
    }
}

TARVO_ARCHIVE_FIELDS(SparseWeights);

}  // namespace tarvo
