#pragma once

#include "core/feature_map.hpp"
#include "linear/class_weights.hpp"

namespace tarvo {

// Prediction from raw scores, shared by Perceptron, LogisticRegression and
// PassiveAggressiveClassifier.

// The label with the greatest score, visiting the classes in their order and
// replacing only on a strictly greater score (ties and NaN keep the earlier
// label; all NaN gives the first). 0 when no label is known.
[[nodiscard]] int raw_score_label(const ClassWeights& classes, const FeatureMap& x,
                                  ScoreScratch& scratch);

// exp(score) of every known label, normalised (see normalised_exponentials).
// Empty when no label is known.
[[nodiscard]] ProbabilityMap raw_score_probabilities(const ClassWeights& classes,
                                                     const FeatureMap& x, ScoreScratch& scratch);

}  // namespace tarvo
