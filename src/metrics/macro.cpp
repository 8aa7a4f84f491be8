#include "metrics/macro.hpp"

namespace tarvo {

void MacroBase::update(int y_true, int y_pred) {
    // Both labels become known classes, right or wrong. References into the
    // map stay valid across the second insertion.
    ClassCounts& truth = classes_[y_true];
    ClassCounts& pred = classes_[y_pred];
    if (y_true == y_pred) {
        truth.tp += 1;
    } else {
        pred.fp += 1;
        truth.fn += 1;
    }
}

double MacroPrecision::get() const noexcept {
    return average([](const ClassCounts& c) { return ratio(c.tp, c.tp + c.fp); });
}

double MacroRecall::get() const noexcept {
    return average([](const ClassCounts& c) { return ratio(c.tp, c.tp + c.fn); });
}

double MacroF1::get() const noexcept {
    return average([](const ClassCounts& c) { return ratio(2 * c.tp, 2 * c.tp + c.fp + c.fn); });
}

}  // namespace tarvo
