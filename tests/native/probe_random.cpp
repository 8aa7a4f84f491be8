// Seeded draws, each returned with the number of raw generator outputs it
// consumed, so that tests can pin the exact streams.

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "core/random.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

// How many raw outputs separate two states of one generator (-1 beyond limit).
std::int64_t raw_consumed(const std::mt19937& start, const std::mt19937& end,
                          std::int64_t limit = 100'000'000) {
    std::mt19937 walker = start;
    for (std::int64_t steps = 0; steps <= limit; ++steps) {
        if (walker == end) {
            return steps;
        }
        walker.discard(1);
    }
    return -1;
}

template <class Draw>
py::tuple draws(std::int32_t seed, std::int64_t n, bool count_raw, Draw draw) {
    std::mt19937 gen;
    seed_generator(gen, seed);
    const std::mt19937 start = gen;
    py::list values;
    for (std::int64_t i = 0; i < n; ++i) {
        values.append(draw(gen));
    }
    return py::make_tuple(values, count_raw ? raw_consumed(start, gen) : -1);
}

}  // namespace

void add_random(py::module_& m) {
    m.def(
        "mt_raw",
        [](std::int32_t seed, int n) {
            std::mt19937 gen;
            seed_generator(gen, seed);
            std::vector<std::uint32_t> out;
            for (int i = 0; i < n; ++i) {
                out.push_back(static_cast<std::uint32_t>(gen()));
            }
            return out;
        },
        "The first n raw outputs of a generator seeded with a signed 32-bit seed.");

    m.def(
        "uniform01_draws",
        [](std::int32_t seed, std::int64_t n) {
            return draws(seed, n, true, [](std::mt19937& g) { return uniform01(g); });
        },
        "n uniform01 draws; returns (values, raw outputs consumed).");

    m.def(
        "uniform_int_draws",
        [](std::int32_t seed, std::int64_t a, std::int64_t b, std::int64_t n, int width) {
            if (width == 32) {
                const auto a32 = static_cast<std::int32_t>(a);
                const auto b32 = static_cast<std::int32_t>(b);
                return draws(seed, n, true,
                             [=](std::mt19937& g) { return std::int64_t{uniform_int(g, a32, b32)}; });
            }
            if (width == 64) {
                return draws(seed, n, true, [=](std::mt19937& g) { return uniform_int(g, a, b); });
            }
            const auto ua = static_cast<std::uint64_t>(a);
            const auto ub = static_cast<std::uint64_t>(b);
            return draws(seed, n, true, [=](std::mt19937& g) { return uniform_int(g, ua, ub); });
        },
        py::arg("seed"), py::arg("a"), py::arg("b"), py::arg("n"), py::arg("width") = 32,
        "n uniform_int draws at width 32 (int32), 64 (int64) or anything else (uint64); "
        "returns (values, raw outputs consumed).");

    m.def(
        "poisson_draws",
        [](std::int32_t seed, double mean, std::int64_t n, bool count_raw) {
            const PoissonParams params(mean);
            return draws(seed, n, count_raw,
                         [&params](std::mt19937& g) { return poisson(g, params); });
        },
        py::arg("seed"), py::arg("mean"), py::arg("n"), py::arg("count_raw") = true,
        "n Poisson draws; returns (values, raw outputs consumed or -1).");

    m.def(
        "standard_normal_draws",
        [](std::int32_t seed, std::int64_t n) {
            return draws(seed, n, true, [](std::mt19937& g) { return standard_normal(g); });
        },
        "n standard_normal draws; returns (values, raw outputs consumed).");

    m.def(
        "exponential_draws",
        [](std::int32_t seed, std::int64_t n) {
            return draws(seed, n, true, [](std::mt19937& g) { return exponential(g); });
        },
        "n exponential draws; returns (values, raw outputs consumed).");

    m.def(
        "poisson_params",
        [](double mean) {
            const PoissonParams p(mean);
            py::dict d;
            d["mean"] = p.mean;
            d["multiplication"] = p.multiplication;
            d["s"] = p.s;
            d["d"] = p.d;
            d["L"] = p.L;
            d["omega"] = p.omega;
            d["c3"] = p.c3;
            d["c2"] = p.c2;
            d["c1"] = p.c1;
            d["c0"] = p.c0;
            d["c"] = p.c;
            return d;
        },
        "The prepared Poisson parameters of a mean.");

    m.def(
        "shuffle_names",
        [](std::int32_t seed, std::vector<std::string> names) {
            std::mt19937 gen;
            seed_generator(gen, seed);
            const std::mt19937 start = gen;
            shuffle(gen, names);
            return py::make_tuple(names, raw_consumed(start, gen));
        },
        "Shuffles the names; returns (names, raw outputs consumed).");

    m.def(
        "sort_names",
        [](std::vector<std::string> names) {
            sort_names(names);
            return names;
        },
        "The names in ascending byte order.");

    m.def(
        "select_subspace",
        [](std::int32_t seed, const FeatureMap& x, std::int64_t k) {
            std::mt19937 gen;
            seed_generator(gen, seed);
            const std::mt19937 start = gen;
            std::int64_t seen_n = -1;
            auto names = select_subspace(gen, x, [&](std::size_t n) {
                seen_n = static_cast<std::int64_t>(n);
                return k;
            });
            return py::make_tuple(names, raw_consumed(start, gen), seen_n);
        },
        "select_subspace with a rule answering k; returns (names, raw outputs consumed, "
        "the n given to the rule).");

    m.def("project_features", &project_features, "The sample restricted to the names.");
}

}  // namespace tarvo::probe
