#pragma once

#include "tree/hoeffding_tree_classifier.hpp"

namespace tarvo {

// The Hoeffding tree with information gain and a looser default confidence;
// it learns and predicts exactly as HoeffdingTreeClassifier.
class EFDTClassifier final : public HoeffdingTreeClassifier {
public:
    explicit EFDTClassifier(int grace_period = 200, double split_confidence = 1e-5,
                            double tie_threshold = 0.05, int nb_threshold = 0, int max_depth = 20);
};

}  // namespace tarvo
