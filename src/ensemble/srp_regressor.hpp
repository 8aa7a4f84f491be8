#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/regressor.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/random_patches.hpp"
#include "ensemble/subspace_member.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace tarvo {

// One tree of a streaming random patches regressor: its patch of features
// and the drift detectors over its absolute test-then-train error. No tree
// until the first sample.
using SRPRegressorMember = SubspaceMember<HoeffdingTreeRegressor>;

// Streaming random patches of Hoeffding regression trees: members learn as
// in SRPClassifier, their detectors watch the absolute error, and the
// ensemble predicts the mean of the members that have a tree.
class SRPRegressor final : public IRegressor {
public:
    explicit SRPRegressor(std::int32_t n_models = 10, std::int32_t seed = 0,
                          double lambda_value = 6.0, double drift_delta = 0.001,
                          double warning_delta = 0.01, std::int32_t grace_period = 200,
                          std::int32_t max_depth = 20, double learning_rate = 0.01,
                          double subspace_fraction = 0.6,
                          std::string training_method = "patches");

    // Throws std::invalid_argument, before anything changes, when the method
    // resamples and lambda_value is NaN or infinite.
    void learn_one(const FeatureMap& x, double y) override;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    // Throws std::invalid_argument, before anything changes, when n_models
    // exceeds kMaxForestMembers.
    void reset() override;

    // The members, in order (for inspection and tests).
    [[nodiscard]] const std::vector<SRPRegressorMember>& members() const noexcept {
        return members_;
    }

    // Settings, read as in SRPClassifier.
    std::int32_t n_models;
    std::int32_t seed;
    double lambda_value;
    double subspace_fraction;
    TrainingMethodOption training_method;  // "subspaces", "resampling"; else "patches"
    double learning_rate;
    std::int32_t grace_period;
    std::int32_t max_depth;
    double drift_delta;
    double warning_delta;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    using Trees = SRPRegressorMember::Trees;

    [[nodiscard]] std::unique_ptr<HoeffdingTreeRegressor> make_member_tree() const;

    std::vector<SRPRegressorMember> members_;
    std::mt19937 generator_;  // the Poisson weights
    SampleEntries entries_;   // of the sample at hand, shared by the members
};

}  // namespace tarvo
