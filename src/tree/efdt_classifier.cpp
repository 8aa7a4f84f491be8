#include "tree/efdt_classifier.hpp"

namespace tarvo {

EFDTClassifier::EFDTClassifier(int grace_period_, double split_confidence_, double tie_threshold_,
                               int nb_threshold_, int max_depth_)
    : HoeffdingTreeClassifier(grace_period_, split_confidence_, tie_threshold_, nb_threshold_,
                              max_depth_, "info_gain") {}

}  // namespace tarvo
