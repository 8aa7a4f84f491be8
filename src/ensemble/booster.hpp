#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/feature_map.hpp"
#include "core/random.hpp"
#include "tree/fimtdd_regressor.hpp"

namespace tarvo {

// What a booster copies from its owner when it is created.
struct BoosterSettings {
    std::int32_t n_models = 10;
    std::int32_t percentage_of_features = 75;
    std::int32_t multiply_hessian_by = 1;
    std::int32_t skip_training = 1;
    std::int32_t bag_size = 1;
    double learning_rate = 1.0;
    bool use_squared_loss = true;
    std::int32_t grace_period = 50;
    std::int32_t max_depth = 20;
    double split_confidence = 0.01;
    std::string leaf_prediction = "mean";
    std::int32_t seed = 1;

    template <class Archive>
    void fields(Archive& ar) {
        ar(n_models, percentage_of_features, multiply_hessian_by, skip_training, bag_size,
           learning_rate, use_squared_loss, grace_period, max_depth, split_confidence,
           leaf_prediction, seed);
    }
};

// The most trees a booster builds (stages times trees per stage): a count
// near the int range would exhaust memory at the first sample instead of
// building a booster.
inline constexpr std::int64_t kMaxBoosterTrees = 100000;

// The largest multiply_hessian_by: a stage repeats its step up to that many
// times per sample, so a factor near the int range would hold one call for
// hours.
inline constexpr std::int32_t kMaxHessianMultiplier = 1000;

// What a booster draws from its generator for one sample it learns: whether
// the sample is kept (skip_training drops the others), whether the stages
// existed before it (a booster built at this sample scored it 0.0), and, with
// bag_size >= 2, the Poisson count of every (stage, tree) in stage order.
struct RowDraws {
    bool kept = false;
    bool built = false;
    std::vector<std::int32_t> counts;
};

// Where the values of a sample stand, per name the booster knows (null when
// absent): scratch of one thread, reused from sample to sample.
struct Lookup {
    std::vector<const double*> found;
};

// Online gradient boosting: a fixed sequence of stages, each a small bag of
// FIMTDD trees on a fixed random subset of the features. Training walks the
// stages with the running raw score F of the stages before, turns F and the
// target into a Newton step under a squared or a logistic loss, trains the
// stage's trees on it and adds the learning rate times the stage's mean
// prediction to F. The raw score of a sample is the sum of the stage means.
class Booster {
public:
    // Copies the settings (n_models and bag_size below 1 act as 1) and seeds
    // the generator. Throws std::invalid_argument, naming n_models and
    // bag_size, when they would build more than kMaxBoosterTrees trees, and
    // naming multiply_hessian_by when it exceeds kMaxHessianMultiplier.
    explicit Booster(const BoosterSettings& settings);

    // One boosting step on one sample; target 0.0 / 1.0 for classification:
    // draw_row, then step over every stage.
    void learn_one(const FeatureMap& x, double target);

    // 0.0 until initialised; else the sum over the stages of the mean of the
    // stage's trees' predictions. The learning rate is not applied.
    [[nodiscard]] double raw_score(const FeatureMap& x);

    // The generator's part of learning x: the skip draw, the stages built at
    // the first sample kept, then the Poisson counts. Leaves the stages'
    // trees and views alone.
    void draw_row(const FeatureMap& x, RowDraws& draws);

    // Stages [first, last) of learning x given its draws: when `raw` is not
    // null and the stages existed before x, each stage's mean prediction is
    // added to *raw in stage order (raw_score's sum, continued); then, unless
    // x was dropped, each stage's Newton step from the running score f, which
    // it advances. Reads only the settings, the names and these stages, so
    // threads may run disjoint blocks of stages of one booster, each with its
    // own Lookup, as long as the blocks of one sample run in stage order;
    // the stages of a sample before x's draws are made must not run.
    void step(std::size_t first, std::size_t last, const FeatureMap& x, double target,
              const RowDraws& draws, Lookup& lookup, double* raw, double& f);

    // The number of stages (n_models, at least 1).
    [[nodiscard]] std::size_t stage_count() const noexcept {
        return static_cast<std::size_t>(settings_.n_models);
    }

    [[nodiscard]] bool initialised() const noexcept { return initialised_; }
    [[nodiscard]] const BoosterSettings& settings() const noexcept { return settings_; }
    // The feature names each stage sees (for inspection).
    [[nodiscard]] std::vector<std::vector<std::string>> stage_features() const;

    // The logistic function in its two-sided form: 1 / (1 + e^-F) for F >= 0,
    // e^F / (1 + e^F) below.
    [[nodiscard]] static double sigmoid(double f) noexcept;

    // log(1 + e^s) without overflow: s + log1p(e^-s) for s > 0, log1p(e^s)
    // otherwise. -softplus(F) is log(1 - sigmoid(F)), finite long after
    // 1 - sigmoid(F) has rounded to 0.
    [[nodiscard]] static double softplus(double s) noexcept;

    // Features per stage for n names: round(percentage / 100 * n), raised by
    // one below 2, at most n, and 1 when that leaves fewer than 2.
    [[nodiscard]] static std::size_t stage_size(std::int32_t percentage, std::size_t n) noexcept;

    // Every field, for saving and restoring (core/archive.hpp); the stages'
    // views are saved as they stand, since the trees number the features in
    // the order a view lists them.
    template <class Archive>
    void fields(Archive& ar);

private:
    // One stage: its feature names (sorted) with their positions in names_,
    // its trees, and its view of the sample at hand: the sample restricted to
    // the stage's names, inserted in their order. The view is rebuilt only
    // when the set of the stage's names present in the sample changes;
    // otherwise its values are overwritten in place through `values` (null
    // where a name is absent), so that a stream with a steady set of features
    // costs no allocation.
    struct Stage {
        std::vector<std::string> features;
        std::vector<std::size_t> ids;
        std::vector<std::unique_ptr<FIMTDDRegressor>> trees;
        FeatureMap view;
        std::vector<double*> values;
    };

    void build_stages(const FeatureMap& x);
    // Looks every name of names_ up in x once.
    void look_up(const FeatureMap& x, Lookup& lookup) const;
    // The looked-up sample restricted to the stage's names, in the stage's view.
    static const FeatureMap& project(Stage& stage, const Lookup& lookup);
    // Adds the mean predictions of stages [first, last) to raw, in order.
    void add_scores(std::size_t first, std::size_t last, const Lookup& lookup, double& raw);
    // The Newton steps of stages [first, last) from the running score f.
    void learn_stages(std::size_t first, std::size_t last, double target, const RowDraws& draws,
                      const Lookup& lookup, double& f);
    [[nodiscard]] std::unique_ptr<FIMTDDRegressor> make_tree() const;
    template <class Archive>
    void stage_fields(Archive& ar, Stage& stage);

    BoosterSettings settings_;
    bool initialised_ = false;
    std::vector<Stage> stages_;
    std::vector<std::string> names_;    // the names of the first learnt sample, sorted
    // Scratch of learn_one and raw_score.
    Lookup lookup_;
    RowDraws draws_;
    std::mt19937 generator_;
    PoissonParams bag_weight_{1.0};
};

}  // namespace tarvo
