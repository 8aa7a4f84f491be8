#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/chunk_learner.hpp"
#include "core/classifier.hpp"
#include "ensemble/booster.hpp"
#include "ensemble/booster_lanes.hpp"
#include "ensemble/boosting_settings.hpp"

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
//
// learn_chunk spreads a run of samples over threads (BoosterLanes): the
// boosters side by side, each a pipeline of blocks of stages over the samples.
class SGBTClassifier final : public IClassifier, public ChunkLearner<int>, public BoostingSettings {
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
    // As learn_one on each sample in turn. First, on the calling thread, the
    // labels in order: each new label is added, and its booster made, as
    // learn_one adds them (a booster that cannot be made ends the chunk
    // before its sample). Then the boosters learn the samples
    // (BoosterLanes), scoring each first when answers are asked for; last,
    // each sample's answer from the scores of the boosters that existed
    // before it, as predict_one gives it.
    void learn_chunk(const SampleSource& xs, std::span<const int> ys, int* answers,
                     TaskRunner& runner, std::size_t& learnt) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    [[nodiscard]] const std::vector<int>& classes() const noexcept { return classes_; }
    [[nodiscard]] const std::vector<std::unique_ptr<Booster>>& boosters() const noexcept {
        return boosters_;
    }

    // Its own settings; the others are the BoostingSettings.
    bool use_squared_loss;
    std::int32_t n_classes;
    bool scale_prediction_by_lr;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<Booster> make_booster() const;
    // What learn_one does before any booster learns: adds y to the labels and
    // makes the booster it needs, if any (throwing, before anything changes,
    // what make_booster throws). Returns y's position among the labels.
    std::size_t admit(int y, const Booster*& made);
    // How many boosters, the first in order, predict_proba_one scores with
    // `boosters` boosters and `labels` labels.
    [[nodiscard]] std::size_t scored(std::size_t boosters, std::size_t labels) const noexcept;
    // predict_proba_one's distribution over `labels` given the scores of the
    // first scored(boosters, labels.size()) boosters.
    [[nodiscard]] ProbabilityMap distribution(std::span<const int> labels, std::size_t boosters,
                                              std::span<const double> scores) const;
    // predict_one's label from the distribution over `labels`.
    [[nodiscard]] static int top(const ProbabilityMap& proba, std::span<const int> labels);
    // The samples of a chunk whose labels have been admitted (admitted_ and
    // made_ describe them), learnt by the boosters.
    void learn_admitted(std::span<const FeatureMap> xs, std::span<const int> ys, int* answers,
                        TaskRunner& runner);
    // The booster's raw score, times its learning rate when
    // scale_prediction_by_lr is set.
    [[nodiscard]] double score(Booster& booster, const FeatureMap& x) const;

    std::vector<int> classes_;
    std::vector<std::unique_ptr<Booster>> boosters_;

    // learn_chunk's work space, kept between chunks. Per sample: the labels
    // known before it, the booster whose target is 0.0 (one against the
    // rest) or the single booster's target (two classes).
    struct Admitted {
        std::size_t labels_before;
        const Booster* own;
        double target;
    };
    std::vector<Admitted> admitted_;
    std::vector<FeatureMap> samples_;  // learn_chunk's samples, when made for it
    std::vector<std::pair<const Booster*, std::size_t>> made_;  // boosters made, and at which sample
    std::vector<int> known_;
    std::vector<Booster*> order_;
    std::vector<std::size_t> born_;  // per booster in order: the sample it was made at, or none
    std::vector<double> scores_;
    BoosterLanes lanes_;
};

}  // namespace tarvo
