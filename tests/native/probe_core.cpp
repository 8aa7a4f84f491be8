#include <memory>
#include <string>
#include <vector>

#include <pybind11/stl.h>

#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/running_stats.hpp"
#include "core/transformer.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

// A transformer that overrides only what it must, to observe the defaults.
class RecordingTransformer final : public ITransformer {
public:
    void learn_one(const FeatureMap& x) override { learnt.push_back(x.size()); }
    using ITransformer::learn_one;
    FeatureMap transform_one(const FeatureMap& x) override {
        FeatureMap copy = x;
        transform_in_place(copy);
        return copy;
    }
    void transform_in_place(FeatureMap& x) override {
        for (auto& [name, value] : x) {
            value *= 2.0;
        }
    }
    void reset() override { learnt.clear(); }

    std::vector<std::size_t> learnt;
};

}  // namespace

void add_core(py::module_& m) {
    m.def(
        "running_stats",
        [](const std::vector<double>& values) {
            RunningStats s;
            for (double v : values) {
                s.update(v);
            }
            return py::make_tuple(s.n, s.mean, s.m2);
        },
        "Folds the values into RunningStats; returns (n, mean, m2).");

    m.def(
        "transformer_defaults",
        []() {
            RecordingTransformer t;
            ITransformer& base = t;
            const FeatureMap x{{"a", 1.0}, {"b", 2.0}};
            base.learn_one(x, 5.0);  // must land in learn_one(x)
            base.set_feature_order({"b", "a"});
            const FeatureMap out = base.transform_one(x);
            py::dict d;
            d["requires_target"] = base.requires_target();
            d["learnt_sizes"] = t.learnt;
            d["transformed"] = out;
            d["input_untouched"] = (x.at("a") == 1.0 && x.at("b") == 2.0);
            return d;
        },
        "Drives a minimal transformer through the ITransformer defaults.");

    m.def(
        "predict_through_interface",
        [](const std::shared_ptr<IClassifier>& model, const FeatureMap& x) {
            return model->predict_one(x);
        },
        "Calls predict_one through a shared IClassifier handle.");

    m.def(
        "learn_through_interface",
        [](const std::shared_ptr<IClassifier>& model, const FeatureMap& x, int y) {
            model->learn_one(x, y);
        },
        "Calls learn_one through a shared IClassifier handle.");

    m.def(
        "regress_through_interface",
        [](const std::shared_ptr<IRegressor>& model, const FeatureMap& x) {
            return model->predict_one(x);
        },
        "Calls predict_one through a shared IRegressor handle.");
}

}  // namespace tarvo::probe
