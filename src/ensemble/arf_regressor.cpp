#include "ensemble/arf_regressor.hpp"

#include <cmath>

#include "core/archive.hpp"
#include "core/random.hpp"
#include "ensemble/member_learning.hpp"
#include "ensemble/member_trees.hpp"

namespace tarvo {

namespace {

// Features a member keeps out of n: max(1, round(sqrt(n))), halves rounded
// away from zero.
std::size_t subspace_rule(std::size_t n) {
    const double k = std::round(std::sqrt(static_cast<double>(n)));
    return k < 1.0 ? 1 : static_cast<std::size_t>(k);
}

}  // namespace

ARFRegressor::~ARFRegressor() = default;

ARFRegressor::ARFRegressor(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                           double drift_delta_, double warning_delta_, std::int32_t grace_period_,
                           std::int32_t max_depth_, double learning_rate_)
    : Forest({{n_models_, seed_, lambda_value_, drift_delta_, grace_period_, max_depth_},
              warning_delta_}),
      learning_rate(learning_rate_) {
    reset();
}

std::unique_ptr<HoeffdingTreeRegressor> ARFRegressor::make_member_tree() const {
    return member_regressor_tree(*this, learning_rate);
}

ARFRegressorMember ARFRegressor::fresh_member(std::size_t /*i*/) const {
    ARFRegressorMember m(*this);
    m.trees.model = make_member_tree();
    return m;
}

int ARFRegressor::draw(std::size_t i, const Row& row) {
    ARFRegressorMember& m = members_[i];
    if (!m.initialised) {
        m.features.assign(select_subspace(generator_, row.x, subspace_rule));
        m.initialised = true;
    }
    return Forest::draw(i, row);
}

void ARFRegressor::learn_member(std::size_t i, const Row& row, int weight) {
    ARFRegressorMember& m = members_[i];
    guarded_step(m, m.input(row.x, row.entries), row.y, weight, *this,
                 [this](ARFRegressorMember::Trees::Role) { return make_member_tree(); });
}

template <class Archive>
void ARFRegressor::fields(Archive& ar) {
    params(ar);
    ar.param("learning_rate", learning_rate);
    state_fields(ar);
}

TARVO_ARCHIVE_FIELDS(ARFRegressor);

}  // namespace tarvo
