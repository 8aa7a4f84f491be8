#pragma once

#include "drift/adwin.hpp"

namespace tarvo {

// Which alarms of a drift detector a model acts on: any change of the mean
// error, or only a rise (the detector's estimate larger after the update than
// before it), so that a model that is getting better is kept. ADWIN reports a
// change in either direction, and a young model's error falls fast.
enum class AlarmPolicy { kAny, kRisingError };

// Feeds one error to `detector`; true when it reports a drift that `policy`
// counts.
inline bool counted_alarm(ADWIN& detector, double error, AlarmPolicy policy) {
    const double before = policy == AlarmPolicy::kRisingError ? detector.estimation() : 0.0;
    detector.update(error);
    return detector.drift_detected() &&
           (policy == AlarmPolicy::kAny || detector.estimation() > before);
}

}  // namespace tarvo
