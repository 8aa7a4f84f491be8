"""KNNClassifier and KNNRegressor: the window, the distances, the neighbour order and how neighbours combine."""

from __future__ import annotations

import math
import random

import numpy as np
import pytest

import _tarvo_probe as probe
from _tarvo_core import IClassifier, IRegressor, KNNClassifier, KNNRegressor
from tarvo.learners import learner_names

NAN = float("nan")
BOTH = [KNNClassifier, KNNRegressor]


def untrained(model):
    """The fixed answers of a model that has nothing to use."""
    if isinstance(model, KNNClassifier):
        return model.predict_one({"a": 1.0}) == -1 and model.predict_proba_one({"a": 1.0}) == {}
    return model.predict_one({"a": 1.0}) == 0.0


def reference_distance(q, s, p):
    """The distance of order p computed directly, with C pow semantics (0 ** -1 is inf)."""
    with np.errstate(divide="ignore", over="ignore"):
        if p == 2:
            return float(np.sqrt(sum((np.float64(a) - b) ** 2 for a, b in zip(q, s))))
        if p == 1:
            return float(sum(abs(np.float64(a) - b) for a, b in zip(q, s)))
        total = np.float64(0.0)
        for a, b in zip(q, s):
            total += np.power(abs(np.float64(a) - b), np.float64(p))
        return float(np.power(total, np.float64(1.0) / np.float64(p)))


def weighted_mean(pairs):
    """The regressor's combination of (distance, target) pairs, closest first."""
    num = den = 0.0
    for d, t in pairs:
        w = 1.0 / d if d > 1e-10 else 1e10
        num += w * t
        den += w
    return num / den if den > 0 else 0.0


# --- construction and the Python surface -----------------------------------------------------


@pytest.mark.parametrize("cls", BOTH)
def test_constructor_keywords_defaults_and_properties(cls):
    model = cls()
    assert (model.n_neighbors, model.p) == (5, 2)
    assert not hasattr(model, "window_size")
    model = cls(3, 10, 1)
    assert (model.n_neighbors, model.p) == (3, 1)
    assert probe.knn_window(cls(window_size=7))["capacity"] == 7
    assert isinstance(model, IClassifier if cls is KNNClassifier else IRegressor)
    with pytest.raises(TypeError):
        cls(k=3)


@pytest.mark.parametrize("cls", BOTH)
@pytest.mark.parametrize(
    "kwargs, name",
    [({"window_size": 0}, "window_size"), ({"window_size": -1}, "window_size"),
     ({"window_size": -(2**31)}, "window_size"), ({"n_neighbors": -1}, "n_neighbors"),
     ({"n_neighbors": -(2**31)}, "n_neighbors")],
)
def test_constructor_rejects_sizes_that_would_break_the_window(cls, kwargs, name):
    with pytest.raises(ValueError, match=name):
        cls(**kwargs)


@pytest.mark.parametrize("cls", BOTH)
def test_negative_n_neighbors_assignment_is_rejected_and_changes_nothing(cls):
    model = cls(n_neighbors=2)
    model.learn_one({"a": 1.0}, 1)
    before = model.predict_one({"a": 1.0})
    with pytest.raises(ValueError, match="n_neighbors"):
        model.n_neighbors = -1
    assert model.n_neighbors == 2 and model.predict_one({"a": 1.0}) == before
    with pytest.raises(TypeError):
        model.n_neighbors = 1.5
    model.n_neighbors = 2**31 - 1  # more than the window: every stored sample is used
    assert model.predict_one({"a": 1.0}) == before


@pytest.mark.parametrize("cls", BOTH)
def test_untrained_zero_k_and_reset_give_the_fixed_answers(cls):
    model = cls()
    assert untrained(model)
    for i in range(20):
        model.learn_one({"a": float(i)}, i % 3)
    assert not untrained(model)
    model.n_neighbors = 0
    assert untrained(model)
    model.n_neighbors, model.p = 4, 1
    model.reset()
    assert untrained(model)
    assert (model.n_neighbors, model.p) == (4, 1)  # hyper-parameters survive reset
    window = probe.knn_window(model)
    assert window["rows"] == [] and window["features"] == []


@pytest.mark.parametrize("task", ["classification", "regression"])
def test_selectable_by_name_from_the_command_line(task):
    name = "KNNClassifier" if task == "classification" else "KNNRegressor"
    assert name in learner_names(task)


# --- the window ------------------------------------------------------------------------------


@pytest.mark.parametrize("cls", BOTH)
def test_window_of_three_keeps_the_last_three_samples(cls):
    model = cls(n_neighbors=1, window_size=3)
    for i in range(4):
        model.learn_one({"a": float(i)}, i + 10)
    assert [row for row in probe.knn_window(model)["rows"]] == [([1.0], 11), ([2.0], 12), ([3.0], 13)]
    # The first sample is gone: a query on it finds its successor.
    assert model.predict_one({"a": 0.0}) == 11
    if cls is KNNClassifier:
        model.n_neighbors = 10
        assert set(model.predict_proba_one({"a": 0.0})) == {11, 12, 13}


@pytest.mark.parametrize("cls", BOTH)
def test_feature_first_met_late_counts_as_zero_in_earlier_rows(cls):
    model = cls(n_neighbors=1)
    samples = [({"a": 1.0}, 1), ({"b": 2.0, "a": 0.5}, 2), ({}, 3), ({"a": -1.0}, 4),
               ({"a": 0.0, "c": 5.0}, 5)]
    for x, y in samples:
        model.learn_one(x, y)
    window = probe.knn_window(model)
    assert window["features"][-1] == "c" and sorted(window["features"]) == ["a", "b", "c"]
    names = window["features"]
    for (x, y), (values, label) in zip(samples, window["rows"]):
        assert label == y
        assert values == [x.get(n, 0.0) for n in names]
    # {"c": 4.9} is 4.9 from the stored zeros of the first four rows and 0.1 from the fifth.
    assert model.predict_one({"c": 4.9}) == 5
    assert model.predict_one({"c": 0.1}) == 3  # the empty sample sits at the origin


def test_prediction_neither_learns_names_nor_changes_the_window():
    model = KNNClassifier(n_neighbors=2)
    model.learn_one({"a": 1.0}, 0)
    model.learn_one({"a": 2.0}, 1)
    before = probe.knn_window(model)
    model.predict_one({"new": 1.0, "a": 1.0})
    model.predict_proba_one({"other": 3.0})
    assert probe.knn_window(model) == before


@pytest.mark.parametrize("p", [1, 2, 3])
def test_unknown_query_is_at_the_zero_vector_distance(p):
    rows = [({"a": 3.0, "b": 4.0}, 10.0), ({"a": -1.0}, 20.0), ({"b": 0.5}, 40.0)]
    model = KNNRegressor(n_neighbors=3, p=p)
    for x, y in rows:
        model.learn_one(x, y)
    expected = weighted_mean(sorted(
        (reference_distance([0.0, 0.0], [x.get("a", 0.0), x.get("b", 0.0)], p), t) for x, t in rows))
    assert model.predict_one({"zzz": 5.0}) == pytest.approx(expected, rel=1e-14)
    assert model.predict_one({"zzz": 5.0}) == model.predict_one({})


# --- neighbour selection and combination -----------------------------------------------------


@pytest.mark.parametrize("order", [(0, 1), (1, 0)])
@pytest.mark.parametrize("labels", [(7, 3), (2**31 - 1, -(2**31)), (-1, -2)])
def test_distance_tie_for_the_last_place_goes_to_the_smaller_label(order, labels):
    model = KNNClassifier(n_neighbors=2)
    model.learn_one({"a": 0.25}, 99)  # the certain first neighbour
    points = [({"a": 1.0}, labels[0]), ({"a": -1.0}, labels[1])]
    for i in order:
        model.learn_one(*points[i])
    assert model.predict_proba_one({"a": 0.0}) == {99: 0.5, min(labels): 0.5}


@pytest.mark.parametrize("order", [(0, 1), (1, 0)])
def test_distance_tie_for_the_last_place_goes_to_the_smaller_target(order):
    model = KNNRegressor(n_neighbors=1)
    points = [({"a": 2.0}, 5.0), ({"a": -2.0}, -3.5)]
    for i in order:
        model.learn_one(*points[i])
    assert model.predict_one({"a": 0.0}) == -3.5


def test_vote_tie_goes_to_the_label_of_the_nearer_neighbour():
    model = KNNClassifier(n_neighbors=4)
    for x, y in [({"a": 3.0}, 2), ({"a": 1.0}, 5), ({"a": 4.0}, 5), ({"a": 2.0}, 2)]:
        model.learn_one(x, y)
    assert model.predict_one({"a": 0.0}) == 5
    assert model.predict_one({"a": 5.0}) == 5
    assert model.predict_one({"a": 2.9}) == 2
    assert model.predict_proba_one({"a": 0.0}) == {5: 0.5, 2: 0.5}
    model.n_neighbors = 3
    assert model.predict_one({"a": 0.0}) == 2  # two of the three nearest


def test_more_neighbours_than_samples_use_every_sample_in_shares_of_one_over_k():
    model = KNNClassifier(n_neighbors=50)
    labels = [1, 1, 1, 2, 2, 3, 1]
    for i, y in enumerate(labels):
        model.learn_one({"a": float(i)}, y)
    proba = model.predict_proba_one({"a": 100.0})
    share = 1 / 7
    assert proba == {1: share + share + share + share, 2: share + share, 3: share}
    assert model.predict_one({"a": 100.0}) == 1


def test_exact_duplicate_weighs_1e10():
    model = KNNRegressor(n_neighbors=3)
    for x, y in [({"a": 0.0}, 10.0), ({"a": 1.0}, 20.0), ({"a": -2.0}, 40.0)]:
        model.learn_one(x, y)
    got = model.predict_one({"a": 0.0})
    assert got == weighted_mean([(0.0, 10.0), (1.0, 20.0), (2.0, 40.0)])
    assert got == pytest.approx(10.0, abs=1e-8) and got != 10.0
    # Within 1e-10 counts as a duplicate too; both neighbours then weigh the same.
    model = KNNRegressor(n_neighbors=2)
    model.learn_one({"a": 5e-11}, 1.0)
    model.learn_one({"a": -5e-11}, 3.0)
    assert model.predict_one({"a": 0.0}) == 2.0


def test_infinite_distances_weigh_zero_and_give_zero():
    model = KNNRegressor(n_neighbors=2, p=1)
    model.learn_one({"a": 1e308}, 5.0)
    model.learn_one({"a": -1e308}, 7.0)
    assert model.predict_one({"a": 0.0}) == pytest.approx(6.0)
    model.p = 2  # the squares overflow: both distances are inf
    assert model.predict_one({"a": 0.0}) == 0.0
    assert model.predict_one({"a": float("inf")}) == 0.0


# --- distances -------------------------------------------------------------------------------


@pytest.mark.parametrize("p", [1, 2, 3, 4, 0, -1, -3])
def test_distance_of_any_order_matches_the_direct_formula(p):
    rng = random.Random(p + 10)
    rows = [[rng.choice([0.0, rng.uniform(-3, 3)]) for _ in range(4)] for _ in range(12)]
    query = [rng.uniform(-3, 3) for _ in range(3)] + [rows[0][3]]  # one equal position
    for row in rows:
        assert probe.minkowski(query, row, p) == pytest.approx(reference_distance(query, row, p), rel=1e-14)
    names = ["a", "b", "c", "d"]
    model = KNNRegressor(n_neighbors=5, p=p)
    for i, row in enumerate(rows):
        model.learn_one(dict(zip(names, row)), float(i))
    pairs = sorted((reference_distance(query, row, p), float(i)) for i, row in enumerate(rows))
    expected = weighted_mean(pairs[:5])
    got = model.predict_one(dict(zip(names, query)))
    assert got == pytest.approx(expected, rel=1e-12) or (got == expected == 0.0)


@pytest.mark.parametrize(
    "p, values, expected",
    [(1, ([], []), 0.0), (2, ([], []), 0.0), (3, ([], []), 0.0),
     (0, ([1.0, 1.0], [1.0, 3.0]), math.inf),  # |d|^0 = 1 per position; 2^(1/0) = inf
     (0, ([1.0], [1.0]), 1.0), (-1, ([1.0, 2.0], [1.0, 4.0]), 0.0)],  # 1/|0| = inf; inf^-1 = 0
)
def test_orders_zero_and_negative_follow_the_power_function(p, values, expected):
    assert probe.minkowski(*values, p) == expected


def test_changed_order_takes_effect_at_the_next_prediction():
    model = KNNClassifier(n_neighbors=1)
    model.learn_one({"a": 3.0, "b": 3.0}, 1)  # L1 6, L2 4.24
    model.learn_one({"a": 5.0}, 2)            # L1 5, L2 5
    assert model.predict_one({}) == 1
    model.p = 1
    assert model.predict_one({}) == 2


# --- NaN -------------------------------------------------------------------------------------


def test_nan_sorts_after_every_number():
    got = probe.nan_last_sorted([3.0, NAN, -math.inf, 1.0, NAN, math.inf, -0.5])
    assert got[:5] == [-math.inf, -0.5, 1.0, 3.0, math.inf] and all(math.isnan(v) for v in got[5:])


@pytest.mark.parametrize("cls", BOTH)
def test_learnt_nan_ranks_after_every_finite_distance(cls):
    model = cls(n_neighbors=1)
    model.learn_one({"a": NAN}, -5)
    model.learn_one({"a": 100.0}, 7)
    model.learn_one({"a": NAN, "b": 1.0}, -9)
    assert model.predict_one({"a": 0.0}) == pytest.approx(7)
    model.n_neighbors = 3
    if cls is KNNClassifier:
        assert model.predict_proba_one({"a": 0.0}) == pytest.approx({7: 1 / 3, -5: 1 / 3, -9: 1 / 3})
    else:
        # NaN distances fail "d > 1e-10" and weigh 1e10 like duplicates.
        assert model.predict_one({"a": 0.0}) == weighted_mean([(100.0, 7.0), (NAN, -9.0), (NAN, -5.0)])


@pytest.mark.parametrize("cls", BOTH)
def test_nan_query_ranks_every_sample_by_label_or_target(cls):
    model = cls(n_neighbors=2)
    for i, y in enumerate([4, -2, 9, 0]):
        model.learn_one({"a": float(i)}, y)
    if cls is KNNClassifier:
        assert model.predict_proba_one({"a": NAN}) == {-2: 0.5, 0: 0.5}
        assert model.predict_one({"a": NAN}) == -2
    else:
        assert model.predict_one({"a": NAN}) == -1.0


def test_nan_target_ranks_after_numbers_in_a_distance_tie():
    model = KNNRegressor(n_neighbors=1)
    model.learn_one({"a": 1.0}, NAN)
    model.learn_one({"a": -1.0}, 8.0)
    assert model.predict_one({"a": 0.0}) == 8.0
    model.n_neighbors = 2
    assert math.isnan(model.predict_one({"a": 0.0}))


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("p", [1, 2, 3])
@pytest.mark.parametrize("cls", BOTH)
def test_rows_with_nan_never_displace_finite_ones(cls, seed, p):
    """For k up to the number of finite rows, NaN rows change no prediction."""
    rng = random.Random(seed)
    names = ["a", "b", "c"]
    rows = [({n: 0.5 for n in names}, 1)]  # first, so both models index the names alike
    for _ in range(150):
        x = {n: rng.choice([rng.gauss(0, 1), rng.gauss(0, 1), 0.0]) for n in names}
        if rng.random() < 0.4:
            x[rng.choice(names)] = NAN
        rows.append((x, rng.randrange(-3, 4)))
    finite = [(x, y) for x, y in rows if not any(math.isnan(v) for v in x.values())]
    mixed, clean = cls(window_size=len(rows), p=p), cls(window_size=len(rows), p=p)
    for x, y in rows:
        mixed.learn_one(x, y)
    for x, y in finite:
        clean.learn_one(x, y)
    queries = [{n: rng.gauss(0, 1) for n in names} for _ in range(10)] + [{}]
    for k in (1, 5, len(finite)):
        mixed.n_neighbors = clean.n_neighbors = k
        for q in queries:
            assert mixed.predict_one(q) == clean.predict_one(q)
            if cls is KNNClassifier:
                assert mixed.predict_proba_one(q) == clean.predict_proba_one(q)
