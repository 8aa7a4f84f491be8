#include "ensemble/arf_classifier.hpp"

#include <cmath>

#include "core/archive.hpp"
#include "ensemble/member_learning.hpp"
#include "ensemble/member_trees.hpp"

namespace tarvo {

namespace {

// Seed steps of the trees a member builds: its first tree, a background tree
// started by a warning, a fresh tree after a drift without one.
constexpr std::uint32_t kFirstTreeStep = 1000;
constexpr std::uint32_t kBackgroundStep = 7919;
constexpr std::uint32_t kReplacementStep = 104729;

}  // namespace

ARFClassifier::~ARFClassifier() = default;

ARFClassifier::ARFClassifier(std::int32_t n_models_, std::int32_t seed_, double lambda_value_,
                             double drift_delta_, double warning_delta_,
                             std::int32_t grace_period_, std::int32_t max_depth_,
                             double split_confidence_, std::int32_t subspace_size_)
    : Forest({{n_models_, seed_, lambda_value_, drift_delta_, grace_period_, max_depth_},
              warning_delta_}),
      split_confidence(split_confidence_),
      subspace_size(subspace_size_) {
    reset();
}

std::unique_ptr<HoeffdingTreeClassifier> ARFClassifier::make_member_tree(
    std::int32_t tree_seed, std::size_t n_features) const {
    auto tree = member_classifier_tree(*this, split_confidence);
    const double k = subspace_size >= 0
                         ? static_cast<double>(subspace_size)
                         : std::trunc(std::sqrt(static_cast<double>(n_features))) + 1.0;
    if (k >= 1.0 && k < static_cast<double>(n_features)) {
        // k < n_features and k <= max(subspace_size, sqrt(n) + 1) fit an int.
        tree->set_subspace(static_cast<int>(k), tree_seed);
    }
    return tree;
}

void ARFClassifier::learn_member(std::size_t i, const Row& row, int weight) {
    ARFClassifierMember& m = members_[i];
    const std::size_t n_features = row.x.size();
    if (!m.initialised) {
        m.tree_seed = member_seed(seed, kFirstTreeStep, i, 0.0);
        m.trees.model = make_member_tree(m.tree_seed, n_features);
        m.initialised = true;
    }
    using Role = ARFClassifierMember::Trees::Role;
    const auto change = guarded_step(m, row.x, row.y, weight, *this, [&](Role role) {
        if (role == Role::kBackground) {
            m.background_seed = member_seed(seed, kBackgroundStep, i, m.accuracy.n_seen);
            return make_member_tree(m.background_seed, n_features);
        }
        m.tree_seed = member_seed(seed, kReplacementStep, i, m.accuracy.n_seen);
        return make_member_tree(m.tree_seed, n_features);
    });
    if (change.promoted) {
        m.tree_seed = m.background_seed;
    }
}

template <class Archive>
void ARFClassifier::fields(Archive& ar) {
    params(ar);
    ar.param("split_confidence", split_confidence);
    ar.param("subspace_size", subspace_size);
    state_fields(ar);
}

TARVO_ARCHIVE_FIELDS(ARFClassifier);

}  // namespace tarvo
