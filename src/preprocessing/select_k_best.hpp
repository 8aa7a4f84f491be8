#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/feature_numbering.hpp"
#include "core/transformer.hpp"
#include "core/running_stats.hpp"
#include "preprocessing/running_covariance.hpp"

namespace tarvo {

// Keeps the k features whose running Pearson correlation with the target is
// highest (by absolute value with use_abs). Equal scores keep the feature with
// the smaller id; ids are handed out by set_feature_order and on a feature's
// first sample, and survive reset. A NaN score ranks after every number.
//
// Before anything is learnt a sample passes unchanged; afterwards a feature
// never learnt is dropped. The selection is recomputed only by the first
// transform after a change.
class SelectKBest final : public ITransformer {
public:
    explicit SelectKBest(std::int32_t k = 10, bool use_abs = false) : k(k), use_abs(use_abs) {}

    // Without a target there is nothing to learn.
    void learn_one(const FeatureMap& /*x*/) override {}
    // Throws std::length_error when a new feature would need an id beyond the
    // 32-bit range.
    void learn_one(const FeatureMap& x, double y) override;
    // The kept entries of x, values unchanged.
    [[nodiscard]] FeatureMap transform_one(const FeatureMap& x) override;
    void transform_in_place(FeatureMap& x) override;
    [[nodiscard]] bool requires_target() const override { return true; }
    // Gives the names without an id the next ids, in list order.
    void set_feature_order(const std::vector<std::string>& names) override;
    // Forgets the statistics; the ids (and so the tie order) are kept.
    void reset() override;

    // Every field, for saving and restoring (core/archive.hpp).
    template <class Archive>
    void fields(Archive& ar);

    // The latest score of a learnt feature (for inspection and tests).
    [[nodiscard]] const std::unordered_map<std::string, double>& scores() const noexcept {
        return scores_;
    }

    // Hyper-parameters. A new k applies at the next recomputation, a new
    // use_abs to the scores of later learn_one calls.
    std::int32_t k;
    bool use_abs;

private:
    struct FeatureCorrelation {
        RunningVariance var_x;
        RunningVariance var_y;
        RunningCovariance cov_xy;

        template <class Archive>
        void fields(Archive& ar) {
            ar(var_x, var_y, cov_xy);
        }
    };

    void recompute_selection();
    [[nodiscard]] bool keeps(const std::string& name) const;

    std::unordered_map<std::string, FeatureCorrelation> stats_;
    std::unordered_map<std::string, double> scores_;
    std::vector<std::string> feature_names_;  // in order of first learning since reset
    static constexpr NumberingBound kBound{std::numeric_limits<std::int32_t>::max(),
                                           "SelectKBest: too many feature names"};

    FeatureNumbering ids_;
    std::unordered_set<std::string> selected_;
    bool dirty_ = true;
};

}  // namespace tarvo
