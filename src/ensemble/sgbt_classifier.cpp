#include "ensemble/sgbt_classifier.hpp"

#include <algorithm>
#include <exception>
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
    : BoostingSettings{n_models_,          learning_rate_, percentage_of_features_,
                       multiply_hessian_by_, skip_training_, bag_size_,
                       seed_,              grace_period_,  max_depth_,
                       split_confidence_,  std::move(leaf_prediction_)},
      use_squared_loss(use_squared_loss_),
      n_classes(n_classes_),
      scale_prediction_by_lr(scale_prediction_by_lr_) {}

std::unique_ptr<Booster> SGBTClassifier::make_booster() const {
    return std::make_unique<Booster>(for_booster(use_squared_loss));
}

std::size_t SGBTClassifier::admit(int y, const Booster*& made) {
    const auto at = std::lower_bound(classes_.begin(), classes_.end(), y);
    const bool is_new = at == classes_.end() || *at != y;
    const auto n = static_cast<std::size_t>(at - classes_.begin());
    const bool two_class = n_classes == 2;
    // Every booster that may be needed is built before anything changes.
    std::unique_ptr<Booster> fresh;
    if (two_class ? boosters_.empty() : is_new) {
        fresh = make_booster();
    }
    made = fresh.get();
    if (is_new) {
        classes_.insert(at, y);
    }
    if (fresh && two_class) {
        boosters_.push_back(std::move(fresh));
    } else if (fresh) {
        // After a switch from two-class mode there may be fewer boosters than
        // labels: a new one never goes past the end.
        const std::size_t pos = std::min(n, boosters_.size());
        boosters_.insert(boosters_.begin() + static_cast<std::ptrdiff_t>(pos), std::move(fresh));
    }
    return n;
}

void SGBTClassifier::learn_one(const FeatureMap& x, int y) {
    const Booster* made = nullptr;
    const std::size_t n = admit(y, made);
    if (n_classes == 2) {
        boosters_.front()->learn_one(x, n == 0 ? 1.0 : 0.0);
        return;
    }
    for (std::size_t i = 0; i < boosters_.size(); ++i) {
        boosters_[i]->learn_one(x, i == n ? 0.0 : 1.0);
    }
}

void SGBTClassifier::learn_chunk(const SampleSource& samples, std::span<const int> ys,
                                 int* answers, TaskRunner& runner, std::size_t& learnt) {
    learnt = 0;
    const std::span<const FeatureMap> xs = samples.all(samples_);
    while (learnt < xs.size()) {
        // The labels of the next run of samples, which ends at a booster that
        // cannot be made, or when its Poisson counts would take much memory.
        const std::size_t start = learnt;
        known_.assign(classes_.begin(), classes_.end());
        admitted_.clear();
        made_.clear();
        std::exception_ptr stopped;
        std::size_t counts = 0;
        for (std::size_t r = start; r < xs.size() && r - start < BoosterLanes::kMaxRows &&
                                    counts < BoosterLanes::kMaxCounts;
             ++r) {
            const std::size_t labels_before = classes_.size();
            const Booster* made = nullptr;
            std::size_t n = 0;
            try {
                n = admit(ys[r], made);
            } catch (...) {
                stopped = std::current_exception();
                break;
            }
            if (made != nullptr) {
                made_.emplace_back(made, r - start);
            }
            if (n_classes == 2) {
                admitted_.push_back(Admitted{labels_before, nullptr, n == 0 ? 1.0 : 0.0});
                counts += BoosterLanes::counts_per_row(*boosters_.front());
            } else {
                admitted_.push_back(
                    Admitted{labels_before, n < boosters_.size() ? boosters_[n].get() : nullptr, 0.0});
                for (const auto& booster : boosters_) {
                    counts += BoosterLanes::counts_per_row(*booster);
                }
            }
        }
        const std::size_t rows = admitted_.size();
        learn_admitted(xs.subspan(start, rows), ys.subspan(start, rows),
                       answers == nullptr ? nullptr : answers + start, runner);
        learnt = start + rows;
        if (stopped) {
            std::rethrow_exception(stopped);
        }
    }
}

void SGBTClassifier::learn_admitted(std::span<const FeatureMap> xs, std::span<const int> ys,
                                    int* answers, TaskRunner& runner) {
    const std::size_t n = xs.size();
    const std::size_t nb = boosters_.size();
    const bool two_class = n_classes == 2;
    // born_: 0 for a booster from before the chunk, r + 1 for one made at
    // sample r; a booster exists before sample r when born_ <= r.
    order_.clear();
    born_.clear();
    for (const auto& booster : boosters_) {
        order_.push_back(booster.get());
        std::size_t born = 0;
        for (const auto& [made, r] : made_) {
            if (made == booster.get()) {
                born = r + 1;
            }
        }
        born_.push_back(born);
    }
    lanes_.prepare(n, nb);
    for (std::size_t r = 0; r < n; ++r) {
        const Admitted& a = admitted_[r];
        std::size_t before = 0;
        for (std::size_t b = 0; b < nb; ++b) {
            before += born_[b] <= r ? 1 : 0;
        }
        const std::size_t k = answers == nullptr ? 0 : scored(before, a.labels_before);
        std::size_t index = 0;  // among the boosters that exist before the sample
        for (std::size_t b = 0; b < nb; ++b) {
            BoosterLanes::Cell& c = lanes_.cell(r, b);
            const bool exists = born_[b] <= r + 1;
            c.learns = exists && (two_class ? b == 0 : true);
            c.target = two_class ? a.target : order_[b] == a.own ? 0.0 : 1.0;
            if (born_[b] <= r) {
                c.scores = index < k;
                ++index;
            }
        }
    }
    lanes_.run(order_, xs, runner);
    if (answers == nullptr) {
        return;
    }
    for (std::size_t r = 0; r < n; ++r) {
        scores_.clear();
        std::size_t before = 0;
        for (std::size_t b = 0; b < nb; ++b) {
            if (born_[b] <= r) {
                const BoosterLanes::Cell& c = lanes_.cell(r, b);
                if (c.scores) {
                    scores_.push_back(scale_prediction_by_lr
                                          ? c.raw * order_[b]->settings().learning_rate
                                          : c.raw);
                }
                ++before;
            }
        }
        answers[r] = top(distribution(known_, before, scores_), known_);
        const auto at = std::lower_bound(known_.begin(), known_.end(), ys[r]);
        if (at == known_.end() || *at != ys[r]) {
            known_.insert(at, ys[r]);
        }
    }
}

double SGBTClassifier::score(Booster& booster, const FeatureMap& x) const {
    const double raw = booster.raw_score(x);
    return scale_prediction_by_lr ? raw * booster.settings().learning_rate : raw;
}

std::size_t SGBTClassifier::scored(std::size_t boosters, std::size_t labels) const noexcept {
    if (labels < 2) {
        return 0;
    }
    return n_classes == 2 ? std::min<std::size_t>(boosters, 1) : std::min(boosters, labels);
}

ProbabilityMap SGBTClassifier::predict_proba_one(const FeatureMap& x) {
    std::vector<double> scores(scored(boosters_.size(), classes_.size()));
    for (std::size_t i = 0; i < scores.size(); ++i) {
        scores[i] = score(*boosters_[i], x);
    }
    return distribution(classes_, boosters_.size(), scores);
}

ProbabilityMap SGBTClassifier::distribution(std::span<const int> labels, std::size_t boosters,
                                            std::span<const double> scores) const {
    ProbabilityMap proba;
    if (labels.empty()) {
        return proba;
    }
    if (labels.size() == 1) {
        proba.emplace(labels.front(), 1.0);
        return proba;
    }
    if (n_classes == 2) {
        const double p = boosters == 0 ? 0.5 : Booster::sigmoid(scores[0]);
        proba.emplace(labels[0], p);
        proba.emplace(labels[1], 1.0 - p);
        return proba;
    }
    const std::size_t n = scores.size();
    std::vector<double> shares(n);
    bool finite_log = false;
    for (std::size_t i = 0; i < n; ++i) {
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
            proba.emplace(labels[i], shares[i]);
        }
    } else {
        for (const int label : labels) {
            proba.emplace(label, 0.0);
        }
    }
    return proba;
}

int SGBTClassifier::predict_one(const FeatureMap& x) {
    return top(predict_proba_one(x), classes_);
}

int SGBTClassifier::top(const ProbabilityMap& proba, std::span<const int> labels) {
    if (proba.empty()) {
        return 0;
    }
    // Ascending labels: ties go to the smallest.
    int best_label = 0;
    double best = 0.0;
    bool found = false;
    for (const int label : labels) {
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
    params(
        ar, [&] { ar.param("use_squared_loss", use_squared_loss); },
        [&] {
            ar.param("n_classes", n_classes);
            ar.param("scale_prediction_by_lr", scale_prediction_by_lr);
        });
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
