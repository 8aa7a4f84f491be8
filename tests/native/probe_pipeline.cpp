// Recording stand-ins for a pipeline's parts: each keeps every sample (and
// target) it was given, so that tests see exactly what a pipeline passes on.
// They derive from the native interfaces and are accepted wherever a step or
// learner is.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"
#include "preprocessing/select_k_best.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

using Record = std::pair<FeatureMap, std::optional<double>>;

// Multiplies every value by scale; needs the target when told to.
class RecordingTransformer final : public ITransformer {
public:
    RecordingTransformer(bool needs_target, double scale)
        : needs_target_(needs_target), scale_(scale) {}

    void learn_one(const FeatureMap& x) override { learnt.emplace_back(x, std::nullopt); }
    void learn_one(const FeatureMap& x, double y) override { learnt.emplace_back(x, y); }
    FeatureMap transform_one(const FeatureMap& x) override {
        FeatureMap copy = x;
        transform_in_place(copy);
        return copy;
    }
    void transform_in_place(FeatureMap& x) override {
        ++transforms;
        for (auto& entry : x) {
            entry.second *= scale_;
        }
    }
    bool requires_target() const override { return needs_target_; }
    void set_feature_order(const std::vector<std::string>& names) override {
        orders.push_back(names);
    }
    void reset() override { ++resets; }

    std::vector<Record> learnt;
    std::vector<std::vector<std::string>> orders;
    std::size_t transforms = 0;
    std::size_t resets = 0;

private:
    bool needs_target_;
    double scale_;
};

// What a recording learner was given.
struct LearnerLog {
    std::vector<Record> learnt;
    std::vector<FeatureMap> predicted;
    std::size_t resets = 0;
};

// Both recording learners predict the number of samples learnt.
class RecordingClassifier final : public IClassifier {
public:
    void learn_one(const FeatureMap& x, int y) override { log.learnt.emplace_back(x, y); }
    int predict_one(const FeatureMap& x) override {
        log.predicted.push_back(x);
        return static_cast<int>(log.learnt.size());
    }
    ProbabilityMap predict_proba_one(const FeatureMap& x) override {
        return {{predict_one(x), 1.0}};
    }
    void reset() override { ++log.resets; }

    LearnerLog log;
};

class RecordingRegressor final : public IRegressor {
public:
    void learn_one(const FeatureMap& x, double y) override { log.learnt.emplace_back(x, y); }
    double predict_one(const FeatureMap& x) override {
        log.predicted.push_back(x);
        return static_cast<double>(log.learnt.size());
    }
    void reset() override { ++log.resets; }

    LearnerLog log;
};

// The log of a recording learner as read-only attributes.
template <class Class>
void def_log(Class& cls) {
    using T = typename Class::type;
    cls.def_property_readonly("learnt", [](const T& t) { return t.log.learnt; })
        .def_property_readonly("predicted", [](const T& t) { return t.log.predicted; })
        .def_property_readonly("resets", [](const T& t) { return t.log.resets; });
}

}  // namespace

void add_pipeline(py::module_& m) {
    py::module_::import("_tarvo_core");  // the interfaces must be registered first

    py::class_<RecordingTransformer, ITransformer, std::shared_ptr<RecordingTransformer>>(
        m, "RecordingTransformer", "Records every call; multiplies values by scale.")
        .def(py::init<bool, double>(), py::arg("needs_target") = false, py::arg("scale") = 1.0)
        .def_readonly("learnt", &RecordingTransformer::learnt)
        .def_readonly("orders", &RecordingTransformer::orders)
        .def_readonly("transforms", &RecordingTransformer::transforms)
        .def_readonly("resets", &RecordingTransformer::resets);

    py::class_<RecordingClassifier, IClassifier, std::shared_ptr<RecordingClassifier>> classifier(
        m, "RecordingClassifier", "Records every call; predicts the number of samples learnt.");
    classifier.def(py::init<>())
        .def("learn_one", &RecordingClassifier::learn_one)
        .def("predict_one", &RecordingClassifier::predict_one)
        .def("predict_proba_one", &RecordingClassifier::predict_proba_one)
        .def("reset", &RecordingClassifier::reset);
    def_log(classifier);

    py::class_<RecordingRegressor, IRegressor, std::shared_ptr<RecordingRegressor>> regressor(
        m, "RecordingRegressor", "Records every call; predicts the number of samples learnt.");
    regressor.def(py::init<>())
        .def("learn_one", &RecordingRegressor::learn_one)
        .def("predict_one", &RecordingRegressor::predict_one)
        .def("reset", &RecordingRegressor::reset);
    def_log(regressor);

    m.def(
        "select_k_best_scores",
        [](const std::shared_ptr<SelectKBest>& selector) { return selector->scores(); },
        "The latest score of every feature a SelectKBest has learnt.");
}

}  // namespace tarvo::probe
