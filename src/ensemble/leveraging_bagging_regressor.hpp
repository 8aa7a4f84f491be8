#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/regressor.hpp"
#include "core/running_stats.hpp"
#include "ensemble/bagging_member.hpp"
#include "tree/fimtdd_regressor.hpp"

namespace tarvo {

using LBRegressorMember = BaggingMember<FIMTDDRegressor>;

// Leveraging bagging of FIMTDD model trees.
//
// Every member sees every feature and learns each sample a
// Poisson(lambda_value) number of times. Its ADWIN detector watches the
// absolute test-then-train error divided by the standard deviation of all
// targets seen so far (1 while that is undefined or zero); a drift during
// which that error rose replaces member i, once it has learnt the sample, by
// a fresh tree seeded seed + i, as it was first built. The
// ensemble predicts the mean of its members, 0.0 when it has none.
//
// n_models and seed take effect at reset; lambda_value at the next
// learn_one; the tree settings reach the trees built after they change.
class LeveragingBaggingRegressor final : public IRegressor {
public:
    explicit LeveragingBaggingRegressor(std::int32_t n_models = 10, std::int32_t seed = 0,
                                        double lambda_value = 6.0, double drift_delta = 0.002,
                                        std::int32_t grace_period = 50,
                                        std::int32_t max_depth = 20,
                                        double split_confidence = 0.01,
                                        std::string leaf_prediction = "adaptive");

    // Throws std::invalid_argument, before anything changes, when
    // lambda_value is NaN or infinite.
    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    // Throws std::invalid_argument, before anything changes, when n_models
    // exceeds kMaxForestMembers. A negative n_models drops every member and
    // then throws std::length_error("vector"), leaving the rest as it was.
    void reset() override;

    // The members, in order, and the target statistics (for inspection and
    // tests).
    [[nodiscard]] const std::vector<LBRegressorMember>& members() const noexcept {
        return members_;
    }
    [[nodiscard]] std::vector<LBRegressorMember>& members() noexcept { return members_; }
    [[nodiscard]] const RunningSums& targets() const noexcept { return targets_; }

    // The divisor of the errors the detectors see: the population standard
    // deviation of the targets once there are two or more with a positive
    // variance, else 1.0.
    [[nodiscard]] double error_scale() const noexcept;

    std::int32_t n_models;
    std::int32_t seed;
    double lambda_value;
    double drift_delta;
    double split_confidence;
    std::int32_t grace_period;
    std::int32_t max_depth;
    std::string leaf_prediction;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<FIMTDDRegressor> make_member_tree(std::size_t index) const;

    RunningSums targets_;
    std::vector<LBRegressorMember> members_;
    std::mt19937 generator_;  // the Poisson weights
};

}  // namespace tarvo
