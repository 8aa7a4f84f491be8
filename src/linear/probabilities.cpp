#include "linear/probabilities.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <limits>

#include "core/class_distribution.hpp"

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
    for (std::size_t i = 0; i < scores.size(); ++i) {
        out[i] = std::exp(scores[i]);
    }
    std::vector<double> scratch;
    normalise_class_terms(out, scratch, [&](std::span<double> logs) {
        std::copy(scores.begin(), scores.end(), logs.begin());
    });
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
