#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/classifier.hpp"
#include "ensemble/booster.hpp"

namespace tarvo {

// Streaming gradient boosted trees for classification. By default one
// booster per label, each trained one-against-the-rest on the odds of its
// label being absent (target 0.0 for its own label, 1.0 for the others);
// with n_classes = 2 a single booster scores the smallest label seen against
// the others. Probabilities come from the logistic function of the raw
// scores; one against the rest, a label's share is 1 - sigmoid(score), and
// shares that all round to 0 are normalised from their logarithms.
//
// A booster copies the settings when it is created (at the first sample, or
// for a label first seen later); n_classes is read at every call.
class SGBTClassifier final : public IClassifier {
public:
    explicit SGBTClassifier(std::int32_t n_models = 100, double learning_rate = 0.0125,
                            std::int32_t percentage_of_features = 75,
                            std::int32_t multiply_hessian_by = 1, std::int32_t skip_training = 1,
                            bool use_squared_loss = false, std::int32_t bag_size = 1,
                            std::int32_t n_classes = 0, bool scale_prediction_by_lr = false,
                            std::int32_t grace_period = 25, double split_confidence = 0.05,
                            std::int32_t max_depth = 20, std::string leaf_prediction = "mean",
                            std::int32_t seed = 1);

    // Throws std::invalid_argument, before anything changes, when a new
    // booster would hold more than kMaxBoosterTrees trees.
    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    [[nodiscard]] const std::vector<int>& classes() const noexcept { return classes_; }
    [[nodiscard]] const std::vector<std::unique_ptr<Booster>>& boosters() const noexcept {
        return boosters_;
    }

    std::int32_t n_models;
    double learning_rate;
    std::int32_t percentage_of_features;
    std::int32_t multiply_hessian_by;
    std::int32_t skip_training;
    bool use_squared_loss;
    std::int32_t bag_size;
    std::int32_t n_classes;
    bool scale_prediction_by_lr;
    std::int32_t seed;
    std::int32_t grace_period;
    std::int32_t max_depth;
    double split_confidence;
    std::string leaf_prediction;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<Booster> make_booster() const;
    // The booster's raw score, times its learning rate when
    // scale_prediction_by_lr is set.
    [[nodiscard]] double score(Booster& booster, const FeatureMap& x) const;

    std::vector<int> classes_;
    std::vector<std::unique_ptr<Booster>> boosters_;
};

}  // namespace tarvo
