#include "ensemble/feature_subspace.hpp"

#include <utility>

#include "core/random.hpp"

namespace tarvo {

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
}

const FeatureMap& FeatureSubspace::project(const FeatureMap& x) {
    if (names_.empty()) {
        return x;
    }
    if (complete_) {
        std::size_t i = 0;
        for (const std::string& name : names_) {
            const auto it = x.find(name);
            if (it == x.end()) {
                break;
            }
            *slots_[i++] = it->second;
        }
        if (i == names_.size()) {
            return projected_;
        }
    }
    // Some listed name is missing from x, or was from the previous sample.
    complete_ = false;
    projected_ = project_features(x, names_);
    if (projected_.size() == names_.size()) {
        slots_.resize(names_.size());
        for (std::size_t i = 0; i < names_.size(); ++i) {
            slots_[i] = &projected_.find(names_[i])->second;
        }
        complete_ = true;
    }
    return projected_;
}

}  // namespace tarvo
