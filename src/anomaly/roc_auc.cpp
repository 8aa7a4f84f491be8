#include "anomaly/roc_auc.hpp"

#include <bit>
#include <cmath>
#include <stdexcept>
#include <string>

#include "core/archive.hpp"

namespace tarvo {

namespace {

// The splitmix64 finaliser, as the treap's priority of a score.
constexpr std::uint64_t mix64(std::uint64_t z) noexcept {
    z += 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30U)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27U)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31U);
}

ScoreRanks::Counts& operator+=(ScoreRanks::Counts& a, const ScoreRanks::Counts& b) noexcept {
    a.positive += b.positive;
    a.negative += b.negative;
    return a;
}

}  // namespace

void ScoreRanks::clear() noexcept {
    nodes_.clear();
    free_.clear();
    root_ = -1;
}

void ScoreRanks::refresh(std::int32_t i) noexcept {
    Node& n = node(i);
    n.sum = n.own;
    if (n.left >= 0) {
        n.sum += node(n.left).sum;
    }
    if (n.right >= 0) {
        n.sum += node(n.right).sum;
    }
}

std::pair<std::int32_t, std::int32_t> ScoreRanks::split(std::int32_t t, double key) {
    std::int32_t low = -1;
    std::int32_t high = -1;
    std::int32_t* low_slot = &low;
    std::int32_t* high_slot = &high;
    touched_.clear();
    while (t >= 0) {
        touched_.push_back(t);
        if (node(t).key < key) {
            *low_slot = t;
            low_slot = &node(t).right;
            t = node(t).right;
        } else {
            *high_slot = t;
            high_slot = &node(t).left;
            t = node(t).left;
        }
    }
    *low_slot = -1;
    *high_slot = -1;
    for (auto it = touched_.rbegin(); it != touched_.rend(); ++it) {
        refresh(*it);
    }
    return {low, high};
}

std::int32_t ScoreRanks::merge(std::int32_t a, std::int32_t b) {
    std::int32_t joined = -1;
    std::int32_t* slot = &joined;
    touched_.clear();
    while (a >= 0 && b >= 0) {
        if (node(a).priority > node(b).priority) {
            *slot = a;
            touched_.push_back(a);
            slot = &node(a).right;
            a = node(a).right;
        } else {
            *slot = b;
            touched_.push_back(b);
            slot = &node(b).left;
            b = node(b).left;
        }
    }
    *slot = a >= 0 ? a : b;
    for (auto it = touched_.rbegin(); it != touched_.rend(); ++it) {
        refresh(*it);
    }
    return joined;
}

void ScoreRanks::add(double score, bool positive, std::int64_t count) {
    const double key = score == 0.0 ? 0.0 : score;  // -0.0 and 0.0 are one score
    const Counts delta{positive ? count : 0, positive ? 0 : count};
    std::int32_t t = root_;
    while (t >= 0 && node(t).key != key) {
        t = key < node(t).key ? node(t).left : node(t).right;
    }
    if (t >= 0) {
        // The score is there: adjust the counts on its path; drop it when empty.
        std::int32_t* slot = &root_;
        while (node(*slot).key != key) {
            node(*slot).sum += delta;
            slot = key < node(*slot).key ? &node(*slot).left : &node(*slot).right;
        }
        Node& found = node(*slot);
        found.own += delta;
        found.sum += delta;
        if (found.own.positive == 0 && found.own.negative == 0) {
            const std::int32_t gone = *slot;
            *slot = merge(found.left, found.right);
            free_.push_back(gone);
        }
        return;
    }
    // A new score: made first, since the slots below point into the nodes.
    std::int32_t made;
    if (free_.empty()) {
        made = static_cast<std::int32_t>(nodes_.size());
        nodes_.emplace_back();
    } else {
        made = free_.back();
        free_.pop_back();
    }
    Node fresh;
    fresh.key = key;
    fresh.priority = mix64(std::bit_cast<std::uint64_t>(key));
    fresh.own = delta;
    node(made) = fresh;
    std::int32_t* slot = &root_;
    while (*slot >= 0 && node(*slot).priority > fresh.priority) {
        node(*slot).sum += delta;
        slot = key < node(*slot).key ? &node(*slot).left : &node(*slot).right;
    }
    const auto [low, high] = split(*slot, key);
    node(made).left = low;
    node(made).right = high;
    refresh(made);
    *slot = made;
}

std::pair<ScoreRanks::Counts, ScoreRanks::Counts> ScoreRanks::around(double score) const noexcept {
    Counts below;
    Counts at;
    std::int32_t t = root_;
    while (t >= 0) {
        const Node& n = node(t);
        if (score < n.key) {
            t = n.left;
        } else if (n.key < score) {
            if (n.left >= 0) {
                below += node(n.left).sum;
            }
            below += n.own;
            t = n.right;
        } else {
            if (n.left >= 0) {
                below += node(n.left).sum;
            }
            at = n.own;
            break;
        }
    }
    return {below, at};
}

ROCAUC::ROCAUC(int window_size) : window_size_(window_size) {
    if (window_size < 0) {
        throw std::invalid_argument("'window_size' must be at least 0 (0: every update), got " +
                                    std::to_string(window_size));
    }
}

void ROCAUC::reset() noexcept {
    ranks_.clear();
    window_.clear();
    twice_u_ = 0;
}

std::int64_t ROCAUC::size() const noexcept {
    const ScoreRanks::Counts all = ranks_.total();
    return all.positive + all.negative;
}

void ROCAUC::insert(double score, bool positive) {
    const auto [below, at] = ranks_.around(score);
    if (positive) {
        twice_u_ += static_cast<std::uint64_t>(2 * below.negative + at.negative);
    } else {
        const std::int64_t above = ranks_.total().positive - below.positive - at.positive;
        twice_u_ += static_cast<std::uint64_t>(2 * above + at.positive);
    }
    ranks_.add(score, positive);
}

void ROCAUC::erase(double score, bool positive) {
    ranks_.add(score, positive, -1);
    const auto [below, at] = ranks_.around(score);
    if (positive) {
        twice_u_ -= static_cast<std::uint64_t>(2 * below.negative + at.negative);
    } else {
        const std::int64_t above = ranks_.total().positive - below.positive - at.positive;
        twice_u_ -= static_cast<std::uint64_t>(2 * above + at.positive);
    }
}

void ROCAUC::update(int y_true, double y_score) {
    if (std::isnan(y_score)) {
        throw std::invalid_argument("ROCAUC.update: the score must be a number, got NaN");
    }
    const bool positive = y_true != 0;
    if (window_size_ > 0) {
        if (window_.size() == static_cast<std::size_t>(window_size_)) {
            const auto [old_score, old_positive] = window_.front();
            window_.pop_front();
            erase(old_score, old_positive);
        }
        window_.emplace_back(y_score, positive);
    }
    insert(y_score, positive);
}

double ROCAUC::get() const noexcept {
    const ScoreRanks::Counts all = ranks_.total();
    if (all.positive == 0 || all.negative == 0) {
        return 0.5;
    }
    return static_cast<double>(twice_u_) /
           (2.0 * static_cast<double>(all.positive) * static_cast<double>(all.negative));
}

template <class Archive>
void ROCAUC::fields(Archive& ar) {
    ar.param("window_size", window_size_);
    if constexpr (Archive::kParamsOnly) {
        return;
    } else if constexpr (Archive::kLoading) {
        ar.check(window_size_ >= 0, "the window size is negative");
        reset();
        if (window_size_ > 0) {
            std::deque<std::pair<double, bool>> window;
            ar(window);
            ar.check(window.size() <= static_cast<std::size_t>(window_size_), "the window is overfull");
            for (const auto& [score, positive] : window) {
                ar.check(!std::isnan(score), "a score is NaN");
                insert(score, positive);
            }
            window_ = std::move(window);
        } else {
            const std::size_t n = ar.get_count(24);
            double previous = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                double score = 0.0;
                ScoreRanks::Counts counts;
                ar(score, counts.positive, counts.negative);
                ar.check(!std::isnan(score) && (i == 0 || previous < score) && !(score == 0.0 && std::signbit(score)),
                         "the scores are not in ascending order");
                ar.check(counts.positive >= 0 && counts.negative >= 0 && counts.positive + counts.negative > 0 &&
                             counts.positive < (std::int64_t{1} << 40) && counts.negative < (std::int64_t{1} << 40),
                         "a score's counts are out of range");
                previous = score;
                // Ascending scores: the negatives below are those added so far.
                const std::int64_t negatives_below = ranks_.total().negative;
                twice_u_ += static_cast<std::uint64_t>(counts.positive) *
                            static_cast<std::uint64_t>(2 * negatives_below + counts.negative);
                if (counts.positive > 0) {
                    ranks_.add(score, true, counts.positive);
                }
                if (counts.negative > 0) {
                    ranks_.add(score, false, counts.negative);
                }
            }
        }
    } else {
        if (window_size_ > 0) {
            ar(window_);
        } else {
            std::uint64_t n = 0;
            ranks_.in_order([&n](double, const ScoreRanks::Counts&) { ++n; });
            ar.put_u64(n);
            ranks_.in_order([&ar](double score, const ScoreRanks::Counts& counts) {
                ar.put_f64(score);
                ar.put_u64(static_cast<std::uint64_t>(counts.positive));
                ar.put_u64(static_cast<std::uint64_t>(counts.negative));
            });
        }
    }
}

TARVO_ARCHIVE_FIELDS(ROCAUC);

}  // namespace tarvo
