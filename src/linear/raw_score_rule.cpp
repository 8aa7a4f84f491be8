#include "linear/raw_score_rule.hpp"

#include "linear/probabilities.hpp"

namespace tarvo {

int raw_score_label(const ClassWeights& classes, const FeatureMap& x, ScoreScratch& scratch) {
    if (classes.empty()) {
        return 0;
    }
    classes.score_all(x, scratch);
    const std::size_t best = first_greatest(scratch.scores);
    return classes.classes()[best == kNoPosition ? 0 : best].label;
}

ProbabilityMap raw_score_probabilities(const ClassWeights& classes, const FeatureMap& x,
                                       ScoreScratch& scratch) {
    if (classes.empty()) {
        return {};
    }
    classes.score_all(x, scratch);
    normalised_exponentials(scratch.scores, scratch.probabilities);
    return probability_map(classes, scratch.probabilities);
}

}  // namespace tarvo
