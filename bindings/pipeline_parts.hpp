#pragma once

// The objects a pipeline shares with Python: its steps and its learner, and
// theirs when the learner is itself a pipeline, at any depth. A batch claims
// them with the pipeline, and every guarded call of a pipeline checks them,
// so no call reaches a part that a batch in another thread is using.

#include <cstddef>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/classifier.hpp"
#include "core/regressor.hpp"
#include "core/transformer.hpp"
#include "pipeline/classification_pipeline.hpp"
#include "pipeline/regression_pipeline.hpp"

namespace tarvo::bindings {

// Where a part sits, for messages: `depth` times "learner." then "steps[step]",
// or "learner" when `step` is npos.
struct PartPath {
    std::size_t depth = 0;
    std::size_t step = npos;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    [[nodiscard]] std::string text() const {
        std::string out;
        for (std::size_t d = 0; d < depth; ++d) {
            out += "learner.";
        }
        return step == npos ? out + "learner" : out + "steps[" + std::to_string(step) + "]";
    }
};

// Calls visit(part, path, type) for every step and learner of the pipeline `classifier`
// or `regressor` (one of them given), in order: the steps of each level, then its
// learner. Each part is named by the address of its most derived object, as the
// binding holds it, and by that object's type. Pipelines nest at most 100 deep: a loop, no recursion. Stops
// early when visit returns true, and returns whether it did.
template <class Visit>
bool visit_pipeline_parts(const IClassifier* classifier, const IRegressor* regressor, Visit&& visit) {
    for (std::size_t depth = 0; classifier != nullptr || regressor != nullptr; ++depth) {
        const std::vector<std::shared_ptr<ITransformer>>* steps = nullptr;
        const void* learner = nullptr;
        const std::type_info* learner_type = nullptr;
        if (const auto* p = dynamic_cast<const ClassificationPipeline*>(classifier)) {
            steps = &p->steps();
            classifier = p->learner().get();
            learner = dynamic_cast<const void*>(classifier);
            learner_type = &typeid(*classifier);
        } else if (const auto* q = dynamic_cast<const RegressionPipeline*>(regressor)) {
            steps = &q->steps();
            regressor = q->learner().get();
            learner = dynamic_cast<const void*>(regressor);
            learner_type = &typeid(*regressor);
        } else {
            return false;
        }
        for (std::size_t i = 0; i < steps->size(); ++i) {
            const ITransformer& step = *(*steps)[i];
            if (visit(dynamic_cast<const void*>(&step), PartPath{depth, i}, typeid(step))) {
                return true;
            }
        }
        if (visit(learner, PartPath{depth, PartPath::npos}, *learner_type)) {
            return true;
        }
    }
    return false;
}

}  // namespace tarvo::bindings
