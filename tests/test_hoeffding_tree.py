"""HoeffdingTreeClassifier and EFDTClassifier: against a plain-Python model, edge cases, robustness."""

from __future__ import annotations

import math
import random

import pytest

from _tarvo_core import EFDTClassifier, HoeffdingTreeClassifier, IClassifier

from tree_reference import ReferenceTree


def threshold_stream(n, seed, n_features=3, missing=0.0, labels=(0, 1, 2), noise=0.05):
    """Class decided by thresholds on two features (a <= 4; else b <= 6), with label noise."""
    rng = random.Random(seed)
    names = [chr(ord("a") + j) for j in range(n_features)]
    out = []
    for _ in range(n):
        x = {k: rng.uniform(0, 10) for k in names}
        y = labels[0] if x["a"] <= 4 else labels[1] if x["b"] <= 6 else labels[2]
        if rng.random() < noise:
            y = rng.choice(labels)
        if missing:
            x = {k: v for k, v in x.items() if rng.random() >= missing}
        out.append((x, y))
    return out


def build(settings):
    """A native tree and the model with the same settings (extra fields set as properties)."""
    ctor = {k: v for k, v in settings.items() if k not in ("leaf_prediction", "n_split_points", "no_pre_prune")}
    tree = HoeffdingTreeClassifier(**ctor)
    for k in ("leaf_prediction", "n_split_points", "no_pre_prune"):
        if k in settings:
            setattr(tree, k, settings[k])
    return tree, ReferenceTree(**settings)


def assert_same_tree(probe, tree, model):
    got, want = probe.tree_nodes(tree), model.nodes()
    assert [(n["depth"], n["is_leaf"]) for n in got] == [(n["depth"], n["is_leaf"]) for n in want]
    for g, w in zip(got, want):
        for key, value in w.items():
            assert g[key] == value, key


CONFIGS = [
    dict(grace_period=50),
    dict(grace_period=40, split_criterion="gini"),
    dict(grace_period=30, split_criterion="gini", no_pre_prune=True),
    dict(grace_period=30, no_pre_prune=True, leaf_prediction="mc"),
    dict(grace_period=60, leaf_prediction="nb", n_split_points=3),
    dict(grace_period=50, nb_threshold=150, leaf_prediction="anything"),
    dict(grace_period=25, max_depth=2, n_split_points=1),
    dict(grace_period=45, tie_threshold=0.5, split_confidence=0.5),
    dict(grace_period=20, split_confidence=1.0, split_criterion="Gini"),
]


@pytest.mark.parametrize("settings", CONFIGS, ids=lambda s: ",".join(f"{k}={v}" for k, v in s.items()))
def test_matches_model(probe, settings):
    tree, model = build(settings)
    stream = threshold_stream(2500, seed=len(str(settings)), missing=0.15, labels=(4, -7, 0))
    for i, (x, y) in enumerate(stream):
        if i % 7 == 0:
            assert tree.predict_one(x) == model.predict_one(x)
            assert tree.predict_proba_one(x) == pytest.approx(model.predict_proba_one(x), rel=1e-9, abs=1e-300)
        tree.learn_one(x, y)
        model.learn_one(x, y)
    assert_same_tree(probe, tree, model)
    assert len(probe.tree_nodes(tree)) > 1 or settings.get("max_depth") == 0


def test_subspace_draws_from_own_generator_and_reset_keeps_its_state(probe):
    stream = threshold_stream(1500, seed=3, n_features=6)
    tree, model = build(dict(grace_period=40))
    probe.tree_set_subspace(tree, 2, 1234)
    model.set_subspace(2, 1234)
    assert probe.tree_subspace_size(tree) == 2
    for x, y in stream:
        tree.learn_one(x, y)
        model.learn_one(x, y)
    assert_same_tree(probe, tree, model)
    first = probe.tree_nodes(tree)
    tree.reset()
    model.reset()
    assert probe.tree_subspace_size(tree) == 2
    for x, y in stream:
        tree.learn_one(x, y)
        model.learn_one(x, y)
    assert_same_tree(probe, tree, model)
    assert probe.tree_nodes(tree) != first, "reset must not reseed the subspace generator"


@pytest.mark.parametrize("predict_first", [False, True])
def test_learn_repeated_equals_repeated_learn_one(probe, predict_first):
    # Repetitions rescore only the learnt class; after predict_one the first
    # repetition reuses its scores.
    rng = random.Random(5)
    a, b = HoeffdingTreeClassifier(grace_period=7), HoeffdingTreeClassifier(grace_period=7)
    for x, y in threshold_stream(800, seed=9, missing=0.1):
        times = rng.choice([0, 0, 1, 2, 6, 13])
        if predict_first:
            assert a.predict_one(x) == b.predict_one(x)
        probe.tree_learn_repeated(a, x, y, times)
        for _ in range(times):
            b.learn_one(x, y)
    nodes = probe.tree_nodes(a)
    assert len(nodes) > 5
    assert nodes == probe.tree_nodes(b)
    probe.tree_learn_repeated(a, {"a": 1.0}, 1, -3)
    assert probe.tree_nodes(a) == nodes


@pytest.mark.parametrize("leaf_prediction", ["nba", "nb"])
def test_predicting_before_learning_leaves_learning_unchanged(probe, leaf_prediction):
    # Test-then-train reuses the scores of predict_one in learn_one; any other
    # call in between must not let stale scores through.
    plain, tested = HoeffdingTreeClassifier(grace_period=25), HoeffdingTreeClassifier(grace_period=25)
    plain.leaf_prediction = tested.leaf_prediction = leaf_prediction
    stream = threshold_stream(1500, seed=14, missing=0.1)
    for i, (x, y) in enumerate(stream):
        tested.predict_one(x)
        if i % 3 == 1:
            tested.predict_one(stream[i - 1][0])
        elif i % 3 == 2:
            tested.predict_proba_one(x)
        tested.learn_one(dict(reversed(x.items())) if i % 5 == 0 else x, y)
        plain.learn_one(x, y)
    assert probe.tree_nodes(tested) == probe.tree_nodes(plain)


def test_reaches_high_accuracy_on_threshold_structure():
    tree = HoeffdingTreeClassifier(grace_period=100)
    correct = 0
    for i, (x, y) in enumerate(threshold_stream(20000, seed=11, noise=0.0)):
        if i >= 10000:
            correct += tree.predict_one(x) == y
        tree.learn_one(x, y)
    assert correct / 10000 > 0.95


def test_untrained_answers():
    tree = HoeffdingTreeClassifier()
    assert tree.predict_one({"a": 1.0}) == 0
    assert tree.predict_proba_one({}) == {}
    tree.learn_one({"a": 1.0}, 9)
    tree.reset()
    assert tree.predict_one({"a": 1.0}) == 0 and tree.predict_proba_one({"a": 1.0}) == {}


def test_one_label_never_attempts_a_split(probe):
    tree = HoeffdingTreeClassifier(grace_period=5)
    probe.tree_set_subspace(tree, 1, 3)
    for i in range(500):
        tree.learn_one({"a": float(i), "b": float(-i)}, 5)
    assert len(probe.tree_nodes(tree)) == 1
    assert probe.tree_classes(tree) == [5]


def two_class_clean(n, lo_value=0.0, hi_value=10.0):
    return [({"a": lo_value}, 0) if i % 2 == 0 else ({"a": hi_value}, 1) for i in range(n)]


def test_clean_two_class_stream_splits_at_first_attempt(probe):
    tree = HoeffdingTreeClassifier(grace_period=20)
    stream = two_class_clean(20)
    for x, y in stream[:19]:
        tree.learn_one(x, y)
    assert len(probe.tree_nodes(tree)) == 1
    tree.learn_one(*stream[19])
    root, left, right = probe.tree_nodes(tree)
    assert root["split_feature"] == "a" and root["split_threshold"] == 10 / 11
    assert left["class_counts"] == {0: 10.0} and right["class_counts"] == {1: 10.0}
    assert root["observers"] == {} and root["class_counts"] == {} and root["total_weight"] == 0.0


@pytest.mark.parametrize("values, empty_goes_to", [((1.0, 3.0), 0), ((-3.0, -1.0), 1)])
def test_missing_split_feature_counts_as_zero(values, empty_goes_to):
    tree = HoeffdingTreeClassifier(grace_period=20, max_depth=1)
    for x, y in two_class_clean(20, *values):
        tree.learn_one(x, y)
    assert tree.predict_one({}) == empty_goes_to
    assert tree.predict_one({"b": 100.0}) == empty_goes_to


def test_no_pre_prune_splits_without_consulting_the_bound(probe):
    rng = random.Random(2)
    stream = [({"a": rng.random()}, rng.randrange(2)) for _ in range(20)]
    pruned = HoeffdingTreeClassifier(grace_period=20, split_criterion="gini")
    unpruned = HoeffdingTreeClassifier(grace_period=20, split_criterion="gini")
    unpruned.no_pre_prune = True
    for x, y in stream:
        pruned.learn_one(x, y)
        unpruned.learn_one(x, y)
    assert len(probe.tree_nodes(pruned)) == 1
    assert len(probe.tree_nodes(unpruned)) == 3


def test_child_without_weight_answers_uniform_and_zero(probe):
    # Gini allows a side with no estimated weight: class 7's Gaussian puts none of
    # its weight below the first threshold, and class 3 sits at the top value.
    tree = HoeffdingTreeClassifier(grace_period=10100, split_criterion="gini")
    tree.no_pre_prune = True
    stream = [({"a": 0.0}, 7)] + [({"a": 1000.0}, 7)] * 9999 + [({"a": 1000.0}, 3)] * 100
    for x, y in stream:
        tree.learn_one(x, y)
    root, left, right = probe.tree_nodes(tree)
    assert left["total_weight"] == 0.0 and left["class_counts"] == {}
    assert tree.predict_proba_one({"a": -5.0}) == {7: 0.5, 3: 0.5}
    assert tree.predict_one({"a": -5.0}) == 0
    proba = tree.predict_proba_one({"a": 2000.0})
    assert set(proba) == {3, 7} and sum(proba.values()) == pytest.approx(1.0)


def test_probabilities_cover_every_seen_label():
    tree = HoeffdingTreeClassifier(grace_period=20)
    for x, y in two_class_clean(20):
        tree.learn_one(x, y)
    tree.learn_one({"a": 20.0}, 2)  # right leaf now knows 1 and 2; label 0 only left
    assert tree.predict_proba_one({"a": 20.0}) == {0: 0.0, 1: pytest.approx(10 / 11), 2: pytest.approx(1 / 11)}
    assert tree.predict_proba_one({"a": -1.0}) == {0: 1.0, 1: 0.0, 2: 0.0}


def test_efdt_learns_the_identical_tree(probe):
    args = dict(grace_period=30, split_confidence=1e-3, tie_threshold=0.1, nb_threshold=5, max_depth=4)
    efdt = EFDTClassifier(**args)
    ht = HoeffdingTreeClassifier(**args, split_criterion="info_gain")
    stream = threshold_stream(2000, seed=4)
    for x, y in stream:
        assert efdt.predict_one(x) == ht.predict_one(x)
        efdt.learn_one(x, y)
        ht.learn_one(x, y)
    assert probe.tree_nodes(efdt) == probe.tree_nodes(ht)
    assert len(probe.tree_nodes(efdt)) > 1
    for x, _ in stream[:50]:
        assert efdt.predict_proba_one(x) == ht.predict_proba_one(x)


@pytest.mark.parametrize(
    "setting",
    [dict(grace_period=0), dict(grace_period=-5, max_depth=0), dict(n_split_points=0),
     dict(n_split_points=-3), dict(split_confidence=2.0)],
    ids=["grace-0", "depth-0", "points-0", "points-negative", "confidence-above-1"],
)
def test_degenerate_settings_keep_a_single_leaf(probe, setting):
    tree = HoeffdingTreeClassifier(grace_period=10)
    for k, v in setting.items():
        setattr(tree, k, v)
    for x, y in threshold_stream(600, seed=8):
        tree.learn_one(x, y)
    assert len(probe.tree_nodes(tree)) == 1
    assert tree.predict_one({"a": 1.0, "b": 1.0}) in (0, 1, 2)


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
@pytest.mark.parametrize("criterion", ["info_gain", "gini"])
def test_non_finite_values_never_break_the_tree(probe, bad, criterion):
    tree = HoeffdingTreeClassifier(grace_period=10, split_criterion=criterion)
    tree.no_pre_prune = True
    rng = random.Random(6)
    for i, (x, y) in enumerate(threshold_stream(800, seed=6)):
        if rng.random() < 0.2:
            x["a" if i % 2 else "b"] = bad
        tree.learn_one(x, y)
        tree.learn_one({"a": 1e308 if i % 2 else -1e308}, y)
    for x in ({"a": bad, "b": bad}, {"a": 1.0}, {}):
        assert tree.predict_one(x) in (0, 1, 2)
        assert set(tree.predict_proba_one(x)) == {0, 1, 2}
    for node in probe.tree_nodes(tree):
        assert not math.isnan(node["total_weight"])


def test_deep_trees_route_and_free_without_recursion(probe):
    depth = 300_000
    assert probe.deep_chain_route("l" * depth, 0.0) == depth
    assert probe.deep_chain_route("r" * depth, 0.0) == depth
    assert probe.deep_chain_route("lr" * (depth // 2), 0.0) == depth


def test_moved_from_tree_has_no_root_and_regrows_one(probe):
    tree = HoeffdingTreeClassifier(grace_period=30)
    for x, y in threshold_stream(400, seed=15):
        tree.learn_one(x, y)
    before, x = probe.tree_nodes(tree), {"a": 5.0, "b": 7.0}
    out = probe.tree_move_probe(tree, x, 9)
    assert out["moved_from_predict"] == 0 and out["moved_from_proba"] == {}
    assert out["moved_from_after_learn"] == {9: 1.0}
    assert out["moved_predict"] == tree.predict_one(x)
    assert probe.tree_nodes(tree) == before


def test_prediction_does_not_change_the_tree(probe):
    tree = HoeffdingTreeClassifier(grace_period=30)
    for x, y in threshold_stream(500, seed=12):
        tree.learn_one(x, y)
    before = probe.tree_nodes(tree)
    for x, _ in threshold_stream(200, seed=13):
        tree.predict_one({**x, "new": 1.0})
        tree.predict_proba_one({**x, "new": 1.0})
    assert probe.tree_nodes(tree) == before


def test_constructor_keywords_defaults_and_properties():
    tree = HoeffdingTreeClassifier(10, 0.5, 0.1, 3, 7, "gini")
    assert (tree.grace_period, tree.split_confidence, tree.tie_threshold, tree.max_depth,
            tree.split_criterion) == (10, 0.5, 0.1, 7, "gini")
    d = HoeffdingTreeClassifier()
    assert (d.grace_period, d.split_confidence, d.tie_threshold, d.max_depth, d.split_criterion,
            d.leaf_prediction, d.n_split_points, d.no_pre_prune) == (200, 1e-7, 0.05, 20, "info_gain", "nba", 10, False)
    e = EFDTClassifier()
    assert (e.grace_period, e.split_confidence, e.tie_threshold, e.max_depth, e.split_criterion) == (
        200, 1e-5, 0.05, 20, "info_gain")
    assert isinstance(e, HoeffdingTreeClassifier) and isinstance(e, IClassifier)
    with pytest.raises(TypeError):
        EFDTClassifier(split_criterion="gini")
    with pytest.raises(AttributeError):
        d.nb_threshold  # noqa: B018 - no property by design
    props = {k for k, v in vars(HoeffdingTreeClassifier).items() if isinstance(v, property)}
    assert props == {"grace_period", "split_confidence", "tie_threshold", "max_depth", "split_criterion",
                     "leaf_prediction", "n_split_points", "no_pre_prune"}
    assert {k for k in vars(EFDTClassifier) if not k.startswith("_")} == set()


def test_n_split_points_rejects_unbounded_work():
    tree = HoeffdingTreeClassifier()
    tree.n_split_points = 100000
    with pytest.raises(ValueError, match="n_split_points must be at most 100000"):
        tree.n_split_points = 100001
    assert tree.n_split_points == 100000
