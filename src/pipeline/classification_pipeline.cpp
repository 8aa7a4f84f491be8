#include "pipeline/classification_pipeline.hpp"

#include <stdexcept>
#include <utility>

namespace tarvo {

ClassificationPipeline::ClassificationPipeline(std::vector<std::shared_ptr<ITransformer>> steps,
                                               std::shared_ptr<IClassifier> learner)
    : steps_(std::move(steps)), learner_(std::move(learner)), depth_(1) {
    if (!learner_) {
        throw std::invalid_argument("pipeline learner is null");
    }
    if (const auto* inner = dynamic_cast<const ClassificationPipeline*>(learner_.get())) {
        depth_ = depth_around(inner->depth());
    }
}

void ClassificationPipeline::learn_one(const FeatureMap& x, int y) {
    FeatureMap w = x;
    steps_.learn_and_transform(w, static_cast<double>(y));
    learner_->learn_one(w, y);
}

int ClassificationPipeline::predict_one(const FeatureMap& x) {
    FeatureMap w = x;
    steps_.transform(w);
    return learner_->predict_one(w);
}

ProbabilityMap ClassificationPipeline::predict_proba_one(const FeatureMap& x) {
    FeatureMap w = x;
    steps_.transform(w);
    return learner_->predict_proba_one(w);
}

void ClassificationPipeline::reset() {
    steps_.reset();
    learner_->reset();
}

void ClassificationPipeline::set_feature_order(const std::vector<std::string>& names) {
    steps_.set_feature_order(names);
}

}  // namespace tarvo
