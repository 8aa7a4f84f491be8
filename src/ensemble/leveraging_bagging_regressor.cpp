#include "ensemble/leveraging_bagging_regressor.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/archive.hpp"
#include "core/interrupt.hpp"
#include "core/random.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

namespace {
constexpr double kMemberTieThreshold = 0.05;
}  // namespace

LeveragingBaggingRegressor::LeveragingBaggingRegressor(std::int32_t n_models_, std::int32_t seed_,
                                                       double lambda_value_, double drift_delta_,
                                                       std::int32_t grace_period_,
                                                       std::int32_t max_depth_,
                                                       double split_confidence_,
                                                       std::string leaf_prediction_)
    : n_models(n_models_),
      seed(seed_),
      lambda_value(lambda_value_),
      drift_delta(drift_delta_),
      split_confidence(split_confidence_),
      grace_period(grace_period_),
      max_depth(max_depth_),
      leaf_prediction(std::move(leaf_prediction_)) {
    seed_generator(generator_, seed);
    reset();
}

std::unique_ptr<FIMTDDRegressor> LeveragingBaggingRegressor::make_member_tree(
    std::size_t index) const {
    // Member i's tree, first or replacement, starts from seed + i (wrapping).
    const auto tree_seed = static_cast<std::int32_t>(static_cast<std::uint32_t>(seed) +
                                                     static_cast<std::uint32_t>(index));
    auto tree = std::make_unique<FIMTDDRegressor>(grace_period, split_confidence,
                                                  kMemberTieThreshold, max_depth, leaf_prediction);
    tree->seed = tree_seed;
    tree->reset();
    return tree;
}

void LeveragingBaggingRegressor::reset() {
    if (n_models > kMaxForestMembers) {
        (void)forest_size(n_models);  // throws, naming n_models
    }
    members_.clear();
    if (n_models < 0) {
        // The failure of reserving a negative count, with a fixed message.
        throw std::length_error("vector");
    }
    const auto size = static_cast<std::size_t>(n_models);
    members_.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        members_.emplace_back(drift_delta);
        members_.back().tree = make_member_tree(i);
    }
    targets_ = RunningSums{};
    seed_generator(generator_, seed);
}

double LeveragingBaggingRegressor::error_scale() const noexcept {
    const double variance = targets_.population_variance();
    return targets_.count > 1.0 && variance > 0.0 ? std::sqrt(variance) : 1.0;
}

void LeveragingBaggingRegressor::learn_one(const FeatureMap& x, double y) {
    const PoissonParams params = training_weight(lambda_value);
    targets_.update(y);  // the current target counts in the scale
    const double scale = error_scale();
    for (std::size_t i = 0; i < members_.size(); ++i) {
        LBRegressorMember& m = members_[i];
        // Test, then train; a drift replaces the member after it has learnt.
        const bool drift = m.watch(std::fabs(m.tree->predict_one(x) - y) / scale);
        repeat_interruptibly(poisson(generator_, params), [&] { m.tree->learn_one(x, y); });
        if (drift) {
            m.restart(make_member_tree(i), drift_delta);
        }
    }
}

double LeveragingBaggingRegressor::predict_one(const FeatureMap& x) {
    if (members_.empty()) {
        return 0.0;
    }
    double sum = 0.0;
    for (LBRegressorMember& m : members_) {
        sum += m.tree->predict_one(x);
    }
    return sum / static_cast<double>(members_.size());
}

template <class Archive>
void LeveragingBaggingRegressor::fields(Archive& ar) {
    ar.param("n_models", n_models);
    ar.param("seed", seed);
    ar.param("lambda_value", lambda_value);
    ar.param("drift_delta", drift_delta);
    ar.param("grace_period", grace_period);
    ar.param("max_depth", max_depth);
    ar.param("split_confidence", split_confidence);
    ar.param("leaf_prediction", leaf_prediction);
    ar(targets_, generator_);
    archive_members_at_least(ar, 0, members_, drift_delta);  // there may be none
}

TARVO_ARCHIVE_FIELDS(LeveragingBaggingRegressor);

}  // namespace tarvo
