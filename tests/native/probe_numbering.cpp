// The feature numbering against a table keyed by the name and filled alike:
// the same numbers, the same order, the same saved bytes.

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include <pybind11/stl.h>

#include "core/archive.hpp"
#include "core/feature_numbering.hpp"
#include "core/fresh_container.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

using Shadow = std::unordered_map<std::string, std::uint64_t>;

template <class Numbering>
struct Saved {
    Numbering numbering;
    NumberingBound bound;
    template <class Archive>
    void fields(Archive& ar) {
        numbering.template fields_as<std::uint64_t>(ar, bound);
    }
};

template <class T>
std::string save(T& object) {
    ArchiveWriter writer("numbering");
    writer(object);
    return writer.finish();
}

template <class T>
void load(T& object, const std::string& blob) {
    ArchiveReader reader(blob, "numbering");
    reader(object);
    reader.finish();
}

// What add and find answer: a number, "full", or None.
using Answer = std::optional<std::variant<std::uint32_t, std::string>>;

template <class Numbering>
Answer apply(Numbering& n, const std::string& op, const std::string& name, std::size_t count,
             NumberingBound bound) {
    if (op == "add") {
        try {
            return n.add(name, bound);
        } catch (const std::length_error& e) {
            return std::string(e.what());
        }
    }
    if (op == "find") {
        const FeatureNumber number = n.find(name);
        return number == kNoFeature ? Answer{} : Answer{number};
    }
    if (op == "truncate") {
        n.truncate(count);
    } else if (op == "clear") {
        n.clear();
    } else if (op == "reload") {
        Saved<Numbering> saved{n, bound};
        const std::string blob = save(saved);
        Saved<Numbering> loaded{Numbering{}, bound};
        load(loaded, blob);
        n = std::move(loaded.numbering);
    } else {
        throw std::invalid_argument("unknown operation " + op);
    }
    return {};
}

void apply_shadow(Shadow& s, const std::string& op, const std::string& name, std::size_t count,
                  FeatureNumber bound) {
    if (op == "add" && (s.count(name) == 1 || s.size() < bound)) {
        s.try_emplace(name, s.size());
    } else if (op == "truncate") {
        std::erase_if(s, [count](const auto& entry) { return entry.second >= count; });
    } else if (op == "clear") {
        replace_with_empty(s);
    } else if (op == "reload") {
        Shadow loaded;
        load(loaded, save(s));
        s = std::move(loaded);
    }
}

}  // namespace

void add_numbering(py::module_& m) {
    m.def(
        "feature_numbering_replay",
        [](const std::vector<std::tuple<std::string, std::string, std::size_t>>& ops, FeatureNumber bound) {
            const NumberingBound limit{bound, "full"};
            FeatureNumbering plain;
            NamedFeatureNumbering named;
            Shadow shadow;
            std::vector<Answer> answers;
            std::optional<std::size_t> first_difference;
            for (std::size_t i = 0; i < ops.size(); ++i) {
                const auto& [op, name, count] = ops[i];
                const Answer answer = apply(plain, op, name, count, limit);
                const Answer named_answer = apply(named, op, name, count, limit);
                apply_shadow(shadow, op, name, count, bound);
                answers.push_back(answer);
                Saved<FeatureNumbering> p{plain, limit};
                Saved<NamedFeatureNumbering> q{named, limit};
                const std::string blob = save(shadow);
                if (!first_difference && (answer != named_answer || save(p) != blob || save(q) != blob)) {
                    first_difference = i;
                }
            }
            // Read from a copy, the original gone.
            const NamedFeatureNumbering copy = named;
            named.clear();
            std::vector<std::string> names;
            for (std::size_t i = 0; i < copy.size(); ++i) {
                names.push_back(copy.name(static_cast<FeatureNumber>(i)));
            }
            return py::make_tuple(answers, names, first_difference);
        },
        "Applies (op, name, count) operations (add, find, truncate, clear, reload) to a numbering, a "
        "named numbering and a name-keyed table filled alike, all holding at most `bound` names. "
        "Returns (answers of the plain numbering, the named one's names by number, the first step "
        "after which the two answered differently or any saved bytes differed, or None).");
    m.def(
        "feature_numbering_load",
        [](const std::vector<std::pair<std::string, std::uint64_t>>& entries, FeatureNumber bound) {
            Shadow shadow;
            for (const auto& [name, number] : entries) {
                shadow.emplace(name, number);
            }
            Saved<NamedFeatureNumbering> loaded{NamedFeatureNumbering{}, NumberingBound{bound, "full"}};
            load(loaded, save(shadow));
            std::vector<std::string> names;
            for (std::size_t i = 0; i < loaded.numbering.size(); ++i) {
                names.push_back(loaded.numbering.name(static_cast<FeatureNumber>(i)));
            }
            return names;
        },
        "Saves the (name, number) entries as a name-keyed table and loads them as a named numbering "
        "holding at most `bound` names; returns its names by number.");
}

}  // namespace tarvo::probe
