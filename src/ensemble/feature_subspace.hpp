#pragma once

#include <string>
#include <vector>

#include "core/feature_map.hpp"

namespace tarvo {

// A fixed list of feature names that a forest member sees, and the sample
// restricted to it. An empty list means every feature.
//
// The projection equals project_features(x, names()) entry for entry and in
// iteration order. It is kept between calls: while the samples hold every
// listed name, a call only rewrites the values in place (one lookup per name,
// nothing allocated); otherwise it is built again.
class FeatureSubspace {
public:
    FeatureSubspace() = default;
    // The projection is not carried over; the copy or target rebuilds it.
    FeatureSubspace(const FeatureSubspace& other) : names_(other.names_) {}
    FeatureSubspace(FeatureSubspace&& other) noexcept;
    FeatureSubspace& operator=(const FeatureSubspace& other);
    FeatureSubspace& operator=(FeatureSubspace&& other) noexcept;
    ~FeatureSubspace() = default;

    void assign(std::vector<std::string> names);
    // Back to every feature.
    void clear() noexcept;

    [[nodiscard]] const std::vector<std::string>& names() const noexcept { return names_; }

    // x itself when the list is empty, else x restricted to the listed names.
    // The reference is valid until the next call on this object.
    [[nodiscard]] const FeatureMap& project(const FeatureMap& x);

private:
    void forget_projection() noexcept;

    std::vector<std::string> names_;
    FeatureMap projected_;
    // slots_[i] is the value of names_[i] in projected_, when every name is
    // there (complete_); entries of an unordered map never move.
    std::vector<double*> slots_;
    bool complete_ = false;
};

}  // namespace tarvo
