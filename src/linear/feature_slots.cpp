#include "linear/feature_slots.hpp"

#include <stdexcept>
#include <vector>

#include "core/archive.hpp"

namespace tarvo {

void FeatureSlots::resolve(const FeatureMap& x, SlotSample& out) const {
    out.entries.clear();
    out.entries.reserve(x.size());
    for (const auto& [name, value] : x) {
        const auto it = slots_.find(name);
        out.entries.push_back({&name, it == slots_.end() ? SlotSample::kNoSlot : it->second, value});
    }
}

void FeatureSlots::claim(SlotSample& sample) {
    for (SlotSample::Entry& e : sample.entries) {
        if (e.slot != SlotSample::kNoSlot) {
            continue;
        }
        // kNoSlot itself is never handed out.
        if (slots_.size() >= SlotSample::kNoSlot) {
            throw std::length_error("too many distinct feature names for one linear model");
        }
        const auto next = static_cast<std::uint32_t>(slots_.size());
        e.slot = slots_.try_emplace(*e.name, next).first->second;
    }
}

void FeatureSlots::resolve_claiming(const FeatureMap& x, SlotSample& out) {
    resolve(x, out);
    claim(out);
}

template <class Archive>
void FeatureSlots::fields(Archive& ar) {
    ar(slots_);
    if constexpr (Archive::kLoading) {
        // The slots are 0, 1, ..., size - 1, each once: the next name gets size.
        std::vector<bool> taken(slots_.size(), false);
        bool dense = true;
        for (const auto& [name, slot] : slots_) {
            dense = dense && slot < taken.size() && !taken[slot];
            if (dense) {
                taken[slot] = true;
            }
        }
        ar.check(dense, "the feature slots are not numbered 0, 1, 2, ...");
    }
}

TARVO_ARCHIVE_FIELDS(FeatureSlots);

}  // namespace tarvo
