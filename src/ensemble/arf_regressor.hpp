#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "core/regressor.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/subspace_member.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace tarvo {

// One tree of an adaptive random forest of regressors: the drift detectors
// watch its absolute test-then-train error; its features are drawn at its
// first sample. The tree is always present.
using ARFRegressorMember = SubspaceMember<HoeffdingTreeRegressor>;

// Adaptive random forest of Hoeffding regression trees.
//
// Every member sees one fixed random subset of about sqrt(n) of the n
// features of its first sample, drawn with the forest's generator, and
// learns each sample a Poisson(lambda_value) number of times. Warning and
// drift detectors over the member's absolute error start and promote
// background trees. The forest predicts the mean of its members.
class ARFRegressor final : public IRegressor {
public:
    explicit ARFRegressor(std::int32_t n_models = 10, std::int32_t seed = 0,
                          double lambda_value = 6.0, double drift_delta = 0.001,
                          double warning_delta = 0.01, std::int32_t grace_period = 200,
                          std::int32_t max_depth = 20, double learning_rate = 0.01);

    // Throws std::invalid_argument, before anything changes, when
    // lambda_value is NaN or infinite.
    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    // Throws std::invalid_argument, before anything changes, when n_models
    // exceeds kMaxForestMembers.
    void reset() override;

    // The members, in order (for inspection and tests).
    [[nodiscard]] const std::vector<ARFRegressorMember>& members() const noexcept {
        return members_;
    }

    // Settings. n_models and seed are read by reset only; the others by the
    // next operation that needs them.
    std::int32_t n_models;
    std::int32_t seed;
    double lambda_value;
    double drift_delta;
    double warning_delta;
    std::int32_t grace_period;
    std::int32_t max_depth;
    double learning_rate;

private:
    [[nodiscard]] std::unique_ptr<HoeffdingTreeRegressor> make_member_tree() const;

    std::vector<ARFRegressorMember> members_;
    std::mt19937 generator_;  // feature subsets and Poisson weights
    SampleEntries entries_;   // of the sample at hand, shared by the members
};

}  // namespace tarvo
