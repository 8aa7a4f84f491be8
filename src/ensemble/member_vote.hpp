#pragma once

#include <ranges>

#include "core/feature_map.hpp"

namespace tarvo {

// A member's test-then-train record since its tree became the member's tree,
// and the weight of its vote: its accuracy, or 1.0 before its first test.
struct MemberAccuracy {
    double n_correct = 0.0;
    double n_seen = 0.0;

    void record(bool correct) noexcept {
        n_seen += 1.0;
        if (correct) {
            n_correct += 1.0;
        }
    }
    void restart() noexcept { *this = MemberAccuracy{}; }
    [[nodiscard]] double weight() const noexcept { return n_seen > 0.0 ? n_correct / n_seen : 1.0; }

    template <class Archive>
    void fields(Archive& ar) {
        ar(n_correct, n_seen);
    }
};

// The vote of an ensemble's members: each member's class distribution,
// divided by its own sum, times the member's weight, summed per label and
// finally divided by the total. A member whose distribution is empty or sums
// to 0 or less, or whose weight is 0 or less, takes no part.
class MemberVote {
public:
    void add(const ProbabilityMap& p, double weight) { add_entries(p, weight); }
    // The same for any (label, probability) pairs, taken in their order.
    template <class Entries>
    void add_entries(const Entries& p, double weight) {
        if (std::ranges::empty(p) || !(weight > 0.0)) {
            return;
        }
        double sum = 0.0;
        for (const auto& entry : p) {
            sum += entry.second;
        }
        if (sum <= 0.0) {
            return;
        }
        for (const auto& [label, value] : p) {
            const double vote = (value / sum) * weight;
            tally_[label] += vote;
            total_ += vote;
        }
    }
    // The tally divided by its total when that is positive; empty when no
    // member took part.
    [[nodiscard]] ProbabilityMap result() &&;

private:
    ProbabilityMap tally_;
    double total_ = 0.0;
};

// The label of greatest probability, scanning p in its iteration order and
// replacing only on a strictly greater value (ties keep the earlier label);
// 0 for an empty map.
[[nodiscard]] int top_label(const ProbabilityMap& p) noexcept;

}  // namespace tarvo
