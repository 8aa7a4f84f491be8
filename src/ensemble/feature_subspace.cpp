#include "ensemble/feature_subspace.hpp"

#include <utility>

#include "core/random.hpp"

namespace tarvo {

void gather_entries(const FeatureMap& x, SampleEntries& out) {
    out.clear();
    for (const auto& entry : x) {
        out.push_back(&entry);
    }
}

FeatureSubspace::FeatureSubspace(FeatureSubspace&& other) noexcept
    : names_(std::move(other.names_)) {
    other.forget_projection();
}

FeatureSubspace& FeatureSubspace::operator=(const FeatureSubspace& other) {
    if (this != &other) {
        names_ = other.names_;
        forget_projection();
    }
    return *this;
}

FeatureSubspace& FeatureSubspace::operator=(FeatureSubspace&& other) noexcept {
    if (this != &other) {
        names_ = std::move(other.names_);
        forget_projection();
        other.forget_projection();
    }
    return *this;
}

void FeatureSubspace::assign(std::vector<std::string> names) {
    names_ = std::move(names);
    forget_projection();
}

void FeatureSubspace::clear() noexcept {
    names_.clear();
    forget_projection();
}

void FeatureSubspace::forget_projection() noexcept {
    complete_ = false;
    slots_.clear();
    positions_.clear();
}

const FeatureMap& FeatureSubspace::project(const FeatureMap& x, SampleView entries) {
    if (names_.empty()) {
        return x;
    }
    if (complete_) {
        for (std::size_t i = 0; i < names_.size(); ++i) {
            const std::size_t at = positions_[i];
            if (at >= entries.size() || entries[at]->first != names_[i]) {
                // The sample is laid out differently: look the name up.
                const auto it = x.find(names_[i]);
                if (it == x.end()) {
                    rebuild(x, entries);
                    return projected_;
                }
                std::size_t k = 0;
                while (k < entries.size() && entries[k] != &*it) {
                    ++k;
                }
                positions_[i] = k;
                *slots_[i] = it->second;
                continue;
            }
            *slots_[i] = entries[at]->second;
        }
        return projected_;
    }
    rebuild(x, entries);
    return projected_;
}

void FeatureSubspace::rebuild(const FeatureMap& x, SampleView entries) {
    complete_ = false;
    projected_ = project_features(x, names_);
    if (projected_.size() != names_.size()) {
        return;  // some listed name is missing: rebuilt at every call until it is back
    }
    slots_.resize(names_.size());
    positions_.assign(names_.size(), entries.size());
    for (std::size_t i = 0; i < names_.size(); ++i) {
        slots_[i] = &projected_.find(names_[i])->second;
        for (std::size_t k = 0; k < entries.size(); ++k) {
            if (entries[k]->first == names_[i]) {
                positions_[i] = k;
                break;
            }
        }
    }
    complete_ = true;
}

}  // namespace tarvo
