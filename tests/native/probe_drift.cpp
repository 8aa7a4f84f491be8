#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <pybind11/stl.h>

#include "drift/adwin.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

// Rows of the histogram as lists of (total, variance), row 0 first.
py::list histogram(const ADWIN& a) {
    py::list rows;
    for (const BucketRow& row : a.rows()) {
        py::list buckets;
        for (std::size_t i = 0; i < row.size(); ++i) {
            buckets.append(py::make_tuple(row[i].total, row[i].variance));
        }
        rows.append(buckets);
    }
    return rows;
}

// splitmix64: a cheap seeded generator for the timing loop.
std::uint64_t next_random(std::uint64_t& state) noexcept {
    state += 0x9E3779B97F4A7C15ULL;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

}  // namespace

void add_drift(py::module_& m) {
    m.def(
        "adwin_histogram",
        [](const std::vector<double>& values, double delta, int clock, int max_buckets,
           int min_window_length, int grace_period) {
            ADWIN a(delta, clock, max_buckets, min_window_length, grace_period);
            std::vector<std::int64_t> drifts;
            std::int64_t i = 0;
            for (double v : values) {
                a.update(v);
                i += 1;
                if (a.drift_detected()) {
                    drifts.push_back(i);
                }
            }
            py::dict d;
            d["rows"] = histogram(a);
            d["drifts"] = drifts;
            d["width"] = a.width();
            d["estimation"] = a.estimation();
            d["variance"] = a.variance();
            return d;
        },
        py::arg("values"), py::arg("delta") = 0.002, py::arg("clock") = 32,
        py::arg("max_buckets") = 5, py::arg("min_window_length") = 5,
        py::arg("grace_period") = 10,
        "Feeds the values to a native ADWIN; returns its bucket rows, the updates that "
        "reported a drift, width, estimation and variance.");

    m.def(
        "adwin_default_copy",
        [](double delta, const std::vector<double>& values) {
            // As the learners use it: construction with delta only, replacement by assignment.
            ADWIN a(delta);
            std::int64_t drifts = 0;
            for (double v : values) {
                a.update(v);
                if (a.drift_detected()) {
                    drifts += 1;
                    a = ADWIN(delta);
                }
            }
            return py::make_tuple(drifts, a.width(), a.clock(), a.max_buckets(),
                                  a.min_window_length(), a.grace_period());
        },
        "Drives an ADWIN built from delta alone, replacing it after each drift.");

    m.def(
        "adwin_native_ns",
        [](std::int64_t n) {
            // 0/1 errors at rate 0.2, then 0.6 from half-way: tests, cuts and merges all run.
            ADWIN a(0.002);
            std::uint64_t state = 42;
            std::int64_t drifts = 0;
            const auto start = std::chrono::steady_clock::now();
            for (std::int64_t i = 0; i < n; ++i) {
                const std::uint64_t threshold = i < n / 2 ? 0x3333333333333333ULL : 0x9999999999999999ULL;
                a.update(next_random(state) < threshold ? 1.0 : 0.0);
                drifts += a.drift_detected() ? 1 : 0;
            }
            const auto stop = std::chrono::steady_clock::now();
            const double ns =
                static_cast<double>(std::chrono::duration_cast<std::chrono::nanoseconds>(stop - start).count());
            return py::make_tuple(n > 0 ? ns / static_cast<double>(n) : 0.0, drifts);
        },
        py::arg("n"), "Times n native ADWIN updates; returns (ns per update, drifts).");
}

}  // namespace tarvo::probe
