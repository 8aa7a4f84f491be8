#pragma once

// Test-then-train of one forest member on one sample: the member's tree
// answers, learns the sample as many times as the member's training weight
// says, and the member's detectors watch the error of the answer.

#include <cmath>
#include <type_traits>

#include "core/feature_map.hpp"
#include "core/interrupt.hpp"
#include "ensemble/forest_settings.hpp"

namespace tarvo {

// The error of tree's answer for x: 0 when a label is right and 1 when it is
// wrong; |y - answer| for a target.
template <class Tree, class Target>
[[nodiscard]] double answer_error(Tree& tree, const FeatureMap& x, Target y) {
    if constexpr (std::is_same_v<Target, int>) {
        return tree.predict_one(x) == y ? 0.0 : 1.0;
    } else {
        return std::fabs(y - tree.predict_one(x));
    }
}

// tree learns (x, y) `weight` times; not at all when weight <= 0.
template <class Tree, class Target>
void learn_weighted(Tree& tree, const FeatureMap& x, Target y, int weight) {
    if constexpr (requires { tree.learn_repeated(x, y, weight); }) {
        tree.learn_repeated(x, y, weight);
    } else {
        repeat_interruptibly(weight, [&] { tree.learn_one(x, y); });
    }
}

// One step of a member whose tree is guarded by a background tree
// (m.trees, a DriftGuardedModel): the error of the tree's answer for xp; the
// tree and the background tree learn xp `weight` times; then the warning and
// drift detectors watch the error, any change counting, and build(role)
// makes the trees they ask for. A classifier's member also keeps its
// test-then-train accuracy (m.accuracy, the weight of its vote): it records
// the answer, and starts over when a drift replaces the tree.
template <class Member, class Target, class Build>
typename Member::Trees::Change guarded_step(Member& m, const FeatureMap& xp, Target y, int weight,
                                            const BackgroundForestSettings& settings,
                                            Build&& build) {
    constexpr bool kClassifier = std::is_same_v<Target, int>;
    const double error = answer_error(*m.trees.model, xp, y);
    if constexpr (kClassifier) {
        m.accuracy.record(error == 0.0);
    }
    if (weight > 0) {
        m.trees.train([&](auto& tree) { learn_weighted(tree, xp, y, weight); });
    }
    const auto change = m.trees.watch(error, settings.drift_delta, settings.warning_delta,
                                      Member::Trees::Alarms::kAny, build);
    if constexpr (kClassifier) {
        if (change.drift) {
            m.accuracy.restart();
        }
    }
    return change;
}

}  // namespace tarvo
