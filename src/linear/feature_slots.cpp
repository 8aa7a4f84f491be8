#include "linear/feature_slots.hpp"

#include "core/archive.hpp"

namespace tarvo {

void FeatureSlots::resolve(const FeatureMap& x, SlotSample& out) const {
    out.entries.clear();
    out.entries.reserve(x.size());
    for (const auto& [name, value] : x) {
        out.entries.push_back({&name, slots_.find(name), value});
    }
}

void FeatureSlots::claim(SlotSample& sample) {
    for (SlotSample::Entry& e : sample.entries) {
        if (e.slot == SlotSample::kNoSlot) {
            e.slot = slots_.add(*e.name, kBound);
        }
    }
}

void FeatureSlots::resolve_claiming(const FeatureMap& x, SlotSample& out) {
    resolve(x, out);
    claim(out);
}

template <class Archive>
void FeatureSlots::fields(Archive& ar) {
    slots_.fields_as<std::uint32_t>(ar, kBound);
}

TARVO_ARCHIVE_FIELDS(FeatureSlots);

}  // namespace tarvo
