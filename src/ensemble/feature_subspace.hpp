#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <vector>

#include "core/feature_map.hpp"

namespace tarvo {

// The entries of one sample in its iteration order, gathered once per call
// and shared by every member that projects the sample.
using SampleEntries = std::vector<const FeatureMap::value_type*>;
using SampleView = std::span<const FeatureMap::value_type* const>;
void gather_entries(const FeatureMap& x, SampleEntries& out);

// A fixed list of feature names that a forest member sees, and the sample
// restricted to it. An empty list means every feature.
//
// The projection equals project_features(x, names()) entry for entry and in
// iteration order. It is kept between calls: while the samples hold every
// listed name, a call only rewrites the values in place, finding each name
// at the position of the sample where it was last time (one comparison, no
// lookup, nothing allocated); otherwise it is built again.
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

    // x itself when the list is empty, else x restricted to the listed names;
    // entries must be x's, from gather_entries. The reference is valid until
    // the next call on this object.
    [[nodiscard]] const FeatureMap& project(const FeatureMap& x, SampleView entries);

private:
    void forget_projection() noexcept;
    void rebuild(const FeatureMap& x, SampleView entries);

    std::vector<std::string> names_;
    FeatureMap projected_;
    // Per listed name, when every name is in projected_ (complete_): its value
    // there (entries of an unordered map never move) and the position in the
    // last sample's entries where it was found.
    std::vector<double*> slots_;
    std::vector<std::size_t> positions_;
    bool complete_ = false;
};

}  // namespace tarvo
