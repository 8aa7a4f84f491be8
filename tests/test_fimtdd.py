"""FIMTDDRegressor: agreement with a plain-Python model on drifting streams, the E-BST and
Page-Hinkley pieces, alternate subtrees, seeding, and robustness to odd settings and values."""

from __future__ import annotations

import math
import random

import pytest

from _tarvo_core import FIMTDDRegressor, IRegressor
from fimtdd_reference import RefFIMTDD
from small_stack import run_in_small_stack

MODES = ["mean", "perceptron", "adaptive", "anything else"]
# Small grace periods and an eager drift test, so that short streams split, start alternates,
# promote some and discard others.
EAGER = dict(grace_period=30, split_confidence=0.01, page_hinckley_threshold=0.5,
             alternate_tree_t_min=20, alternate_tree_time=300)


def stream(n, seed, change_at=None):
    """Features a, b (absent a fifth of the time), c on a 0.1 grid; a piecewise-linear target
    that becomes a function of c alone at ``change_at``."""
    rng = random.Random(seed)
    for i in range(n):
        x = {"a": rng.uniform(-1, 1), "b": rng.uniform(0, 2), "c": round(rng.uniform(0, 3), 1)}
        if rng.random() < 0.2:
            del x["b"]
        a = x["a"]
        y = (2 * a + 1 if a <= 0.2 else 3 - 4 * a) + 0.5 * x.get("b", 0.0) + rng.gauss(0, 0.1)
        if change_at is not None and i >= change_at:
            y = 4 - 3 * x["c"] + rng.gauss(0, 0.1)
        yield x, y


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize(
    "settings",
    [EAGER, dict(EAGER, max_depth=2, learning_ratio_const=True, seed=-7), dict(grace_period=100, seed=3)],
    ids=["eager-drift", "depth-2-const-rate", "defaults-grace-100"],
)
def test_matches_reference_model(probe, mode, settings):
    tree = FIMTDDRegressor(**settings, leaf_prediction=mode)
    ref = RefFIMTDD(probe.feature_map_order, **settings, leaf_prediction=mode)
    for x, y in stream(3000, seed=1, change_at=1500):
        assert tree.predict_one(x) == ref.predict_one(x)
        tree.learn_one(x, y)
        ref.learn_one(x, y)
    assert tree.n_splits() == ref.splits > 5
    counts = probe.fimtdd_alternate_counts(tree)
    assert counts == (ref.started, ref.promoted, ref.discarded)
    if settings is EAGER:
        assert min(counts) > 0  # every path of the alternate logic was taken


@pytest.mark.parametrize("mode", MODES)
def test_fresh_model_predicts_zero_and_one_sample_gives_its_target(mode):
    tree = FIMTDDRegressor(leaf_prediction=mode)
    assert tree.predict_one({}) == tree.predict_one({"a": 3.0}) == 0.0 and tree.n_splits() == 0
    tree.learn_one({"a": 1.0, "b": -2.0}, 4.25)
    assert tree.predict_one({"a": 1.0, "b": -2.0}) == tree.predict_one({"zzz": 9.0}) == 4.25


@pytest.mark.parametrize("grace", [0, 1, 5, -3])
def test_no_leaf_splits_before_ten_samples(probe, grace):
    tree = FIMTDDRegressor(grace_period=grace, split_confidence=0.9)
    for i in range(1, 12):
        tree.learn_one({"a": float(i)}, float(i % 3 + (10 if i > 5 else 0)))
        assert (tree.n_splits() > 0) == (i >= 10), i
    root, left, right = probe.fimtdd_nodes(tree)
    assert (root["feature"], root["threshold"]) == ("a", 5.0)  # five values on each side


def test_mean_leaves_never_draw_and_perceptrons_draw_once_per_initialisation(probe):
    samples = list(stream(600, seed=2))
    tree = FIMTDDRegressor(grace_period=50, leaf_prediction="mean")
    for x, y in samples:
        tree.learn_one(x, y)
    assert tree.n_splits() > 2 and probe.fimtdd_draws_since_seed(tree, 0) == 0
    # A perceptron draws 2 raw outputs per weight of its first sample and 2 for the bias;
    # children inherit their parent's perceptron and draw nothing.
    tree = FIMTDDRegressor(grace_period=50, leaf_prediction="perceptron", drift_detection=False)
    tree.learn_one({"a": 1.0, "b": 2.0, "c": 3.0}, 1.0)
    assert probe.fimtdd_draws_since_seed(tree, 100) == 8
    for x, y in samples:
        tree.learn_one(x, y)
    assert tree.n_splits() > 2 and probe.fimtdd_draws_since_seed(tree, 100) == 8


@pytest.mark.parametrize("threshold", [0.0, 0.5])
def test_without_drift_detection_no_alternate_starts(probe, threshold):
    tree = FIMTDDRegressor(**dict(EAGER, page_hinckley_threshold=threshold), drift_detection=False)
    for x, y in stream(3000, seed=3, change_at=1000):
        tree.learn_one(x, y)
    assert tree.n_splits() > 5 and probe.fimtdd_alternate_counts(tree) == (0, 0, 0)
    assert not any(n["has_alternate"] or n["in_alternate"] for n in probe.fimtdd_nodes(tree))


def test_page_hinkley_steps(probe):
    # value - mean - alpha accumulates; the minimum follows; a rise above it by more than the
    # threshold detects. The first update never detects with a threshold >= 0.
    steps = probe.page_hinkley([(100.0, 0.0), (1.0, 2.0), (0.5, 0.0), (3.0, 0.0)], 0.5, 2.0)
    assert steps == [(False, 99.5, 99.5), (False, 98.0, 98.0), (False, 98.0, 98.0), (True, 100.5, 98.0)]
    assert probe.page_hinkley([(1e300, 0.0)], 0.0, 0.0) == [(False, 1e300, 1e300)]
    assert probe.page_hinkley([(1.0, 0.0)], 0.0, -0.5)[0][0]  # only a negative threshold can
    nan_run = probe.page_hinkley([(1.0, 0.0), (math.nan, 0.0), (5.0, 0.0)], 0.0, 1.0)
    assert [hit for hit, _, _ in nan_run] == [False, False, False]


def test_ebst_statistics_and_best_threshold(probe):
    pairs = [(3.0, 1.0), (1.0, 2.0), (4.0, 3.0), (1.0, 4.0), (2.0, 5.0), (6.0, 6.0), (5.0, 7.0),
             (0.0, 8.0), (7.0, 9.0), (8.0, 10.0), (9.0, 11.0), (2.0, 12.0)]
    ys = [y for _, y in pairs]
    leaf = (len(ys), sum(ys), sum(y * y for y in ys))
    entries, sdr, key = probe.ebst_build(pairs, *leaf)
    # Each node holds its own value's targets and its whole left subtree's.
    assert entries == [(0.0, 1, 8.0, 64.0), (1.0, 3, 14.0, 84.0), (2.0, 2, 17.0, 169.0),
                       (3.0, 6, 32.0, 254.0), (4.0, 1, 3.0, 9.0), (5.0, 1, 7.0, 49.0),
                       (6.0, 2, 13.0, 85.0), (7.0, 1, 9.0, 81.0), (8.0, 1, 10.0, 100.0),
                       (9.0, 1, 11.0, 121.0)]

    def sd(n, s, q):
        return math.sqrt((q - s * s / n) / n) if n > 1 and (q - s * s / n) / n > 0 else 0.0

    n = len(ys)
    expected = max(
        (sd(*leaf) - c / n * sd(c, s, q) - (n - c) / n * sd(n - c, leaf[1] - s, leaf[2] - q), k)
        for k in sorted(set(v for v, _ in pairs))
        for c, s, q in [(sum(1 for v, _ in pairs if v <= k), sum(y for v, y in pairs if v <= k),
                         sum(y * y for v, y in pairs if v <= k))]
        if c >= 5 and n - c >= 5
    )
    assert (sdr, key) == pytest.approx(expected, rel=1e-12) and key == 4.0
    assert probe.ebst_build(pairs[:9], 9, 1.0, 1.0)[1:] == (-1.0, 0.0)  # never five on each side


@pytest.mark.parametrize("n, ascending", [(1_000_000, True), (10_000, False)], ids=["ascending", "descending"])
def test_sorted_feature_at_one_leaf_is_walked_without_recursion(probe, n, ascending):
    # One leaf learns n distinct sorted values (a chain as deep as n), scans them once for a
    # split and is destroyed. Ascending values are attached at the end of the chain at once;
    # descending ones update every node of the chain, as the statistics require.
    splits, seconds = run_in_small_stack(lambda: probe.ebst_sorted_run(n, ascending))
    assert splits == 1, seconds


@pytest.mark.parametrize("max_depth", [1, 3])
def test_leaves_at_the_depth_limit_keep_no_values(probe, max_depth):
    tree = FIMTDDRegressor(grace_period=50, max_depth=max_depth, drift_detection=False)
    for x, y in stream(2000, seed=9):
        tree.learn_one(x, y)
    leaves = [n for n in probe.fimtdd_nodes(tree) if n["is_leaf"] and n["n"] > 0]
    assert {n["depth"] for n in leaves} >= {max_depth}
    assert all((n["observed"] == 0) == (n["depth"] >= max_depth) for n in leaves)


def test_deep_tree_routes_and_is_destroyed_without_recursion(probe):
    # Ascending feature and target: every leaf splits at its fifth value once it holds ten, and
    # all later samples go right, so the tree deepens by one level every ten samples.
    n = 30_000

    def grow_and_destroy():
        tree = FIMTDDRegressor(grace_period=0, max_depth=2**31 - 1, drift_detection=False,
                               leaf_prediction="mean")
        for i in range(n):
            tree.learn_one({"a": float(i)}, float(i))
        deepest = probe.fimtdd_leaf(tree, {"a": 1e9})["depth"]
        tree.reset()
        assert tree.predict_one({"a": 1.0}) == 0.0
        for i in range(n):
            tree.learn_one({"a": float(i)}, float(i))
        return deepest

    assert run_in_small_stack(grow_and_destroy) >= n // 10 - 1


def test_abrupt_change_is_followed_by_alternates_and_error_recovers(probe):
    tree = FIMTDDRegressor(grace_period=50, leaf_prediction="mean", alternate_tree_t_min=50,
                           page_hinckley_threshold=5.0)
    frozen = FIMTDDRegressor(grace_period=50, leaf_prediction="mean", drift_detection=False)
    errors = {"tree": [], "frozen": []}
    for x, y in stream(8000, seed=4, change_at=4000):
        errors["tree"].append(abs(y - tree.predict_one(x)))
        errors["frozen"].append(abs(y - frozen.predict_one(x)))
        tree.learn_one(x, y)
        frozen.learn_one(x, y)
    started, promoted, _ = probe.fimtdd_alternate_counts(tree)
    assert started > 0 and promoted > 0

    def mae(name, lo, hi):
        return sum(errors[name][lo:hi]) / (hi - lo)

    before, just_after, late = mae("tree", 3000, 4000), mae("tree", 4000, 4500), mae("tree", 7000, 8000)
    assert just_after > 2 * before and late < 0.5 * just_after
    assert late < 0.75 * mae("frozen", 7000, 8000)


def test_n_splits_keeps_alternate_splits_after_discard(probe):
    tree = FIMTDDRegressor(**dict(EAGER, alternate_tree_time=150, alternate_tree_t_min=150))
    last, saw_alternate_split, discards = 0, False, 0
    for x, y in stream(4000, seed=5, change_at=2000):
        tree.learn_one(x, y)
        splits, counts = tree.n_splits(), probe.fimtdd_alternate_counts(tree)
        assert splits >= last
        all_nodes = probe.fimtdd_nodes(tree)
        internal = sum(not n["is_leaf"] for n in all_nodes)
        saw_alternate_split |= any(n["in_alternate"] and not n["is_leaf"] for n in all_nodes)
        assert splits >= internal
        last, discards = splits, counts[2]
    assert saw_alternate_split and discards > 0
    assert last > sum(not n["is_leaf"] for n in probe.fimtdd_nodes(tree))


@pytest.mark.parametrize("mode", ["perceptron", "adaptive"])
def test_seeds_and_reset_replay(probe, mode):
    samples = list(stream(2000, seed=6, change_at=1000))
    a, b, c = (FIMTDDRegressor(**EAGER, leaf_prediction=mode, seed=s) for s in (11, 11, 12))
    for x, y in samples:
        a.learn_one(x, y)
    a.seed = 12
    a.reset()
    assert a.predict_one(samples[0][0]) == 0.0 and a.n_splits() == 0
    assert probe.fimtdd_alternate_counts(a) == (0, 0, 0) and probe.fimtdd_draws_since_seed(a, 0) == 0
    preds = {"a": [], "b": [], "c": []}
    for x, y in samples:
        for name, t in (("a", a), ("b", b), ("c", c)):
            preds[name].append(t.predict_one(x))
            t.learn_one(x, y)
    assert preds["a"] == preds["c"] != preds["b"]
    before = probe.fimtdd_nodes(a)
    for x, _ in samples[:100]:
        a.predict_one({**x, "new": 1.0})
    assert probe.fimtdd_nodes(a) == before and a.leaf_prediction == mode


BAD = [math.nan, math.inf, -math.inf, 1e308, -1e308]


@pytest.mark.parametrize("bad", BAD, ids=["nan", "inf", "-inf", "1e308", "-1e308"])
@pytest.mark.parametrize("where", ["feature", "target"])
def test_non_finite_and_extreme_values_never_break_the_tree(probe, bad, where):
    tree = FIMTDDRegressor(**EAGER)
    ref = RefFIMTDD(probe.feature_map_order, **EAGER)
    for i, (x, y) in enumerate(stream(1500, seed=7, change_at=700)):
        if i % 41 == 7:
            if where == "feature":
                x["a"] = bad
            else:
                y = bad
        for mode in MODES:
            tree.leaf_prediction = mode
            assert isinstance(tree.predict_one({"a": bad, "c": bad}), float)
        tree.leaf_prediction = "adaptive"
        assert repr(tree.predict_one(x)) == repr(ref.predict_one(x))
        tree.learn_one(x, y)
        ref.learn_one(x, y)
    assert tree.n_splits() == ref.splits
    probe.fimtdd_nodes(tree)


@pytest.mark.parametrize("settings", [
    dict(grace_period=-(2**31), max_depth=2**31 - 1),
    dict(grace_period=2**31 - 1, max_depth=-(2**31)),
    dict(grace_period=10, split_confidence=0.0, tie_threshold=-1.0),
    dict(grace_period=10, split_confidence=-1.0, learning_ratio=1e308, learning_rate_decay=-1.0),
    dict(grace_period=10, page_hinckley_threshold=-1.0, alternate_tree_t_min=-(2**31),
         alternate_tree_time=-(2**31), alternate_tree_fading_factor=math.inf),
    dict(grace_period=10, page_hinckley_alpha=math.nan, alternate_tree_t_min=2**31 - 1),
], ids=["grace-min", "grace-max", "confidence-0", "confidence-negative", "alternates-always", "nan-alpha"])
def test_odd_settings_are_safe(probe, settings):
    tree = FIMTDDRegressor(**settings)
    ref = RefFIMTDD(probe.feature_map_order, **settings)
    for x, y in stream(600, seed=8, change_at=300):
        assert repr(tree.predict_one(x)) == repr(ref.predict_one(x))
        tree.learn_one(x, y)
        ref.learn_one(x, y)
    assert tree.n_splits() == ref.splits


def test_constructor_and_properties():
    tree = FIMTDDRegressor()
    assert isinstance(tree, IRegressor)
    assert (tree.grace_period, tree.split_confidence, tree.leaf_prediction, tree.drift_detection,
            tree.seed) == (200, 1e-7, "adaptive", True, 1)
    args = (3, 0.2, 0.3, 4, "mean", 0.5, 0.6, True, 0.7, 8.0, 0.9, 10, 11, False, -12)
    names = ("grace_period", "split_confidence", "tie_threshold", "max_depth", "leaf_prediction",
             "learning_ratio", "learning_rate_decay", "learning_ratio_const", "page_hinckley_alpha",
             "page_hinckley_threshold", "alternate_tree_fading_factor", "alternate_tree_t_min",
             "alternate_tree_time", "drift_detection", "seed")
    for t in (FIMTDDRegressor(*args), FIMTDDRegressor(**dict(zip(names, args)))):
        assert (t.grace_period, t.split_confidence, t.leaf_prediction, t.drift_detection, t.seed) == (
            3, 0.2, "mean", False, -12)
    tree.leaf_prediction = "ünïcode, any text"
    tree.grace_period = -1
    tree.reset()
    assert tree.leaf_prediction == "ünïcode, any text" and tree.grace_period == -1
    for bad in ({"seed": 2**31}, {"grace_period": 2.0}, {"drift_detection": "yes"}, {"max_depht": 3}):
        with pytest.raises(TypeError):
            FIMTDDRegressor(**bad)
    with pytest.raises(AttributeError):
        tree.tie_threshold = 0.1  # not a property
    assert isinstance(tree.n_splits(), int)


def test_usable_through_the_regressor_interface(probe):
    tree = FIMTDDRegressor()
    tree.learn_one({"a": 1.0}, 4.0)
    assert probe.regress_through_interface(tree, {"a": 1.0}) == 4.0
