#include "tree/fimtdd_leaf.hpp"

#include <algorithm>
#include <utility>

#include "tree/hoeffding_bound.hpp"

namespace tarvo {

double FIMTDDLeaf::mean(const GlobalScale& scale) const noexcept {
    return target.count > 0.0 ? target.sum / target.count : scale.target_mean();
}

double FIMTDDLeaf::bounded(double p) const noexcept {
    // std::min / std::max only compare: NaN ends at `low`, never in a sort.
    return bounds_set ? std::max(low, std::min(p, high)) : p;
}

double FIMTDDLeaf::prediction(ModelLeafChoice mode, const std::vector<ScaledFeature>& x,
                              const GlobalScale& scale) const {
    if (!uses_perceptron(mode)) {
        return mean(scale);
    }
    const double p = perceptron.output(x, scale);
    return mode == ModelLeafChoice::kPerceptron ? p : bounded(p);
}

void FIMTDDLeaf::learn(const std::vector<ScaledFeature>& x, double y, ModelLeafChoice mode,
                       const GlobalScale& scale, const PerceptronRate& rate, std::mt19937& rng,
                       bool observe, LeafScratch& scratch) {
    const bool with_model = mode != ModelLeafChoice::kMean;
    if (with_model) {
        const double m = mean(scale);
        const double p = bounded(perceptron.output(x, scale));
        sse_mean += (m - y) * (m - y);
        sse_perceptron += (p - y) * (p - y);
    }
    if (!bounds_set) {
        low = high = y;
        bounds_set = true;
    } else {
        low = std::min(low, y);
        high = std::max(high, y);
    }
    target.update(y);
    if (with_model) {
        perceptron.train(x, y, scale, rate, rng, scratch.weight_slots);
    }
    if (!observe) {
        return;
    }
    for (const ScaledFeature& f : x) {
        observers[f.index].insert(f.value, y);
    }
}

std::optional<FIMTDDLeaf::Split> FIMTDDLeaf::attempt_split(double split_confidence,
                                                            double tie_threshold,
                                                            const GlobalScale& scale,
                                                            LeafScratch& scratch) {
    struct Named {
        const std::string* name;
        const ExtendedBST* observer;
    };
    std::vector<Named> by_name;
    by_name.reserve(observers.size());
    for (const auto& [index, observer] : observers) {
        by_name.push_back(Named{&scale.name(index), &observer});
    }
    std::sort(by_name.begin(), by_name.end(),
              [](const Named& a, const Named& b) { return *a.name < *b.name; });

    struct Ranked {
        const std::string* feature = nullptr;
        ExtendedBST::Candidate candidate;
    };
    Ranked best;
    Ranked second;
    for (const Named& e : by_name) {
        const ExtendedBST::Candidate c = e.observer->best_split(target, scratch.scan);
        if (!(c.sdr > 0.0)) {
            continue;
        }
        if (best.feature == nullptr || c.sdr > best.candidate.sdr) {
            second = best;
            best = Ranked{e.name, c};
        } else if (second.feature == nullptr || c.sdr > second.candidate.sdr) {
            second = Ranked{e.name, c};
        }
    }
    last_attempt = target.count;

    if (best.feature == nullptr) {
        return std::nullopt;
    }
    if (second.feature != nullptr) {
        const double epsilon = hoeffding_bound(1.0, split_confidence, target.count);
        const double ratio = second.candidate.sdr / best.candidate.sdr;
        if (!(ratio < 1.0 - epsilon || epsilon < tie_threshold)) {
            return std::nullopt;
        }
    }
    return Split{best.feature, best.candidate.key};
}

}  // namespace tarvo
