#include "baselines/no_change_classifier.hpp"

#include <algorithm>

#include "core/archive.hpp"

namespace tarvo {

void NoChangeClassifier::learn_one(const FeatureMap& /*x*/, int y) {
    const auto at = std::lower_bound(labels_.begin(), labels_.end(), y);
    if (at == labels_.end() || *at != y) {
        labels_.insert(at, y);
    }
    last_ = y;
}

int NoChangeClassifier::predict_one(const FeatureMap& /*x*/) { return last_; }

ProbabilityMap NoChangeClassifier::predict_proba_one(const FeatureMap& /*x*/) {
    ProbabilityMap out;
    for (const int label : labels_) {
        out.emplace(label, label == last_ ? 1.0 : 0.0);
    }
    return out;
}

void NoChangeClassifier::reset() {
    labels_.clear();
    last_ = 0;
}

template <class Archive>
void NoChangeClassifier::fields(Archive& ar) {
    ar(labels_, last_);
    if constexpr (Archive::kLoading) {
        ar.check(std::adjacent_find(labels_.begin(), labels_.end(), [](int a, int b) { return a >= b; }) ==
                     labels_.end(),
                 "the labels are not in ascending order");
        ar.check(labels_.empty() ? last_ == 0 : std::binary_search(labels_.begin(), labels_.end(), last_),
                 "the last label is not among the labels");
    }
}

TARVO_ARCHIVE_FIELDS(NoChangeClassifier);

}  // namespace tarvo
