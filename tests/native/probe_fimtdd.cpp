// FIMTDDRegressor internals: the tree's shape (alternate subtrees included),
// the E-BST and Page-Hinkley pieces on their own, the generator's position,
// and a native run over a sorted feature.

#include <chrono>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "core/random.hpp"
#include "drift/page_hinkley.hpp"
#include "probe.hpp"
#include "tree/extended_bst.hpp"
#include "tree/fimtdd_regressor.hpp"
#include "tree/node_walk.hpp"

namespace tarvo::probe {

namespace {

using Tree = FIMTDDRegressor;
using Node = Tree::Node;

const Node& root_of(const Tree& tree) {
    if (tree.root() == nullptr) {
        throw std::invalid_argument("the tree has no root yet");
    }
    return *tree.root();
}

py::list ebst_entries(const ExtendedBST& t) {
    py::list out;
    for (const auto& e : t.entries()) {
        out.append(py::make_tuple(e.key, e.at_or_below.count, e.at_or_below.sum,
                                  e.at_or_below.sum_sq));
    }
    return out;
}

py::dict describe(const Node& node, std::int64_t depth, bool in_alternate) {
    py::dict d;
    d["depth"] = depth;
    d["in_alternate"] = in_alternate;
    d["is_leaf"] = node.is_leaf();
    d["has_alternate"] = node.alternate != nullptr;
    if (node.is_leaf()) {
        std::size_t observed = 0;
        for (const auto& entry : node.leaf->observers) {
            observed += entry.second.size();
        }
        d["n"] = node.leaf->target.count;
        d["observed"] = observed;
    } else {
        d["feature"] = node.split_feature;
        d["threshold"] = node.split_threshold;
    }
    return d;
}

// Pre-order (left first); a node's alternate subtree follows the node.
template <class Visit>
void walk(const Tree& tree, Visit&& visit) {
    struct Item {
        const Node* node;
        std::int64_t depth;
        bool in_alternate;
    };
    std::vector<Item> stack;
    if (tree.root() != nullptr) {
        stack.push_back({tree.root(), 0, false});
    }
    while (!stack.empty()) {
        const Item it = stack.back();
        stack.pop_back();
        visit(*it.node, it.depth, it.in_alternate);
        if (!it.node->is_leaf()) {
            stack.push_back({it.node->right.get(), it.depth + 1, it.in_alternate});
            stack.push_back({it.node->left.get(), it.depth + 1, it.in_alternate});
        }
        if (it.node->alternate) {
            stack.push_back({it.node->alternate.get(), it.depth, true});
        }
    }
}

}  // namespace

void add_fimtdd(py::module_& m) {
    m.def(
        "fimtdd_nodes",
        [](const Tree& tree) {
            py::list out;
            walk(tree, [&out](const Node& n, std::int64_t depth, bool alt) {
                out.append(describe(n, depth, alt));
            });
            return out;
        },
        "Every node in pre-order (left first, a node's alternate subtree right after the node): "
        "depth, in_alternate, is_leaf, has_alternate; a split's feature and threshold; a leaf's "
        "target count and number of E-BST nodes.");

    m.def(
        "fimtdd_leaf",
        [](const Tree& tree, const FeatureMap& x) {
            const auto [node, depth] = route_to_leaf(root_of(tree), 0, x);
            return describe(*node, depth, false);
        },
        "The main-tree leaf x is routed to, described as in fimtdd_nodes.");

    m.def(
        "feature_map_order",
        [](const FeatureMap& x) {
            std::vector<std::string> names;
            for (const auto& entry : x) {
                names.push_back(entry.first);
            }
            return names;
        },
        "The names of x in the iteration order of the sample the learners receive.");

    m.def(
        "fimtdd_alternate_counts",
        [](const Tree& tree) {
            const auto& c = tree.alternate_counts();
            return py::make_tuple(c.started, c.promoted, c.discarded);
        },
        "(alternates started, promoted, discarded).");

    m.def(
        "fimtdd_draws_since_seed",
        [](const Tree& tree, int limit) {
            std::mt19937 fresh;
            seed_generator(fresh, tree.seed);
            for (int i = 0; i <= limit; ++i) {
                if (fresh == tree.generator()) {
                    return i;
                }
                fresh();
            }
            return -1;
        },
        "Raw outputs the tree's generator has taken since seeding from `seed` (-1 beyond limit).");

    m.def(
        "ebst_build",
        [](const std::vector<std::pair<double, double>>& pairs, double n, double sum,
           double sum_sq) {
            ExtendedBST t;
            for (const auto& [v, y] : pairs) {
                t.insert(v, y);
            }
            std::vector<ExtendedBST::Frame> stack;
            const auto c = t.best_split(RunningSums{n, sum, sum_sq}, stack);
            return py::make_tuple(ebst_entries(t), c.sdr, c.key);
        },
        "Inserts (value, target) pairs into an E-BST: (in-order entries, best SDR, its key) for "
        "a leaf with the given (count, sum, sum_sq).");

    m.def(
        "ebst_sorted_run",
        [](std::int64_t n, bool ascending) {
            // One leaf sees n distinct sorted values; one split attempt at the end scans them.
            const auto start = std::chrono::steady_clock::now();
            std::int64_t splits = 0;
            {
                Tree tree(static_cast<std::int32_t>(n), 0.5, 0.0, 20, "mean");
                FeatureMap x{{"t", 0.0}};
                for (std::int64_t i = 0; i < n; ++i) {
                    const double v = static_cast<double>(ascending ? i : n - i);
                    x["t"] = v;
                    tree.learn_one(x, i % 2 == 0 ? v : -v);
                }
                splits = tree.n_splits();
            }  // and is destroyed
            const std::chrono::duration<double> s = std::chrono::steady_clock::now() - start;
            return py::make_tuple(splits, s.count());
        },
        "Learns n samples whose one feature is sorted, with one split attempt at the end, and "
        "destroys the tree: (splits, seconds).");

    m.def(
        "page_hinkley",
        [](const std::vector<std::pair<double, double>>& values, double alpha, double threshold) {
            PageHinkley ph;
            py::list out;
            for (const auto& [v, mean] : values) {
                const bool hit = ph.update(v, mean, alpha, threshold);
                out.append(py::make_tuple(hit, ph.sum(), ph.minimum()));
            }
            return out;
        },
        "Feeds (value, mean) pairs to a Page-Hinkley test: (detected, sum, minimum) per update.");
}

}  // namespace tarvo::probe
