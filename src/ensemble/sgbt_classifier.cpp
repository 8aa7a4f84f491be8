#include "ensemble/sgbt_classifier.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <span>
#include <utility>

#include "core/archive.hpp"
#include "core/class_distribution.hpp"

namespace tarvo {

namespace {
constexpr double kInfinity = std::numeric_limits<double>::infinity();
}  // namespace

SGBTClassifier::SGBTClassifier(std::int32_t n_models_, double learning_rate_,
                               std::int32_t percentage_of_features_,
                               std::int32_t multiply_hessian_by_, std::int32_t skip_training_,
                               bool use_squared_loss_, std::int32_t bag_size_,
                               std::int32_t n_classes_, bool scale_prediction_by_lr_,
                               std::int32_t grace_period_, double split_confidence_,
                               std::int32_t max_depth_, std::string leaf_prediction_,
                               std::int32_t seed_)
    : n_models(n_models_),
      learning_rate(learning_rate_),
      percentage_of_features(percentage_of_features_),
      multiply_hessian_by(multiply_hessian_by_),
      skip_training(skip_training_),
      use_squared_loss(use_squared_loss_),
      bag_size(bag_size_),
      n_classes(n_classes_),
      scale_prediction_by_lr(scale_prediction_by_lr_),
      seed(seed_),
      grace_period(grace_period_),
      max_depth(max_depth_),
      split_confidence(split_confidence_),
      leaf_prediction(std::move(leaf_prediction_)) {}

std::unique_ptr<Booster> SGBTClassifier::make_booster() const {
    BoosterSettings s;
    s.n_models = n_models;
    s.percentage_of_features = percentage_of_features;
    s.multiply_hessian_by = multiply_hessian_by;
    s.skip_training = skip_training;
    s.bag_size = bag_size;
    s.learning_rate = learning_rate;
    s.use_squared_loss = use_squared_loss;
    s.grace_period = grace_period;
    s.max_depth = max_depth;
    s.split_confidence = split_confidence;
    s.leaf_prediction = leaf_prediction;
    s.seed = seed;
    return std::make_unique<Booster>(s);
}

void SGBTClassifier::learn_one(const FeatureMap& x, int y) {
    const auto at = std::lower_bound(classes_.begin(), classes_.end(), y);
    const bool is_new = at == classes_.end() || *at != y;
    const auto n = static_cast<std::size_t>(at - classes_.begin());
    const bool two_class = n_classes == 2;
    // Every booster that may be needed is built before anything changes.
    std::unique_ptr<Booster> fresh;
    if (two_class ? boosters_.empty() : is_new) {
        fresh = make_booster();
    }
    if (is_new) {
        classes_.insert(at, y);
    }
    if (two_class) {
        if (fresh) {
            boosters_.push_back(std::move(fresh));
        }
        boosters_.front()->learn_one(x, n == 0 ? 1.0 : 0.0);
        return;
    }
    if (fresh) {
        // After a switch from two-class mode there may be fewer boosters than
        // labels: a new one never goes past the end.
        const std::size_t pos = std::min(n, boosters_.size());
        boosters_.insert(boosters_.begin() + static_cast<std::ptrdiff_t>(pos), std::move(fresh));
    }
    for (std::size_t i = 0; i < boosters_.size(); ++i) {
        boosters_[i]->learn_one(x, i == n ? 0.0 : 1.0);
    }
}

double SGBTClassifier::score(Booster& booster, const FeatureMap& x) const {
    const double raw = booster.raw_score(x);
    return scale_prediction_by_lr ? raw * booster.settings().learning_rate : raw;
}

ProbabilityMap SGBTClassifier::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap proba;
    if (classes_.empty()) {
        return proba;
    }
    if (classes_.size() == 1) {
        proba.emplace(classes_.front(), 1.0);
        return proba;
    }
    if (n_classes == 2) {
        const double p = boosters_.empty() ? 0.5 : Booster::sigmoid(score(*boosters_.front(), x));
        proba.emplace(classes_[0], p);
        proba.emplace(classes_[1], 1.0 - p);
        return proba;
    }
    const std::size_t n = std::min(boosters_.size(), classes_.size());
    std::vector<double> scores(n);
    std::vector<double> shares(n);
    bool finite_log = false;
    for (std::size_t i = 0; i < n; ++i) {
        scores[i] = score(*boosters_[i], x);
        shares[i] = 1.0 - Booster::sigmoid(scores[i]);
        finite_log = finite_log || scores[i] < kInfinity;
    }
    // Shares divided by their sum; when every share rounds to 0 (every score
    // far above 0), from their logarithms -softplus(score) instead. Without a
    // finite logarithm (every score +inf) or with a NaN sum, every label gets
    // 0.0.
    std::vector<double> scratch;
    const bool normalised =
        finite_log && normalise_class_terms(shares, scratch, [&](std::span<double> logs) {
            for (std::size_t i = 0; i < n; ++i) {
                logs[i] = -Booster::softplus(scores[i]);
            }
        });
    if (normalised) {
        for (std::size_t i = 0; i < n; ++i) {
            proba.emplace(classes_[i], shares[i]);
        }
    } else {
        for (const int label : classes_) {
            proba.emplace(label, 0.0);
        }
    }
    return proba;
}

int SGBTClassifier::predict_one(const FeatureMap& x) {
    const ProbabilityMap proba = predict_proba_one(x);
    if (proba.empty()) {
        return 0;
    }
    // Ascending labels: ties go to the smallest.
    int best_label = 0;
    double best = 0.0;
    bool found = false;
    for (const int label : classes_) {
        const auto it = proba.find(label);
        if (it != proba.end() && (!found || it->second > best)) {
            best_label = label;
            best = it->second;
            found = true;
        }
    }
    return best_label;
}

void SGBTClassifier::reset() {
    classes_.clear();
    boosters_.clear();
}

template <class Archive>
void SGBTClassifier::fields(Archive& ar) {
    ar.param("n_models", n_models);
    ar.param("learning_rate", learning_rate);
    ar.param("percentage_of_features", percentage_of_features);
    ar.param("multiply_hessian_by", multiply_hessian_by);
    ar.param("skip_training", skip_training);
    ar.param("use_squared_loss", use_squared_loss);
    ar.param("bag_size", bag_size);
    ar.param("n_classes", n_classes);
    ar.param("scale_prediction_by_lr", scale_prediction_by_lr);
    ar.param("grace_period", grace_period);
    ar.param("split_confidence", split_confidence);
    ar.param("max_depth", max_depth);
    ar.param("leaf_prediction", leaf_prediction);
    ar.param("seed", seed);
    if constexpr (!Archive::kParamsOnly) {
        ar(classes_);
        ar.check(std::adjacent_find(classes_.begin(), classes_.end(), std::greater_equal<>()) ==
                     classes_.end(),
                 "the labels are not in ascending order");
        // Boosters are built lazily, one per label (or one in two-class
        // mode), so there are never more than labels.
        std::size_t n = boosters_.size();
        if constexpr (Archive::kLoading) {
            n = ar.get_count(1);
            ar.check(n <= classes_.size(), "there are more boosters than labels");
            boosters_.clear();
            for (std::size_t i = 0; i < n; ++i) {  // each built as its data arrives
                boosters_.push_back(std::make_unique<Booster>(BoosterSettings{}));
                ar(*boosters_.back());
            }
        } else {
            ar.put_u64(n);
            for (const auto& booster : boosters_) {
                ar(*booster);
            }
        }
    }
}

TARVO_ARCHIVE_FIELDS(SGBTClassifier);

}  // namespace tarvo
