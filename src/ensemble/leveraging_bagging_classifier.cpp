#include "ensemble/leveraging_bagging_classifier.hpp"

#include "core/archive.hpp"
#include "ensemble/member_learning.hpp"
#include "ensemble/member_trees.hpp"

namespace tarvo {

LeveragingBaggingClassifier::~LeveragingBaggingClassifier() = default;

LeveragingBaggingClassifier::LeveragingBaggingClassifier(std::int32_t n_models_,
                                                         std::int32_t seed_,
                                                         double lambda_value_,
                                                         double drift_delta_,
                                                         std::int32_t grace_period_,
                                                         std::int32_t max_depth_,
                                                         double split_confidence_)
    : Forest({n_models_, seed_, lambda_value_, drift_delta_, grace_period_, max_depth_}),
      split_confidence(split_confidence_) {
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> LeveragingBaggingClassifier::make_member_tree() const {
    return member_classifier_tree(*this, split_confidence);
}

LBClassifierMember LeveragingBaggingClassifier::fresh_member(std::size_t /*i*/) const {
    LBClassifierMember m(*this);
    m.tree = make_member_tree();
    return m;
}

void LeveragingBaggingClassifier::learn_member(std::size_t i, const Row& row, int weight) {
    LBClassifierMember& m = members_[i];
    m.learn(row.x, row.y, weight, answer_error(*m.tree, row.x, row.y), drift_delta,
            [this] { return make_member_tree(); });
}

template <class Archive>
void LeveragingBaggingClassifier::fields(Archive& ar) {
    params(ar);
    ar.param("split_confidence", split_confidence);
    state_fields(ar);
}

TARVO_ARCHIVE_FIELDS(LeveragingBaggingClassifier);

}  // namespace tarvo
