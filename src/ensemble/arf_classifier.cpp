#include "ensemble/arf_classifier.hpp"

#include <cmath>
#include <utility>

#include "core/random.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

namespace {

// Seed steps of the trees a member builds: its first tree, a background tree
// started by a warning, a fresh tree after a drift without one.
constexpr std::uint32_t kFirstTreeStep = 1000;
constexpr std::uint32_t kBackgroundStep = 7919;
constexpr std::uint32_t kReplacementStep = 104729;

constexpr double kMemberTieThreshold = 0.05;

}  // namespace

ARFClassifier::ARFClassifier(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                             double drift_delta_, double warning_delta_,
                             std::int32_t grace_period_, std::int32_t max_depth_,
                             double split_confidence_, std::int32_t subspace_size_)
    : n_models(n_models_),
      seed(seed_),
      lambda_value(lambda_value_),
      subspace_size(subspace_size_),
      drift_delta(drift_delta_),
      warning_delta(warning_delta_),
      split_confidence(split_confidence_),
      grace_period(grace_period_),
      max_depth(max_depth_) {
    seed_generator(generator_, seed);
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> ARFClassifier::make_member_tree(
    std::int32_t tree_seed, std::size_t n_features) const {
    auto tree = std::make_unique<HoeffdingTreeClassifier>(
        grace_period, split_confidence, kMemberTieThreshold, 0, max_depth, "info_gain");
    const double k = subspace_size >= 0
                         ? static_cast<double>(subspace_size)
                         : std::trunc(std::sqrt(static_cast<double>(n_features))) + 1.0;
    if (k >= 1.0 && k < static_cast<double>(n_features)) {
        // k < n_features and k <= max(subspace_size, sqrt(n) + 1) fit an int.
        tree->set_subspace(static_cast<int>(k), tree_seed);
    }
    return tree;
}

void ARFClassifier::reset() {
    const std::size_t size = forest_size(n_models);
    seed_generator(generator_, seed);
    resize_forest(members_, size, drift_delta, warning_delta);
    for (ARFClassifierMember& m : members_) {
        m.trees.restart(nullptr, drift_delta, warning_delta);
        m.accuracy.restart();
        m.initialised = false;
        m.tree_seed = 0;
        m.background_seed = 0;
    }
}

void ARFClassifier::learn_one(const FeatureMap& x, int y) {
    const PoissonParams params = training_weight(lambda_value);
    const std::size_t n_features = x.size();
    for (std::size_t i = 0; i < members_.size(); ++i) {
        ARFClassifierMember& m = members_[i];
        if (!m.initialised) {
            m.tree_seed = member_seed(seed, kFirstTreeStep, i, 0.0);
            m.trees.model = make_member_tree(m.tree_seed, n_features);
            m.initialised = true;
        }

        // Test, then train.
        const bool correct = m.trees.model->predict_one(x) == y;
        m.accuracy.record(correct);
        const int weight = poisson(generator_, params);
        if (weight > 0) {
            m.trees.train(
                [&](HoeffdingTreeClassifier& tree) { tree.learn_repeated(x, y, weight); });
        }

        // A tree built on a warning or a drift is seeded from the member's
        // sample count at that moment.
        const auto change = m.trees.watch(
            correct ? 0.0 : 1.0, drift_delta, warning_delta, Trees::Alarms::kAny,
            [&](Trees::Role role) {
                if (role == Trees::Role::kBackground) {
                    m.background_seed = member_seed(seed, kBackgroundStep, i, m.accuracy.n_seen);
                    return make_member_tree(m.background_seed, n_features);
                }
                m.tree_seed = member_seed(seed, kReplacementStep, i, m.accuracy.n_seen);
                return make_member_tree(m.tree_seed, n_features);
            });
        if (change.drift) {
            if (change.promoted) {
                m.tree_seed = m.background_seed;
            }
            m.accuracy.restart();
        }
    }
}

ProbabilityMap ARFClassifier::predict_proba_one(const FeatureMap& x) {
    MemberVote vote;
    for (ARFClassifierMember& m : members_) {
        if (m.initialised && m.trees.model) {
            vote.add(m.trees.model->predict_proba_one(x), m.accuracy.weight());
        }
    }
    return std::move(vote).result();
}

int ARFClassifier::predict_one(const FeatureMap& x) {
    return top_label(predict_proba_one(x));
}

}  // namespace tarvo
