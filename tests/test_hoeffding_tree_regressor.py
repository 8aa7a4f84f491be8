"""HoeffdingTreeRegressor: leaf statistics, the leaf models, when and how a leaf splits,
robustness to odd settings and values, and a plain-Python model of the whole tree."""

from __future__ import annotations

import math
import random

import pytest

from _tarvo_core import HoeffdingTreeRegressor, IRegressor
from small_stack import run_in_small_stack

MODES = ["mean", "linear", "adaptive", "anything else"]


def welford(s, v):
    """[n, mean, m2] <- v; the mean is bit-exact with the native update."""
    s[0] += 1.0
    d = v - s[1]
    s[1] += d / s[0]
    s[2] += d * (v - s[1])


def sd(s):
    return math.sqrt(s[2] / (s[0] - 1.0)) if s[0] > 1.0 else 0.0


def clamp(v, lo, hi):
    return lo if v < lo else hi if hi < v else v


class ReferenceTree:
    """The tree written out in plain Python, as a check on the native formulas."""

    def __init__(self, grace_period, split_confidence, tie_threshold, max_depth, learning_rate, mode):
        self.grace, self.conf, self.tie = grace_period, split_confidence, tie_threshold
        self.max_depth, self.lr, self.mode = max_depth, learning_rate, mode
        self.root = self.leaf()

    @staticmethod
    def leaf():
        return {"y": [0.0, 0.0, 0.0], "f": {}, "w": {}, "bias": 0.0, "count": 0, "sse_m": 0.0, "sse_l": 0.0}

    def route(self, x):
        node, depth = self.root, 0
        while "feature" in node:
            node = node["left"] if x.get(node["feature"], 0.0) <= node["threshold"] else node["right"]
            depth += 1
        return node, depth

    @staticmethod
    def z(leaf, name, v):
        s = sd(leaf["f"][name]) if name in leaf["f"] else 0.0
        return (v - leaf["f"][name][1]) / s if s > 0 else 0.0

    def linear(self, leaf, x):
        a = leaf["bias"] + sum(leaf["w"][k] * self.z(leaf, k, v) for k, v in x.items() if k in leaf["w"])
        mean, s = leaf["y"][1], sd(leaf["y"])
        return clamp(mean + a * s, mean - 3 * s, mean + 3 * s) if s > 0 else mean + a

    def predict_one(self, x):
        leaf, _ = self.route(x)
        if self.mode == "mean" or leaf["count"] < self.grace:
            return leaf["y"][1]
        if self.mode == "linear" or leaf["sse_l"] < leaf["sse_m"]:
            return self.linear(leaf, x)
        return leaf["y"][1]

    def learn_one(self, x, y):
        leaf, depth = self.route(x)
        if leaf["count"] > 0:
            leaf["sse_m"] += (y - leaf["y"][1]) ** 2
            leaf["sse_l"] += (y - self.linear(leaf, x)) ** 2
        welford(leaf["y"], y)
        leaf["count"] += 1
        for k, v in x.items():
            welford(leaf["f"].setdefault(k, [0.0, 0.0, 0.0]), v)
        s_y = sd(leaf["y"])
        if s_y > 0:
            ys = (y - leaf["y"][1]) / s_y
            zs = {k: self.z(leaf, k, v) for k, v in x.items()}
            p = leaf["bias"] + sum(leaf["w"][k] * zs[k] for k in x if k in leaf["w"])
            err = clamp(ys - p, -3, 3)
            for k in x:
                leaf["w"][k] = leaf["w"].get(k, 0.0) + self.lr * clamp(err * zs[k], -3, 3)
            leaf["bias"] += self.lr * err
        due = self.grace != 0 and leaf["count"] % self.grace == 0
        if due and depth < self.max_depth and leaf["count"] > 1 and s_y > 0 and leaf["f"]:
            self.try_split(leaf, s_y)

    def try_split(self, leaf, s_y):
        eps = math.sqrt(s_y * s_y * math.log(1 / self.conf) / (2 * leaf["count"]))
        best = second = -math.inf
        best_name = None
        for name in sorted(leaf["f"], key=lambda k: k.encode()):
            i = clamp(1.0 if sd(leaf["f"][name]) == 0 else 0.5, 0.01, 0.99)
            merit = s_y * (1 - i**1.5 - (1 - i) ** 1.5) if leaf["y"][0] >= 2 else 0.0
            if merit > best:
                best, second, best_name = merit, best, name
            elif merit > second:
                second = merit
        gap = best - second
        if best_name is None or not best > 0 or not (gap > eps or (gap < self.tie and eps < self.tie)):
            return
        i = clamp(1.0 if sd(leaf["f"][best_name]) == 0 else 0.5, 0.01, 0.99)
        threshold = leaf["f"][best_name][1]

        def child(frac):
            c = self.leaf()
            c["y"] = [frac * leaf["y"][0], leaf["y"][1], frac * leaf["y"][2]]
            c["f"] = {k: [frac * s[0], s[1], frac * s[2]] for k, s in leaf["f"].items()}
            c["w"], c["bias"], c["count"] = dict(leaf["w"]), leaf["bias"], int(frac * leaf["count"])
            return c

        left, right = child(i), child(1 - i)
        leaf.clear()
        leaf.update(feature=best_name, threshold=threshold, left=left, right=right)

    def splits(self):
        out, stack = [], [self.root]
        while stack:
            node = stack.pop()
            if "feature" in node:
                out.append((node["feature"], node["threshold"]))
                stack += [node["right"], node["left"]]
        return out


def piecewise_stream(n, seed, scale=1.0, repeats=False, with_b=True):
    """Features a, b (absent a quarter of the time), c constant; a piecewise-linear target."""
    rng = random.Random(seed)
    for _ in range(n):
        a, b = rng.uniform(-1, 1), rng.uniform(0, 2)
        x = {"a": a, "c": 1.5}
        if with_b and rng.random() < 0.75:
            x["b"] = b
        elif not with_b:
            b = 0.0
        y = scale * ((2 * a + 1 if a <= 0.2 else 3 - 4 * a) + 0.5 * b + rng.gauss(0, 0.1))
        for _ in range(1 + (rng.randrange(4) if repeats else 0)):  # a forest's repeated learning
            yield x, y


def tree_splits(probe, tree):
    return [(n["feature"], n["threshold"]) for n in probe.tree_regressor_nodes(tree) if not n["is_leaf"]]


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "args, scale, repeats, with_b",
    [
        ((50, 1e-7, 0.05, 20, 0.01), 0.1, False, True),  # small spread: the tie rule splits
        ((30, 1e-7, 0.05, 3, 0.05), 0.1, True, True),  # depth limit, samples learnt several times
        ((40, 1e-7, 0.05, 20, 0.01), 1.0, False, False),  # one spread feature: the bound decides
    ],
    ids=["ties", "depth-3-repeats", "hoeffding"],
)
def test_matches_reference_model(probe, mode, args, scale, repeats, with_b):
    tree, ref = HoeffdingTreeRegressor(*args), ReferenceTree(*args, mode)
    tree.leaf_prediction = mode
    for x, y in piecewise_stream(1500, seed=7, scale=scale, repeats=repeats, with_b=with_b):
        assert tree.predict_one(x) == pytest.approx(ref.predict_one(x), rel=1e-9, abs=1e-12)
        tree.learn_one(x, y)
        ref.learn_one(x, y)
    assert len(ref.splits()) >= 3
    assert tree_splits(probe, tree) == ref.splits()


@pytest.mark.parametrize("mode", MODES)
def test_fresh_and_reset_tree_predict_zero(mode):
    tree = HoeffdingTreeRegressor(grace_period=0)
    tree.leaf_prediction = mode
    assert tree.predict_one({}) == 0.0
    assert tree.predict_one({"a": 5.0}) == 0.0
    for x, y in piecewise_stream(300, seed=1):
        tree.learn_one(x, y)
    tree.reset()
    assert tree.predict_one({"a": 5.0}) == 0.0
    assert tree.leaf_prediction == mode and tree.grace_period == 0


def test_constant_target_trains_no_model_and_never_splits(probe):
    tree = HoeffdingTreeRegressor(grace_period=10)
    rng = random.Random(2)
    for _ in range(500):
        tree.learn_one({"a": rng.random(), "b": rng.gauss(0, 5)}, 3.25)
    (root,) = probe.tree_regressor_nodes(tree)
    assert root["is_leaf"] and root["count"] == 500 and root["m2"] == 0.0
    assert root["bias"] == 0.0
    assert all(w is None for (_, _, _, w) in root["features"].values())
    for mode in MODES:
        tree.leaf_prediction = mode
        assert tree.predict_one({"a": 100.0, "b": -7.0}) == 3.25


@pytest.mark.parametrize("grace, constant_prefix, split_at", [(20, 0, 20), (20, 25, 40), (7, 1, 7)])
def test_single_spread_feature_splits_at_first_eligible_attempt(probe, grace, constant_prefix, split_at):
    rng = random.Random(3)
    tree = HoeffdingTreeRegressor(grace_period=grace)
    stats, target = [0.0, 0.0, 0.0], [0.0, 0.0, 0.0]
    for i in range(1, split_at + 1):
        x, y = {"a": rng.uniform(-3, 5)}, 1.0 if i <= constant_prefix else rng.gauss(0, 1)
        welford(stats, x["a"])
        welford(target, y)
        tree.learn_one(x, y)
        if i < split_at:
            assert probe.tree_regressor_shape(tree) == (1, 1, 0)
    root, left, right = probe.tree_regressor_nodes(tree)
    assert (root["feature"], root["threshold"]) == ("a", stats[1])
    for child in (left, right):
        assert child["depth"] == 1 and child["n"] == split_at / 2 and child["count"] == split_at // 2
        assert child["sse_mean"] == child["sse_linear"] == 0.0
        n, mean, m2, weight = child["features"]["a"]
        assert (n, mean) == (split_at / 2, stats[1]) and m2 == pytest.approx(stats[2] / 2)
        assert weight is not None
    assert left["features"] == right["features"] and left["bias"] == right["bias"]
    assert left["mean"] == right["mean"] == target[1]


def test_constant_single_feature_splits_with_99_percent_on_the_left(probe):
    rng = random.Random(4)
    tree = HoeffdingTreeRegressor(grace_period=25)
    for _ in range(25):
        tree.learn_one({"k": 2.0}, rng.gauss(0, 1))
    root, left, right = probe.tree_regressor_nodes(tree)
    assert (root["feature"], root["threshold"]) == ("k", 2.0)
    assert left["n"] == pytest.approx(0.99 * 25) and left["count"] == 24
    assert right["n"] == pytest.approx(0.01 * 25) and right["count"] == 0
    assert left["m2"] == pytest.approx(0.99 * (left["m2"] + right["m2"]))
    # The same value keeps going left: the right child never learns.
    for _ in range(30):
        tree.learn_one({"k": 2.0}, rng.gauss(0, 1))
    assert probe.tree_regressor_leaf(tree, {"k": 3.0})["count"] == 0


@pytest.mark.parametrize("mode", ["adaptive", "linear", ""])
def test_leaf_predicts_its_mean_during_its_first_grace_period(probe, mode):
    tree = HoeffdingTreeRegressor(grace_period=40, max_depth=2, learning_rate=0.1)
    tree.leaf_prediction = mode
    by_mean = by_model = 0
    for x, y in piecewise_stream(2000, seed=5, scale=0.1):
        leaf = probe.tree_regressor_leaf(tree, x)
        pred = tree.predict_one(x)
        if leaf["count"] < 40:
            assert pred == leaf["mean"]
            by_mean += leaf["depth"] > 0
        elif pred != leaf["mean"]:
            by_model += 1
        tree.learn_one(x, y)
    assert probe.tree_regressor_shape(tree)[0] > 3
    assert by_mean > 0 and by_model > 100


@pytest.mark.parametrize("learning_rate", [0.01, 5.0])
def test_linear_prediction_stays_within_three_sd_of_the_mean(probe, learning_rate):
    rng = random.Random(6)
    tree = HoeffdingTreeRegressor(grace_period=30, learning_rate=learning_rate)
    tree.leaf_prediction = "linear"
    outside = 0
    for i in range(1500):
        x = {"a": rng.paretovariate(0.8), "b": rng.gauss(0, 1)}
        y = 10 * x["b"] + rng.gauss(0, 1)
        far = {"a": 1e9, "b": -1e9 if i % 2 else 1e9}  # far outside anything learnt
        for q in (x, far):
            leaf = probe.tree_regressor_leaf(tree, q)
            pred = tree.predict_one(q)
            if leaf["count"] >= 30 and leaf["sd"] > 0:
                reach = 3 * leaf["sd"]
                assert leaf["mean"] - reach <= pred <= leaf["mean"] + reach
                outside += abs(pred - leaf["mean"]) == pytest.approx(reach)
        tree.learn_one(x, y)
    assert outside > 0  # the bound was actually reached


def test_piecewise_linear_target_beats_running_mean():
    tree = HoeffdingTreeRegressor(grace_period=100)
    n, mean, err_tree, err_mean = 0, 0.0, 0.0, 0.0
    for i, (x, y) in enumerate(piecewise_stream(20000, seed=8)):
        if i >= 2000:
            err_tree += abs(y - tree.predict_one(x))
            err_mean += abs(y - mean)
        tree.learn_one(x, y)
        n += 1
        mean += (y - mean) / n
    assert err_tree < 0.5 * err_mean


BAD = [math.nan, math.inf, -math.inf, 1e308, -1e308]


@pytest.mark.parametrize("bad", BAD, ids=["nan", "inf", "-inf", "1e308", "-1e308"])
@pytest.mark.parametrize("where", ["feature", "target", "both"])
def test_non_finite_and_extreme_values_do_not_break_the_tree(probe, bad, where):
    tree = HoeffdingTreeRegressor(grace_period=5, split_confidence=0.5)
    rng = random.Random(9)
    for i in range(600):
        x = {"a": rng.uniform(-1, 1), "b": rng.uniform(-1, 1)}
        y = x["a"] + rng.gauss(0, 0.1)
        if i % 37 == 5:
            if where != "target":
                x["a"] = bad
            if where != "feature":
                y = bad
        tree.learn_one(x, y)
        for mode in MODES:
            tree.leaf_prediction = mode
            assert isinstance(tree.predict_one(x), float)
            assert isinstance(tree.predict_one({"a": bad, "b": bad}), float)
    probe.tree_regressor_nodes(tree)
    tree.reset()
    assert tree.predict_one({"a": bad}) == 0.0


@pytest.mark.parametrize("grace", [0, -1, -(2**31), 2**31 - 1])
def test_odd_grace_periods_are_safe(probe, grace):
    tree = HoeffdingTreeRegressor(grace_period=grace)
    for x, y in piecewise_stream(400, seed=10, scale=0.1):
        tree.learn_one(x, y)
        tree.predict_one(x)
    nodes, _, _ = probe.tree_regressor_shape(tree)
    # Every count is a multiple of -1; none reached here is one of the others.
    assert (nodes > 1) == (grace == -1)


@pytest.mark.parametrize("max_depth", [0, -5])
def test_non_positive_max_depth_keeps_the_root_a_leaf(probe, max_depth):
    tree = HoeffdingTreeRegressor(grace_period=5, max_depth=max_depth)
    for x, y in piecewise_stream(300, seed=11, scale=0.1):
        tree.learn_one(x, y)
    assert probe.tree_regressor_shape(tree) == (1, 1, 0)


def test_deep_tree_routes_and_is_destroyed_without_recursion(probe):
    depth = 6000
    shapes = []

    def grow_and_destroy():
        # An increasing feature and target: every sample lands in the newest right leaf,
        # which splits as soon as it holds two samples.
        tree = HoeffdingTreeRegressor(grace_period=1, max_depth=2**31 - 1)
        for i in range(depth + 2):
            tree.learn_one({"a": float(i)}, float(i))
        tree.predict_one({"a": 1e9})
        shapes.append(probe.tree_regressor_shape(tree))
        tree.reset()
        shapes.append(probe.tree_regressor_shape(tree))
        for i in range(depth + 2):
            tree.learn_one({"a": float(i)}, float(i))
        del tree

    run_in_small_stack(grow_and_destroy)
    assert shapes[0][2] >= depth and shapes[1] == (1, 1, 0)


def test_hyper_parameters_are_plain_read_write_fields():
    tree = HoeffdingTreeRegressor()
    assert isinstance(tree, IRegressor)
    assert (tree.grace_period, tree.split_confidence, tree.tie_threshold, tree.max_depth,
            tree.learning_rate, tree.leaf_prediction) == (200, 1e-7, 0.05, 20, 0.01, "adaptive")
    same = HoeffdingTreeRegressor(3, 0.2, 0.3, 4, 0.5)
    kw = HoeffdingTreeRegressor(grace_period=3, split_confidence=0.2, tie_threshold=0.3, max_depth=4,
                                learning_rate=0.5)
    for t in (same, kw):
        assert (t.grace_period, t.split_confidence, t.tie_threshold, t.max_depth, t.learning_rate) == (
            3, 0.2, 0.3, 4, 0.5)
    tree.leaf_prediction = "whatever, even ünïcode"
    tree.max_depth = -1
    tree.reset()
    assert tree.leaf_prediction == "whatever, even ünïcode" and tree.max_depth == -1
    with pytest.raises(TypeError):
        tree.grace_period = 2.0
    with pytest.raises(TypeError):
        tree.max_depth = 2**31
    with pytest.raises(TypeError):
        HoeffdingTreeRegressor(leaf_prediction="mean")


def test_learn_repeated_equals_repeated_learn_one(probe):
    # Repetitions look the features up once per leaf, also across a split.
    rng = random.Random(6)
    a, b = HoeffdingTreeRegressor(grace_period=7, max_depth=4), HoeffdingTreeRegressor(grace_period=7, max_depth=4)
    for x, y in piecewise_stream(900, seed=13, scale=0.1):
        times = rng.choice([0, 1, 2, 6, 13])
        probe.tree_regressor_learn_repeated(a, x, y, times)
        for _ in range(times):
            b.learn_one(x, y)
    nodes = probe.tree_regressor_nodes(a)
    assert len(nodes) > 5
    assert nodes == probe.tree_regressor_nodes(b)
    probe.tree_regressor_learn_repeated(a, {"a": 1.0}, 1.0, -3)
    assert probe.tree_regressor_nodes(a) == nodes


def test_reset_replays_identically_and_prediction_changes_nothing(probe):
    stream = list(piecewise_stream(1500, seed=12, scale=0.1))
    a, b = HoeffdingTreeRegressor(grace_period=50), HoeffdingTreeRegressor(grace_period=50)
    for x, y in stream:
        a.learn_one(x, y)
    a.reset()
    for x, y in stream:
        a.learn_one(x, y)
        b.learn_one(x, y)
    before = probe.tree_regressor_nodes(a)
    for x, _ in stream[:200]:
        assert a.predict_one(x) == b.predict_one(x)
        a.predict_one({**x, "new": 1.0})
    assert probe.tree_regressor_nodes(a) == before == probe.tree_regressor_nodes(b)


def test_usable_through_the_regressor_interface(probe):
    tree = HoeffdingTreeRegressor(grace_period=1)
    tree.learn_one({"a": 1.0}, 4.0)
    assert probe.regress_through_interface(tree, {"a": 1.0}) == 4.0
