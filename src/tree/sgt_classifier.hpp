#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/classifier.hpp"
#include "tree/gradient_node.hpp"

namespace tarvo {

// Stochastic gradient tree for binary classification: one incrementally
// grown tree whose leaves hold a logit. Labels greater than 0 are the
// positive class. Each sample adds the logistic loss's gradient g and hessian
// h at its leaf, whose logit then takes a regularised Newton step on the
// accumulated sums. Every grace_period samples a leaf considers splitting
// each feature at its gradient-weighted mean, estimating the share of each
// side from Gaussians fitted to the feature's values: the hessian's share
// from the hessian-weighted values, the gradient's from the values of the
// samples with positive and with negative gradient apart (a single
// gradient-weighted Gaussian would put the same share of G and H on each
// side, and no split could then ever gain).
class SGTClassifier final : public IClassifier {
public:
    explicit SGTClassifier(double learning_rate = 0.1, double lambda_ = 0.1,
                           std::int32_t grace_period = 200, std::int32_t max_depth = 6);
    ~SGTClassifier() override;
    SGTClassifier(const SGTClassifier&) = delete;
    SGTClassifier& operator=(const SGTClassifier&) = delete;

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    // The root node (for inspection).
    [[nodiscard]] const GradientNode* root() const noexcept { return root_.get(); }
    // Every label learnt since construction or the last reset, ascending.
    [[nodiscard]] const std::vector<int>& classes() const noexcept { return classes_; }

    // Settings, read by the next operation that needs them.
    double learning_rate;
    double lambda_;
    std::int32_t grace_period;
    std::int32_t max_depth;

private:
    void attempt_split(GradientNode& leaf) const;

    std::unique_ptr<GradientNode> root_;
    std::vector<int> classes_;
};

}  // namespace tarvo
