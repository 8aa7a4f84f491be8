#include "pipeline/step_chain.hpp"

#include <stdexcept>
#include <string>
#include <utility>

namespace tarvo {

StepChain::StepChain(std::vector<std::shared_ptr<ITransformer>> steps) : steps_(std::move(steps)) {
    for (const auto& step : steps_) {
        if (!step) {
            throw std::invalid_argument("pipeline step is null");
        }
    }
}

std::size_t depth_around(std::size_t inner_depth) {
    if (inner_depth >= kMaxPipelineDepth) {
        throw std::length_error("pipelines (and target wrappers) nest at most " +
                                std::to_string(kMaxPipelineDepth) + " deep");
    }
    return inner_depth + 1;
}

void StepChain::learn_and_transform(FeatureMap& w, double y) const {
    for (const auto& step : steps_) {
        if (step->requires_target()) {
            step->learn_one(w, y);
        } else {
            step->learn_one(w);
        }
        step->transform_in_place(w);
    }
}

void StepChain::transform(FeatureMap& w) const {
    for (const auto& step : steps_) {
        step->transform_in_place(w);
    }
}

void StepChain::set_feature_order(const std::vector<std::string>& names) const {
    for (const auto& step : steps_) {
        step->set_feature_order(names);
    }
}

void StepChain::reset() const {
    for (const auto& step : steps_) {
        step->reset();
    }
}

}  // namespace tarvo
