#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/regressor.hpp"

namespace tarvo {

// Running moments of a target: Welford's count, mean and sum of squared
// deviations from the mean.
struct TargetMoments {
    std::uint64_t count = 0;
    double mean = 0.0;
    double m2 = 0.0;

    // The moments after one more target; non-finite when the target is NaN,
    // infinite, or so large that the sum of squares overflows.
    [[nodiscard]] TargetMoments with(double y) const noexcept;
    [[nodiscard]] bool finite() const noexcept;
    // The population standard deviation, sqrt(m2 / count); 0 while count < 2.
    [[nodiscard]] double sd() const noexcept;
    // What a standardised target is multiplied by: sd, or 1 while sd is 0.
    [[nodiscard]] double scale() const noexcept;

    template <class Archive>
    void fields(Archive& ar);
};

// A regressor that learns a standardised target and answers in the original
// units, for targets of any scale (a linear model clips its error to
// [-10, 10], so it cannot follow a target in the hundreds of thousands).
//
// learn_one(x, y) first adds y to the running moments, then lets the inner
// regressor learn (y - mean) / scale with the moments that include y, where
// scale is the population standard deviation of the targets learnt so far,
// or 1 while it is 0 (the first target, and as long as every target has been
// equal): the first target is learnt as 0.0. predict_one(x) answers
// mean + scale * inner.predict_one(x); with nothing learnt that is the inner
// regressor's own answer. A NaN or infinite target, or one whose square
// overflows (beyond about 1e154), throws std::invalid_argument and changes
// nothing. The inner regressor is shared with its other owners, who see what
// it learns; reset() forgets the moments and resets it.
class ScaledTargetRegressor final : public IRegressor {
public:
    // Throws std::invalid_argument when the regressor is null, and
    // std::length_error when wrappers and pipelines nest too deep.
    explicit ScaledTargetRegressor(std::shared_ptr<IRegressor> regressor);
    // Restores saved moments: std::invalid_argument when they are not the
    // moments of any stream (negative or non-finite, or values without count).
    ScaledTargetRegressor(std::shared_ptr<IRegressor> regressor, const TargetMoments& moments);

    void learn_one(const FeatureMap& x, double y) override;
    // Throws std::invalid_argument, as learn_one does, when y would poison the
    // moments; a pipeline around the wrapper asks before its steps learn.
    void check_target(double y) const;
    [[nodiscard]] double predict_one(const FeatureMap& x) override;
    void reset() override;

    [[nodiscard]] const std::shared_ptr<IRegressor>& regressor() const noexcept { return regressor_; }
    [[nodiscard]] const TargetMoments& moments() const noexcept { return moments_; }
    // The levels of wrappers and pipelines from this one down to a plain
    // regressor: 1 around a plain regressor.
    [[nodiscard]] std::size_t depth() const noexcept { return depth_; }

private:
    std::shared_ptr<IRegressor> regressor_;
    TargetMoments moments_;
    std::size_t depth_;
};

// How many wrappers and regression pipelines nest from `regressor` down to a
// plain regressor: 0 for a plain regressor.
[[nodiscard]] std::size_t nesting_depth(const IRegressor& regressor) noexcept;

// The wrapper that first learns the target given to `regressor`: itself, or
// the learner of its regression pipelines at any depth; nullptr when none is.
[[nodiscard]] const ScaledTargetRegressor* first_target_wrapper(const IRegressor& regressor) noexcept;

}  // namespace tarvo
