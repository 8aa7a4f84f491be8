#pragma once

// The feature columns of a batch, read in place: one strided 1-D NumPy array
// per feature, of any integer, bool or float width. Each row becomes a
// FeatureMap exactly as the binding builds one from a dict of the row's
// present features in column order: reserved for their count, then filled in
// column order, so that it has the same buckets and iterates in the same
// order. A NaN cell is an absent feature.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "core/feature_map.hpp"
#include "core/sample_source.hpp"

namespace tarvo::batch {

namespace py = pybind11;

enum class CellType : std::uint8_t { kF64, kF32, kI8, kI16, kI32, kI64, kU8, kU16, kU32, kU64, kBool };

struct Column {
    const char* data = nullptr;
    py::ssize_t stride = 0;
    CellType type = CellType::kF64;
};

template <class V>
inline double cell_as(const char* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<double>(v);
}

inline double cell(const Column& c, py::ssize_t row) {
    const char* p = c.data + row * c.stride;
    switch (c.type) {
        case CellType::kF64: return cell_as<double>(p);
        case CellType::kF32: return cell_as<float>(p);
        case CellType::kI8: return cell_as<std::int8_t>(p);
        case CellType::kI16: return cell_as<std::int16_t>(p);
        case CellType::kI32: return cell_as<std::int32_t>(p);
        case CellType::kI64: return cell_as<std::int64_t>(p);
        case CellType::kU8: return cell_as<std::uint8_t>(p);
        case CellType::kU16: return cell_as<std::uint16_t>(p);
        case CellType::kU32: return cell_as<std::uint32_t>(p);
        case CellType::kU64: return cell_as<std::uint64_t>(p);
        case CellType::kBool: return cell_as<std::uint8_t>(p) != 0 ? 1.0 : 0.0;
    }
    return 0.0;
}

// The rows [0, rows) of named columns. Holds references to the arrays, so it
// is made and dropped with the GIL held; rows are read without it.
class Columns {
public:
    Columns(const std::vector<std::string>& names, const py::list& arrays, py::ssize_t start,
            py::ssize_t stop)
        : names_(names) {
        if (static_cast<std::size_t>(py::len(arrays)) != names_.size()) {
            throw py::value_error("batch: one column per name is needed");
        }
        if (start < 0 || stop < start) {
            throw py::value_error("batch: the rows to read are out of order");
        }
        std::unordered_set<std::string_view> seen;
        for (const std::string& name : names_) {
            if (!seen.insert(name).second) {
                throw py::value_error("batch: the column name '" + name + "' appears more than once");
            }
        }
        for (const py::handle item : arrays) {
            if (!py::isinstance<py::array>(item)) {
                throw py::type_error("batch: every column must be a NumPy array");
            }
            auto array = py::reinterpret_borrow<py::array>(item);
            if (py::str(array.dtype().attr("byteorder")).cast<std::string>() == kForeignOrder) {
                // Stored in the other byte order: read a copy in this machine's order.
                array = py::reinterpret_steal<py::array>(
                    array.attr("astype")(array.dtype().attr("newbyteorder")("=")).release());
            }
            if (array.ndim() != 1 || array.shape(0) < stop) {
                throw py::value_error("batch: a column is not 1-D or is shorter than the rows read");
            }
            columns_.push_back(Column{static_cast<const char*>(array.data()), array.strides(0),
                                      cell_type(array.dtype())});
            arrays_.push_back(std::move(array));
        }
        kept_.reserve(kKeptPatterns);  // kept maps never move
    }

    // The row as a map built as the dict binding builds one, valid until the next call.
    // The maps of the last few patterns of present columns are kept: a row whose cells
    // are present where a kept map's are gets that map with its values overwritten in
    // place (the same keys inserted in the same order into the same buckets iterate
    // alike, so the learners see exactly the map a new build would give).
    [[nodiscard]] const FeatureMap& row(py::ssize_t r) const {
        const std::size_t words = (columns_.size() + 63) / 64;
        pattern_.assign(words, 0);
        values_.resize(columns_.size());
        std::size_t present = 0;
        for (std::size_t j = 0; j < columns_.size(); ++j) {
            values_[j] = cell(columns_[j], r);
            if (!std::isnan(values_[j])) {
                pattern_[j / 64] |= std::uint64_t{1} << (j % 64);
                ++present;
            }
        }
        for (Kept& kept : kept_) {
            if (kept.pattern == pattern_) {
                std::size_t k = 0;
                for (std::size_t j = 0; j < columns_.size(); ++j) {
                    if (!std::isnan(values_[j])) {
                        *kept.slots[k++] = values_[j];
                    }
                }
                return kept.map;
            }
        }
        Kept& made = kept_.size() < kKeptPatterns ? kept_.emplace_back() : kept_[next_++ % kKeptPatterns];
        made.pattern = pattern_;
        made.map = FeatureMap();
        made.map.reserve(present);
        for (std::size_t j = 0; j < columns_.size(); ++j) {
            if (!std::isnan(values_[j])) {
                // try_emplace puts the entry where emplace would (the same bucket, the same
                // insertion routine) but looks for an equal name by its hash, where emplace
                // into a map of up to 20 entries first compares the name with every entry.
                made.map.try_emplace(names_[j], values_[j]);
            }
        }
        made.slots.clear();
        for (std::size_t j = 0; j < columns_.size(); ++j) {
            if (!std::isnan(values_[j])) {
                made.slots.push_back(&made.map.find(names_[j])->second);
            }
        }
        return made.map;
    }

    [[nodiscard]] const std::vector<std::string>& names() const noexcept { return names_; }

private:
    // NumPy's mark for multi-byte values stored in the order this machine does not use.
    static constexpr const char* kForeignOrder =
        std::endian::native == std::endian::little ? ">" : "<";

    static CellType cell_type(const py::dtype& dtype) {
        const char kind = dtype.kind();
        const auto size = dtype.itemsize();
        if (kind == 'f' && size == 8) return CellType::kF64;
        if (kind == 'f' && size == 4) return CellType::kF32;
        if (kind == 'b' && size == 1) return CellType::kBool;
        if (kind == 'i' || kind == 'u') {
            const bool s = kind == 'i';
            switch (size) {
                case 1: return s ? CellType::kI8 : CellType::kU8;
                case 2: return s ? CellType::kI16 : CellType::kU16;
                case 4: return s ? CellType::kI32 : CellType::kU32;
                case 8: return s ? CellType::kI64 : CellType::kU64;
                default: break;
            }
        }
        throw py::type_error("batch: a column holds values of a type other than numbers");
    }

    // A map kept for rows with present cells where `pattern` has its bits, and where in
    // the map each present column's value lies, in column order.
    struct Kept {
        std::vector<std::uint64_t> pattern;
        FeatureMap map;
        std::vector<double*> slots;
    };
    static constexpr std::size_t kKeptPatterns = 8;

    std::vector<std::string> names_;
    std::vector<py::array> arrays_;
    std::vector<Column> columns_;
    mutable std::vector<double> values_;
    mutable std::vector<std::uint64_t> pattern_;
    mutable std::vector<Kept> kept_;
    mutable std::size_t next_ = 0;  // the kept map a new pattern replaces when all are taken
};

// Rows [first, first + n) of the columns as the samples of a chunk, each made
// when the learner asks for it, on whichever thread asks (one at a time, as
// Columns::row requires; it reads the arrays only, so needs no GIL).
class ColumnSamples final : public SampleSource {
public:
    ColumnSamples(const Columns& rows, py::ssize_t first, std::size_t n) noexcept
        : rows_(rows), first_(first), n_(n) {}

    [[nodiscard]] std::size_t size() const noexcept override { return n_; }
    [[nodiscard]] const FeatureMap& sample(std::size_t r, FeatureMap& scratch) const override {
        scratch = rows_.row(first_ + static_cast<py::ssize_t>(r));
        return scratch;
    }

private:
    const Columns& rows_;
    py::ssize_t first_;
    std::size_t n_;
};

// The data of a contiguous 1-D array of T with at least `rows` entries
// (writable when `writable`), or nullptr for None.
template <class T>
T* array_data(const py::object& given, py::ssize_t rows, bool writable, const char* what) {
    if (given.is_none()) {
        return nullptr;
    }
    if (!py::isinstance<py::array>(given)) {
        throw py::type_error(std::string("batch: ") + what + " must be a NumPy array");
    }
    auto array = py::reinterpret_borrow<py::array>(given);
    if (!array.dtype().is(py::dtype::of<T>()) && !array.dtype().equal(py::dtype::of<T>())) {
        throw py::type_error(std::string("batch: ") + what + " has the wrong dtype");
    }
    if (array.ndim() != 1 || array.shape(0) < rows ||
        (array.shape(0) > 1 && array.strides(0) != static_cast<py::ssize_t>(sizeof(T))) ||
        (writable && !array.writeable())) {
        throw py::value_error(std::string("batch: ") + what +
                              " must be a contiguous 1-D array covering the rows");
    }
    return static_cast<T*>(const_cast<void*>(array.data()));
}

}  // namespace tarvo::batch
