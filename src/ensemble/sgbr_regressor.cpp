#include "ensemble/sgbr_regressor.hpp"

#include <algorithm>
#include <utility>

#include "core/archive.hpp"

namespace tarvo {

SGBRRegressor::SGBRRegressor(std::int32_t n_models_, double learning_rate_,
                             std::int32_t percentage_of_features_,
                             std::int32_t multiply_hessian_by_, std::int32_t skip_training_,
                             std::int32_t bag_size_, std::int32_t grace_period_,
                             double split_confidence_, std::int32_t max_depth_,
                             std::string leaf_prediction_, std::int32_t seed_)
    : BoostingSettings{n_models_,          learning_rate_, percentage_of_features_,
                       multiply_hessian_by_, skip_training_, bag_size_,
                       seed_,              grace_period_,  max_depth_,
                       split_confidence_,  std::move(leaf_prediction_)} {}

void SGBRRegressor::learn_one(const FeatureMap& x, double y) {
    if (!booster_) {
        booster_ = std::make_unique<Booster>(for_booster(true));
    }
    booster_->learn_one(x, y);
}

void SGBRRegressor::learn_chunk(const SampleSource& samples, std::span<const double> ys,
                                double* answers, TaskRunner& runner, std::size_t& learnt) {
    learnt = 0;
    const std::span<const FeatureMap> xs = samples.all(samples_);
    const bool had_booster = booster_ != nullptr;
    if (!xs.empty() && !had_booster) {
        learn_one(xs[0], ys[0]);  // makes the booster first; may throw before changing anything
        if (answers != nullptr) {
            answers[0] = 0.0;
        }
        learnt = 1;
    }
    if (learnt == xs.size()) {
        return;
    }
    Booster* const boosters[] = {booster_.get()};
    const std::size_t per_row = std::max<std::size_t>(1, BoosterLanes::counts_per_row(*booster_));
    const std::size_t most =
        std::clamp<std::size_t>(BoosterLanes::kMaxCounts / per_row, 1, BoosterLanes::kMaxRows);
    while (learnt < xs.size()) {
        const std::size_t rows = std::min(most, xs.size() - learnt);
        lanes_.prepare(rows, 1);
        for (std::size_t r = 0; r < rows; ++r) {
            BoosterLanes::Cell& c = lanes_.cell(r, 0);
            c.learns = true;
            c.scores = answers != nullptr;
            c.target = ys[learnt + r];
        }
        lanes_.run(boosters, xs.subspan(learnt, rows), runner);
        if (answers != nullptr) {
            for (std::size_t r = 0; r < rows; ++r) {
                answers[learnt + r] = lanes_.cell(r, 0).raw;
            }
        }
        learnt += rows;
    }
}

double SGBRRegressor::predict_one(const FeatureMap& x) {
    return booster_ ? booster_->raw_score(x) : 0.0;
}

template <class Archive>
void SGBRRegressor::fields(Archive& ar) {
    params(ar, [] {}, [] {});
    // The booster is built at the first sample.
    archive_optional(ar, booster_, [] { return std::make_unique<Booster>(BoosterSettings{}); });
}

TARVO_ARCHIVE_FIELDS(SGBRRegressor);

}  // namespace tarvo
