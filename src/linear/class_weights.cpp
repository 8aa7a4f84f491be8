#include "linear/class_weights.hpp"

#include <algorithm>

#include "core/archive.hpp"

namespace tarvo {

std::size_t ClassWeights::register_label(int y) {
    const auto [it, inserted] = position_.try_emplace(y, classes_.size());
    if (!inserted) {
        return it->second;
    }
    auto where = classes_.end();
    if (order_ == Order::ascending) {
        where = std::lower_bound(classes_.begin(), classes_.end(), y,
                                 [](const Class& c, int label) { return c.label < label; });
    }
    try {
        where = classes_.insert(where, Class{y, WeightRow{}});
    } catch (...) {
        position_.erase(it);
        throw;
    }
    // Labels after the new one moved one place on.
    const auto first = static_cast<std::size_t>(where - classes_.begin());
    for (std::size_t i = first; i < classes_.size(); ++i) {
        position_.find(classes_[i].label)->second = i;
    }
    return first;
}

void ClassWeights::score_all(const SlotSample& sample, std::vector<double>& out) const {
    out.resize(classes_.size());
    for (std::size_t i = 0; i < classes_.size(); ++i) {
        out[i] = classes_[i].row.score(sample);
    }
}

void ClassWeights::score_all(const FeatureMap& x, ScoreScratch& scratch) const {
    features_.resolve(x, scratch.sample);
    score_all(scratch.sample, scratch.scores);
}

void ClassWeights::clear() noexcept {
    classes_.clear();
    position_.clear();
    features_.clear();
}

template <class Archive>
void ClassWeights::fields(Archive& ar) {
    ar(classes_, features_);
    if constexpr (Archive::kLoading) {
        position_.clear();
        bool ordered = true;
        for (std::size_t i = 0; i < classes_.size(); ++i) {
            ordered = ordered && position_.try_emplace(classes_[i].label, i).second;
            if (order_ == Order::ascending && i > 0) {
                ordered = ordered && classes_[i - 1].label < classes_[i].label;
            }
        }
        ar.check(ordered, "the labels are repeated or out of order");
        bool known = true;
        for (const Class& c : classes_) {
            known = known && c.row.weights.slots_below(features_.size());
        }
        ar.check(known, "a weight belongs to no known feature");
    }
}

TARVO_ARCHIVE_FIELDS(ClassWeights);

}  // namespace tarvo
