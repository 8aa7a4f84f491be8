#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/feature_map.hpp"
#include "core/feature_numbering.hpp"

namespace tarvo {

// A sample's features, in the iteration order of the sample, each with the
// slot its name holds in a FeatureSlots (kNoSlot for a name the index does
// not know). Kept by a model and reused from one call to the next.
struct SlotSample {
    static constexpr std::uint32_t kNoSlot = kNoFeature;

    struct Entry {
        const std::string* name;  // the sample's own key: valid while the sample lives
        std::uint32_t slot;
        double value;
    };

    std::vector<Entry> entries;

    // The sum of the squared values, in the sample's order.
    [[nodiscard]] double squared_norm() const noexcept {
        double sum = 0.0;
        for (const Entry& e : entries) {
            sum += e.value * e.value;
        }
        return sum;
    }
};

// Feature name -> dense slot number 0, 1, 2, ..., in order of first learning
// (a FeatureNumbering's numbers). The linear models key their weights by
// slot, so that a sample's names are hashed once per call however many weight
// rows it meets.
class FeatureSlots {
public:
    // Fills `out` with the features of x and the slots of the known names.
    // Never adds a name.
    void resolve(const FeatureMap& x, SlotSample& out) const;

    // Gives every entry of `sample` without a slot a new one (learning only).
    // Throws std::length_error once every representable slot is taken.
    void claim(SlotSample& sample);

    // resolve then claim.
    void resolve_claiming(const FeatureMap& x, SlotSample& out);

    [[nodiscard]] std::size_t size() const noexcept { return slots_.size(); }
    void clear() noexcept { slots_.clear(); }

    // The names with their slots, in table order (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    static constexpr NumberingBound kBound{kNoFeature, "too many distinct feature names for one linear model"};

    FeatureNumbering slots_;
};

}  // namespace tarvo
