#pragma once

#include <memory>
#include <utility>

#include "core/archive.hpp"
#include "drift/adwin.hpp"
#include "drift/alarm_policy.hpp"

namespace tarvo {

// A model guarded against concept drift: the model, an optional background
// model, a warning detector that starts the background model and a drift
// detector that promotes it (or starts a fresh model when there is none).
// Both detectors watch the same error stream; after acting on an alarm a
// detector is replaced by a fresh one, never reset in place.
//
// What differs between the users is passed in, not copied:
// - the error fed to watch() (a 0/1 mistake for classifiers, the absolute
//   error for regressors);
// - which alarms count (Alarms);
// - how a model is built, through the callback given to watch() (the forests
//   derive a seed from the member and its sample count; the adaptive tree
//   uses its current settings);
// - anything kept beside the models (a forest member's accuracy counters,
//   its seeds), which the caller updates from the Change watch() reports.
template <class Model>
class DriftGuardedModel {
public:
    // Which alarms of a detector are acted on (drift/alarm_policy.hpp).
    using Alarms = AlarmPolicy;

    // Why watch() asks for a model to be built.
    enum class Role { kBackground, kReplacement };

    // What one watch() did; a warning and a drift can both happen in one call.
    struct Change {
        bool background_started = false;
        bool drift = false;
        bool promoted = false;  // the drift promoted the background model
    };

    DriftGuardedModel(double drift_delta, double warning_delta)
        : drift_detector(drift_delta), warning_detector(warning_delta) {}

    // Starts over with `fresh` as the model (may be null), no background
    // model and fresh detectors.
    void restart(std::unique_ptr<Model> fresh, double drift_delta, double warning_delta) {
        model = std::move(fresh);
        background.reset();
        drift_detector = ADWIN(drift_delta);
        warning_detector = ADWIN(warning_delta);
    }

    // learn(m) for the model, then for the background model when one exists.
    template <class Learn>
    void train(Learn&& learn) {
        learn(*model);
        if (background) {
            learn(*background);
        }
    }

    // Feeds one error to the warning detector, then to the drift detector.
    // A counted warning with no background model starts one, built by
    // build(Role::kBackground), and replaces the warning detector. A counted
    // drift makes the background model the model (or one built by
    // build(Role::kReplacement) when there is none), leaves the background
    // slot empty and replaces both detectors. Deltas are read at the time a
    // detector is replaced.
    template <class Build>
    Change watch(double error, double drift_delta, double warning_delta, Alarms alarms,
                 Build&& build) {
        Change change;
        if (counted_alarm(warning_detector, error, alarms) && !background) {
            background = build(Role::kBackground);
            warning_detector = ADWIN(warning_delta);
            change.background_started = true;
        }
        if (counted_alarm(drift_detector, error, alarms)) {
            change.drift = true;
            change.promoted = background != nullptr;
            model = background ? std::move(background) : build(Role::kReplacement);
            background.reset();
            drift_detector = ADWIN(drift_delta);
            warning_detector = ADWIN(warning_delta);
        }
        return change;
    }

    // Every field, for saving and restoring (core/archive.hpp); a background
    // model never exists without a model.
    template <class Archive>
    void fields(Archive& ar) {
        archive_optional(ar, model);
        archive_optional(ar, background);
        ar(drift_detector, warning_detector);
        ar.check(model != nullptr || background == nullptr, "a background model has no model");
    }

    std::unique_ptr<Model> model;
    std::unique_ptr<Model> background;
    ADWIN drift_detector;
    ADWIN warning_detector;
};

}  // namespace tarvo
