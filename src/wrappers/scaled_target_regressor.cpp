#include "wrappers/scaled_target_regressor.hpp"

#include <cmath>
#include <stdexcept>
#include <utility>

#include "core/archive.hpp"
#include "pipeline/regression_pipeline.hpp"
#include "pipeline/step_chain.hpp"

namespace tarvo {

TargetMoments TargetMoments::with(double y) const noexcept {
    TargetMoments next;
    next.count = count + 1;
    const double delta = y - mean;
    next.mean = mean + delta / static_cast<double>(next.count);
    next.m2 = m2 + delta * (y - next.mean);
    return next;
}

bool TargetMoments::finite() const noexcept { return std::isfinite(mean) && std::isfinite(m2); }

double TargetMoments::sd() const noexcept {
    return count < 2 ? 0.0 : std::sqrt(m2 / static_cast<double>(count));
}

double TargetMoments::scale() const noexcept {
    const double s = sd();
    return s > 0.0 ? s : 1.0;
}

template <class Archive>
void TargetMoments::fields(Archive& ar) {
    ar(count, mean, m2);
    ar.check(std::isfinite(mean) && std::isfinite(m2) && m2 >= 0.0, "target moments are finite");
    ar.check(count > 1 || m2 == 0.0, "one target or none has no spread");
    ar.check(count > 0 || mean == 0.0, "no target has mean 0");
}

TARVO_ARCHIVE_FIELDS(TargetMoments);

ScaledTargetRegressor::ScaledTargetRegressor(std::shared_ptr<IRegressor> regressor)
    : regressor_(std::move(regressor)), depth_(1) {
    if (!regressor_) {
        throw std::invalid_argument("ScaledTargetRegressor: the regressor is null");
    }
    depth_ = depth_around(nesting_depth(*regressor_));
}

ScaledTargetRegressor::ScaledTargetRegressor(std::shared_ptr<IRegressor> regressor,
                                             const TargetMoments& moments)
    : ScaledTargetRegressor(std::move(regressor)) {
    const bool valid = moments.finite() && moments.m2 >= 0.0 &&
                       (moments.count > 1 || moments.m2 == 0.0) &&
                       (moments.count > 0 || moments.mean == 0.0);
    if (!valid) {
        throw std::invalid_argument("ScaledTargetRegressor: the saved target moments are invalid");
    }
    moments_ = moments;
}

namespace {

[[noreturn]] void refuse_target() {
    throw std::invalid_argument(
        "ScaledTargetRegressor: the target must be a finite number within about 1e154 in "
        "magnitude (its square must not overflow)");
}

}  // namespace

void ScaledTargetRegressor::check_target(double y) const {
    if (!moments_.with(y).finite()) {
        refuse_target();
    }
}

void ScaledTargetRegressor::learn_one(const FeatureMap& x, double y) {
    const TargetMoments next = moments_.with(y);
    if (!next.finite()) {
        refuse_target();
    }
    // The moments move only once the regressor has learnt the sample, so that
    // a sample it refuses leaves the wrapper as it was.
    regressor_->learn_one(x, (y - next.mean) / next.scale());
    moments_ = next;
}

double ScaledTargetRegressor::predict_one(const FeatureMap& x) {
    return moments_.mean + moments_.scale() * regressor_->predict_one(x);
}

void ScaledTargetRegressor::reset() {
    moments_ = TargetMoments{};
    regressor_->reset();
}

std::size_t nesting_depth(const IRegressor& regressor) noexcept {
    if (const auto* pipeline = dynamic_cast<const RegressionPipeline*>(&regressor)) {
        return pipeline->depth();
    }
    if (const auto* wrapper = dynamic_cast<const ScaledTargetRegressor*>(&regressor)) {
        return wrapper->depth();
    }
    return 0;
}

const ScaledTargetRegressor* first_target_wrapper(const IRegressor& regressor) noexcept {
    const IRegressor* r = &regressor;
    while (const auto* pipeline = dynamic_cast<const RegressionPipeline*>(r)) {
        r = pipeline->learner().get();
    }
    return dynamic_cast<const ScaledTargetRegressor*>(r);
}

}  // namespace tarvo
