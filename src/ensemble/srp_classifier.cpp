#include "ensemble/srp_classifier.hpp"

#include <utility>

#include "core/archive.hpp"
#include "ensemble/member_trees.hpp"

namespace tarvo {

SRPClassifier::~SRPClassifier() = default;

SRPClassifier::SRPClassifier(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                             double drift_delta_, double warning_delta_,
                             std::int32_t grace_period_, std::int32_t max_depth_,
                             double split_confidence_, double subspace_fraction_,
                             std::string training_method_)
    : PatchForest({{n_models_, seed_, lambda_value_, drift_delta_, grace_period_, max_depth_},
                   warning_delta_},
                  subspace_fraction_, std::move(training_method_)),
      split_confidence(split_confidence_) {
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> SRPClassifier::make_member_tree() const {
    return member_classifier_tree(*this, split_confidence);
}

template <class Archive>
void SRPClassifier::fields(Archive& ar) {
    params(ar);
    ar.param("split_confidence", split_confidence);
    patch_params(ar);
    state_fields(ar);
}

TARVO_ARCHIVE_FIELDS(SRPClassifier);

}  // namespace tarvo
