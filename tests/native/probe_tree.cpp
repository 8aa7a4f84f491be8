// Tree internals: Gaussian statistics, threshold grid, split weights and
// merits, the Hoeffding bound, a dump of a tree's nodes, the operations only
// ensembles call, and the native timing of a tree on a stream.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "probe.hpp"
#include "tree/classifier_node.hpp"
#include "tree/gaussian_observer.hpp"
#include "core/running_stats.hpp"
#include "tree/node_walk.hpp"
#include "tree/hoeffding_bound.hpp"
#include "tree/hoeffding_tree_classifier.hpp"
#include "tree/split_criterion.hpp"
#include "tree/split_suggestion.hpp"

namespace tarvo::probe {

namespace {

using ClassValues = std::vector<std::vector<double>>;

GaussianStats stats_of(const std::vector<double>& values) {
    GaussianStats s;
    for (double v : values) {
        s.update(v);
    }
    return s;
}

GaussianObserver observer_of(const ClassValues& per_class) {
    GaussianObserver obs;
    for (std::size_t c = 0; c < per_class.size(); ++c) {
        for (double v : per_class[c]) {
            obs.update(c, v);
        }
    }
    return obs;
}

py::tuple stats_tuple(const GaussianStats& s) {
    return py::make_tuple(s.n, s.mean, s.m2, s.min, s.max);
}

double sum(const std::vector<double>& v) {
    double total = 0.0;
    for (double x : v) {
        total += x;
    }
    return total;
}

template <class F>
auto with_criterion(const std::string& criterion, F&& f) {
    return criterion == "gini" ? f(GiniCriterion{}) : f(InfoGainCriterion{});
}

py::dict node_dict(const ClassifierNode& node, std::int64_t depth) {
    py::dict d;
    d["depth"] = depth;
    d["is_leaf"] = node.is_leaf();
    d["split_feature"] = node.split_feature;
    d["split_threshold"] = node.split_threshold;
    py::dict counts;
    for (std::size_t c = 0; c < node.labels.size(); ++c) {
        counts[py::int_(node.labels[c])] = node.weights[c];
    }
    d["class_counts"] = counts;
    d["total_weight"] = node.total_weight;
    d["mc_correct"] = node.mc_correct;
    d["nb_correct"] = node.nb_correct;
    py::dict observers;
    for (const auto& [name, obs] : node.observers) {
        py::dict per_label;
        for (std::size_t c = 0; c < node.labels.size(); ++c) {
            if (const GaussianStats* s = obs.stats(c)) {
                per_label[py::int_(node.labels[c])] = stats_tuple(*s);
            }
        }
        observers[py::str(name)] = per_label;
    }
    d["observers"] = observers;
    return d;
}

}  // namespace

void add_tree(py::module_& m) {
    m.def(
        "gaussian_stats", [](const std::vector<double>& values) { return stats_tuple(stats_of(values)); },
        "Folds the values into GaussianStats; returns (n, mean, m2, min, max).");
    m.def(
        "gaussian_density",
        [](const std::vector<double>& values, double t) { return stats_of(values).density(t); },
        "Density at t of the GaussianStats of the values.");
    m.def("normal_cdf", &normal_cdf, "Standard normal distribution function.");

    m.def(
        "threshold_grid",
        [](double lo, double hi, int n_split_points) {
            std::vector<double> out;
            threshold_grid(lo, hi, n_split_points, out);
            return out;
        },
        "Candidate thresholds strictly inside (lo, hi).");

    m.def(
        "observer_range",
        [](const ClassValues& per_class) -> py::object {
            double lo = 0.0;
            double hi = 0.0;
            if (!observer_of(per_class).value_range(lo, hi)) {
                return py::none();
            }
            return py::make_tuple(lo, hi);
        },
        "(lo, hi) over the classes' values (one list per class index), or None.");

    m.def(
        "split_weights",
        [](const ClassValues& per_class, double t) {
            std::vector<double> left(per_class.size());
            std::vector<double> right(per_class.size());
            observer_of(per_class).split_weights(t, left, right);
            return py::make_tuple(left, right);
        },
        "Estimated class weights (left, right) at threshold t, one list of values per class.");

    m.def(
        "best_threshold",
        [](const ClassValues& per_class, const std::vector<double>& pre, double pre_total,
           const std::string& criterion, int n_split_points) -> py::object {
            const GaussianObserver obs = observer_of(per_class);
            SplitWorkspace ws;
            SplitCandidate out;
            const bool found = with_criterion(criterion, [&](auto c) {
                return best_threshold<decltype(c)>(obs, pre, pre_total, n_split_points, ws, out);
            });
            if (!found) {
                return py::none();
            }
            py::dict d;
            d["threshold"] = out.threshold;
            d["merit"] = out.merit;
            d["left"] = out.left_dist;
            d["right"] = out.right_dist;
            d["left_total"] = out.left_total;
            d["right_total"] = out.right_total;
            return d;
        },
        "The best threshold of one feature (one list of values per class index) against the "
        "leaf's class weights pre; None when the feature has no candidate.");

    m.def(
        "merit",
        [](const std::string& criterion, const std::vector<double>& pre, double pre_total,
           const std::vector<std::vector<double>>& branch_weights) {
            std::vector<Branch> branches;
            for (const auto& w : branch_weights) {
                branches.push_back(Branch{w, sum(w)});
            }
            return with_criterion(criterion, [&](auto c) {
                return decltype(c)::merit(pre, pre_total, branches);
            });
        },
        "Merit of a split under \"gini\" or (anything else) information gain; each branch's "
        "total is the sum of its weights.");

    m.def(
        "criterion_range",
        [](const std::string& criterion, std::size_t n_classes) {
            return with_criterion(criterion,
                                  [&](auto c) { return decltype(c)::range(n_classes); });
        },
        "Range of a criterion's merit for the number of labels.");

    m.def("hoeffding_bound", &hoeffding_bound, "sqrt(range^2 ln(1/confidence) / (2 n)).");

    m.def(
        "tree_nodes",
        [](const HoeffdingTreeClassifier& tree) {
            py::list out;
            std::vector<std::pair<const ClassifierNode*, std::int64_t>> stack;
            if (tree.root() != nullptr) {
                stack.emplace_back(tree.root(), 0);
            }
            while (!stack.empty()) {
                const auto [node, depth] = stack.back();
                stack.pop_back();
                out.append(node_dict(*node, depth));
                if (!node->is_leaf()) {
                    stack.emplace_back(node->right.get(), depth + 1);
                    stack.emplace_back(node->left.get(), depth + 1);
                }
            }
            return out;
        },
        "Every node of the tree in pre-order (left before right) as a dict.");

    m.def(
        "tree_move_probe",
        [](HoeffdingTreeClassifier& tree, const FeatureMap& x, int y) {
            // Moves the tree into a local, checks the moved-from object still
            // answers and learns, then moves the local back.
            (void)tree.predict_one(x);  // leaves reusable scores behind
            HoeffdingTreeClassifier moved(std::move(tree));
            py::dict d;
            d["moved_from_predict"] = tree.predict_one(x);
            d["moved_from_proba"] = tree.predict_proba_one(x);
            tree.learn_one(x, y);
            d["moved_from_after_learn"] = tree.predict_proba_one(x);
            d["moved_predict"] = moved.predict_one(x);
            tree = std::move(moved);
            return d;
        },
        "Exercises the move operations of a tree; the tree ends as it was.");

    m.def(
        "tree_classes", [](const HoeffdingTreeClassifier& tree) { return tree.classes(); },
        "The labels the tree has learnt, ascending.");
    m.def(
        "tree_subspace_size",
        [](const HoeffdingTreeClassifier& tree) { return tree.subspace_size(); },
        "The tree's subspace size.");
    m.def(
        "tree_set_subspace",
        [](HoeffdingTreeClassifier& tree, int size, std::int32_t seed) {
            tree.set_subspace(size, seed);
        },
        "Calls the tree's set_subspace(size, seed).");
    m.def(
        "tree_learn_repeated",
        [](HoeffdingTreeClassifier& tree, const FeatureMap& x, int y, int times) {
            tree.learn_repeated(x, y, times);
        },
        "Calls the tree's learn_repeated(x, y, times).");

    m.def(
        "deep_chain_route",
        [](const std::string& directions, double value) {
            // Each character adds an internal node whose path continues left
            // ('l', threshold +inf) or right ('r', threshold -inf).
            auto root = std::make_unique<ClassifierNode>();
            ClassifierNode* node = root.get();
            constexpr double kInf = std::numeric_limits<double>::infinity();
            for (char d : directions) {
                node->split_feature = "a";
                node->split_threshold = d == 'l' ? kInf : -kInf;
                node->left = std::make_unique<ClassifierNode>();
                node->right = std::make_unique<ClassifierNode>();
                node = d == 'l' ? node->left.get() : node->right.get();
            }
            const FeatureMap x{{"a", value}};
            return route_to_leaf(*root, 0, x).depth;
        },
        "Builds a chain of internal nodes, routes {'a': value} through it and destroys it; "
        "returns the depth reached.");

    m.def(
        "tree_stream_ns",
        [](const std::vector<std::pair<FeatureMap, int>>& samples, int grace_period, int repeat) {
            double best = std::numeric_limits<double>::infinity();
            std::int64_t checksum = 0;
            for (int r = 0; r < repeat; ++r) {
                HoeffdingTreeClassifier tree(grace_period);
                const auto start = std::chrono::steady_clock::now();
                for (const auto& [x, y] : samples) {
                    checksum += tree.predict_one(x);
                    tree.learn_one(x, y);
                }
                const std::chrono::duration<double, std::nano> elapsed =
                    std::chrono::steady_clock::now() - start;
                best = std::min(best, elapsed.count());
            }
            const double n = samples.empty() ? 1.0 : static_cast<double>(samples.size());
            return py::make_tuple(best / n, checksum);
        },
        "Best-of-repeat native ns per sample of predict_one + learn_one of a default tree with "
        "the given grace_period; returns (ns, sum of predictions).");
}

}  // namespace tarvo::probe
