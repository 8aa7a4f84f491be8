#include "drift/adwin.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "core/archive.hpp"

namespace tarvo {

namespace {

// Rows start with room for at most this many buckets.
constexpr std::size_t kInitialSlots = 64;

// The 2/3 of the cut bound, spelt out as a double.
constexpr double kTwoThirds = 0.6666666666666666;

}  // namespace

BucketRow::BucketRow(std::size_t expected)
    : slots_(std::bit_ceil(std::clamp<std::size_t>(expected, 1, kInitialSlots))),
      mask_(slots_.size() - 1) {}

void BucketRow::grow() {
    std::vector<Bucket> wider(2 * slots_.size());
    for (std::size_t i = 0; i < count_; ++i) {
        wider[i] = (*this)[i];
    }
    slots_.swap(wider);
    mask_ = slots_.size() - 1;
    head_ = 0;
}

void BucketRow::clear() noexcept {
    head_ = 0;
    count_ = 0;
}

ADWIN::ADWIN(double delta_, int clock, int max_buckets, int min_window_length, int grace_period)
    : delta(delta_),
      clock_(clock),
      max_buckets_(max_buckets),
      min_window_length_(min_window_length),
      grace_period_(grace_period) {
    if (clock < 1) {
        throw std::invalid_argument("'clock' must be at least 1.");
    }
    if (max_buckets < 1) {
        throw std::invalid_argument("'max_buckets' must be at least 1.");
    }
    rows_.push_back(new_row());
}

BucketRow ADWIN::new_row() const {
    // A row holds max_buckets + 1 buckets just before it is compressed.
    return BucketRow(static_cast<std::size_t>(max_buckets_) + 1);
}

double ADWIN::estimation() const noexcept {
    return width_ > 0.0 ? total_ / width_ : 0.0;
}

double ADWIN::variance() const noexcept {
    return width_ > 0.0 ? total_variance_ / width_ : 0.0;
}

void ADWIN::update(double value) {
    rows_.front().push_newest(Bucket{value, 0.0});
    width_ += 1.0;
    drift_detected_ = false;
    if (width_ > 1.0) {
        const double n = width_;
        const double d = value - total_ / (n - 1.0);
        total_variance_ += (n - 1.0) * (d * d) / n;
    }
    total_ += value;
    if (rows_.front().size() > static_cast<std::size_t>(max_buckets_)) {
        compress();
    }

    phase_ += 1;
    if (phase_ == clock_) {
        phase_ = 0;
    }
    if (phase_ != 0 || width_ <= static_cast<double>(grace_period_)) {
        return;
    }
    while (cut_once()) {
        drift_detected_ = true;
    }
}

void ADWIN::compress() {
    const std::size_t full = static_cast<std::size_t>(max_buckets_) + 1;
    // Bucket size of row k and its reciprocal; powers of two, so multiplying by
    // the reciprocal is exactly dividing by the size.
    double n = 1.0;
    double inv_n = 1.0;
    for (std::size_t k = 0; k < rows_.size() && rows_[k].size() == full; ++k, n *= 2.0, inv_n *= 0.5) {
        if (k + 1 == rows_.size()) {
            rows_.push_back(new_row());
        }
        BucketRow& row = rows_[k];
        const Bucket& a = row[0];
        const Bucket& b = row[1];
        const double diff = a.total * inv_n - b.total * inv_n;
        const Bucket merged{a.total + b.total,
                            (a.variance + b.variance) + n * n * (diff * diff) * (0.5 * inv_n)};
        rows_[k + 1].push_newest(merged);
        row.drop_oldest(2);
    }
}

bool ADWIN::cut_once() {
    const double w = width_;
    if (!(w > 1.0)) {
        return false;
    }
    // Fixed for the whole pass.
    const double mwl = static_cast<double>(min_window_length_);
    const double v = total_variance_ / w;
    const double dd = std::log(2.0 * std::log(w) / delta);
    const bool bound_defined = dd >= 0.0;  // false for NaN too

    double n0 = 0.0;
    double s0 = 0.0;
    double n1 = w;
    double s1 = total_;
    // Oldest to newest: the last row first, each row from its oldest bucket.
    double b = std::ldexp(1.0, static_cast<int>(rows_.size()) - 1);
    for (std::size_t r = rows_.size(); r-- > 0; b *= 0.5) {
        const BucketRow& row = rows_[r];
        const std::size_t count = row.size();
        for (std::size_t i = 0; i < count; ++i) {
            if (r == 0 && i + 1 == count) {
                return false;  // the newest value never joins the older part
            }
            n1 -= b;
            if (n1 <= 0.0) {
                return false;
            }
            const double t = row[i].total;
            n0 += b;
            s0 += t;
            s1 -= t;
            if (!(n1 >= mwl && n0 >= mwl && bound_defined)) {
                continue;
            }
            const double mu0 = s0 / n0;
            const double mu1 = s1 / n1;
            const double m = 1.0 / (n0 - mwl + 1.0) + 1.0 / (n1 - mwl + 1.0);
            const double under_root = 2.0 * m * v * dd;
            if (!(under_root >= 0.0)) {
                continue;
            }
            const double epsilon = std::sqrt(under_root) + kTwoThirds * dd * m;
            if (std::fabs(mu0 - mu1) > epsilon) {
                return drop_oldest_bucket();
            }
        }
    }
    return false;
}

bool ADWIN::drop_oldest_bucket() noexcept {
    BucketRow& row = rows_.back();
    if (row.empty()) {
        return false;  // only an empty row 0 is left: nothing to drop
    }
    const double b = std::ldexp(1.0, static_cast<int>(rows_.size()) - 1);
    const Bucket oldest = row[0];
    width_ -= b;
    total_ -= oldest.total;
    const double mu_b = oldest.total / b;
    const double mu = width_ > 0.0 ? total_ / width_ : 0.0;
    const double gap = mu_b - mu;
    total_variance_ -= oldest.variance + width_ * b * (gap * gap) / (width_ + b);
    row.drop_oldest(1);
    // Trailing empty rows go too (a compression can empty a row when
    // max_buckets is 1), so the last row always holds the oldest bucket.
    // Row 0 stays.
    while (rows_.size() > 1 && rows_.back().empty()) {
        rows_.pop_back();
    }
    return true;
}

void ADWIN::reset() noexcept {
    rows_.erase(rows_.begin() + 1, rows_.end());
    rows_.front().clear();
    total_ = 0.0;
    total_variance_ = 0.0;
    width_ = 0.0;
    phase_ = 0;
    drift_detected_ = false;
}

template <class Archive>
void ADWIN::fields(Archive& ar) {
    ar.param("delta", delta);
    ar.param("clock", clock_);
    ar.param("max_buckets", max_buckets_);
    ar.param("min_window_length", min_window_length_);
    ar.param("grace_period", grace_period_);
    ar(total_, total_variance_, width_, phase_, drift_detected_);
    if constexpr (Archive::kLoading) {
        ar.check(clock_ >= 1 && max_buckets_ >= 1, "clock and max_buckets must be at least 1");
        ar.check(phase_ >= 0 && phase_ < clock_, "the update phase is out of range");
        const std::size_t n_rows = ar.get_count(8);
        ar.check(n_rows >= 1 && n_rows < 1024, "the bucket rows are out of range");
        rows_.clear();
        double width = 0.0;
        double size = 1.0;
        for (std::size_t r = 0; r < n_rows; ++r, size *= 2.0) {
            rows_.push_back(new_row());
            const std::size_t n = ar.get_count(16);
            ar.check(n <= static_cast<std::size_t>(max_buckets_), "a bucket row is overfull");
            for (std::size_t i = 0; i < n; ++i) {
                Bucket b;
                ar(b.total, b.variance);
                rows_.back().push_newest(b);
            }
            width += size * static_cast<double>(n);
        }
        ar.check(width == width_, "the window width does not match its buckets");
    } else if constexpr (!Archive::kParamsOnly) {
        ar.put_u64(rows_.size());
        for (const BucketRow& row : rows_) {
            ar.put_u64(row.size());
            for (std::size_t i = 0; i < row.size(); ++i) {
                ar.put_f64(row[i].total);
                ar.put_f64(row[i].variance);
            }
        }
    }
}

TARVO_ARCHIVE_FIELDS(ADWIN);

}  // namespace tarvo
