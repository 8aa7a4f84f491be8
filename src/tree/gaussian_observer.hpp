#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/running_stats.hpp"

namespace tarvo {

// The attribute observer of one numeric feature at a leaf: one GaussianStats
// per class, indexed by the leaf's class index. A class whose entry has n == 0
// has never seen the feature at this leaf.
class GaussianObserver {
public:
    void update(std::size_t class_index, double value);

    // The entry of a class, or nullptr when the class has no statistics.
    [[nodiscard]] const GaussianStats* stats(std::size_t class_index) const noexcept {
        return class_index < per_class_.size() && per_class_[class_index].n > 0.0
                   ? &per_class_[class_index]
                   : nullptr;
    }
    [[nodiscard]] std::span<const GaussianStats> per_class() const noexcept { return per_class_; }

    // Smallest min and largest max over the classes with statistics; false
    // when no class has any.
    bool value_range(double& lo, double& hi) const noexcept;

    // Estimated class weights on each side of threshold t (left: value <= t).
    // Both spans are indexed by class index and are overwritten.
    void split_weights(double t, std::span<double> left, std::span<double> right) const noexcept;

private:
    std::vector<GaussianStats> per_class_;
};

}  // namespace tarvo
