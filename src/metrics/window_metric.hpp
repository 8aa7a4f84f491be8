#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "metrics/window_ring.hpp"

namespace tarvo {

// Accuracy and macro-averaged F1 over the last `window_size` (predicted,
// actual) pairs. A window size of 0 or less ignores every update.
//
// Negative labels count for accuracy but never for macro F1; a class counts
// in macro F1 while it has entries in the window. Per-class counts are kept
// for the labels in the window only: small labels in an array indexed by the
// label, large ones in an ordered map whose entries leave with their last
// window entry, so a huge label costs one map node, not an array that long.
class WindowMetric {
public:
    explicit WindowMetric(int window_size = 1000) : ring_(window_size) {}

    void update(int predicted, int actual);

    // metric 1: macro_f1(); any other value: accuracy().
    [[nodiscard]] double get(int metric) const noexcept {
        return metric == 1 ? macro_f1() : accuracy();
    }
    [[nodiscard]] double accuracy() const noexcept;
    [[nodiscard]] double macro_f1() const noexcept;

    void reset() noexcept;

    [[nodiscard]] int size() const noexcept { return ring_.size(); }
    [[nodiscard]] int window_size() const noexcept { return ring_.window_size(); }
    // Labels with a counts record: the array length plus the large labels in the window.
    [[nodiscard]] std::size_t tracked_labels() const noexcept { return dense_.size() + sparse_.size(); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    struct Pair {
        int predicted = 0;
        int actual = 0;

        template <class Archive>
        void fields(Archive& ar) {
            ar(predicted, actual);
        }
    };
    struct Counts {
        std::int64_t tp = 0;
        std::int64_t fp = 0;
        std::int64_t fn = 0;

        // Window entries naming this label, as predicted or as actual.
        [[nodiscard]] std::int64_t entries() const noexcept { return tp + fp + fn; }
    };

    // Labels below this index the array; the array never grows past it.
    static constexpr int kDenseLabels = 1 << 12;

    // Creates the zero counts of a non-negative label if absent (may allocate).
    void ensure_counts(int label) {
        if (static_cast<unsigned>(label) >= dense_.size()) {
            add_counts(label);
        }
    }
    void add_counts(int label);
    // The counts of a label made present by ensure_counts; negative labels
    // share a record that is never read.
    [[nodiscard]] Counts& counts(int label) noexcept {
        if (static_cast<unsigned>(label) < dense_.size()) {
            return dense_[static_cast<std::size_t>(label)];
        }
        return label < 0 ? unread_ : sparse_.find(label)->second;
    }
    // Adds sign (+1 or -1) times one pair to the counts and to correct_.
    void tally(const Pair& p, std::int64_t sign) noexcept {
        const std::int64_t hit = p.predicted == p.actual ? sign : 0;
        const std::int64_t miss = sign - hit;
        correct_ += hit;
        Counts& pc = counts(p.predicted);
        Counts& ac = counts(p.actual);
        pc.tp += hit;
        pc.fp += miss;
        ac.fn += miss;
    }
    // Drops the map entry of a large label that no longer occurs in the window.
    void drop_if_absent(int label) noexcept;

    WindowRing<Pair> ring_;
    std::vector<Counts> dense_;
    std::map<int, Counts> sparse_;
    Counts unread_;
    std::int64_t correct_ = 0;
};

}  // namespace tarvo
