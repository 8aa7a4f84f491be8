// Native test-then-train loops over a prebuilt stream, for any learner, so
// that benchmarks can report the cost of the model without the Python calls.

#include <chrono>
#include <memory>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

template <class Model, class Target>
double stream_ns(Model& model, const std::vector<std::pair<FeatureMap, Target>>& samples,
                 double& checksum) {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [x, y] : samples) {
        checksum += static_cast<double>(model.predict_one(x));
        model.learn_one(x, y);
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return samples.empty() ? 0.0 : elapsed.count() / static_cast<double>(samples.size());
}

template <class Model>
double predict_ns(Model& model, const std::vector<FeatureMap>& queries, double& checksum) {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& x : queries) {
        checksum += static_cast<double>(model.predict_one(x));
    }
    const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
    return queries.empty() ? 0.0 : elapsed.count() / static_cast<double>(queries.size());
}

}  // namespace

void add_stream(py::module_& m) {
    m.def(
        "classifier_stream_ns",
        [](const std::shared_ptr<IClassifier>& model,
           const std::vector<std::pair<FeatureMap, int>>& samples) {
            double checksum = 0.0;
            const double ns = stream_ns(*model, samples, checksum);
            return py::make_tuple(ns, checksum);
        },
        "Runs predict_one then learn_one natively over (x, y) pairs; returns (ns per sample, "
        "sum of predictions). The model learns the stream.");
    m.def(
        "regressor_stream_ns",
        [](const std::shared_ptr<IRegressor>& model,
           const std::vector<std::pair<FeatureMap, double>>& samples) {
            double checksum = 0.0;
            const double ns = stream_ns(*model, samples, checksum);
            return py::make_tuple(ns, checksum);
        },
        "Runs predict_one then learn_one natively over (x, y) pairs; returns (ns per sample, "
        "sum of predictions). The model learns the stream.");
    m.def(
        "classifier_predict_ns",
        [](const std::shared_ptr<IClassifier>& model, const std::vector<FeatureMap>& queries) {
            double checksum = 0.0;
            const double ns = predict_ns(*model, queries, checksum);
            return py::make_tuple(ns, checksum);
        },
        "Runs predict_one natively over the queries; returns (ns per query, sum of "
        "predictions).");
    m.def(
        "regressor_predict_ns",
        [](const std::shared_ptr<IRegressor>& model, const std::vector<FeatureMap>& queries) {
            double checksum = 0.0;
            const double ns = predict_ns(*model, queries, checksum);
            return py::make_tuple(ns, checksum);
        },
        "Runs predict_one natively over the queries; returns (ns per query, sum of "
        "predictions).");
    m.def(
        "transformer_stream_ns",
        [](const std::shared_ptr<ITransformer>& step, const std::vector<FeatureMap>& samples) {
            double checksum = 0.0;
            const auto start = std::chrono::steady_clock::now();
            for (const FeatureMap& x : samples) {
                step->learn_one(x);
                for (const auto& entry : step->transform_one(x)) {
                    checksum += entry.second;
                }
            }
            const std::chrono::duration<double, std::nano> elapsed =
                std::chrono::steady_clock::now() - start;
            const double n = samples.empty() ? 1.0 : static_cast<double>(samples.size());
            return py::make_tuple(elapsed.count() / n, checksum);
        },
        "Runs learn_one then transform_one natively over the samples; returns (ns per sample, "
        "sum of the transformed values). The transformer learns the stream.");
}

}  // namespace tarvo::probe
