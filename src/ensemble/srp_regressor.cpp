#include "ensemble/srp_regressor.hpp"

#include <utility>

#include "core/archive.hpp"
#include "ensemble/member_trees.hpp"

namespace tarvo {

SRPRegressor::~SRPRegressor() = default;

SRPRegressor::SRPRegressor(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                           double drift_delta_, double warning_delta_, std::int32_t grace_period_,
                           std::int32_t max_depth_, double learning_rate_,
                           double subspace_fraction_, std::string training_method_)
    : PatchForest({{n_models_, seed_, lambda_value_, drift_delta_, grace_period_, max_depth_},
                   warning_delta_},
                  subspace_fraction_, std::move(training_method_)),
      learning_rate(learning_rate_) {
    reset();
}

std::unique_ptr<HoeffdingTreeRegressor> SRPRegressor::make_member_tree() const {
    return member_regressor_tree(*this, learning_rate);
}

template <class Archive>
void SRPRegressor::fields(Archive& ar) {
    params(ar);
    ar.param("learning_rate", learning_rate);
    patch_params(ar);
    state_fields(ar);
}

TARVO_ARCHIVE_FIELDS(SRPRegressor);

}  // namespace tarvo
