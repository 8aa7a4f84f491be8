#pragma once

// The checks the drift detectors make on each value before it touches their
// state, so that a refused value leaves a detector as it was.

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace tarvo {

// A number as %g writes it ("nan", "inf", "1e+308").
inline std::string shown_number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// std::invalid_argument unless `value` is a finite number.
inline void require_finite(double value, const char* detector) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument(std::string(detector) + ".update: the value must be a finite number, got " +
                                    shown_number(value));
    }
}

// std::invalid_argument unless 0 <= value <= 1 (NaN included): the detectors
// built on a bounded mean watch an error or a rate.
inline void require_unit(double value, const char* detector) {
    if (!(value >= 0.0 && value <= 1.0)) {
        throw std::invalid_argument(std::string(detector) +
                                    ".update: the value must lie in [0, 1] (an error: 1 wrong, 0 right), got " +
                                    shown_number(value));
    }
}

// std::invalid_argument unless 0 < value < 1.
inline void require_open_unit(double value, const char* what) {
    if (!(value > 0.0 && value < 1.0)) {
        throw std::invalid_argument(std::string("'") + what + "' must lie in (0, 1), got " + shown_number(value));
    }
}

}  // namespace tarvo
