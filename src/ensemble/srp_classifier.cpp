#include "ensemble/srp_classifier.hpp"

#include <utility>

#include "core/archive.hpp"
#include "core/random.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

namespace {
constexpr double kMemberTieThreshold = 0.05;
}  // namespace

SRPClassifier::SRPClassifier(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                             double drift_delta_, double warning_delta_,
                             std::int32_t grace_period_, std::int32_t max_depth_,
                             double split_confidence_, double subspace_fraction_,
                             std::string training_method_)
    : n_models(n_models_),
      seed(seed_),
      lambda_value(lambda_value_),
      subspace_fraction(subspace_fraction_),
      training_method(std::move(training_method_)),
      drift_delta(drift_delta_),
      warning_delta(warning_delta_),
      split_confidence(split_confidence_),
      grace_period(grace_period_),
      max_depth(max_depth_) {
    seed_generator(generator_, seed);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> SRPClassifier::make_member_tree() const {
    return std::make_unique<HoeffdingTreeClassifier>(grace_period, split_confidence,
                                                     kMemberTieThreshold, 0, max_depth,
                                                     "info_gain");
}

void SRPClassifier::reset() {
    const std::size_t size = forest_size(n_models);
    seed_generator(generator_, seed);
    resize_forest(members_, size, drift_delta, warning_delta);
    for (SRPClassifierMember& m : members_) {
        m.trees.restart(nullptr, drift_delta, warning_delta);
        m.features.clear();
        m.accuracy.restart();
        m.initialised = false;
    }
}

void SRPClassifier::learn_one(const FeatureMap& x, int y) {
    const TrainingMethodChoice method = training_method.choice();
    const PatchWeight weights(method, lambda_value);
    gather_entries(x, entries_);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        SRPClassifierMember& m = members_[i];
        if (!m.initialised) {
            m.trees.model = make_member_tree();
            if (draws_subspaces(method)) {
                m.features.assign(draw_patch(seed, i, x, subspace_fraction));
            }
            m.initialised = true;
        }
        const FeatureMap& xp = m.features.project(x, entries_);

        // Test, then train.
        const bool correct = m.trees.model->predict_one(xp) == y;
        m.accuracy.record(correct);
        const int weight = weights.draw(generator_);
        if (weight > 0) {
            m.trees.train(
                [&](HoeffdingTreeClassifier& tree) { tree.learn_repeated(xp, y, weight); });
        }
        const auto change =
            m.trees.watch(correct ? 0.0 : 1.0, drift_delta, warning_delta, Trees::Alarms::kAny,
                          [this](Trees::Role) { return make_member_tree(); });
        if (change.drift) {
            m.accuracy.restart();
        }
    }
}

ProbabilityMap SRPClassifier::predict_proba_one(const FeatureMap& x) {
    gather_entries(x, entries_);
    MemberVote vote;
    for (SRPClassifierMember& m : members_) {
        if (m.initialised && m.trees.model) {
            vote.add(m.trees.model->predict_proba_one(m.features.project(x, entries_)),
                     m.accuracy.weight());
        }
    }
    return std::move(vote).result();
}

int SRPClassifier::predict_one(const FeatureMap& x) {
    return top_label(predict_proba_one(x));
}

template <class Archive>
void SRPClassifier::fields(Archive& ar) {
    ar.param("n_models", n_models);
    ar.param("seed", seed);
    ar.param("lambda_value", lambda_value);
    ar.param("drift_delta", drift_delta);
    ar.param("warning_delta", warning_delta);
    ar.param("grace_period", grace_period);
    ar.param("max_depth", max_depth);
    ar.param("split_confidence", split_confidence);
    ar.param("subspace_fraction", subspace_fraction);
    ar.param("training_method", training_method);
    ar(generator_);
    archive_members(ar, members_, drift_delta, warning_delta);
    // The sample's entries are gathered afresh by every call.
}

TARVO_ARCHIVE_FIELDS(SRPClassifier);

}  // namespace tarvo
