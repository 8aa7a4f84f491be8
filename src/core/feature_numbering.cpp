#include "core/feature_numbering.hpp"

#include <iterator>
#include <stdexcept>

#include "core/fresh_container.hpp"

namespace tarvo {

template <bool Named>
FeatureNumber BasicFeatureNumbering<Named>::known_or_throw(const std::string& name,
                                                          NumberingBound bound) const {
    const FeatureNumber number = find(name);
    if (number == kNoFeature) {
        throw std::length_error(bound.full);
    }
    return number;
}

template <bool Named>
void BasicFeatureNumbering<Named>::list_names() {
    if constexpr (Named) {
        names_.assign(numbers_.size(), nullptr);
        for (const auto& [name, number] : numbers_) {
            names_[number] = &name;
        }
    }
}

template <bool Named>
void BasicFeatureNumbering<Named>::truncate(std::size_t size) noexcept {
    if (size >= numbers_.size()) {
        return;
    }
    // Erasing keeps the order of the entries left, whatever order it goes in.
    for (auto it = numbers_.begin(); it != numbers_.end();) {
        it = it->second >= size ? numbers_.erase(it) : std::next(it);
    }
    if constexpr (Named) {
        names_.resize(size);
    }
}

template <bool Named>
void BasicFeatureNumbering<Named>::clear() noexcept {
    replace_with_empty(numbers_);
    if constexpr (Named) {
        replace_with_empty(names_);
    }
}

template class BasicFeatureNumbering<false>;
template class BasicFeatureNumbering<true>;

}  // namespace tarvo
