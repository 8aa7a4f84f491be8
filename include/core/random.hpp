#pragma once

// Seeded random draws. Every draw is defined by the raw 32-bit outputs of the
// generator it consumes and their order, so that equal seeds and equal call
// sequences give equal results on every platform. The standard library's
// distribution classes do not fix their streams and are not used.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <random>
#include <type_traits>
#include <string>
#include <utility>
#include <vector>

#include "core/feature_map.hpp"

namespace tarvo {

// Seeds the generator with a signed 32-bit seed taken modulo 2^32
// (-1 becomes 4294967295). Seed 0 is an ordinary seed.
void seed_generator(std::mt19937& gen, std::int32_t seed);

// A uniform real in [0, 1] from two raw outputs a, b: (a + b * 2^32) * 2^-64,
// with a + b * 2^32 rounded once to double.
[[nodiscard]] double uniform01(std::mt19937& gen);

// A uniform integer in the closed range [a, b], a <= b, by masked rejection:
// each attempt keeps the lowest bits of one raw output (two raw outputs, low
// word first, where the range needs more than 32 bits). A range of one value
// consumes nothing. The arithmetic wraps in the unsigned type of the operands.
[[nodiscard]] std::int32_t uniform_int(std::mt19937& gen, std::int32_t a, std::int32_t b);
[[nodiscard]] std::int64_t uniform_int(std::mt19937& gen, std::int64_t a, std::int64_t b);
[[nodiscard]] std::uint64_t uniform_int(std::mt19937& gen, std::uint64_t a, std::uint64_t b);

// Parameters of a Poisson draw, prepared once from the mean; preparing them
// draws nothing. Means below 10 use the multiplication method (only L is
// set), larger means the PD method of Ahrens and Dieter.
struct PoissonParams {
    explicit PoissonParams(double mean);

    double mean = 0.0;
    bool multiplication = true;
    double s = 0.0;
    double d = 0.0;
    double L = 0.0;
    double omega = 0.0;
    double c3 = 0.0;
    double c2 = 0.0;
    double c1 = 0.0;
    double c0 = 0.0;
    double c = 0.0;
};

// A Poisson count, clamped to the int range.
[[nodiscard]] int poisson(std::mt19937& gen, const PoissonParams& params);

// Polar method; the second variate of each accepted pair is discarded.
[[nodiscard]] double standard_normal(std::mt19937& gen);

// -ln(1 - uniform01).
[[nodiscard]] double exponential(std::mt19937& gen);

// Permutes v in place: for i = 0 .. n-2, j = uniform_int(0, n-1-i) and v[i]
// is exchanged with v[i+j] when j != 0. Fewer than two elements draw nothing.
template <class T>
void shuffle(std::mt19937& gen, std::vector<T>& v) {
    const std::size_t n = v.size();
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const std::uint64_t j = uniform_int(gen, std::uint64_t{0}, std::uint64_t{n - 1 - i});
        if (j != 0) {
            using std::swap;
            swap(v[i], v[i + static_cast<std::size_t>(j)]);
        }
    }
}

// Ascending byte-wise order (std::string's operator<).
void sort_names(std::vector<std::string>& names);

// The feature names of x, sorted, shuffled over all of them, then cut to the
// first k_rule(n) names when that is fewer than n. The rule returns a count;
// a negative count converts to a huge one and keeps every name.
template <class KRule>
    requires std::invocable<KRule&, std::size_t> &&
             std::integral<std::invoke_result_t<KRule&, std::size_t>>
[[nodiscard]] std::vector<std::string> select_subspace(std::mt19937& gen, const FeatureMap& x,
                                                       KRule&& k_rule) {
    std::vector<std::string> names;
    names.reserve(x.size());
    for (const auto& entry : x) {
        names.push_back(entry.first);
    }
    sort_names(names);
    const std::size_t n = names.size();
    const std::size_t k = static_cast<std::size_t>(k_rule(n));
    shuffle(gen, names);
    if (k < n) {
        names.resize(k);
    }
    return names;
}

// x restricted to names, in the order of names (names x lacks are skipped);
// an empty list keeps every feature.
[[nodiscard]] FeatureMap project_features(const FeatureMap& x, const std::vector<std::string>& names);

}  // namespace tarvo
