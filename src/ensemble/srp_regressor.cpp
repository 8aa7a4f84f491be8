#include "ensemble/srp_regressor.hpp"

#include <cmath>
#include <utility>

#include "core/archive.hpp"
#include "core/random.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

namespace {
constexpr double kMemberSplitConfidence = 1e-7;
constexpr double kMemberTieThreshold = 0.05;
}  // namespace

SRPRegressor::SRPRegressor(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                           double drift_delta_, double warning_delta_, std::int32_t grace_period_,
                           std::int32_t max_depth_, double learning_rate_,
                           double subspace_fraction_, std::string training_method_)
    : n_models(n_models_),
      seed(seed_),
      lambda_value(lambda_value_),
      subspace_fraction(subspace_fraction_),
      training_method(std::move(training_method_)),
      learning_rate(learning_rate_),
      grace_period(grace_period_),
      max_depth(max_depth_),
      drift_delta(drift_delta_),
      warning_delta(warning_delta_) {
    seed_generator(generator_, seed);
    reset();
}

std::unique_ptr<HoeffdingTreeRegressor> SRPRegressor::make_member_tree() const {
    return std::make_unique<HoeffdingTreeRegressor>(grace_period, kMemberSplitConfidence,
                                                    kMemberTieThreshold, max_depth, learning_rate);
}

void SRPRegressor::reset() {
    const std::size_t size = forest_size(n_models);
    seed_generator(generator_, seed);
    resize_forest(members_, size, drift_delta, warning_delta);
    for (SRPRegressorMember& m : members_) {
        m.trees.restart(nullptr, drift_delta, warning_delta);
        m.features.clear();
        m.initialised = false;
    }
}

void SRPRegressor::learn_one(const FeatureMap& x, double y) {
    const TrainingMethodChoice method = training_method.choice();
    const PatchWeight weights(method, lambda_value);
    gather_entries(x, entries_);
    for (std::size_t i = 0; i < members_.size(); ++i) {
        SRPRegressorMember& m = members_[i];
        if (!m.initialised) {
            m.trees.model = make_member_tree();
            if (draws_subspaces(method)) {
                m.features.assign(draw_patch(seed, i, x, subspace_fraction));
            }
            m.initialised = true;
        }
        const FeatureMap& xp = m.features.project(x, entries_);

        // Test, then train.
        const double predicted = m.trees.model->predict_one(xp);
        const int weight = weights.draw(generator_);
        m.trees.train([&](HoeffdingTreeRegressor& tree) {
            tree.learn_repeated(xp, y, weight);
        });
        m.trees.watch(std::fabs(y - predicted), drift_delta, warning_delta, Trees::Alarms::kAny,
                      [this](Trees::Role) { return make_member_tree(); });
    }
}

double SRPRegressor::predict_one(const FeatureMap& x) {
    gather_entries(x, entries_);
    double sum = 0.0;
    std::size_t count = 0;
    for (SRPRegressorMember& m : members_) {
        if (m.initialised && m.trees.model) {
            sum += m.trees.model->predict_one(m.features.project(x, entries_));
            ++count;
        }
    }
    return count == 0 ? 0.0 : sum / static_cast<double>(count);
}

template <class Archive>
void SRPRegressor::fields(Archive& ar) {
    ar.param("n_models", n_models);
    ar.param("seed", seed);
    ar.param("lambda_value", lambda_value);
    ar.param("drift_delta", drift_delta);
    ar.param("warning_delta", warning_delta);
    ar.param("grace_period", grace_period);
    ar.param("max_depth", max_depth);
    ar.param("learning_rate", learning_rate);
    ar.param("subspace_fraction", subspace_fraction);
    ar.param("training_method", training_method);
    ar(generator_);
    archive_members(ar, members_, drift_delta, warning_delta);
    // The sample's entries are gathered afresh by every call.
}

TARVO_ARCHIVE_FIELDS(SRPRegressor);

}  // namespace tarvo
