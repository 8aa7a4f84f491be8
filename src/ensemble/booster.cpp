#include "ensemble/booster.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <stdexcept>
#include <string>

#include "core/archive.hpp"
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
    if (settings_.multiply_hessian_by > kMaxHessianMultiplier) {
        throw std::invalid_argument("multiply_hessian_by must be at most " +
                                    std::to_string(kMaxHessianMultiplier));
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

double Booster::softplus(double s) noexcept {
    return s > 0.0 ? s + std::log1p(std::exp(-s)) : std::log1p(std::exp(s));
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
    std::vector<Stage> built(stages);
    std::vector<std::size_t> idx(n);
    std::iota(idx.begin(), idx.end(), std::size_t{0});
    // n fits an int32 draw: a sample cannot hold 2^31 features in memory here.
    const auto last = static_cast<std::int32_t>(n) - 1;
    for (Stage& stage : built) {
        // The permutation carries on from the previous stage's.
        for (std::size_t j = 0; j < k; ++j) {
            const auto r = uniform_int(generator_, static_cast<std::int32_t>(j), last);
            std::swap(idx[j], idx[static_cast<std::size_t>(r)]);
        }
        stage.ids.assign(idx.begin(), idx.begin() + static_cast<std::ptrdiff_t>(k));
        // names is sorted, so ascending positions give the names sorted.
        std::sort(stage.ids.begin(), stage.ids.end());
        stage.features.reserve(k);
        for (const std::size_t id : stage.ids) {
            stage.features.push_back(names[id]);
        }
        stage.trees.reserve(static_cast<std::size_t>(settings_.bag_size));
        for (std::int32_t b = 0; b < settings_.bag_size; ++b) {
            stage.trees.push_back(make_tree());
        }
    }
    stages_ = std::move(built);
    names_ = std::move(names);
    initialised_ = true;
}

std::vector<std::vector<std::string>> Booster::stage_features() const {
    std::vector<std::vector<std::string>> out;
    out.reserve(stages_.size());
    for (const Stage& stage : stages_) {
        out.push_back(stage.features);
    }
    return out;
}

void Booster::look_up(const FeatureMap& x, Lookup& lookup) const {
    lookup.found.resize(names_.size());
    for (std::size_t i = 0; i < names_.size(); ++i) {
        const auto it = x.find(names_[i]);
        lookup.found[i] = it == x.end() ? nullptr : &it->second;
    }
}

const FeatureMap& Booster::project(Stage& stage, const Lookup& lookup) {
    const std::size_t k = stage.ids.size();
    bool steady = stage.values.size() == k;
    for (std::size_t j = 0; steady && j < k; ++j) {
        const double* value = lookup.found[stage.ids[j]];
        if ((value != nullptr) != (stage.values[j] != nullptr)) {
            steady = false;
        } else if (value != nullptr) {
            *stage.values[j] = *value;
        }
    }
    if (!steady) {
        // References to a map's values survive its rehashing.
        stage.view.clear();
        stage.values.assign(k, nullptr);
        for (std::size_t j = 0; j < k; ++j) {
            if (const double* value = lookup.found[stage.ids[j]]) {
                stage.values[j] = &stage.view.emplace(stage.features[j], *value).first->second;
            }
        }
    }
    return stage.view;
}

void Booster::draw_row(const FeatureMap& x, RowDraws& draws) {
    draws.built = initialised_;
    draws.kept = settings_.skip_training < 2 ||
                 uniform_int(generator_, 0, settings_.skip_training - 1) != 0;
    if (!draws.kept) {
        return;
    }
    if (!initialised_) {
        build_stages(x);
    }
    // The counts in the order the stages' steps take them: stage by stage,
    // tree by tree.
    if (settings_.bag_size >= 2) {
        draws.counts.resize(stages_.size() * static_cast<std::size_t>(settings_.bag_size));
        for (std::int32_t& count : draws.counts) {
            count = poisson(generator_, bag_weight_);
        }
    }
}

void Booster::add_scores(std::size_t first, std::size_t last, const Lookup& lookup, double& raw) {
    for (std::size_t m = first; m < last; ++m) {
        Stage& stage = stages_[m];
        const FeatureMap& xm = project(stage, lookup);
        double s = 0.0;
        for (const auto& tree : stage.trees) {
            s += tree->predict_one(xm);
        }
        raw += s / static_cast<double>(stage.trees.size());
    }
}

void Booster::learn_stages(std::size_t first, std::size_t last, double target,
                           const RowDraws& draws, const Lookup& lookup, double& f) {
    // The repetitions of all the stages' trees count towards one look for Ctrl-C every
    // kInterruptStride steps: each tree repeats a sample at most a few thousand times, but
    // the stages' trees together may repeat it for minutes.
    InterruptBudget budget;
    for (std::size_t m = first; m < last; ++m) {
        Stage& stage = stages_[m];
        double g = 0.0;
        double h = 1.0;
        if (settings_.use_squared_loss) {
            g = f;
        } else {
            const double p = sigmoid(f);
            g = p;
            h = std::max(p * (1.0 - p), kMinHessian);
        }
        const FeatureMap& xm = project(stage, lookup);
        const std::int64_t reps = repetitions(h, settings_.multiply_hessian_by);
        const double t = (target - g) / h;
        const std::size_t bag = stage.trees.size();
        double s = 0.0;
        for (std::size_t i = 0; i < bag; ++i) {
            const std::int64_t c =
                (settings_.bag_size < 2 ? 1 : std::int64_t{draws.counts[m * bag + i]}) * reps;
            FIMTDDRegressor& tree = *stage.trees[i];
            for (std::int64_t k = 0; k < c; ++k) {
                budget.step();
                tree.learn_one(xm, t);
            }
            s += tree.predict_one(xm);
        }
        f = f + settings_.learning_rate * s / static_cast<double>(bag);
    }
}

void Booster::step(std::size_t first, std::size_t last, const FeatureMap& x, double target,
                   const RowDraws& draws, Lookup& lookup, double* raw, double& f) {
    const bool scoring = raw != nullptr && draws.built;
    if (!scoring && !draws.kept) {
        return;
    }
    look_up(x, lookup);
    if (scoring) {
        add_scores(first, last, lookup, *raw);
    }
    if (draws.kept) {
        learn_stages(first, last, target, draws, lookup, f);
    }
}

void Booster::learn_one(const FeatureMap& x, double target) {
    draw_row(x, draws_);
    double f = 0.0;
    step(0, stages_.size(), x, target, draws_, lookup_, nullptr, f);
}

double Booster::raw_score(const FeatureMap& x) {
    if (!initialised_) {
        return 0.0;
    }
    look_up(x, lookup_);
    double sum = 0.0;
    add_scores(0, stages_.size(), lookup_, sum);
    return sum;
}

template <class Archive>
void Booster::stage_fields(Archive& ar, Stage& stage) {
    // A stage's names are names_ at its positions; the pointers into the
    // view follow from the view.
    bool viewed = stage.values.size() == stage.ids.size();
    ar(stage.ids, stage.view, viewed);
    if constexpr (Archive::kLoading) {
        ar.check(std::adjacent_find(stage.ids.begin(), stage.ids.end(),
                                    std::greater_equal<>()) == stage.ids.end() &&
                     (stage.ids.empty() || stage.ids.back() < names_.size()),
                 "a stage's feature positions are out of order or range");
        stage.features.clear();
        for (const std::size_t id : stage.ids) {
            stage.features.push_back(names_[id]);
        }
        stage.values.clear();
        std::size_t in_view = 0;
        if (viewed) {
            stage.values.assign(stage.ids.size(), nullptr);
            for (std::size_t j = 0; j < stage.ids.size(); ++j) {
                const auto it = stage.view.find(stage.features[j]);
                if (it != stage.view.end()) {
                    stage.values[j] = &it->second;
                    ++in_view;
                }
            }
        }
        ar.check(in_view == stage.view.size(), "a stage's view holds names it does not see");
        const std::size_t n = ar.get_count(1);
        ar.check(n == static_cast<std::size_t>(settings_.bag_size),
                 "a stage does not hold bag_size trees");
        stage.trees.clear();
        for (std::size_t i = 0; i < n; ++i) {
            stage.trees.push_back(std::make_unique<FIMTDDRegressor>());
            ar(*stage.trees.back());
        }
    } else {
        ar.put_u64(stage.trees.size());
        for (const auto& tree : stage.trees) {
            ar(*tree);
        }
    }
}

template <class Archive>
void Booster::fields(Archive& ar) {
    if constexpr (!Archive::kParamsOnly) {
        ar(settings_);
        ar.check(settings_.n_models >= 1 && settings_.bag_size >= 1 &&
                     static_cast<std::int64_t>(settings_.n_models) * settings_.bag_size <=
                         kMaxBoosterTrees,
                 "the booster's stage or bag count is out of range");
        ar(initialised_, names_, generator_);
        std::size_t n = stages_.size();
        if constexpr (Archive::kLoading) {
            ar.check(std::adjacent_find(names_.begin(), names_.end(), std::greater_equal<>()) ==
                         names_.end(),
                     "the booster's feature names are not in ascending order");
            n = ar.get_count(1);
            ar.check(n == (initialised_ ? static_cast<std::size_t>(settings_.n_models) : 0),
                     "the booster does not hold n_models stages");
            stages_.clear();
            for (std::size_t i = 0; i < n; ++i) {  // each built as its data arrives
                stages_.emplace_back();
                stage_fields(ar, stages_.back());
            }
        } else {
            ar.put_u64(n);
            for (Stage& stage : stages_) {
                stage_fields(ar, stage);
            }
        }
    }
}

TARVO_ARCHIVE_FIELDS(Booster);

}  // namespace tarvo
