#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "ensemble/forest.hpp"
#include "ensemble/forest_settings.hpp"
#include "ensemble/member_learning.hpp"
#include "ensemble/random_patches.hpp"

namespace tarvo {

// What the two streaming random patches forests share: the patch settings,
// the training weights their method asks for, and the member step. At its
// first sample a member gets its tree and, when the method draws subspaces,
// its patch of the sample's features (drawn from seed and its position);
// then it learns as a member guarded by a background tree (guarded_step).
//
// Derived gives make_member_tree().
template <class Derived, class Interface, class Member>
class PatchForest : public Forest<Derived, Interface, Member, BackgroundForestSettings> {
    using Base = Forest<Derived, Interface, Member, BackgroundForestSettings>;

public:
    using typename Base::Row;

    double subspace_fraction;
    TrainingMethodOption training_method;  // "subspaces", "resampling"; else "patches"

    // Poisson(lambda_value) when the method resamples, else 1.
    [[nodiscard]] TrainingWeights training_weights() const {
        return patch_weights(training_method.choice(), this->lambda_value);
    }

    // Member i's step (see Forest).
    void learn_member(std::size_t i, const Row& row, int weight) {
        Member& m = this->members_[i];
        if (!m.initialised) {
            m.trees.model = self().make_member_tree();
            if (draws_subspaces(training_method.choice())) {
                m.features.assign(draw_patch(this->seed, i, row.x, subspace_fraction));
            }
            m.initialised = true;
        }
        guarded_step(m, m.input(row.x, row.entries), row.y, weight, this->settings(),
                     [this](typename Member::Trees::Role) { return self().make_member_tree(); });
    }

protected:
    PatchForest(const BackgroundForestSettings& settings, double subspace_fraction_,
                std::string training_method_)
        : Base(settings),
          subspace_fraction(subspace_fraction_),
          training_method(std::move(training_method_)) {}

    // The patch settings, for saving, restoring and listing (core/archive.hpp).
    template <class Archive>
    void patch_params(Archive& ar) {
        ar.param("subspace_fraction", subspace_fraction);
        ar.param("training_method", training_method);
    }

private:
    [[nodiscard]] const Derived& self() const noexcept {
        return static_cast<const Derived&>(*this);
    }
};

}  // namespace tarvo
