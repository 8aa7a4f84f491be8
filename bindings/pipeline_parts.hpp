#pragma once

// The objects a pipeline shares with Python: its steps and its learner, and
// theirs when the learner is itself a pipeline, at any depth; likewise the
// regressor of a target wrapper (ScaledTargetRegressor), with pipelines and
// wrappers nested in each other. A batch claims them with the pipeline or
// wrapper, and every guarded call of one checks them, so no call reaches a
// part that a batch in another thread is using.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"
#include "pipeline/classification_pipeline.hpp"
#include "pipeline/regression_pipeline.hpp"
#include "wrappers/scaled_target_regressor.hpp"

namespace tarvo::bindings {

// Where a part sits, for messages: the members that lead to it from the
// object checked ("learner." for each pipeline, "regressor." for each target
// wrapper passed on the way), then "steps[step]", "learner" or "regressor".
struct PartPath {
    std::string_view prefix;
    std::size_t step = npos;
    const char* member = "learner";  // the part itself when `step` is npos
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    [[nodiscard]] std::string text() const {
        const std::string out(prefix);
        return step == npos ? out + member : out + "steps[" + std::to_string(step) + "]";
    }
};

// Calls visit(part, path, type) for every part shared with Python of the
// pipeline or wrapper `classifier` or `regressor` (one of them given), in
// order: the steps of each pipeline level, then its learner; the regressor of
// each target wrapper (ScaledTargetRegressor). Each part is named by the
// address of its most derived object, as the binding holds it, and by that
// object's type. Pipelines and wrappers nest at most 100 deep: a loop, no
// recursion. Stops early when visit returns true, and returns whether it did.
template <class Visit>
bool visit_pipeline_parts(const IClassifier* classifier, const IRegressor* regressor, Visit&& visit) {
    std::string prefix;
    while (classifier != nullptr || regressor != nullptr) {
        const std::vector<std::shared_ptr<ITransformer>>* steps = nullptr;
        const void* inner = nullptr;
        const std::type_info* inner_type = nullptr;
        const char* member = "learner";
        if (const auto* p = dynamic_cast<const ClassificationPipeline*>(classifier)) {
            steps = &p->steps();
            classifier = p->learner().get();
            inner = dynamic_cast<const void*>(classifier);
            inner_type = &typeid(*classifier);
        } else if (const auto* q = dynamic_cast<const RegressionPipeline*>(regressor)) {
            steps = &q->steps();
            regressor = q->learner().get();
            inner = dynamic_cast<const void*>(regressor);
            inner_type = &typeid(*regressor);
        } else if (const auto* w = dynamic_cast<const ScaledTargetRegressor*>(regressor)) {
            regressor = w->regressor().get();
            inner = dynamic_cast<const void*>(regressor);
            inner_type = &typeid(*regressor);
            member = "regressor";
        } else {
            return false;
        }
        for (std::size_t i = 0; steps != nullptr && i < steps->size(); ++i) {
            const ITransformer& step = *(*steps)[i];
            if (visit(dynamic_cast<const void*>(&step), PartPath{prefix, i}, typeid(step))) {
                return true;
            }
        }
        if (visit(inner, PartPath{prefix, PartPath::npos, member}, *inner_type)) {
            return true;
        }
        prefix.append(member).append(".");
    }
    return false;
}

}  // namespace tarvo::bindings
