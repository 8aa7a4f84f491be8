#pragma once

// The store both nearest-neighbour learners share: a sliding window of the
// most recent samples as dense rows over a growing feature index, and the
// search for the k nearest rows to a query.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <utility>
#include <vector>

#include "core/feature_map.hpp"
#include "core/interrupt.hpp"
#include "neighbors/feature_index.hpp"
#include "neighbors/minkowski.hpp"
#include "neighbors/neighbor_order.hpp"

namespace tarvo {

// window_size as a row count. Throws std::invalid_argument naming
// window_size when it is below 1.
[[nodiscard]] std::size_t checked_window_size(int window_size);

// Throws std::invalid_argument naming n_neighbors when it is negative.
int checked_n_neighbors(int n_neighbors);

// Payload is what a stored sample carries: a label or a target.
//
// Memory: every row has one value per feature name ever learnt (while the
// index lives), so a stream whose names never repeat costs
// capacity x distinct names doubles.
template <class Payload>
class NeighborWindow {
public:
    struct Entry {
        std::vector<double> values;  // one per known feature, 0 where the sample lacked it
        Payload payload{};

        template <class Archive>
        void fields(Archive& ar) {
            ar(values, payload);
        }
    };

    explicit NeighborWindow(std::size_t capacity) noexcept : capacity_(capacity) {}

    // Drops the oldest row when the window is full, then appends x. A name
    // new to the index widens every stored row with a 0. If an allocation
    // fails or an interrupt stops the call, the rows and the index are as
    // they were before it, less the dropped row.
    void add(const FeatureMap& x, Payload payload) {
        if (rows_.size() >= capacity_) {
            rows_.pop_front();
        }
        const std::size_t known = index_.size();
        try {
            index_.add(x, positions_);
            Entry entry{std::vector<double>(index_.size(), 0.0), payload};
            std::size_t i = 0;
            for (const auto& [name, value] : x) {
                entry.values[positions_[i++]] = value;
            }
            if (index_.size() != known) {
                std::size_t done = 0;
                for (Entry& row : rows_) {
                    interrupt_point(++done);
                    row.values.resize(index_.size(), 0.0);
                }
            }
            rows_.push_back(std::move(entry));
        } catch (...) {
            for (Entry& row : rows_) {
                if (row.values.size() > known) {
                    row.values.resize(known);
                }
            }
            index_.truncate(known);
            throw;
        }
    }

    // The min(n_neighbors, size()) stored rows nearest to x by the Minkowski
    // distance of order p, closest first, ties to the smaller payload. Known
    // features missing from x count as 0; features the index does not know
    // are ignored.
    [[nodiscard]] std::vector<Neighbor<Payload>> nearest(const FeatureMap& x, std::size_t n_neighbors,
                                                         int p) const {
        std::vector<Neighbor<Payload>> out;
        if (rows_.empty() || n_neighbors == 0) {
            return out;
        }
        const std::vector<double> query = index_.dense(x);
        const double* q = query.data();
        const std::size_t width = query.size();
        out.resize(rows_.size());
        with_minkowski(p, [&](const auto& metric) {
            auto it = out.begin();
            for (const Entry& row : rows_) {
                interrupt_point(static_cast<std::size_t>(it - out.begin()) + 1);
                *it++ = {metric.sum(q, row.values.data(), std::min(width, row.values.size())),
                         row.payload};
            }
            for (Neighbor<Payload>& n : out) {
                n.distance = metric.finish(n.distance);
            }
        });
        const auto k = static_cast<std::ptrdiff_t>(std::min(n_neighbors, out.size()));
        std::partial_sort(out.begin(), out.begin() + k, out.end(), CloserFirst{});
        out.erase(out.begin() + k, out.end());
        return out;
    }

    void clear() noexcept {
        rows_.clear();
        index_.clear();
    }

    [[nodiscard]] std::size_t size() const noexcept { return rows_.size(); }
    [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
    [[nodiscard]] const std::deque<Entry>& rows() const noexcept { return rows_; }
    [[nodiscard]] const FeatureIndex& index() const noexcept { return index_; }

    // The rows and the index (the capacity is the owner's setting).
    template <class Archive>
    void fields(Archive& ar) {
        ar(rows_, index_);
        if constexpr (Archive::kLoading) {
            bool valid = rows_.size() <= capacity_;
            for (const Entry& row : rows_) {
                valid = valid && row.values.size() <= index_.size();
            }
            ar.check(valid, "the window rows do not fit the window");
        }
    }

private:
    // Passes over the rows cost window x features steps, both of the
    // caller's choosing: look for Ctrl-C every kInterruptStride rows.
    static void interrupt_point(std::size_t row) {
        if (row % static_cast<std::size_t>(kInterruptStride) == 0) {
            check_interrupt();
        }
    }

    std::deque<Entry> rows_;  // oldest first
    FeatureIndex index_;
    std::size_t capacity_;
    std::vector<std::size_t> positions_;  // scratch: positions of one sample's features
};

// The settings and window of a nearest-neighbour learner, for saving and
// restoring (core/archive.hpp): n_neighbors, window_size (the window's
// capacity) and p as constructor keywords, then the window's rows.
template <class Archive, class Target>
void archive_neighbors(Archive& ar, int& n_neighbors, int& p, NeighborWindow<Target>& window) {
    ar.param("n_neighbors", n_neighbors);
    auto window_size = static_cast<std::int64_t>(window.capacity());
    ar.param("window_size", window_size);
    ar.param("p", p);
    if constexpr (Archive::kLoading) {
        ar.check(n_neighbors >= 0, "n_neighbors is negative");
        ar.check(window_size >= 1 && window_size <= std::numeric_limits<int>::max(),
                 "window_size is out of range");
        window = NeighborWindow<Target>(static_cast<std::size_t>(window_size));
    }
    ar(window);
}

}  // namespace tarvo
