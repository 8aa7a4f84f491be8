#include "ensemble/member_vote.hpp"

#include <utility>

namespace tarvo {

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
