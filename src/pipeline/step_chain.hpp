#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/feature_map.hpp"
#include "core/transformer.hpp"

namespace tarvo {

// The transformers in front of a pipeline's learner, shared with their other
// owners. A sample passes through them in list order.
class StepChain {
public:
    // Throws std::invalid_argument when a step is null.
    explicit StepChain(std::vector<std::shared_ptr<ITransformer>> steps);

    // Each step learns from w as the steps before it left it (with y when it
    // needs the target), then transforms w for the next step.
    void learn_and_transform(FeatureMap& w, double y) const;
    // Each step transforms w; nothing learns.
    void transform(FeatureMap& w) const;
    void set_feature_order(const std::vector<std::string>& names) const;
    void reset() const;

    [[nodiscard]] const std::vector<std::shared_ptr<ITransformer>>& steps() const noexcept {
        return steps_;
    }

private:
    std::vector<std::shared_ptr<ITransformer>> steps_;
};

// Pipelines may serve as the learner of other pipelines (and regression
// pipelines and target wrappers as each other's regressor); the calls recurse
// once per level, and so does destruction, so the depth is bounded.
inline constexpr std::size_t kMaxPipelineDepth = 100;

// The depth of a pipeline (or wrapper) around a learner that nests
// inner_depth levels deep. Throws std::length_error beyond kMaxPipelineDepth.
[[nodiscard]] std::size_t depth_around(std::size_t inner_depth);

}  // namespace tarvo
