#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

namespace tarvo {

// Turns per-class terms computed in linear space (a prior times densities, or
// the exponential of a score) into a distribution over the classes.
//
// The terms are divided by their sum whenever that sum is a normal positive
// number, so ordinary results keep the plain linear-space arithmetic. When the
// sum underflowed (0 or subnormal) or overflowed (+inf), the same distribution
// is computed from the terms' logarithms instead: exp(l - max l), normalised,
// where a logarithm equal to the greatest counts as 1 (so infinite ones share
// the whole weight). `log_terms(out)` fills `out` with one logarithm per
// class, in the same order; it is called only in that case. Where a NaN is
// involved the linear-space outcome stands: divided by the sum when it is
// positive, otherwise returned as it is. Returns whether the terms were
// divided (false: left as they were).
template <class LogTerms>
bool normalise_class_terms(std::span<double> terms, std::vector<double>& scratch,
                           LogTerms&& log_terms) {
    double sum = 0.0;
    for (const double t : terms) {
        sum += t;
    }
    const bool normal = sum >= std::numeric_limits<double>::min() &&
                        sum <= std::numeric_limits<double>::max();
    if (!normal && !std::isnan(sum) && !terms.empty()) {
        scratch.assign(terms.size(), 0.0);
        log_terms(std::span<double>(scratch));
        double top = -std::numeric_limits<double>::infinity();
        bool nan = false;
        for (const double l : scratch) {
            if (std::isnan(l)) {
                nan = true;
            } else if (l > top) {
                top = l;
            }
        }
        if (!nan) {
            double shifted_sum = 0.0;
            for (std::size_t c = 0; c < terms.size(); ++c) {
                terms[c] = scratch[c] == top ? 1.0 : std::exp(scratch[c] - top);
                shifted_sum += terms[c];
            }
            // The greatest term is exactly 1, so shifted_sum >= 1.
            for (double& t : terms) {
                t /= shifted_sum;
            }
            return true;
        }
    }
    if (sum > 0.0) {
        for (double& t : terms) {
            t /= sum;
        }
        return true;
    }
    return false;
}

}  // namespace tarvo
