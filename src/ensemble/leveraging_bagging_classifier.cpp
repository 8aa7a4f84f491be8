#include "ensemble/leveraging_bagging_classifier.hpp"

#include <utility>

#include "core/archive.hpp"
#include "core/random.hpp"
#include "ensemble/forest_settings.hpp"
#include "ensemble/member_vote.hpp"

namespace tarvo {

namespace {
constexpr double kMemberTieThreshold = 0.05;
}  // namespace

LeveragingBaggingClassifier::LeveragingBaggingClassifier(std::int32_t n_models_,
                                                         std::int32_t seed_,
                                                         double lambda_value_,
                                                         double drift_delta_,
                                                         std::int32_t grace_period_,
                                                         std::int32_t max_depth_,
                                                         double split_confidence_)
    : n_models(n_models_),
      seed(seed_),
      lambda_value(lambda_value_),
      drift_delta(drift_delta_),
      split_confidence(split_confidence_),
      grace_period(grace_period_),
      max_depth(max_depth_) {
    seed_generator(generator_, seed);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> LeveragingBaggingClassifier::make_member_tree() const {
    return std::make_unique<HoeffdingTreeClassifier>(grace_period, split_confidence,
                                                     kMemberTieThreshold, 0, max_depth,
                                                     "info_gain");
}

void LeveragingBaggingClassifier::reset() {
    const std::size_t size = forest_size(n_models);
    seed_generator(generator_, seed);
    resize_forest(members_, size, drift_delta);
    for (LBClassifierMember& m : members_) {
        m.restart(make_member_tree(), drift_delta);
    }
}

void LeveragingBaggingClassifier::learn_one(const FeatureMap& x, int y) {
    const PoissonParams params = training_weight(lambda_value);
    for (LBClassifierMember& m : members_) {
        // Test, then train.
        const bool correct = m.tree->predict_one(x) == y;
        m.tree->learn_repeated(x, y, poisson(generator_, params));
        if (m.watch(correct ? 0.0 : 1.0)) {
            m.restart(make_member_tree(), drift_delta);
        }
    }
}

ProbabilityMap LeveragingBaggingClassifier::predict_proba_one(const FeatureMap& x) {
    MemberVote vote;
    for (LBClassifierMember& m : members_) {
        vote.add(m.tree->predict_proba_one(x), 1.0);
    }
    return std::move(vote).result();
}

int LeveragingBaggingClassifier::predict_one(const FeatureMap& x) {
    return top_label(predict_proba_one(x));
}

template <class Archive>
void LeveragingBaggingClassifier::fields(Archive& ar) {
    ar.param("n_models", n_models);
    ar.param("seed", seed);
    ar.param("lambda_value", lambda_value);
    ar.param("drift_delta", drift_delta);
    ar.param("grace_period", grace_period);
    ar.param("max_depth", max_depth);
    ar.param("split_confidence", split_confidence);
    ar(generator_);
    archive_members(ar, members_, drift_delta);
}

TARVO_ARCHIVE_FIELDS(LeveragingBaggingClassifier);

}  // namespace tarvo
