#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/archive.hpp"

namespace tarvo {

// A feature's number in a feature numbering; kNoFeature, never a number, for
// a name the numbering does not hold.
using FeatureNumber = std::uint32_t;
inline constexpr FeatureNumber kNoFeature = std::numeric_limits<FeatureNumber>::max();

// How many names a feature numbering may hold, and the message of the
// std::length_error that adding one more throws (a string literal). An owner
// states its bound once, as a constant it passes to every call that adds:
// the numbering itself holds nothing but its names.
struct NumberingBound {
    FeatureNumber most;
    const char* full;
};

// Feature names numbered 0, 1, 2, ... in order of first appearance. With
// Named, it also lists the names by number.
//
// The names sit in one hash table keyed by the name, filled by inserting each
// new name once, in order of appearance, and emptied by a fresh table: so it
// iterates, and saves, in the order a table keyed by the name and filled
// alike would, whatever the owner keeps beside each number.
template <bool Named>
class BasicFeatureNumbering {
public:
    BasicFeatureNumbering() = default;
    // A copy lists its own names.
    BasicFeatureNumbering(const BasicFeatureNumbering& other) : numbers_(other.numbers_) { list_names(); }
    BasicFeatureNumbering& operator=(const BasicFeatureNumbering& other) {
        if (this != &other) {
            BasicFeatureNumbering copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    // The entries stay where they are: the list stays valid.
    BasicFeatureNumbering(BasicFeatureNumbering&&) noexcept = default;
    BasicFeatureNumbering& operator=(BasicFeatureNumbering&&) noexcept = default;
    ~BasicFeatureNumbering() = default;

    [[nodiscard]] std::size_t size() const noexcept { return numbers_.size(); }

    // The number of name, or kNoFeature; never adds it.
    [[nodiscard]] FeatureNumber find(const std::string& name) const {
        const auto it = numbers_.find(name);
        return it == numbers_.end() ? kNoFeature : it->second;
    }

    // The number of name, giving a new name the next number (size()). On a
    // throw (the bound, or an allocation) nothing has changed.
    FeatureNumber add(const std::string& name, NumberingBound bound) {
        if (numbers_.size() >= bound.most) [[unlikely]] {
            return known_or_throw(name, bound);
        }
        if constexpr (Named) {
            if (names_.size() == names_.capacity()) [[unlikely]] {
                names_.reserve(2 * names_.size() + 1);  // so that the push below cannot throw
            }
        }
        const auto [it, added] = numbers_.try_emplace(name, static_cast<FeatureNumber>(numbers_.size()));
        if constexpr (Named) {
            if (added) {
                names_.push_back(&it->first);  // keys stay in place while the table grows
            }
        }
        return it->second;
    }

    // The name of a number below size().
    [[nodiscard]] const std::string& name(FeatureNumber number) const noexcept
        requires Named
    {
        return *names_[number];
    }

    // Forgets every name numbered `size` or above, the others keeping their
    // place in the table's order.
    void truncate(std::size_t size) noexcept;

    // Forgets every name; the table is a fresh one.
    void clear() noexcept;

    // The (name, number) entries in table order.
    [[nodiscard]] auto begin() const noexcept { return numbers_.begin(); }
    [[nodiscard]] auto end() const noexcept { return numbers_.end(); }

    // Saves or restores the numbering as a hash map (core/archive.hpp, whose
    // archive_map it uses) of name to whatever value(ar, number) states: the
    // number in the owner's saved form and anything the owner keeps beside
    // it. A loaded numbering holds at most bound.most names, numbered
    // 0 .. n - 1 once each.
    template <class Archive, class Value>
    void fields_with(Archive& ar, NumberingBound bound, Value&& value);

    // The same with the number alone as the value, saved as a Saved integer.
    template <class Saved, class Archive>
    void fields_as(Archive& ar, NumberingBound bound) {
        fields_with(ar, bound, [](Archive& a, FeatureNumber& number) {
            auto saved = static_cast<Saved>(number);
            a(saved);
            if constexpr (Archive::kLoading) {
                a.check(std::in_range<FeatureNumber>(saved), kBadNumbers);
                number = static_cast<FeatureNumber>(saved);
            }
        });
    }

    // Saves or restores the names in number order, as a sequence of strings
    // (Named only).
    template <class Archive>
    void fields_as_list(Archive& ar, NumberingBound bound)
        requires Named;

private:
    static constexpr const char* kBadNumbers = "the feature numbers are not 0, 1, 2, ... once each";

    // The full table's answer to add.
    FeatureNumber known_or_throw(const std::string& name, NumberingBound bound) const;
    // Lists the names by number (Named), from the table.
    void list_names();

    std::unordered_map<std::string, FeatureNumber> numbers_;
    struct NoNames {};
    [[no_unique_address]] std::conditional_t<Named, std::vector<const std::string*>, NoNames> names_;
};

// Name -> number.
using FeatureNumbering = BasicFeatureNumbering<false>;
// Name -> number and number -> name.
using NamedFeatureNumbering = BasicFeatureNumbering<true>;

extern template class BasicFeatureNumbering<false>;
extern template class BasicFeatureNumbering<true>;

template <bool Named>
template <class Archive, class Value>
void BasicFeatureNumbering<Named>::fields_with(Archive& ar, NumberingBound bound, Value&& value) {
    archive_map(ar, numbers_, [&value](Archive& a, std::string& name, FeatureNumber& number) {
        a(name);
        value(a, number);
    });
    if constexpr (Archive::kLoading) {
        ar.check(numbers_.size() <= bound.most, bound.full);
        std::vector<bool> taken(numbers_.size(), false);
        for (const auto& [name, number] : numbers_) {
            ar.check(number < taken.size() && !taken[number], kBadNumbers);
            taken[number] = true;
        }
        list_names();
    }
}

template <bool Named>
template <class Archive>
void BasicFeatureNumbering<Named>::fields_as_list(Archive& ar, NumberingBound bound)
    requires Named
{
    if constexpr (Archive::kLoading) {
        const std::size_t n = ar.get_count(8);  // a string takes its length's 8 bytes at least
        ar.check(n <= bound.most, bound.full);
        clear();
        for (std::size_t i = 0; i < n; ++i) {
            std::string name;
            ar(name);
            ar.check(add(name, bound) == i, "a feature name is repeated");
        }
    } else if constexpr (!Archive::kParamsOnly) {
        ar.put_u64(names_.size());
        for (const std::string* name : names_) {
            ar(const_cast<std::string&>(*name));  // the writer only reads
        }
    }
}

}  // namespace tarvo
