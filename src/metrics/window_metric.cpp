#include "metrics/window_metric.hpp"

#include <cstddef>

#include "core/archive.hpp"

namespace tarvo {

void WindowMetric::add_counts(int label) {
    if (label < 0) {
        return;
    }
    if (label < kDenseLabels) {
        dense_.resize(static_cast<std::size_t>(label) + 1);
    } else {
        sparse_.try_emplace(label);
    }
}

void WindowMetric::drop_if_absent(int label) noexcept {
    if (label < kDenseLabels) {
        return;  // negative or in the array
    }
    const auto it = sparse_.find(label);
    if (it != sparse_.end() && it->second.entries() == 0) {
        sparse_.erase(it);
    }
}

void WindowMetric::update(int predicted, int actual) {
    if (ring_.window_size() == 0) {
        return;
    }
    // Everything that may allocate comes first, so a failure changes nothing
    // that the results depend on.
    ring_.prepare_push();
    ensure_counts(predicted);
    ensure_counts(actual);

    const bool evict = ring_.full();
    const Pair old = evict ? ring_.oldest() : Pair{0, 0};
    const Pair now{predicted, actual};
    // The new pair is counted before the old one leaves, so a label present in
    // both keeps its map entry.
    tally(now, 1);
    if (evict) {
        tally(old, -1);
        drop_if_absent(old.predicted);
        drop_if_absent(old.actual);
    }
    ring_.push(now);
}

double WindowMetric::accuracy() const noexcept {
    const int n = ring_.size();
    return n == 0 ? 0.0 : static_cast<double>(correct_) / static_cast<double>(n);
}

double WindowMetric::macro_f1() const noexcept {
    // Classes in ascending label order: the array first, then the map, whose
    // labels are all larger.
    double sum = 0.0;
    std::int64_t counted = 0;
    const auto add = [&](const Counts& c) {
        if (c.entries() == 0) {
            return;
        }
        counted += 1;
        const std::int64_t d = 2 * c.tp + c.fp + c.fn;
        if (d > 0) {
            sum += static_cast<double>(2 * c.tp) / static_cast<double>(d);
        }
    };
    for (const Counts& c : dense_) {
        add(c);
    }
    for (const auto& [label, c] : sparse_) {
        add(c);
    }
    return counted == 0 ? 0.0 : sum / static_cast<double>(counted);
}

void WindowMetric::reset() noexcept {
    ring_.clear();
    dense_.clear();
    sparse_.clear();
    unread_ = Counts{};
    correct_ = 0;
}

// The counts follow from the pairs in the window; they are rebuilt rather
// than saved, so that they always agree with it.
template <class Archive>
void WindowMetric::fields(Archive& ar) {
    int window_size = ring_.window_size();
    ar.param("window_size", window_size);
    if constexpr (Archive::kLoading) {
        ring_ = WindowRing<Pair>(window_size);
    }
    ar(ring_);
    if constexpr (Archive::kLoading) {
        dense_.clear();
        sparse_.clear();
        unread_ = Counts{};
        correct_ = 0;
        for (const Pair& p : ring_.slots()) {
            ensure_counts(p.predicted);
            ensure_counts(p.actual);
            tally(p, 1);
        }
    }
}

TARVO_ARCHIVE_FIELDS(WindowMetric);

}  // namespace tarvo
