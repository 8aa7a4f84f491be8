#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/archive.hpp"
#include "core/fresh_container.hpp"

namespace tarvo {

// A feature's number in a feature numbering; kNoFeature, never a number, for
// a name the numbering does not hold.
using FeatureNumber = std::uint32_t;
inline constexpr FeatureNumber kNoFeature = std::numeric_limits<FeatureNumber>::max();

// How many names a feature numbering may hold, and the message of the
// std::length_error that adding one more throws (a string literal). An owner
// states its bound once, as a constant it passes to every call that adds:
// the numbering itself holds nothing but its entries.
struct NumberingBound {
    FeatureNumber most;
    const char* full;
};

// Nothing kept beside a number.
struct NoPayload {};

// Feature names numbered 0, 1, 2, ... in order of first appearance, each
// entry holding its number and a Payload the owner keeps per feature (in the
// entry, so that one lookup reaches both). With Named, the names are also
// listed by number.
//
// The entries sit in one hash table keyed by the name, filled by inserting
// each new name once, in order of appearance, and emptied by a fresh table:
// so it iterates, and saves, in the order a table keyed by the name and
// filled alike would, whatever its values.
template <bool Named, class Payload = NoPayload>
class BasicFeatureNumbering {
public:
    struct Entry {
        FeatureNumber number;
        [[no_unique_address]] Payload payload{};
    };
    using Table = std::unordered_map<std::string, Entry>;

    BasicFeatureNumbering() = default;
    // A copy lists its own names.
    BasicFeatureNumbering(const BasicFeatureNumbering& other) : entries_(other.entries_) { list_names(); }
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

    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }

    // The entry of name, or null; never adds it.
    [[nodiscard]] const Entry* find_entry(const std::string& name) const {
        const auto it = entries_.find(name);
        return it == entries_.end() ? nullptr : &it->second;
    }

    // The number of name, or kNoFeature; never adds it.
    [[nodiscard]] FeatureNumber find(const std::string& name) const {
        const Entry* entry = find_entry(name);
        return entry == nullptr ? kNoFeature : entry->number;
    }

    // The entry of name, giving a new name the next number (size()) and a
    // fresh payload; valid while the name is held. On a throw the numbering
    // holds the names it held: at the bound nothing has changed; after a
    // failed allocation the table may have more buckets.
    Entry& add_entry(const std::string& name, NumberingBound bound) {
        if (entries_.size() >= bound.most) [[unlikely]] {
            return known_or_throw(name, bound);
        }
        const auto [it, added] = entries_.try_emplace(name, Entry{static_cast<FeatureNumber>(entries_.size())});
        if constexpr (Named) {
            if (added) [[unlikely]] {
                list_new_name(it);
            }
        }
        return it->second;
    }

    // The number of name, giving a new name the next number.
    FeatureNumber add(const std::string& name, NumberingBound bound) { return add_entry(name, bound).number; }

    // The name of a number below size().
    [[nodiscard]] const std::string& name(FeatureNumber number) const noexcept
        requires Named
    {
        return *names_[number];
    }

    // Forgets every name numbered `size` or above, the others keeping their
    // place in the table's order (erasing keeps the order of the entries
    // left, whatever order it goes in).
    void truncate(std::size_t size) noexcept {
        if (size >= entries_.size()) {
            return;
        }
        for (auto it = entries_.begin(); it != entries_.end();) {
            it = it->second.number >= size ? entries_.erase(it) : std::next(it);
        }
        if constexpr (Named) {
            names_.resize(size);
        }
    }

    // Forgets every name; the table is a fresh one.
    void clear() noexcept {
        replace_with_empty(entries_);
        if constexpr (Named) {
            replace_with_empty(names_);
        }
    }

    // The (name, entry) pairs in table order.
    [[nodiscard]] auto begin() const noexcept { return entries_.begin(); }
    [[nodiscard]] auto end() const noexcept { return entries_.end(); }

    // Saves or restores the numbering as a hash map (core/archive.hpp's
    // archive_map) of name to whatever value(ar, entry) states: the number in
    // the owner's saved form, and the payload. A loaded numbering holds at
    // most bound.most names, numbered 0 .. n - 1 once each.
    template <class Archive, class Value>
    void fields_with(Archive& ar, NumberingBound bound, Value&& value) {
        archive_map(ar, entries_, [&value](Archive& a, std::string& name, Entry& entry) {
            a(name);
            value(a, entry);
        });
        if constexpr (Archive::kLoading) {
            ar.check(entries_.size() <= bound.most, bound.full);
            std::vector<bool> taken(entries_.size(), false);
            for (const auto& [name, entry] : entries_) {
                ar.check(entry.number < taken.size() && !taken[entry.number], kBadNumbers);
                taken[entry.number] = true;
            }
            list_names();
        }
    }

    // The same with the number alone as the value, saved as a Saved integer.
    template <class Saved, class Archive>
    void fields_as(Archive& ar, NumberingBound bound) {
        fields_with(ar, bound, [](Archive& a, Entry& entry) {
            auto saved = static_cast<Saved>(entry.number);
            a(saved);
            if constexpr (Archive::kLoading) {
                a.check(std::in_range<FeatureNumber>(saved), kBadNumbers);
                entry.number = static_cast<FeatureNumber>(saved);
            }
        });
    }

private:
    static constexpr const char* kBadNumbers = "the feature numbers are not 0, 1, 2, ... once each";

    // The full table's answer to add_entry.
    Entry& known_or_throw(const std::string& name, NumberingBound bound) {
        const auto it = entries_.find(name);
        if (it == entries_.end()) {
            throw std::length_error(bound.full);
        }
        return it->second;
    }

    // Lists the names by number (Named), from the table.
    void list_names() {
        if constexpr (Named) {
            names_.assign(entries_.size(), nullptr);
            for (const auto& [name, entry] : entries_) {
                names_[entry.number] = &name;
            }
        }
    }

    // Lists a name just added, or takes it out again if that throws.
    void list_new_name(typename Table::iterator it) {
        try {
            names_.push_back(&it->first);  // keys stay in place while the table grows
        } catch (...) {
            entries_.erase(it);
            throw;
        }
    }

    Table entries_;
    struct NoNames {};
    [[no_unique_address]] std::conditional_t<Named, std::vector<const std::string*>, NoNames> names_;
};

// Name -> number.
using FeatureNumbering = BasicFeatureNumbering<false>;
// Name -> number and number -> name.
using NamedFeatureNumbering = BasicFeatureNumbering<true>;

}  // namespace tarvo
