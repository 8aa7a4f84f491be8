#include "tree/leaf_perceptron.hpp"

#include "core/random.hpp"

namespace tarvo {

namespace {
[[nodiscard]] double uniform_signed(std::mt19937& rng) { return 2.0 * uniform01(rng) - 1.0; }
}  // namespace

double LeafPerceptron::output(const std::vector<ScaledFeature>& x, const GlobalScale& scale) const {
    if (!initialised) {
        return 0.0;
    }
    double a = bias;
    for (const ScaledFeature& f : x) {
        if (!f.scaled.usable) {
            continue;
        }
        const auto it = weights.find(f.index);
        if (it != weights.end()) {
            a += it->second * f.scaled.value;
        }
    }
    return scale.unscale_target(a);
}

void LeafPerceptron::train(const std::vector<ScaledFeature>& x, double y, const GlobalScale& scale,
                           const PerceptronRate& rate, std::mt19937& rng,
                           std::vector<double*>& slots) {
    if (!initialised) {
        for (const ScaledFeature& f : x) {
            weights[f.index] = uniform_signed(rng);
        }
        bias = uniform_signed(rng);
        initialised = true;
    }
    updates += 1.0;
    const double step =
        rate.constant ? rate.learning_ratio : rate.learning_ratio / (1.0 + updates * rate.decay);

    // Map references stay valid while later features are added.
    slots.clear();
    double out = bias;
    for (const ScaledFeature& f : x) {
        double& w = weights.try_emplace(f.index, 0.0).first->second;
        slots.push_back(&w);
        out += w * f.scaled.value;
    }
    const double error = scale.scaled_target(y) - out;
    for (std::size_t i = 0; i < slots.size(); ++i) {
        *slots[i] += step * error * x[i].scaled.value;
    }
    bias += step * error;
}

}  // namespace tarvo
