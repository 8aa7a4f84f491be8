// Forest internals: the state of every member, a warning detector primed to
// fire at its next update, the seed arithmetic, the cached feature subspace
// projection, and native timings of the forests on a stream.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "core/random.hpp"
#include "drift/adwin.hpp"
#include "ensemble/arf_classifier.hpp"
#include "ensemble/arf_regressor.hpp"
#include "ensemble/feature_subspace.hpp"
#include "ensemble/forest_settings.hpp"
#include "ensemble/leveraging_bagging_classifier.hpp"
#include "ensemble/leveraging_bagging_regressor.hpp"
#include "ensemble/random_patches.hpp"
#include "ensemble/srp_classifier.hpp"
#include "ensemble/srp_regressor.hpp"
#include "probe.hpp"

namespace tarvo::probe {

namespace {

py::list items(const FeatureMap& x) {
    py::list out;
    for (const auto& [name, value] : x) {
        out.append(py::make_tuple(name, value));
    }
    return out;
}

// Best-of-repeat native ns per sample of predict_one + learn_one of a forest
// made by make(), with the sum of the predictions.
template <class Make, class Target>
py::tuple stream_ns(const std::vector<std::pair<FeatureMap, Target>>& samples, int repeat,
                    Make make) {
    double best = std::numeric_limits<double>::infinity();
    double checksum = 0.0;
    for (int r = 0; r < repeat; ++r) {
        auto forest = make();
        checksum = 0.0;
        const auto start = std::chrono::steady_clock::now();
        for (const auto& [x, y] : samples) {
            checksum += static_cast<double>(forest.predict_one(x));
            forest.learn_one(x, y);
        }
        const std::chrono::duration<double, std::nano> elapsed =
            std::chrono::steady_clock::now() - start;
        best = std::min(best, elapsed.count());
    }
    const double n = samples.empty() ? 1.0 : static_cast<double>(samples.size());
    return py::make_tuple(best / n, checksum);
}

// The state shared by every member that sees a fixed subset of the features.
template <class Member>
py::dict subspace_member(const Member& member) {
    py::dict d;
    d["initialised"] = member.initialised;
    d["has_tree"] = member.trees.model != nullptr;
    d["has_background"] = member.trees.background != nullptr;
    d["features"] = member.features.names();
    return d;
}

// The forest's learning step on (x, y) with every member's ensemble-level
// draws taken first, in member order, and the members' steps then run last
// member first.
template <class Forest>
void learn_draws_first(Forest& forest, const FeatureMap& x, typename Forest::Target y) {
    const auto row = forest.begin_row(x, y);
    std::vector<int> weights;
    for (std::size_t i = 0; i < forest.members().size(); ++i) {
        weights.push_back(forest.draw(i, row));
    }
    for (std::size_t i = weights.size(); i-- > 0;) {
        forest.learn_member(i, row, weights[i]);
    }
}

template <class... Forests>
void def_learn_draws_first(py::module_& m) {
    (m.def("forest_learn_draws_first", &learn_draws_first<Forests>,
           "learn_one with every member's draws taken first and the members' steps run in "
           "reverse order."),
     ...);
}

}  // namespace

void add_ensemble(py::module_& m) {
    def_learn_draws_first<ARFClassifier, ARFRegressor, SRPClassifier, SRPRegressor,
                          LeveragingBaggingClassifier, LeveragingBaggingRegressor>(m);

    m.def(
        "arf_classifier_members",
        [](const ARFClassifier& forest) {
            py::list out;
            for (const ARFClassifierMember& member : forest.members()) {
                py::dict d;
                d["initialised"] = member.initialised;
                d["has_tree"] = member.trees.model != nullptr;
                d["has_background"] = member.trees.background != nullptr;
                d["tree_seed"] = member.tree_seed;
                d["background_seed"] = member.background_seed;
                d["tree_subspace"] = member.trees.model ? member.trees.model->subspace_size() : -1;
                d["background_subspace"] =
                    member.trees.background ? member.trees.background->subspace_size() : -1;
                d["n_correct"] = member.accuracy.n_correct;
                d["n_seen"] = member.accuracy.n_seen;
                out.append(d);
            }
            return out;
        },
        "The state of every member of an ARFClassifier, in order, as dicts.");

    m.def(
        "arf_prime_warning",
        [](ARFClassifier& forest, std::size_t index) {
            // A clock-64 detector tests only at its 64th update: 32 zeros and
            // 31 ones before it make that test cut whatever comes next.
            ADWIN primed(0.1, 64);
            for (int i = 0; i < 63; ++i) {
                primed.update(i < 32 ? 0.0 : 1.0);
            }
            forest.members().at(index).trees.warning_detector = std::move(primed);
        },
        "Replaces the warning detector of member `index` by one that reports a drift at its "
        "next update.");

    m.def(
        "arf_regressor_members",
        [](const ARFRegressor& forest) {
            py::list out;
            for (const ARFRegressorMember& member : forest.members()) {
                py::dict d;
                d["initialised"] = member.initialised;
                d["features"] = member.features.names();
                d["has_background"] = member.trees.background != nullptr;
                out.append(d);
            }
            return out;
        },
        "The state of every member of an ARFRegressor, in order, as dicts.");

    m.def(
        "srp_classifier_members",
        [](const SRPClassifier& forest) {
            py::list out;
            for (const SRPClassifierMember& member : forest.members()) {
                py::dict d = subspace_member(member);
                d["n_correct"] = member.accuracy.n_correct;
                d["n_seen"] = member.accuracy.n_seen;
                out.append(d);
            }
            return out;
        },
        "The state of every member of an SRPClassifier, in order, as dicts.");

    m.def(
        "srp_regressor_members",
        [](const SRPRegressor& forest) {
            py::list out;
            for (const SRPRegressorMember& member : forest.members()) {
                out.append(subspace_member(member));
            }
            return out;
        },
        "The state of every member of an SRPRegressor, in order, as dicts.");

    m.def(
        "draw_patch",
        [](std::int32_t seed, std::size_t index, const FeatureMap& x, double fraction) {
            return draw_patch(seed, index, x, fraction);
        },
        "The feature names of member `index`'s patch drawn from its first sample x.");

    m.def(
        "lb_classifier_members",
        [](const LeveragingBaggingClassifier& forest) {
            py::list out;
            for (const LBClassifierMember& member : forest.members()) {
                py::dict d;
                d["classes"] = member.tree->classes();
                d["detector_width"] = member.drift_detector.width();
                out.append(d);
            }
            return out;
        },
        "The state of every member of a LeveragingBaggingClassifier, in order, as dicts.");

    m.def(
        "lb_member_probas",
        [](LeveragingBaggingClassifier& forest, const FeatureMap& x) {
            std::vector<ProbabilityMap> out;
            for (LBClassifierMember& member : forest.members()) {
                out.push_back(member.tree->predict_proba_one(x));
            }
            return out;
        },
        "Every member tree's predict_proba_one(x), in member order.");

    m.def(
        "lb_regressor_members",
        [](const LeveragingBaggingRegressor& forest) {
            py::list out;
            for (const LBRegressorMember& member : forest.members()) {
                const FIMTDDRegressor& tree = *member.tree;
                std::mt19937 fresh;
                seed_generator(fresh, tree.seed);
                py::dict d;
                d["tree_seed"] = tree.seed;
                d["fresh_generator"] = fresh == tree.generator();
                d["has_root"] = tree.root() != nullptr;
                d["learnt"] = tree.global_scale().target.count;
                d["splits"] = tree.n_splits();
                d["detector_width"] = member.drift_detector.width();
                d["detector_total"] = member.drift_detector.estimation() *
                                      member.drift_detector.width();
                out.append(d);
            }
            return out;
        },
        "The state of every member of a LeveragingBaggingRegressor, in order, as dicts: the "
        "tree's seed, whether its generator is untouched since seeding, whether it has a root, "
        "the samples it has learnt and its splits, and the detector's width and total.");

    m.def(
        "lb_regressor_targets",
        [](const LeveragingBaggingRegressor& forest) {
            const RunningSums& t = forest.targets();
            return py::make_tuple(t.count, t.sum, t.sum_sq, forest.error_scale());
        },
        "(target_count, target_sum, target_sum_sq, error scale) of a LeveragingBaggingRegressor.");

    m.def("member_seed", &member_seed,
          "seed + step * (index + 1) + trunc(count) with 32-bit wrap-around.");

    m.def(
        "subspace_projections",
        [](const std::vector<std::string>& names, const std::vector<FeatureMap>& samples) {
            // Each sample through one FeatureSubspace, next to project_features.
            FeatureSubspace subspace;
            subspace.assign(names);
            SampleEntries entries;
            py::list out;
            for (const FeatureMap& x : samples) {
                gather_entries(x, entries);
                out.append(py::make_tuple(items(subspace.project(x, entries)),
                                          items(project_features(x, names))));
            }
            return out;
        },
        "For every sample, (items of the cached projection, items of project_features), in "
        "iteration order.");

    m.def(
        "arf_classifier_stream_ns",
        [](const std::vector<std::pair<FeatureMap, int>>& samples, int repeat) {
            return stream_ns(samples, repeat, [] { return ARFClassifier(); });
        },
        "Best-of-repeat native ns per sample of predict_one + learn_one of a default "
        "ARFClassifier; returns (ns, sum of predictions).");

    m.def(
        "arf_regressor_stream_ns",
        [](const std::vector<std::pair<FeatureMap, double>>& samples, int repeat) {
            return stream_ns(samples, repeat, [] { return ARFRegressor(); });
        },
        "Best-of-repeat native ns per sample of predict_one + learn_one of a default "
        "ARFRegressor; returns (ns, sum of predictions).");
}

}  // namespace tarvo::probe
