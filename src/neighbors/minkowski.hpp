#pragma once

// Minkowski distances between two dense rows of n values, summed in
// position order. Orders 1 and 2 have their own loops; every other order,
// including 0 and negative ones, goes through std::pow.
//
// Each distance is a sum over positions (sum) and a last step on that sum
// (finish), so that a pass over many rows can take all the sums first and
// the roots after, without one root's latency stalling the next row.

#include <cmath>
#include <cstddef>

namespace tarvo {

struct ManhattanDistance {
    [[nodiscard]] double sum(const double* a, const double* b, std::size_t n) const noexcept {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            s += std::fabs(a[i] - b[i]);
        }
        return s;
    }
    [[nodiscard]] double finish(double s) const noexcept { return s; }
};

struct EuclideanDistance {
    [[nodiscard]] double sum(const double* a, const double* b, std::size_t n) const noexcept {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double d = a[i] - b[i];
            s += d * d;
        }
        return s;
    }
    [[nodiscard]] double finish(double s) const noexcept { return std::sqrt(s); }
};

// (sum |a_i - b_i|^p)^(1/p) for any other order p.
struct PowerDistance {
    explicit PowerDistance(int p) noexcept
        : order(static_cast<double>(p)), inverse(1.0 / static_cast<double>(p)) {}

    [[nodiscard]] double sum(const double* a, const double* b, std::size_t n) const noexcept {
        double s = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            s += std::pow(std::fabs(a[i] - b[i]), order);
        }
        return s;
    }
    [[nodiscard]] double finish(double s) const noexcept { return std::pow(s, inverse); }

    double order;
    double inverse;  // 1/0 is +inf, as IEEE division gives it
};

// Calls visit with the distance of order p, chosen once for a whole pass.
template <class Visit>
decltype(auto) with_minkowski(int p, Visit&& visit) {
    switch (p) {
        case 1:
            return visit(ManhattanDistance{});
        case 2:
            return visit(EuclideanDistance{});
        default:
            return visit(PowerDistance{p});
    }
}

[[nodiscard]] inline double minkowski(const double* a, const double* b, std::size_t n, int p) {
    return with_minkowski(p, [&](const auto& metric) { return metric.finish(metric.sum(a, b, n)); });
}

}  // namespace tarvo
