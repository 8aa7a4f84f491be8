#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "core/chunk_learner.hpp"
#include "core/regressor.hpp"
#include "ensemble/booster.hpp"
#include "ensemble/booster_lanes.hpp"
#include "ensemble/boosting_settings.hpp"

namespace tarvo {

// Streaming gradient boosted regression: one booster with squared loss,
// created (with the settings as they stand) at the first learn_one after
// construction or reset. Predicts the booster's raw score, 0.0 before that.
// learn_chunk spreads a run of samples over threads as a pipeline of blocks
// of stages (BoosterLanes).
class SGBRRegressor final : public IRegressor, public ChunkLearner<double>, public BoostingSettings {
public:
    explicit SGBRRegressor(std::int32_t n_models = 10, double learning_rate = 1.0,
                           std::int32_t percentage_of_features = 75,
                           std::int32_t multiply_hessian_by = 1, std::int32_t skip_training = 1,
                           std::int32_t bag_size = 10, std::int32_t grace_period = 50,
                           double split_confidence = 0.01, std::int32_t max_depth = 20,
                           std::string leaf_prediction = "mean", std::int32_t seed = 1);

    // Throws std::invalid_argument, before anything changes, when the new
    // booster would hold more than kMaxBoosterTrees trees.
    void learn_one(const FeatureMap& x, double y) override;
    // As learn_one on each sample in turn; the answers are the raw scores
    // before each sample. A booster that cannot be made ends the chunk
    // before its first sample.
    void learn_chunk(const SampleSource& xs, std::span<const double> ys, double* answers,
                     TaskRunner& runner, std::size_t& learnt) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override { booster_.reset(); }

    [[nodiscard]] const Booster* booster() const noexcept { return booster_.get(); }

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    std::unique_ptr<Booster> booster_;
    BoosterLanes lanes_;  // learn_chunk's work space
    std::vector<FeatureMap> samples_;  // learn_chunk's samples, when made for it
};

}  // namespace tarvo
