// The "limit" of a learner: the arithmetic of its predict_one + learn_one on a
// row, written over dense arrays, with no map, no name and no Python. A
// learner's per-row cost divided by its limit is what the maps and the calls
// around the arithmetic cost.
//
// Each function takes a C-contiguous float64 matrix X (rows × features) and the
// labels or targets, runs predict-then-learn over every row `repeat` times on
// fresh state, and returns the best nanoseconds per row together with a
// checksum of the predictions (so that the compiler keeps the work).

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include "core/running_stats.hpp"
#include "probe.hpp"

namespace tarvo::probe {
namespace {

using Matrix = py::array_t<double, py::array::c_style | py::array::forcecast>;

struct Dense {
    const double* x;
    std::size_t rows;
    std::size_t cols;
    [[nodiscard]] const double* row(std::size_t i) const noexcept { return x + i * cols; }
};

Dense dense(const Matrix& X, std::size_t n_targets) {
    if (X.ndim() != 2) {
        throw py::value_error("X must be a 2-D array");
    }
    const auto rows = static_cast<std::size_t>(X.shape(0));
    if (rows != n_targets) {
        throw py::value_error("X and y have different numbers of rows");
    }
    return {X.data(), rows, static_cast<std::size_t>(X.shape(1))};
}

// Labels as dense class numbers 0..k-1, in order of first appearance.
std::vector<std::size_t> class_numbers(const std::vector<std::int64_t>& y, std::size_t& n_classes) {
    std::vector<std::int64_t> seen;
    std::vector<std::size_t> out(y.size());
    for (std::size_t i = 0; i < y.size(); ++i) {
        const auto it = std::find(seen.begin(), seen.end(), y[i]);
        out[i] = static_cast<std::size_t>(it - seen.begin());
        if (it == seen.end()) {
            seen.push_back(y[i]);
        }
    }
    n_classes = seen.size();
    return out;
}

// Best-of-repeat ns per row of `run(checksum)` on fresh state.
template <class Run>
std::pair<double, double> best_ns(std::size_t rows, int repeat, Run run) {
    if (repeat < 1) {
        throw py::value_error("repeat must be at least 1");
    }
    double best = std::numeric_limits<double>::infinity();
    double checksum = 0.0;
    for (int r = 0; r < repeat; ++r) {
        double sum = 0.0;
        const auto start = std::chrono::steady_clock::now();
        run(sum);
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double, std::nano>(stop - start).count());
        checksum = sum;
    }
    return {rows == 0 ? 0.0 : best / static_cast<double>(rows), checksum};
}

// Gaussian naive Bayes: per class a count and per feature a Welford mean and
// variance; predicts the class of highest log prior + log likelihood.
std::pair<double, double> naive_bayes_limit(const Matrix& X, const std::vector<std::int64_t>& y, int repeat) {
    const Dense d = dense(X, y.size());
    std::size_t k = 0;
    const std::vector<std::size_t> label = class_numbers(y, k);
    return best_ns(d.rows, repeat, [&](double& sum) {
        std::vector<double> count(k, 0.0);
        std::vector<RunningStats> stats(k * d.cols);
        double total = 0.0;
        for (std::size_t i = 0; i < d.rows; ++i) {
            const double* x = d.row(i);
            std::size_t best = 0;
            double best_score = -std::numeric_limits<double>::infinity();
            for (std::size_t c = 0; c < k && total > 0.0; ++c) {
                if (count[c] == 0.0) {
                    continue;
                }
                double score = std::log(count[c] / total);
                for (std::size_t j = 0; j < d.cols; ++j) {
                    const RunningStats& s = stats[c * d.cols + j];
                    double lik = 0.0;
                    if (s.n >= 2.0) {
                        const double var = s.sample_variance();
                        lik = var <= 0.0 ? (x[j] == s.mean ? 1.0 : 0.0) : normal_density_halved(x[j] - s.mean, var);
                    }
                    score += std::log(std::max(lik, 1e-300));
                }
                if (score > best_score) {
                    best_score = score;
                    best = c;
                }
            }
            sum += static_cast<double>(best);
            const std::size_t c = label[i];
            count[c] += 1.0;
            total += 1.0;
            for (std::size_t j = 0; j < d.cols; ++j) {
                stats[c * d.cols + j].update(x[j]);
            }
        }
    });
}

// Logistic regression, one weight row per class (one against the rest), SGD
// with an L2 decay; predicts the class of highest raw score.
std::pair<double, double> logistic_limit(const Matrix& X, const std::vector<std::int64_t>& y, double rate,
                                         double decay, int repeat) {
    const Dense d = dense(X, y.size());
    std::size_t k = 0;
    const std::vector<std::size_t> label = class_numbers(y, k);
    return best_ns(d.rows, repeat, [&](double& sum) {
        std::vector<double> w(k * d.cols, 0.0);
        std::vector<double> bias(k, 0.0);
        std::size_t known = 0;
        for (std::size_t i = 0; i < d.rows; ++i) {
            const double* x = d.row(i);
            std::size_t best = 0;
            double best_score = -std::numeric_limits<double>::infinity();
            for (std::size_t c = 0; c < known; ++c) {
                double s = bias[c];
                for (std::size_t j = 0; j < d.cols; ++j) {
                    s += w[c * d.cols + j] * x[j];
                }
                if (s > best_score) {
                    best_score = s;
                    best = c;
                }
            }
            sum += static_cast<double>(best);
            known = std::max(known, label[i] + 1);
            for (std::size_t c = 0; c < known; ++c) {
                double s = bias[c];
                for (std::size_t j = 0; j < d.cols; ++j) {
                    s += w[c * d.cols + j] * x[j];
                }
                const double g = (c == label[i] ? 1.0 : 0.0) - 1.0 / (1.0 + std::exp(-std::clamp(s, -500.0, 500.0)));
                for (std::size_t j = 0; j < d.cols; ++j) {
                    double& wj = w[c * d.cols + j];
                    wj = wj + rate * (g * x[j] - decay * wj);
                }
                bias[c] += rate * g;
            }
        }
    });
}

// Linear regression by SGD on the squared error, the error and each gradient
// clipped to ±10, with an L2 decay: predict w·x + b, then step.
std::pair<double, double> linear_regression_limit(const Matrix& X, const std::vector<double>& y, double rate,
                                                  double decay, int repeat) {
    const Dense d = dense(X, y.size());
    return best_ns(d.rows, repeat, [&](double& sum) {
        std::vector<double> w(d.cols, 0.0);
        double bias = 0.0;
        for (std::size_t i = 0; i < d.rows; ++i) {
            const double* x = d.row(i);
            double p = bias;
            for (std::size_t j = 0; j < d.cols; ++j) {
                p += w[j] * x[j];
            }
            sum += p;
            const double error = std::clamp(y[i] - p, -10.0, 10.0);
            for (std::size_t j = 0; j < d.cols; ++j) {
                const double g = std::clamp(error * x[j], -10.0, 10.0);
                w[j] = w[j] + rate * (g - decay * w[j]);
            }
            bias += rate * error;
        }
    });
}

// A Hoeffding tree's leaf, per row: predict the majority class, then count the
// class and update each feature's Gaussian observer for that class (Welford
// mean and variance, least and greatest value).
std::pair<double, double> tree_leaf_limit(const Matrix& X, const std::vector<std::int64_t>& y, int repeat) {
    const Dense d = dense(X, y.size());
    std::size_t k = 0;
    const std::vector<std::size_t> label = class_numbers(y, k);
    struct Observer {
        RunningStats stats;
        double low = std::numeric_limits<double>::infinity();
        double high = -std::numeric_limits<double>::infinity();
    };
    return best_ns(d.rows, repeat, [&](double& sum) {
        std::vector<double> count(k, 0.0);
        std::vector<Observer> observers(k * d.cols);
        for (std::size_t i = 0; i < d.rows; ++i) {
            const double* x = d.row(i);
            sum += static_cast<double>(std::max_element(count.begin(), count.end()) - count.begin());
            const std::size_t c = label[i];
            count[c] += 1.0;
            for (std::size_t j = 0; j < d.cols; ++j) {
                Observer& o = observers[c * d.cols + j];
                o.stats.update(x[j]);
                o.low = std::min(o.low, x[j]);
                o.high = std::max(o.high, x[j]);
            }
        }
    });
}

}  // namespace

void add_limit(py::module_& m) {
    m.def("limit_naive_bayes_ns", &naive_bayes_limit, py::arg("X"), py::arg("y"), py::arg("repeat") = 3,
          "Dense-array Gaussian naive Bayes, predict then learn each row: (best ns per row, checksum).");
    m.def("limit_logistic_ns", &logistic_limit, py::arg("X"), py::arg("y"), py::arg("learning_rate"),
          py::arg("l2"), py::arg("repeat") = 3,
          "Dense-array logistic regression (a weight row per class), predict then learn each row: "
          "(best ns per row, checksum).");
    m.def("limit_linear_regression_ns", &linear_regression_limit, py::arg("X"), py::arg("y"),
          py::arg("learning_rate"), py::arg("l2"), py::arg("repeat") = 3,
          "Dense-array SGD linear regression, predict then learn each row: (best ns per row, checksum).");
    m.def("limit_tree_leaf_ns", &tree_leaf_limit, py::arg("X"), py::arg("y"), py::arg("repeat") = 3,
          "Dense-array Hoeffding-tree leaf: majority prediction, then the class count and each feature's "
          "Gaussian observer (mean, variance, range): (best ns per row, checksum).");
}

}  // namespace tarvo::probe
