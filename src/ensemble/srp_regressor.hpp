#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "core/regressor.hpp"
#include "ensemble/patch_forest.hpp"
#include "ensemble/subspace_member.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace tarvo {

// One tree of a streaming random patches regressor: its patch of features
// and the drift detectors over its absolute test-then-train error. No tree
// until the first sample.
using SRPRegressorMember =
    SubspaceMember<HoeffdingTreeRegressor, MemberTree::kFromFirstSample>;

// Streaming random patches of Hoeffding regression trees: members learn as
// in SRPClassifier, their detectors watch the absolute error, and the
// ensemble predicts the mean of the members that have a tree. Settings are
// read as in SRPClassifier.
class SRPRegressor final : public PatchForest<SRPRegressor, IRegressor, SRPRegressorMember> {
public:
    explicit SRPRegressor(std::int32_t n_models = 10, std::int32_t seed = 0,
                          double lambda_value = 6.0, double drift_delta = 0.001,
                          double warning_delta = 0.01, std::int32_t grace_period = 200,
                          std::int32_t max_depth = 20, double learning_rate = 0.01,
                          double subspace_fraction = 0.6,
                          std::string training_method = "patches");
    // Out of line: a source that only holds or deletes one compiles none of the
    // forest's code.
    ~SRPRegressor() override;
    SRPRegressor(const SRPRegressor&) = default;
    SRPRegressor(SRPRegressor&&) = default;
    SRPRegressor& operator=(const SRPRegressor&) = default;
    SRPRegressor& operator=(SRPRegressor&&) = default;

    // The tree a member starts with, or after a warning or a drift.
    [[nodiscard]] std::unique_ptr<HoeffdingTreeRegressor> make_member_tree() const;

    double learning_rate;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);
};

}  // namespace tarvo
