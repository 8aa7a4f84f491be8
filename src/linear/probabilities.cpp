#include "linear/probabilities.hpp"

#include <cmath>
#include <limits>

namespace tarvo {

namespace {

constexpr double kMinusInfinity = -std::numeric_limits<double>::infinity();

double greatest(const std::vector<double>& values) noexcept {
    double m = kMinusInfinity;
    for (double v : values) {
        if (v > m) {
            m = v;
        }
    }
    return m;
}

void divide_by_positive_sum(std::vector<double>& values, double sum) noexcept {
    if (sum > 0.0) {
        for (double& v : values) {
            v /= sum;
        }
    }
}

}  // namespace

void normalised_exponentials(const std::vector<double>& scores, std::vector<double>& out) {
    out.resize(scores.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        out[i] = std::exp(scores[i]);
        sum += out[i];
    }
    // Overflow to infinity, or underflow to zero or a subnormal number; a NaN
    // sum stays as the arithmetic gives it.
    if (std::isnormal(sum) || std::isnan(sum)) {
        divide_by_positive_sum(out, sum);
        return;
    }
    // Every score is finite or infinite here: a NaN one would make the sum NaN.
    const double m = greatest(scores);
    sum = 0.0;
    for (std::size_t i = 0; i < scores.size(); ++i) {
        out[i] = (scores[i] == m) ? 1.0 : std::exp(scores[i] - m);
        sum += out[i];
    }
    divide_by_positive_sum(out, sum);
}

void shifted_softmax(std::vector<double>& values) {
    const double m = greatest(values);
    double sum = 0.0;
    for (double& v : values) {
        v = std::exp(v - m);
        sum += v;
    }
    divide_by_positive_sum(values, sum);
}

std::size_t first_greatest(const std::vector<double>& values, std::size_t skip) noexcept {
    std::size_t best = kNoPosition;
    double best_value = kMinusInfinity;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (i != skip && values[i] > best_value) {
            best = i;
            best_value = values[i];
        }
    }
    return best;
}

ProbabilityMap probability_map(const ClassWeights& classes, const std::vector<double>& values) {
    ProbabilityMap out;
    out.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        out.emplace(classes.classes()[i].label, values[i]);
    }
    return out;
}

}  // namespace tarvo
