#include "pipeline/regression_pipeline.hpp"

#include <stdexcept>
#include <utility>

#include "wrappers/scaled_target_regressor.hpp"

namespace tarvo {

RegressionPipeline::RegressionPipeline(std::vector<std::shared_ptr<ITransformer>> steps,
                                       std::shared_ptr<IRegressor> learner)
    : steps_(std::move(steps)), learner_(std::move(learner)), depth_(1) {
    if (!learner_) {
        throw std::invalid_argument("pipeline learner is null");
    }
    depth_ = depth_around(nesting_depth(*learner_));
    target_wrapper_ = first_target_wrapper(*learner_);
}

void RegressionPipeline::learn_one(const FeatureMap& x, double y) {
    if (target_wrapper_ != nullptr) {
        target_wrapper_->check_target(y);
    }
    FeatureMap w = x;
    steps_.learn_and_transform(w, y);
    learner_->learn_one(w, y);
}

double RegressionPipeline::predict_one(const FeatureMap& x) {
    FeatureMap w = x;
    steps_.transform(w);
    return learner_->predict_one(w);
}

void RegressionPipeline::reset() {
    steps_.reset();
    learner_->reset();
}

void RegressionPipeline::set_feature_order(const std::vector<std::string>& names) {
    steps_.set_feature_order(names);
}

}  // namespace tarvo
