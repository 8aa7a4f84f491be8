#include "baselines/majority_class_classifier.hpp"

#include <limits>

#include "core/archive.hpp"

namespace tarvo {

void MajorityClassClassifier::learn_one(const FeatureMap& /*x*/, int y) {
    const std::int64_t count = ++counts_[y];
    total_ += 1;
    // Only y's count grew: it leads when it passes the leader, or equals it
    // with a smaller label.
    if (count > best_count_ || (count == best_count_ && y < best_)) {
        best_ = y;
        best_count_ = count;
    }
}

int MajorityClassClassifier::predict_one(const FeatureMap& /*x*/) { return best_; }

ProbabilityMap MajorityClassClassifier::predict_proba_one(const FeatureMap& /*x*/) {
    ProbabilityMap out;
    const double total = static_cast<double>(total_);
    for (const auto& [label, count] : counts_) {
        out.emplace(label, static_cast<double>(count) / total);
    }
    return out;
}

void MajorityClassClassifier::reset() {
    counts_.clear();
    total_ = 0;
    best_ = 0;
    best_count_ = 0;
}

template <class Archive>
void MajorityClassClassifier::fields(Archive& ar) {
    ar(counts_);
    if constexpr (Archive::kLoading) {
        total_ = 0;
        best_ = 0;
        best_count_ = 0;
        for (const auto& [label, count] : counts_) {
            ar.check(count >= 1 && count <= std::numeric_limits<std::int64_t>::max() - total_, "a label count is out of range");
            total_ += count;
            if (count > best_count_) {  // ascending labels: the first of equal counts stays
                best_ = label;
                best_count_ = count;
            }
        }
    }
}

TARVO_ARCHIVE_FIELDS(MajorityClassClassifier);

}  // namespace tarvo
