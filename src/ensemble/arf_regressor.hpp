#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/regressor.hpp"
#include "ensemble/forest.hpp"
#include "ensemble/forest_settings.hpp"
#include "ensemble/subspace_member.hpp"
#include "tree/hoeffding_tree_regressor.hpp"

namespace tarvo {

// One tree of an adaptive random forest of regressors: the drift detectors
// watch its absolute test-then-train error; its features are drawn at its
// first sample. The tree is always present.
using ARFRegressorMember = SubspaceMember<HoeffdingTreeRegressor, MemberTree::kFromReset>;

// Adaptive random forest of Hoeffding regression trees.
//
// Every member sees one fixed random subset of about sqrt(n) of the n
// features of its first sample, drawn with the forest's generator, and
// learns each sample a Poisson(lambda_value) number of times. Warning and
// drift detectors over the member's absolute error start and promote
// background trees. The forest predicts the mean of its members.
//
// n_models and seed are read by reset only; the others by the next
// operation that needs them. learn_one throws std::invalid_argument, before
// anything changes, when lambda_value is NaN, infinite or above 1000; reset
// when n_models exceeds kMaxForestMembers.
class ARFRegressor final
    : public Forest<ARFRegressor, IRegressor, ARFRegressorMember, BackgroundForestSettings> {
public:
    explicit ARFRegressor(std::int32_t n_models = 10, std::int32_t seed = 0,
                          double lambda_value = 6.0, double drift_delta = 0.001,
                          double warning_delta = 0.01, std::int32_t grace_period = 200,
                          std::int32_t max_depth = 20, double learning_rate = 0.01);
    // Out of line: a source that only holds or deletes one compiles none of the
    // forest's code.
    ~ARFRegressor() override;
    ARFRegressor(const ARFRegressor&) = default;
    ARFRegressor(ARFRegressor&&) = default;
    ARFRegressor& operator=(const ARFRegressor&) = default;
    ARFRegressor& operator=(ARFRegressor&&) = default;

    // Member i's ensemble-level draws: at its first sample its features,
    // then its training weight.
    int draw(std::size_t i, const Row& row);
    // Member i's step (see Forest).
    void learn_member(std::size_t i, const Row& row, int weight);
    [[nodiscard]] ARFRegressorMember fresh_member(std::size_t i) const;

    double learning_rate;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

private:
    [[nodiscard]] std::unique_ptr<HoeffdingTreeRegressor> make_member_tree() const;
};

}  // namespace tarvo
