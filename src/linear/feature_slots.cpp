#include "linear/feature_slots.hpp"

#include <stdexcept>

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

}  // namespace tarvo
