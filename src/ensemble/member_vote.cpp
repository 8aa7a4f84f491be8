#include "ensemble/member_vote.hpp"

#include <utility>

namespace tarvo {

void MemberVote::add(const ProbabilityMap& p, double weight) {
    if (p.empty() || !(weight > 0.0)) {
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

ProbabilityMap MemberVote::result() && {
    if (total_ > 0.0) {
        for (auto& entry : tally_) {
            entry.second /= total_;
        }
    }
    return std::move(tally_);
}

int top_label(const ProbabilityMap& p) noexcept {
    auto it = p.begin();
    if (it == p.end()) {
        return 0;
    }
    int label = it->first;
    double best = it->second;
    for (++it; it != p.end(); ++it) {
        if (it->second > best) {
            best = it->second;
            label = it->first;
        }
    }
    return label;
}

}  // namespace tarvo
