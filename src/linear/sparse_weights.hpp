#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "linear/feature_slots.hpp"

namespace tarvo {

// Feature slot -> weight, holding only the slots that learning has given a
// weight (a slot without an entry has weight 0 and contributes nothing, even
// against an infinite or NaN value). Open addressing with linear probing over
// a power-of-two table, at most three quarters full.
class SparseWeights {
public:
    // The weight of `slot`, or null when it has none.
    [[nodiscard]] const double* find(std::uint32_t slot) const noexcept {
        if (size_ == 0) {
            return nullptr;
        }
        for (std::size_t i = home(slot);; i = (i + 1) & mask_) {
            const Cell& c = cells_[i];
            if (c.slot == slot) {
                return &c.weight;
            }
            if (c.slot == kEmpty) {
                return nullptr;
            }
        }
    }

    // The weight of `slot`, created at 0 when absent.
    [[nodiscard]] double& at(std::uint32_t slot);

    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    void clear() noexcept;

    // True when every slot with a weight is below n.
    [[nodiscard]] bool slots_below(std::size_t n) const noexcept {
        bool below = true;
        for_each([&](std::uint32_t slot, double /*weight*/) { below = below && slot < n; });
        return below;
    }

    // Every cell in table order, so that a restored table probes, grows and
    // iterates exactly as the saved one (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // Calls f(slot, weight) for every entry, in table order.
    template <class F>
    void for_each(F&& f) const {
        for (const Cell& c : cells_) {
            if (c.slot != kEmpty) {
                f(c.slot, c.weight);
            }
        }
    }

private:
    static constexpr std::uint32_t kEmpty = SlotSample::kNoSlot;

    struct Cell {
        std::uint32_t slot = kEmpty;
        double weight = 0.0;
    };

    [[nodiscard]] std::size_t home(std::uint32_t slot) const noexcept {
        // Fibonacci hashing: the top bits of the product spread consecutive slots.
        return static_cast<std::size_t>((std::uint64_t{slot} * 0x9E3779B97F4A7C15ULL) >> shift_);
    }
    void grow();

    std::vector<Cell> cells_;
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
};

}  // namespace tarvo
