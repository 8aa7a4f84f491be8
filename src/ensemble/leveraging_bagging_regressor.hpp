#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "core/regressor.hpp"
#include "core/running_stats.hpp"
#include "ensemble/bagging_member.hpp"
#include "ensemble/forest.hpp"
#include "ensemble/forest_settings.hpp"
#include "tree/fimtdd_regressor.hpp"

namespace tarvo {

using LBRegressorMember = BaggingMember<FIMTDDRegressor>;

// A sample with the divisor of the members' errors for it.
struct ScaledRow : ForestRow<double> {
    double scale;
};

// Leveraging bagging of FIMTDD model trees.
//
// Every member sees every feature and learns each sample a
// Poisson(lambda_value) number of times. Its ADWIN detector watches the
// absolute test-then-train error divided by the standard deviation of all
// targets seen so far (1 while that is undefined or zero); a drift during
// which that error rose replaces member i, once it has learnt the sample, by
// a fresh tree seeded seed + i, as it was first built. The ensemble predicts
// the mean of its members, 0.0 when it has none.
//
// n_models and seed take effect at reset; lambda_value at the next
// learn_one, which throws std::invalid_argument, before anything changes,
// when it is NaN, infinite or above 1000; the tree settings reach the trees
// built after they change.
class LeveragingBaggingRegressor final : public Forest<LeveragingBaggingRegressor, IRegressor,
                                                       LBRegressorMember, ForestSettings, ScaledRow> {
public:
    // A forest may have no member at all.
    static constexpr std::size_t kMinMembers = 0;

    explicit LeveragingBaggingRegressor(std::int32_t n_models = 10, std::int32_t seed = 0,
                                        double lambda_value = 6.0, double drift_delta = 0.002,
                                        std::int32_t grace_period = 50,
                                        std::int32_t max_depth = 20,
                                        double split_confidence = 0.01,
                                        std::string leaf_prediction = "adaptive");
    // Out of line: a source that only holds or deletes one compiles none of the
    // forest's code.
    ~LeveragingBaggingRegressor() override;
    LeveragingBaggingRegressor(const LeveragingBaggingRegressor&) = default;
    LeveragingBaggingRegressor(LeveragingBaggingRegressor&&) = default;
    LeveragingBaggingRegressor& operator=(const LeveragingBaggingRegressor&) = default;
    LeveragingBaggingRegressor& operator=(LeveragingBaggingRegressor&&) = default;

    // Throws as Forest::reset, and forgets the target statistics.
    void reset() override;

    // The row of one sample: the training weights (which may throw), then the
    // target statistics with y counted, and the error scale they give.
    [[nodiscard]] Row begin_row(const FeatureMap& x, double y);
    // Member i's step (see Forest).
    void learn_member(std::size_t i, const Row& row, int weight);
    [[nodiscard]] LBRegressorMember fresh_member(std::size_t i) const;
    // n_models (0 included). Throws, before anything changes,
    // std::invalid_argument naming n_models above kMaxForestMembers and
    // std::length_error naming it when negative.
    [[nodiscard]] std::size_t member_count() const;

    // The target statistics (for inspection and tests).
    [[nodiscard]] const RunningSums& targets() const noexcept { return targets_; }

    // The divisor of the errors the detectors see: the population standard
    // deviation of the targets once there are two or more with a positive
    // variance, else 1.0.
    [[nodiscard]] double error_scale() const noexcept;

    double split_confidence;
    std::string leaf_prediction;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<FIMTDDRegressor> make_member_tree(std::size_t index) const;

    RunningSums targets_;
};

}  // namespace tarvo
