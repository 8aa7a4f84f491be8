#pragma once

// Saving and restoring objects as bytes.
//
// Every saved class states its fields once, in a member template
// `template <class Archive> void fields(Archive& ar)`, which serves three
// archives: ArchiveWriter (object to bytes), ArchiveReader (bytes into a
// blank object of the same class) and ParamList (the constructor keywords
// with their current values, for printing). Inside it:
// - ar.param("name", field) for a constructor keyword;
// - ar(a, b, ...) for everything else (numbers, strings, containers, objects
//   with their own fields());
// - ar.check(condition, "what") for every invariant the rest of the class
//   relies on, so that a crafted blob cannot build an object that misbehaves
//   later (a no-op when saving).
//
// Layout: u32 format version, the class name (u32 length, bytes), the fields,
// then a u64 checksum of everything before it. Numbers are fixed-width little
// endian (doubles as their IEEE bits, bools as one byte 0 or 1), sizes are
// u64, strings a u64 length and the bytes. A hash map is saved with its
// bucket count and its entries in iteration order, and rebuilt so that it
// iterates in exactly that order again (see archive_map), because several
// tie rules follow the iteration order of a table.
//
// Reading never trusts the data: every count is checked against the bytes
// that remain before anything is allocated for it, and any failure throws
// ArchiveError (a std::invalid_argument) naming the class.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/text_option.hpp"

namespace tarvo {

// The format this build writes, and the newest it reads.
inline constexpr std::uint32_t kArchiveFormat = 1;

// Raised on any blob that cannot be loaded.
class ArchiveError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// The checksum closing every blob: a word-wise multiply-rotate hash over the
// bytes and their count. Each step is a bijection of the running value, so
// any single changed word, and so any single flipped bit, changes the result.
[[nodiscard]] std::uint64_t archive_checksum(std::string_view bytes) noexcept;

class ArchiveWriter {
public:
    static constexpr bool kLoading = false;
    static constexpr bool kParamsOnly = false;

    explicit ArchiveWriter(std::string_view class_name);

    // The finished blob (header, fields, checksum); the writer is spent.
    [[nodiscard]] std::string finish();

    template <class... T>
    void operator()(T&... values);
    template <class T>
    void param(const char* /*name*/, T& value) {
        (*this)(value);
    }
    void check(bool /*ok*/, const char* /*what*/) const noexcept {}

    void put_u8(std::uint8_t v) { out_.push_back(static_cast<char>(v)); }
    void put_u32(std::uint32_t v) { put_le(v); }
    void put_u64(std::uint64_t v) { put_le(v); }
    void put_f64(double v) { put_le(std::bit_cast<std::uint64_t>(v)); }
    void put_bytes(const void* data, std::size_t n) {
        out_.append(static_cast<const char*>(data), n);
    }

private:
    template <class U>
    void put_le(U v) {
        char buf[sizeof(U)];
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            buf[i] = static_cast<char>(static_cast<unsigned char>(v >> (8 * i)));
        }
        out_.append(buf, sizeof(U));
    }

    std::string out_;
};

class ArchiveReader {
public:
    static constexpr bool kLoading = true;
    static constexpr bool kParamsOnly = false;

    // Checks the format version, the checksum and the class name; the fields
    // follow. `blob` must outlive the reader.
    ArchiveReader(std::string_view blob, std::string_view class_name);

    // Throws unless every byte of the fields was read.
    void finish() const;

    template <class... T>
    void operator()(T&... values);
    template <class T>
    void param(const char* /*name*/, T& value) {
        (*this)(value);
    }
    void check(bool ok, const char* what) const {
        if (!ok) {
            fail(what);
        }
    }
    [[noreturn]] void fail(std::string_view what) const;

    [[nodiscard]] std::size_t remaining() const noexcept {
        return static_cast<std::size_t>(end_ - pos_);
    }

    std::uint8_t get_u8() { return static_cast<std::uint8_t>(*take(1)); }
    std::uint32_t get_u32() { return get_le<std::uint32_t>(); }
    std::uint64_t get_u64() { return get_le<std::uint64_t>(); }
    double get_f64() { return std::bit_cast<double>(get_le<std::uint64_t>()); }
    // The next n bytes; fails when fewer remain.
    const char* take(std::size_t n) {
        if (n > remaining()) {
            fail("truncated data");
        }
        const char* p = pos_;
        pos_ += n;
        return p;
    }
    // A count of items that take at least min_bytes each in the data; fails
    // when the remaining bytes cannot hold that many.
    std::size_t get_count(std::size_t min_bytes) {
        const std::uint64_t n = get_u64();
        if (n > remaining() / (min_bytes == 0 ? 1 : min_bytes)) {
            fail("a count exceeds the data");
        }
        return static_cast<std::size_t>(n);
    }
    // Takes `buckets` hash buckets from the allowance of the whole blob, so
    // that no blob makes its tables allocate far more than its own size.
    void spend_buckets(std::size_t buckets);

private:
    template <class U>
    U get_le() {
        const auto* p = reinterpret_cast<const unsigned char*>(take(sizeof(U)));
        U v = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i) {
            v |= static_cast<U>(static_cast<U>(p[i]) << (8 * i));
        }
        return v;
    }

    std::string class_name_;
    const char* pos_ = nullptr;
    const char* end_ = nullptr;
    std::size_t bucket_allowance_ = 0;
};

// The constructor keywords of an object with their current values, in
// keyword order; everything else in fields() is skipped.
class ParamList {
public:
    static constexpr bool kLoading = false;
    static constexpr bool kParamsOnly = true;

    using Value = std::variant<std::int64_t, double, bool, std::string>;

    template <class... T>
    void operator()(T&... /*values*/) const noexcept {}
    template <class T>
    void param(const char* name, const T& value) {
        if constexpr (std::is_same_v<T, bool>) {
            entries.emplace_back(name, Value{value});
        } else if constexpr (std::is_integral_v<T>) {
            entries.emplace_back(name, Value{static_cast<std::int64_t>(value)});
        } else if constexpr (std::is_floating_point_v<T>) {
            entries.emplace_back(name, Value{static_cast<double>(value)});
        } else if constexpr (std::is_convertible_v<const T&, std::string>) {
            entries.emplace_back(name, Value{std::string(value)});
        } else {
            entries.emplace_back(name, Value{value.text()});  // a text option
        }
    }
    void check(bool /*ok*/, const char* /*what*/) const noexcept {}

    std::vector<std::pair<std::string, Value>> entries;
};

// ---- Fields of the standard types -------------------------------------------------

template <class Ar, class T>
    requires std::is_arithmetic_v<T>
void archive(Ar& ar, T& v) {
    if constexpr (Ar::kParamsOnly) {
        return;
    } else if constexpr (std::is_same_v<T, bool>) {
        if constexpr (Ar::kLoading) {
            const std::uint8_t b = ar.get_u8();
            ar.check(b <= 1, "a flag is neither 0 nor 1");
            v = b == 1;
        } else {
            ar.put_u8(v ? 1 : 0);
        }
    } else if constexpr (std::is_floating_point_v<T>) {
        static_assert(std::is_same_v<T, double>);
        if constexpr (Ar::kLoading) {
            v = ar.get_f64();
        } else {
            ar.put_f64(v);
        }
    } else if constexpr (sizeof(T) == 4) {
        if constexpr (Ar::kLoading) {
            v = static_cast<T>(ar.get_u32());
        } else {
            ar.put_u32(static_cast<std::uint32_t>(v));
        }
    } else {
        static_assert(sizeof(T) == 8, "fixed-width numbers of 4 or 8 bytes");
        if constexpr (Ar::kLoading) {
            v = static_cast<T>(ar.get_u64());
        } else {
            ar.put_u64(static_cast<std::uint64_t>(v));
        }
    }
}

template <class Ar>
void archive(Ar& ar, std::string& s) {
    if constexpr (Ar::kLoading) {
        const std::size_t n = ar.get_count(1);
        s.assign(ar.take(n), n);
    } else if constexpr (!Ar::kParamsOnly) {
        ar.put_u64(s.size());
        ar.put_bytes(s.data(), s.size());
    }
}

template <class Ar, class Choice, Choice (*Parse)(std::string_view) noexcept>
void archive(Ar& ar, TextOption<Choice, Parse>& option) {
    if constexpr (Ar::kLoading) {
        std::string text;
        archive(ar, text);
        option = std::move(text);
    } else if constexpr (!Ar::kParamsOnly) {
        std::string text = option.text();
        archive(ar, text);
    }
}

// The generator's state: its 624 words and its position. The library keeps
// them as the engine's only members, which the copy below relies on and
// checks; the round trip is tested against the engine's own text form.
template <class Ar>
void archive(Ar& ar, std::mt19937& gen) {
    if constexpr (Ar::kParamsOnly) {
        return;
    } else {
        struct Layout {
            std::mt19937::result_type x[std::mt19937::state_size];
            std::size_t p;
        };
        static_assert(sizeof(Layout) == sizeof(std::mt19937) &&
                      std::is_trivially_copyable_v<std::mt19937>);
        Layout state;
        if constexpr (Ar::kLoading) {
            for (auto& word : state.x) {
                word = ar.get_u32();
            }
            state.p = ar.get_u32();
            ar.check(state.p <= std::mt19937::state_size, "generator position out of range");
            std::memcpy(static_cast<void*>(&gen), &state, sizeof(state));
        } else {
            std::memcpy(&state, static_cast<const void*>(&gen), sizeof(state));
            for (const auto word : state.x) {
                ar.put_u32(static_cast<std::uint32_t>(word));
            }
            ar.put_u32(static_cast<std::uint32_t>(state.p));
        }
    }
}

// An object with fields() of its own.
template <class Ar, class T>
    requires requires(T& t, Ar& a) { t.fields(a); }
void archive(Ar& ar, T& object) {
    if constexpr (!Ar::kParamsOnly) {
        object.fields(ar);
    }
}

template <class Ar, class A, class B>
void archive(Ar& ar, std::pair<A, B>& p) {
    ar(p.first, p.second);
}

// Sequences: the count, then each element (default-constructed, then read).
template <class Ar, class Seq>
void archive_sequence(Ar& ar, Seq& seq) {
    if constexpr (Ar::kLoading) {
        using Item = typename Seq::value_type;
        // Numbers take their whole width in the data, so their count is
        // checked against it and reserved at once; other items are made as
        // their bytes arrive, so that a count the data cannot back allocates
        // nothing ahead of it.
        constexpr bool kNumbers = std::is_arithmetic_v<Item>;
        const std::size_t n = ar.get_count(kNumbers && !std::is_same_v<Item, bool> ? sizeof(Item) : 1);
        seq.clear();
        if constexpr (kNumbers && requires { seq.reserve(n); }) {
            seq.reserve(n);
        }
        for (std::size_t i = 0; i < n; ++i) {
            seq.emplace_back();
            ar(seq.back());
        }
    } else if constexpr (!Ar::kParamsOnly) {
        ar.put_u64(seq.size());
        for (auto& item : seq) {
            ar(item);
        }
    }
}

template <class Ar, class T, class A>
void archive(Ar& ar, std::vector<T, A>& v) {
    archive_sequence(ar, v);
}

template <class Ar, class T, class A>
void archive(Ar& ar, std::deque<T, A>& d) {
    archive_sequence(ar, d);
}

// A hash map, restored so that it iterates in the saved order and grows as
// the saved one would.
//
// The library's hash table keeps one list of all entries in which the entries
// of a bucket are adjacent; inserting into an empty bucket puts the entry at
// the front of the list, inserting into a used bucket puts it first among
// that bucket's entries, and a rehash rebuilds the list by inserting the old
// list's entries in order. Any order with adjacent buckets is therefore
// rebuilt by inserting the entries in reverse order into a table that
// already has the saved bucket count (and, with the default maximum load
// factor of 1, does not rehash on the way, since the count never exceeds the
// bucket count). What happens to a table after that depends only on its
// entries, their order and its bucket count.
//
// entry(ar, key, value) states one entry's fields, the same call saving and
// restoring them.
template <class Ar, class K, class V, class H, class E, class A, class Entry>
void archive_map(Ar& ar, std::unordered_map<K, V, H, E, A>& map, Entry&& entry) {
    using Map = std::unordered_map<K, V, H, E, A>;
    if constexpr (Ar::kLoading) {
        const std::uint64_t buckets = ar.get_u64();
        const std::size_t n = ar.get_count(1);
        ar.check(buckets >= 1 && n <= buckets, "a table has more entries than buckets");
        ar.spend_buckets(static_cast<std::size_t>(buckets));
        // Entries are made as their bytes arrive, so that a count the data
        // cannot back allocates nothing ahead of it.
        std::vector<std::pair<K, V>> entries;
        for (std::size_t i = 0; i < n; ++i) {
            auto& item = entries.emplace_back();
            entry(ar, item.first, item.second);
        }
        Map rebuilt;
        if (rebuilt.bucket_count() != buckets) {
            rebuilt.rehash(static_cast<std::size_t>(buckets));
        }
        ar.check(rebuilt.bucket_count() == buckets && rebuilt.max_load_factor() == 1.0f,
                 "a table has an impossible bucket count");
        for (std::size_t i = n; i-- > 0;) {
            ar.check(rebuilt.emplace(std::move(entries[i].first), std::move(entries[i].second)).second,
                     "a table holds a key twice");
        }
        ar.check(rebuilt.bucket_count() == buckets, "a table has an impossible bucket count");
        map = std::move(rebuilt);
    } else if constexpr (!Ar::kParamsOnly) {
        ar.put_u64(map.bucket_count());
        ar.put_u64(map.size());
        for (auto& [key, value] : map) {
            entry(ar, const_cast<K&>(key), value);  // the writer only reads
        }
    }
}

template <class Ar, class K, class V, class H, class E, class A>
void archive(Ar& ar, std::unordered_map<K, V, H, E, A>& map) {
    archive_map(ar, map, [](Ar& a, K& key, V& value) { a(key, value); });
}

template <class Ar, class K, class V, class C, class A>
void archive(Ar& ar, std::map<K, V, C, A>& map) {
    if constexpr (Ar::kLoading) {
        const std::size_t n = ar.get_count(1);
        map.clear();
        for (std::size_t i = 0; i < n; ++i) {
            std::pair<K, V> entry;
            ar(entry.first, entry.second);
            // Each key above every key before it: inserted as the new last entry.
            const auto at = map.emplace_hint(map.end(), std::move(entry));
            ar.check(map.size() == i + 1 && std::next(at) == map.end(), "an ordered table is out of order");
        }
    } else if constexpr (!Ar::kParamsOnly) {
        ar.put_u64(map.size());
        for (auto& [key, value] : map) {
            ar(const_cast<K&>(key), value);  // the writer only reads
        }
    }
}

// An optional value: a presence flag, then the value.
template <class Ar, class T>
void archive(Ar& ar, std::optional<T>& v) {
    if constexpr (Ar::kLoading) {
        bool present = false;
        ar(present);
        v.reset();
        if (present) {
            ar(v.emplace());
        }
    } else if constexpr (!Ar::kParamsOnly) {
        bool present = v.has_value();
        ar(present);
        if (present) {
            ar(*v);
        }
    }
}

// An optional object: a presence flag, then the object. Loading builds it
// with make() (by default a default-constructed T).
template <class Ar, class T, class Make>
void archive_optional(Ar& ar, std::unique_ptr<T>& p, Make&& make) {
    if constexpr (Ar::kLoading) {
        bool present = false;
        ar(present);
        p.reset();
        if (present) {
            p = make();
            ar(*p);
        }
    } else if constexpr (!Ar::kParamsOnly) {
        bool present = p != nullptr;
        ar(present);
        if (present) {
            ar(*p);
        }
    }
}

template <class Ar, class T>
void archive_optional(Ar& ar, std::unique_ptr<T>& p) {
    archive_optional(ar, p, [] { return std::make_unique<T>(); });
}

// A binary tree of nodes that own their children through `left` / `right`,
// in pre-order with a one-byte tag per node (0 leaf, 1 split; 2 for a missing
// root), walked with an explicit stack: trees grow as deep as the data.
// node_fields(ar, node, leaf)
// states the fields of one node (for a leaf or for a split node); a loaded
// split node has both children and a loaded leaf none.
template <class Ar, class Node, class NodeFields>
void archive_tree(Ar& ar, std::unique_ptr<Node>& root, NodeFields&& node_fields) {
    if constexpr (Ar::kParamsOnly) {
        return;
    } else if constexpr (Ar::kLoading) {
        root.reset();
        std::vector<std::unique_ptr<Node>*> pending{&root};
        while (!pending.empty()) {
            std::unique_ptr<Node>* slot = pending.back();
            pending.pop_back();
            const std::uint8_t tag = ar.get_u8();
            if (tag == 2 && slot == &root) {
                continue;
            }
            ar.check(tag <= 1, "a tree node has an unknown kind");
            *slot = std::make_unique<Node>();
            Node& node = **slot;
            node_fields(ar, node, tag == 0);
            if (tag == 1) {
                pending.push_back(&node.right);
                pending.push_back(&node.left);
            }
        }
    } else {
        if (!root) {
            ar.put_u8(2);
            return;
        }
        std::vector<Node*> pending{root.get()};
        while (!pending.empty()) {
            Node* node = pending.back();
            pending.pop_back();
            const bool leaf = node->is_leaf();
            ar.put_u8(leaf ? 0 : 1);
            node_fields(ar, *node, leaf);
            if (!leaf) {
                pending.push_back(node->right.get());
                pending.push_back(node->left.get());
            }
        }
    }
}

template <class... T>
void ArchiveWriter::operator()(T&... values) {
    (archive(*this, values), ...);
}

template <class... T>
void ArchiveReader::operator()(T&... values) {
    (archive(*this, values), ...);
}

// Explicit instantiations of a class's fields() for the three archives, in
// the source file that defines it.
#define TARVO_ARCHIVE_FIELDS(Class)                                              \
    template void Class::fields<::tarvo::ArchiveWriter>(::tarvo::ArchiveWriter&); \
    template void Class::fields<::tarvo::ArchiveReader>(::tarvo::ArchiveReader&); \
    template void Class::fields<::tarvo::ParamList>(::tarvo::ParamList&)

}  // namespace tarvo
