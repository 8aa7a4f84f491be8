#include "ensemble/booster.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <string>

#include "core/interrupt.hpp"

namespace tarvo {

namespace {

constexpr double kMinHessian = 1e-12;
constexpr double kTreeTieThreshold = 0.05;

std::int32_t at_least_one(std::int32_t v) noexcept { return v < 1 ? 1 : v; }

// Repetitions of a stage's step: max(1, ceil(h * multiply_hessian_by)) when
// the factor is at least 2, else 1. A NaN product gives 1.
std::int64_t repetitions(double h, std::int32_t multiply_hessian_by) noexcept {
    if (multiply_hessian_by < 2) {
        return 1;
    }
    const double reps = std::ceil(h * static_cast<double>(multiply_hessian_by));
    // h <= 1 for either loss, so reps <= multiply_hessian_by fits.
    return reps >= 1.0 ? static_cast<std::int64_t>(std::min(reps, 2147483647.0)) : 1;
}

}  // namespace

Booster::Booster(const BoosterSettings& settings) : settings_(settings) {
    settings_.n_models = at_least_one(settings_.n_models);
    settings_.bag_size = at_least_one(settings_.bag_size);
    if (static_cast<std::int64_t>(settings_.n_models) * settings_.bag_size > kMaxBoosterTrees) {
        throw std::invalid_argument("n_models * bag_size must be at most " +
                                    std::to_string(kMaxBoosterTrees));
    }
    seed_generator(generator_, settings_.seed);
}

double Booster::sigmoid(double f) noexcept {
    if (f >= 0.0) {
        return 1.0 / (1.0 + std::exp(-f));
    }
    const double e = std::exp(f);
    return e / (1.0 + e);
}

std::size_t Booster::stage_size(std::int32_t percentage, std::size_t n) noexcept {
    const double count = static_cast<double>(n);
    double k = std::round(static_cast<double>(percentage) / 100.0 * count);
    if (k < 2.0) {
        k += 1.0;
    }
    k = std::min(k, count);
    if (k < 2.0) {
        k = 1.0;
    }
    return static_cast<std::size_t>(k);
}

std::unique_ptr<FIMTDDRegressor> Booster::make_tree() const {
    return std::make_unique<FIMTDDRegressor>(settings_.grace_period, settings_.split_confidence,
                                             kTreeTieThreshold, settings_.max_depth,
                                             settings_.leaf_prediction);
}

void Booster::build_stages(const FeatureMap& x) {
    std::vector<std::string> names;
    names.reserve(x.size());
    for (const auto& entry : x) {
        names.push_back(entry.first);
    }
    sort_names(names);
    const std::size_t n = names.size();
    // A sample without features leaves every stage an empty list of names.
    const std::size_t k = std::min(stage_size(settings_.percentage_of_features, n), n);
    const auto stages = static_cast<std::size_t>(settings_.n_models);

    std::vector<std::vector<std::string>> features(stages);
    std::vector<std::vector<std::unique_ptr<FIMTDDRegressor>>> trees(stages);
    std::vector<std::size_t> idx(n);
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    // n fits an int32 draw: a sample cannot hold 2^31 features in memory here.
    const auto last = static_cast<std::int32_t>(n) - 1;
    for (std::size_t m = 0; m < stages; ++m) {
        // The permutation carries on from the previous stage's.
        for (std::size_t j = 0; j < k; ++j) {
            const auto r = uniform_int(generator_, static_cast<std::int32_t>(j), last);
            std::swap(idx[j], idx[static_cast<std::size_t>(r)]);
        }
        features[m].reserve(k);
        for (std::size_t j = 0; j < k; ++j) {
            features[m].push_back(names[idx[j]]);
        }
        sort_names(features[m]);
        trees[m].reserve(static_cast<std::size_t>(settings_.bag_size));
        for (std::int32_t b = 0; b < settings_.bag_size; ++b) {
            trees[m].push_back(make_tree());
        }
    }
    stage_features_ = std::move(features);
    stage_trees_ = std::move(trees);
    initialised_ = true;
}

const FeatureMap& Booster::project(const FeatureMap& x, const std::vector<std::string>& names) {
    scratch_.clear();
    for (const std::string& name : names) {
        const auto it = x.find(name);
        if (it != x.end()) {
            scratch_.emplace(name, it->second);
        }
    }
    return scratch_;
}

void Booster::learn_one(const FeatureMap& x, double target) {
    if (settings_.skip_training >= 2 &&
        uniform_int(generator_, 0, settings_.skip_training - 1) == 0) {
        return;  // dropped
    }
    if (!initialised_) {
        build_stages(x);
    }
    double f = 0.0;
    for (std::size_t m = 0; m < stage_trees_.size(); ++m) {
        double g = 0.0;
        double h = 1.0;
        if (settings_.use_squared_loss) {
            g = f;
        } else {
            const double p = sigmoid(f);
            g = p;
            h = std::max(p * (1.0 - p), kMinHessian);
        }
        const FeatureMap& xm = project(x, stage_features_[m]);
        const std::int64_t reps = repetitions(h, settings_.multiply_hessian_by);
        const double t = (target - g) / h;
        double s = 0.0;
        for (const auto& tree : stage_trees_[m]) {
            const std::int64_t c =
                (settings_.bag_size < 2 ? 1 : std::int64_t{poisson(generator_, bag_weight_)}) * reps;
            repeat_interruptibly(c, [&] { tree->learn_one(xm, t); });
            s += tree->predict_one(xm);
        }
        f = f + settings_.learning_rate * s / static_cast<double>(stage_trees_[m].size());
    }
}

double Booster::raw_score(const FeatureMap& x) {
    if (!initialised_) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::size_t m = 0; m < stage_trees_.size(); ++m) {
        const FeatureMap& xm = project(x, stage_features_[m]);
        double s = 0.0;
        for (const auto& tree : stage_trees_[m]) {
            s += tree->predict_one(xm);
        }
        sum += s / static_cast<double>(stage_trees_[m].size());
    }
    return sum;
}

}  // namespace tarvo
