// HoeffdingTreeRegressor internals: the nodes with their statistics, the
// leaf a sample reaches, the tree's shape, and a native timing loop.

#include <chrono>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <pybind11/stl.h>

#include "probe.hpp"
#include "tree/hoeffding_tree_regressor.hpp"
#include "tree/node_walk.hpp"

namespace tarvo::probe {

namespace {

using Tree = HoeffdingTreeRegressor;
using Node = Tree::Node;

py::dict describe_leaf(const RegressionLeaf& leaf) {
    py::dict features;
    for (const auto& [name, f] : leaf.features) {
        features[py::str(name)] =
            py::make_tuple(f.stats.n, f.stats.mean, f.stats.m2,
                           f.has_weight ? py::object(py::float_(f.weight)) : py::object(py::none()));
    }
    py::dict d;
    d["n"] = leaf.target.n;
    d["mean"] = leaf.target.mean;
    d["m2"] = leaf.target.m2;
    d["sd"] = leaf.target_sd();
    d["count"] = leaf.count;
    d["bias"] = leaf.bias;
    d["sse_mean"] = leaf.sse_mean;
    d["sse_linear"] = leaf.sse_linear;
    d["features"] = features;
    return d;
}

// Pre-order walk (left before right) with an explicit stack.
template <class Visit>
void walk(const Tree& tree, Visit&& visit) {
    std::vector<std::pair<const Node*, std::int64_t>> stack;
    if (tree.root() != nullptr) {
        stack.emplace_back(tree.root(), 0);
    }
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        visit(*node, depth);
        if (!node->is_leaf()) {
            stack.emplace_back(node->right.get(), depth + 1);
            stack.emplace_back(node->left.get(), depth + 1);
        }
    }
}

}  // namespace

void add_tree_regressor(py::module_& m) {
    m.def(
        "tree_regressor_learn_repeated",
        [](Tree& tree, const FeatureMap& x, double y, std::int64_t times) {
            tree.learn_repeated(x, y, times);
        },
        "Calls the regression tree's learn_repeated(x, y, times).");

    m.def(
        "tree_regressor_nodes",
        [](const Tree& tree) {
            py::list out;
            walk(tree, [&out](const Node& node, std::int64_t depth) {
                py::dict d = node.is_leaf() ? describe_leaf(*node.leaf) : py::dict();
                d["depth"] = depth;
                d["is_leaf"] = node.is_leaf();
                if (!node.is_leaf()) {
                    d["feature"] = node.split_feature;
                    d["threshold"] = node.split_threshold;
                }
                out.append(d);
            });
            return out;
        },
        "Every node in pre-order (left first): depth, is_leaf; a split's feature and "
        "threshold; a leaf's target statistics, count, bias, squared errors and "
        "features {name: (n, mean, m2, weight or None)}.");

    m.def(
        "tree_regressor_shape",
        [](const Tree& tree) {
            std::int64_t nodes = 0;
            std::int64_t leaves = 0;
            std::int64_t deepest = 0;
            walk(tree, [&](const Node& node, std::int64_t depth) {
                ++nodes;
                leaves += node.is_leaf() ? 1 : 0;
                deepest = depth > deepest ? depth : deepest;
            });
            return py::make_tuple(nodes, leaves, deepest);
        },
        "(number of nodes, number of leaves, depth of the deepest leaf).");

    m.def(
        "tree_regressor_leaf",
        [](const Tree& tree, const FeatureMap& x) {
            const auto [node, depth] = route_to_leaf(*tree.root(), 0, x);
            py::dict d = describe_leaf(*node->leaf);
            d["depth"] = depth;
            return d;
        },
        "The leaf x is routed to, described as in tree_regressor_nodes.");

    m.def(
        "tree_regressor_native_ns",
        [](Tree& tree, const std::vector<std::pair<FeatureMap, double>>& samples) {
            double sink = 0.0;
            const auto start = std::chrono::steady_clock::now();
            for (const auto& [x, y] : samples) {
                sink += tree.predict_one(x);
                tree.learn_one(x, y);
            }
            const auto stop = std::chrono::steady_clock::now();
            const auto ns = std::chrono::duration<double, std::nano>(stop - start).count();
            return py::make_tuple(samples.empty() ? 0.0 : ns / static_cast<double>(samples.size()),
                                  sink);
        },
        "Native predict_one + learn_one over converted samples: (ns per sample, sum of "
        "predictions).");
}

}  // namespace tarvo::probe
