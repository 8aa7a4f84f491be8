#include "linear/naive_bayes.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <vector>

#include "core/archive.hpp"
#include "core/class_distribution.hpp"
#include "core/fresh_container.hpp"

namespace tarvo {

namespace {
constexpr double kLikelihoodFloor = 1e-300;
}  // namespace

double NaiveBayes::likelihood(const RunningStats& s, double v) noexcept {
    double lik = 0.0;
    if (s.n >= 2.0) {
        const double var = s.sample_variance();
        if (var <= 0.0) {
            lik = (v == s.mean) ? 1.0 : 0.0;
        } else {
            lik = normal_density_halved(v - s.mean, var);
        }
    }
    // NaN statistics give a NaN likelihood, which std::max keeps.
    return std::max(lik, kLikelihoodFloor);
}

NaiveBayes::ClassEntry& NaiveBayes::entry_for(int y) {
    const auto [it, inserted] = index_.try_emplace(y, classes_.size());
    if (inserted) {
        try {
            classes_.push_back(ClassEntry{y, 0, {}});
        } catch (...) {
            index_.erase(it);
            throw;
        }
    }
    return classes_[it->second];
}

void NaiveBayes::learn_one(const FeatureMap& x, int y) {
    ClassEntry& entry = entry_for(y);
    entry.count += 1;
    n_samples_ += 1;
    for (const auto& [name, value] : x) {
        entry.feature_stats[name].update(value);
    }
}

double NaiveBayes::log_score(const ClassEntry& c, const FeatureMap& x) const {
    double score = std::log(static_cast<double>(c.count) / static_cast<double>(n_samples_));
    for (const auto& [name, value] : x) {
        const auto it = c.feature_stats.find(name);
        if (it != c.feature_stats.end()) {
            score += std::log(likelihood(it->second, value));
        }
    }
    return score;
}

int NaiveBayes::predict_one(const FeatureMap& x) {
    if (classes_.empty()) {
        return -1;
    }
    int best_label = classes_.front().label;
    double best_score = 0.0;
    bool first = true;
    for (const ClassEntry& c : classes_) {
        const double score = log_score(c, x);
        // Ties and NaN keep the earlier label.
        if (first || score > best_score) {
            best_label = c.label;
            best_score = score;
            first = false;
        }
    }
    return best_label;
}

ProbabilityMap NaiveBayes::predict_proba_one(const FeatureMap& x) {
    ProbabilityMap proba;
    if (classes_.empty()) {
        return proba;
    }
    const auto n = static_cast<double>(n_samples_);
    std::vector<double> terms;
    terms.reserve(classes_.size());
    for (const ClassEntry& c : classes_) {
        double product = 1.0;
        for (const auto& [name, value] : x) {
            const auto it = c.feature_stats.find(name);
            if (it != c.feature_stats.end()) {
                product *= likelihood(it->second, value);
            }
        }
        terms.push_back((static_cast<double>(c.count) / n) * product);
    }
    // Products that all underflow (many features, or values far from every
    // class) are normalised from the log scores predict_one uses.
    std::vector<double> scratch;
    normalise_class_terms(terms, scratch, [&](std::span<double> logs) {
        for (std::size_t i = 0; i < classes_.size(); ++i) {
            logs[i] = log_score(classes_[i], x);
        }
    });
    proba.reserve(classes_.size());
    for (std::size_t i = 0; i < classes_.size(); ++i) {
        proba.emplace(classes_[i].label, terms[i]);
    }
    return proba;
}

void NaiveBayes::reset() {
    classes_.clear();
    replace_with_empty(index_);
    n_samples_ = 0;
}

template <class Archive>
void NaiveBayes::fields(Archive& ar) {
    ar(classes_, index_, n_samples_);
    if constexpr (Archive::kLoading) {
        bool consistent = index_.size() == classes_.size();
        for (const auto& [label, position] : index_) {
            consistent = consistent && position < classes_.size() && classes_[position].label == label;
        }
        ar.check(consistent, "the label index does not match the classes");
    }
}

TARVO_ARCHIVE_FIELDS(NaiveBayes);

}  // namespace tarvo
