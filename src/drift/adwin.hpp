#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tarvo {

// One bucket of the ADWIN histogram: the sum of its values and the sum of
// their squared deviations from the bucket's own mean.
struct Bucket {
    double total = 0.0;
    double variance = 0.0;
};

// A row of buckets of equal size (2^k values in row k), oldest first.
//
// Buckets enter at the new end and leave at the old end, so the row is kept
// as a ring: nothing moves when the two oldest buckets are merged away. The
// ring starts with room for the buckets a row can hold (up to a cap) and
// doubles when a row with a very large bucket limit outgrows it.
class BucketRow {
public:
    // Room for `expected` buckets before the first growth.
    explicit BucketRow(std::size_t expected);

    [[nodiscard]] std::size_t size() const noexcept { return count_; }
    [[nodiscard]] int count() const noexcept { return static_cast<int>(count_); }
    [[nodiscard]] bool empty() const noexcept { return count_ == 0; }
    // The i-th oldest bucket, 0 <= i < count().
    [[nodiscard]] const Bucket& operator[](std::size_t i) const noexcept {
        return slots_[(head_ + i) & mask_];
    }

    void push_newest(const Bucket& b) {
        if (count_ == slots_.size()) {
            grow();
        }
        slots_[(head_ + count_) & mask_] = b;
        count_ += 1;
    }
    void drop_oldest(std::size_t n) noexcept {
        head_ = (head_ + n) & mask_;
        count_ -= n;
    }
    void clear() noexcept;

private:
    void grow();

    std::vector<Bucket> slots_;  // a power-of-two number of slots
    std::size_t mask_ = 0;       // slots_.size() - 1
    std::size_t head_ = 0;       // slot of the oldest bucket
    std::size_t count_ = 0;
};

// Adaptive windowing drift detector over a stream of real numbers.
//
// The window is summarised in an exponential histogram of buckets. Every
// `clock` updates, once the window holds more than `grace_period` values, each
// split of the window into an older and a newer part (at bucket boundaries,
// with at least `min_window_length` values on each side) is tested; when the
// two means differ by more than the bound for confidence `delta`, the oldest
// bucket is dropped and the test repeats. An update that dropped anything
// reports a drift.
//
// Learners own detectors by value and replace a detector with a fresh one to
// react to a drift.
class ADWIN {
public:
    // Throws std::invalid_argument when clock < 1 or max_buckets < 1.
    explicit ADWIN(double delta = 0.002, int clock = 32, int max_buckets = 5, int min_window_length = 5,
                   int grace_period = 10);

    // Confidence of the cut test; a new value applies from the next test.
    double delta;

    void update(double value);

    // Whether the most recent update cut the window.
    [[nodiscard]] bool drift_detected() const noexcept { return drift_detected_; }
    // Mean of the window; 0.0 when empty.
    [[nodiscard]] double estimation() const noexcept;
    // Variance of the window (divided by its width); 0.0 when empty.
    [[nodiscard]] double variance() const noexcept;
    // Number of values in the window.
    [[nodiscard]] double width() const noexcept { return width_; }

    // Forgets the window and the update count; parameters are kept.
    void reset() noexcept;

    [[nodiscard]] int clock() const noexcept { return clock_; }
    [[nodiscard]] int max_buckets() const noexcept { return max_buckets_; }
    [[nodiscard]] int min_window_length() const noexcept { return min_window_length_; }
    [[nodiscard]] int grace_period() const noexcept { return grace_period_; }
    // Row k holds buckets of 2^k values; row 0 the newest. Never empty.
    [[nodiscard]] const std::vector<BucketRow>& rows() const noexcept { return rows_; }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    void compress();
    // One pass over the splits; true when it found a cut and dropped a bucket.
    [[nodiscard]] bool cut_once();
    // False only when there is no bucket to drop.
    bool drop_oldest_bucket() noexcept;
    [[nodiscard]] BucketRow new_row() const;

    int clock_;
    int max_buckets_;
    int min_window_length_;
    int grace_period_;
    std::vector<BucketRow> rows_;
    double total_ = 0.0;
    double total_variance_ = 0.0;
    double width_ = 0.0;
    // Updates since construction or reset, modulo clock: a test is due at 0.
    int phase_ = 0;
    bool drift_detected_ = false;
};

}  // namespace tarvo
