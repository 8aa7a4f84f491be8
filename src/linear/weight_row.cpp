#include "linear/weight_row.hpp"

#include <cmath>

namespace tarvo {

double WeightRow::score(const SlotSample& sample) const noexcept {
    double s = bias;
    for (const SlotSample::Entry& e : sample.entries) {
        if (e.slot == SlotSample::kNoSlot) {
            continue;
        }
        if (const double* w = weights.find(e.slot)) {
            s = std::fma(*w, e.value, s);
        }
    }
    return s;
}

}  // namespace tarvo
