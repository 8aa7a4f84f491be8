#include "preprocessing/select_k_best.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "core/archive.hpp"

namespace tarvo {

namespace {

// The score of a feature: Pearson's r of its values with the targets seen
// together with it, 0.0 while either side has no spread.
double correlation(const RunningVariance& var_x, const RunningVariance& var_y,
                   const RunningCovariance& cov_xy) {
    const double sx = var_x.variance();
    const double sy = var_y.variance();
    if (var_y.count <= var_y.ddof || sx == 0.0 || sy == 0.0) {
        return 0.0;
    }
    return cov_xy.cov / std::sqrt(sx * sy);
}

const double& at(const std::unordered_map<std::string, double>& map, const std::string& name) {
    const auto it = map.find(name);
    if (it == map.end()) {
        throw std::out_of_range("unordered_map::at: key not found");
    }
    return it->second;
}

struct Ranked {
    double score;
    FeatureNumber id;
    const std::string* name;
};

// Highest score first, NaN after every number, equal scores by ascending id.
// Ids are unique, so this is a strict total order.
bool ranks_before(const Ranked& a, const Ranked& b) {
    const bool a_nan = std::isnan(a.score);
    const bool b_nan = std::isnan(b.score);
    if (a_nan != b_nan) {
        return b_nan;
    }
    if (!a_nan && a.score != b.score) {
        return a.score > b.score;
    }
    return a.id < b.id;
}

}  // namespace

void SelectKBest::learn_one(const FeatureMap& x, double y) {
    for (const auto& [name, v] : x) {
        auto it = stats_.find(name);
        if (it == stats_.end()) {
            ids_.add(name, kBound);
            it = stats_.try_emplace(name).first;
            feature_names_.push_back(name);
        }
        FeatureCorrelation& c = it->second;
        c.var_x.update(v);
        c.var_y.update(y);
        c.cov_xy.update(v, y);
        const double r = correlation(c.var_x, c.var_y, c.cov_xy);
        scores_[name] = use_abs ? std::fabs(r) : r;
    }
    dirty_ = true;
}

void SelectKBest::set_feature_order(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        ids_.add(name, kBound);
    }
    dirty_ = true;
}

void SelectKBest::reset() {
    stats_.clear();
    scores_.clear();
    feature_names_.clear();
    selected_.clear();
    dirty_ = true;
}

void SelectKBest::recompute_selection() {
    selected_.clear();
    std::vector<Ranked> ranked;
    ranked.reserve(feature_names_.size());
    for (const std::string& name : feature_names_) {
        ranked.push_back({at(scores_, name), ids_.find(name), &name});
    }
    const std::size_t kept = std::min(static_cast<std::size_t>(std::max(k, 0)), ranked.size());
    // Only the set of the first `kept` matters, not their order.
    if (kept < ranked.size()) {
        std::nth_element(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(kept),
                         ranked.end(), ranks_before);
    }
    for (std::size_t i = 0; i < kept; ++i) {
        selected_.insert(*ranked[i].name);
    }
    dirty_ = false;
}

bool SelectKBest::keeps(const std::string& name) const {
    return feature_names_.empty() || selected_.find(name) != selected_.end();
}

FeatureMap SelectKBest::transform_one(const FeatureMap& x) {
    if (dirty_) {
        recompute_selection();
    }
    FeatureMap out;
    out.reserve(x.size());
    for (const auto& entry : x) {
        if (keeps(entry.first)) {
            out.insert(entry);
        }
    }
    return out;
}

void SelectKBest::transform_in_place(FeatureMap& x) {
    if (dirty_) {
        recompute_selection();
    }
    if (!feature_names_.empty()) {
        std::erase_if(x, [this](const auto& entry) { return !keeps(entry.first); });
    }
}

template <class Archive>
void SelectKBest::fields(Archive& ar) {
    ar.param("k", k);
    ar.param("use_abs", use_abs);
    ar(stats_, scores_, feature_names_);
    ids_.fields_as<std::int32_t>(ar, kBound);
    auto next_id = static_cast<std::int32_t>(ids_.size());
    ar(next_id, dirty_);
    // The selection, by name in ascending order: it holds the k in force
    // when it was last computed, so it cannot be recomputed from the rest.
    std::vector<std::string> selected;
    if constexpr (!Archive::kLoading) {
        selected.assign(selected_.begin(), selected_.end());
        std::sort(selected.begin(), selected.end());
    }
    ar(selected);
    if constexpr (Archive::kLoading) {
        // The ids were loaded as 0, 1, ..., next_id - 1, one per name.
        ar.check(next_id >= 0 && static_cast<std::size_t>(next_id) == ids_.size(),
                 "the feature ids do not match their count");
        // Every learnt feature appears once, with statistics, a score and an id.
        const std::size_t n = feature_names_.size();
        bool learnt = stats_.size() == n && scores_.size() == n;
        std::unordered_set<std::string_view> seen;
        for (const std::string& name : feature_names_) {
            learnt = learnt && stats_.count(name) == 1 && scores_.count(name) == 1 &&
                     ids_.find(name) != kNoFeature && seen.insert(name).second;
        }
        ar.check(learnt, "the learnt features do not match their statistics");
        selected_.clear();
        for (std::string& name : selected) {
            ar.check(stats_.count(name) == 1 && selected_.insert(std::move(name)).second,
                     "the selection names an unknown feature");
        }
    }
}

TARVO_ARCHIVE_FIELDS(SelectKBest);

}  // namespace tarvo
