#pragma once

// The order in which neighbours are ranked: by distance, then by the smaller
// label or target. NaN compares after every number and equal to itself, so
// the order stays a strict weak order when a sample or a query holds NaN and
// NaN-free data ranks exactly as with plain <.

#include <cmath>

namespace tarvo {

[[nodiscard]] inline bool nan_last_less(double a, double b) noexcept {
    if (std::isnan(a)) {
        return false;
    }
    return std::isnan(b) || a < b;
}

[[nodiscard]] inline bool payload_less(int a, int b) noexcept { return a < b; }
[[nodiscard]] inline bool payload_less(double a, double b) noexcept { return nan_last_less(a, b); }

// One neighbour of a query: its distance and what its stored sample carries.
template <class Payload>
struct Neighbor {
    double distance;
    Payload payload;
};

struct CloserFirst {
    template <class Payload>
    [[nodiscard]] bool operator()(const Neighbor<Payload>& a, const Neighbor<Payload>& b) const noexcept {
        // Distinct numbers decide at once; equal distances and NaN go the long way.
        if (a.distance < b.distance) {
            return true;
        }
        if (b.distance < a.distance) {
            return false;
        }
        const bool a_nan = std::isnan(a.distance);
        if (a_nan != std::isnan(b.distance)) {
            return !a_nan;
        }
        return payload_less(a.payload, b.payload);
    }
};

}  // namespace tarvo
