#pragma once

#include <memory>
#include <string>

#include "core/classifier.hpp"
#include "drift/drift_guarded_model.hpp"
#include "tree/hoeffding_tree_classifier.hpp"

namespace tarvo {

// A Hoeffding tree that follows concept drift at the level of the whole tree.
//
// Two ADWIN detectors watch the prediction tree's 0/1 test-then-train error:
// when the looser warning detector reports a rise, a background tree starts
// learning alongside; when the drift detector reports a rise, the background
// tree (or, without one, a fresh tree) replaces the prediction tree. Alarms
// about a falling error are ignored. Detectors are replaced by fresh ones,
// never reset in place.
class HoeffdingAdaptiveTreeClassifier final : public IClassifier {
public:
    explicit HoeffdingAdaptiveTreeClassifier(int grace_period = 200, double split_confidence = 1e-7,
                                             double tie_threshold = 0.05, int nb_threshold = 0,
                                             int max_depth = 20, double drift_delta = 0.002,
                                             double warning_delta = 0.02,
                                             std::string split_criterion = "info_gain");

    void learn_one(const FeatureMap& x, int y) override;
    [[nodiscard]] int predict_one(const FeatureMap& x) override;
    [[nodiscard]] ProbabilityMap predict_proba_one(const FeatureMap& x) override;
    void reset() override;

    [[nodiscard]] bool has_background_tree() const noexcept { return trees_.background != nullptr; }

    // Settings of the trees built from now on (background, replacement, reset).
    int grace_period;
    double split_confidence;
    double tie_threshold;
    int nb_threshold;
    int max_depth;
    std::string split_criterion;
    double drift_delta;
    double warning_delta;

private:
    using Trees = DriftGuardedModel<HoeffdingTreeClassifier>;

    [[nodiscard]] std::unique_ptr<HoeffdingTreeClassifier> build_tree() const;

    Trees trees_;
};

}  // namespace tarvo
