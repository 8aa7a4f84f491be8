#include <pybind11/stl.h>

#include "ensemble/booster.hpp"
#include "ensemble/sgbr_regressor.hpp"
#include "ensemble/sgbt_classifier.hpp"
#include "probe.hpp"

namespace tarvo::probe {

void add_boosting(py::module_& m) {
    m.def("booster_stage_size", &Booster::stage_size,
          "Features per stage for a percentage and a number of names.");
    m.def(
        "sgbr_stage_features",
        [](const SGBRRegressor& model) {
            const Booster* b = model.booster();
            return b == nullptr ? std::vector<std::vector<std::string>>{} : b->stage_features();
        },
        "The feature names of each stage of the regressor's booster (empty before learning).");
    m.def(
        "sgbt_stage_features",
        [](const SGBTClassifier& model) {
            std::vector<std::vector<std::vector<std::string>>> out;
            for (const auto& b : model.boosters()) {
                out.push_back(b->stage_features());
            }
            return out;
        },
        "The stage feature names of every booster of the classifier, in booster order.");
    m.def(
        "sgbt_raw_scores",
        [](const SGBTClassifier& model, const FeatureMap& x) {
            std::vector<double> out;
            for (const auto& b : model.boosters()) {
                out.push_back(b->raw_score(x));
            }
            return out;
        },
        "Every booster's raw score of x (the learning rate not applied), in booster order.");
}

}  // namespace tarvo::probe
