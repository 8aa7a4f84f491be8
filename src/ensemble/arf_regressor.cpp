#include "ensemble/arf_regressor.hpp"

#include <cmath>
#include <utility>

#include "core/random.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

namespace {

constexpr double kMemberSplitConfidence = 1e-7;
constexpr double kMemberTieThreshold = 0.05;

// Features a member keeps out of n: max(1, round(sqrt(n))), halves rounded
// away from zero.
std::size_t subspace_rule(std::size_t n) {
    const double k = std::round(std::sqrt(static_cast<double>(n)));
    return k < 1.0 ? 1 : static_cast<std::size_t>(k);
}

}  // namespace

ARFRegressor::ARFRegressor(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                           double drift_delta_, double warning_delta_, std::int32_t grace_period_,
                           std::int32_t max_depth_, double learning_rate_)
    : n_models(n_models_),
      seed(seed_),
      lambda_value(lambda_value_),
      drift_delta(drift_delta_),
      warning_delta(warning_delta_),
      grace_period(grace_period_),
      max_depth(max_depth_),
      learning_rate(learning_rate_) {
    seed_generator(generator_, seed);
    reset();
}

std::unique_ptr<HoeffdingTreeRegressor> ARFRegressor::make_member_tree() const {
    return std::make_unique<HoeffdingTreeRegressor>(grace_period, kMemberSplitConfidence,
                                                    kMemberTieThreshold, max_depth, learning_rate);
}

void ARFRegressor::reset() {
    const std::size_t size = forest_size(n_models);
    seed_generator(generator_, seed);
    resize_forest(members_, size, drift_delta, warning_delta);
    for (ARFRegressorMember& m : members_) {
        m.trees.restart(make_member_tree(), drift_delta, warning_delta);
        m.features.clear();
        m.initialised = false;
    }
}

void ARFRegressor::learn_one(const FeatureMap& x, double y) {
    const PoissonParams params = training_weight(lambda_value);
    gather_entries(x, entries_);
    for (ARFRegressorMember& m : members_) {
        if (!m.initialised) {
            m.features.assign(select_subspace(generator_, x, subspace_rule));
            m.initialised = true;
        }
        const FeatureMap& xp = m.features.project(x, entries_);

        // Test, then train.
        const double predicted = m.trees.model->predict_one(xp);
        const int weight = poisson(generator_, params);
        m.trees.train([&](HoeffdingTreeRegressor& tree) {
            tree.learn_repeated(xp, y, weight);
        });
        m.trees.watch(std::fabs(y - predicted), drift_delta, warning_delta,
                      ARFRegressorMember::Trees::Alarms::kAny,
                      [this](ARFRegressorMember::Trees::Role) { return make_member_tree(); });
    }
}

double ARFRegressor::predict_one(const FeatureMap& x) {
    gather_entries(x, entries_);
    double sum = 0.0;
    for (ARFRegressorMember& m : members_) {
        sum += m.trees.model->predict_one(m.features.project(x, entries_));
    }
    return sum / static_cast<double>(members_.size());
}

}  // namespace tarvo
