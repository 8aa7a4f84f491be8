#include "tree/split_criterion.hpp"

#include <cmath>
#include <limits>

namespace tarvo {

namespace {
constexpr double kMinBranchShare = 0.01;

double branches_total(std::span<const Branch> branches) noexcept {
    double total = 0.0;
    for (const Branch& b : branches) {
        total += b.total;
    }
    return total;
}
}  // namespace

double GiniCriterion::merit(std::span<const double> /*pre*/, double /*pre_total*/,
                            std::span<const Branch> branches) noexcept {
    if (branches.empty()) {
        return 0.0;
    }
    const double total = branches_total(branches);
    if (total <= 0.0) {
        return 0.0;
    }
    double weighted_impurity = 0.0;
    for (const Branch& b : branches) {
        double impurity = 0.0;
        if (b.total > 0.0) {
            double purity = 0.0;
            for (double w : b.weights) {
                const double p = w / b.total;
                purity += p * p;
            }
            impurity = 1.0 - purity;
        }
        weighted_impurity += (b.total / total) * impurity;
    }
    return 1.0 - weighted_impurity;
}

double GiniCriterion::range(std::size_t /*n_classes*/) noexcept {
    return 1.0;
}

double entropy(std::span<const double> weights, double w) noexcept {
    if (w <= 0.0) {
        return 0.0;
    }
    double sum = 0.0;
    for (double weight : weights) {
        if (weight > 0.0) {
            const double p = weight / w;
            sum += p * std::log2(p);
        }
    }
    return -sum;
}

double InfoGainCriterion::merit(std::span<const double> pre, double pre_total,
                                std::span<const Branch> branches) noexcept {
    constexpr double kNone = -std::numeric_limits<double>::infinity();
    if (branches.empty()) {
        return kNone;
    }
    const double total = branches_total(branches);
    if (total <= 0.0) {
        return kNone;
    }
    int substantial = 0;
    for (const Branch& b : branches) {
        if (b.total / total > kMinBranchShare) {
            ++substantial;
        }
    }
    if (substantial < 2) {
        return kNone;
    }
    double weighted_entropy = 0.0;
    for (const Branch& b : branches) {
        weighted_entropy += (b.total / total) * entropy(b.weights, b.total);
    }
    return entropy(pre, pre_total) - weighted_entropy;
}

double InfoGainCriterion::range(std::size_t n_classes) noexcept {
    return std::log2(static_cast<double>(n_classes));
}

}  // namespace tarvo
