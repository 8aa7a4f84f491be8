#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/regressor.hpp"
#include "core/transformer.hpp"
#include "pipeline/step_chain.hpp"

namespace tarvo {

class ScaledTargetRegressor;

// Transformers chained in front of a regressor. Every operation works on a
// private copy of the sample; during learning each step learns from the
// sample as it reaches it (with the target for a step that needs it) and then
// transforms it. Steps and learner are shared with their other owners, who see
// what they learn.
class RegressionPipeline final : public IRegressor {
public:
    // Throws std::invalid_argument when a step or the learner is null, and
    // std::length_error when the learner is a pipeline kMaxPipelineDepth deep.
    RegressionPipeline(std::vector<std::shared_ptr<ITransformer>> steps,
                       std::shared_ptr<IRegressor> learner);

    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    // Resets every step in order, then the learner.
    void reset() override;
    // Passes the names unchanged to every step; the learner is not told.
    void set_feature_order(const std::vector<std::string>& names);

    // The steps in list order and the learner, as shared with their other owners.
    [[nodiscard]] const std::vector<std::shared_ptr<ITransformer>>& steps() const noexcept {
        return steps_.steps();
    }
    [[nodiscard]] const std::shared_ptr<IRegressor>& learner() const noexcept { return learner_; }

    // 1 for a pipeline whose learner is neither a pipeline nor a target wrapper.
    [[nodiscard]] std::size_t depth() const noexcept { return depth_; }

private:
    StepChain steps_;
    std::shared_ptr<IRegressor> learner_;
    std::size_t depth_;
    // The target wrapper that first learns the target below this pipeline (its
    // learner or deeper), held through learner_; nullptr when there is none. It
    // checks the target before the steps learn, so that a target it refuses
    // leaves the whole pipeline unchanged.
    const ScaledTargetRegressor* target_wrapper_ = nullptr;
};

}  // namespace tarvo
