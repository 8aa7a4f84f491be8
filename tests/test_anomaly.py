"""HalfSpaceTrees and ROCAUC: the mass profiles and their swap, worked scores of the documented
normalisation, ranges given or learnt, determinism, the batch path, and the exact area under the ROC
curve against a brute-force count."""

from __future__ import annotations

import math
import pickle
import random
from fractions import Fraction

import numpy as np
import pytest

import _tarvo_extra as extra
from tarvo import batch

HST = extra.HalfSpaceTrees


def cluster(n: int, seed: int, outliers: float = 0.0) -> list[dict[str, float]]:
    """Two features around (0, 0), a share of them far out."""
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        if rng.random() < outliers:
            out.append({"a": rng.uniform(4, 6) * rng.choice([-1, 1]), "b": rng.uniform(4, 6)})
        else:
            out.append({"a": rng.gauss(0, 1), "b": rng.gauss(0, 1)})
    return out


PROBES = [{"a": 0.0, "b": 0.0}, {"a": 1.5, "b": -0.5}, {"a": 5.0, "b": 5.0}, {"b": 0.3}, {}]


# ---------------------------------------------------------------- the profiles


@pytest.mark.parametrize("params", [{"window_size": 50, "seed": 1}, {"window_size": 7, "n_trees": 3, "height": 4},
                                    {"window_size": 30, "limits": {"a": (-3.0, 3.0), "b": (-3.0, 3.0)}}])
def test_scores_change_only_when_the_profiles_swap(params):
    """Learning updates the latest counts only: every score stays as it is until window_size
    samples are learnt, and changes right then (the reference becomes the window just ended)."""
    model = HST(**params)
    window = params["window_size"]
    last = [model.score_one(p) for p in PROBES]
    assert last == [0.0] * len(PROBES)  # no reference before the first window ends
    for i, x in enumerate(cluster(window * 5, 2), start=1):
        model.learn_one(x)
        now = [model.score_one(p) for p in PROBES]
        assert model.window_count == i % window
        if i % window:
            assert now == last, i
        else:
            assert now != last, i
        last = now


def test_scores_rank_outliers_above_the_cluster():
    model = HST(seed=4)
    batch.learn_many(model, np.array([[x["a"], x["b"]] for x in cluster(2000, 5)]), columns=["a", "b"])
    inside = [model.score_one(x) for x in cluster(200, 6)]
    outside = [model.score_one(x) for x in cluster(200, 7, outliers=1.0)]
    assert 0.0 < min(inside) and max(outside) <= 1.0
    assert np.median(outside) - np.median(inside) > 0.3
    assert sum(o > np.quantile(inside, 0.95) for o in outside) > 190


def _tree_of_one(window, values, **kw):
    """One tree over one feature with the range (0, 1): its root splits at the centre of the work
    range, in [0, 1), so -10 goes left and 10 right at every level."""
    model = HST(n_trees=1, window_size=window, limits={"a": (0.0, 1.0)}, **kw)
    for v in values:
        model.learn_one({"a": v})
    return model


def _score(S, window, height):
    return 1.0 - math.log1p(S) / math.log1p(window * 2.0**height)


def test_worked_scores_of_the_normalisation():
    # Height 1, window 4, every sample left: the left leaf holds r = 4, at depth 1 (S = 4 * 2^1 = 8,
    # the most a tree can give, score 0); the right leaf was never reached (S = 0, score 1).
    model = _tree_of_one(4, [-10.0] * 4, height=1)
    assert model.score_one({"a": -10.0}) == 0.0 and model.score_one({"a": 10.0}) == 1.0
    # Two samples each side: S = 2 * 2^1 on either side.
    model = _tree_of_one(4, [-10.0, 10.0, -10.0, 10.0], height=1)
    assert model.score_one({"a": -10.0}) == model.score_one({"a": 10.0}) == _score(4, 4, 1)
    # Window 20 (a path stops at r <= 2), height 2: 19 samples go left-left, reaching depth 2
    # with r = 19 (S = 76); the one sample right stops at depth 1 with r = 1 (S = 2).
    model = _tree_of_one(20, [-10.0] * 19 + [10.0], height=2)
    assert model.score_one({"a": -10.0}) == _score(19 * 4, 20, 2)
    assert model.score_one({"a": 10.0}) == _score(1 * 2, 20, 2)
    # An absent feature counts as the middle of its range (0.5 after scaling), as does 0.5 itself.
    assert model.score_one({}) == model.score_one({"a": 0.5}) == model.score_one({"a": 0.5, "z": 99.0})


def test_the_ranges_learnt_are_those_of_the_first_window_and_equal_given_limits():
    data = cluster(600, 8)
    first = data[:100]
    limits = {name: (min(x[name] for x in first), max(x[name] for x in first)) for name in ("a", "b")}
    learnt, given = HST(window_size=100, seed=2), HST(window_size=100, seed=2, limits=limits)
    assert learnt.ranges == {} and given.ranges == limits
    for x in data:
        assert learnt.score_one(x) == given.score_one(x)
        learnt.learn_one(x)
        given.learn_one(x)
    assert learnt.ranges == limits
    # A feature constant over the first window gets [v, v + 1]; one first seen later is not used.
    model = HST(window_size=3)
    for x in [{"c": 2.0}, {"c": 2.0}, {"c": 2.0, "d": math.nan}, {"c": 2.5, "e": 1.0}]:
        model.learn_one(x)
    assert model.ranges == {"c": (2.0, 3.0)}


def test_a_seed_fixes_every_score():
    data = cluster(1500, 9, outliers=0.05)

    def scores(model):
        return [_step(model, x) for x in data]

    first = scores(HST(seed=5, window_size=100))
    assert scores(HST(seed=5, window_size=100)) == first
    assert scores(HST(seed=6, window_size=100)) != first
    used = HST(seed=5, window_size=100)
    scores(used)
    used.reset()
    assert used.ranges == {} and used.node_count == 0
    assert scores(used) == first


def _step(model, x):
    s = model.score_one(x)
    model.learn_one(x)
    return s


def test_nodes_stay_bounded_by_two_windows_of_paths():
    model = HST(n_trees=4, height=12, window_size=64, seed=3)
    for x in cluster(64 * 40, 10, outliers=0.02):
        model.learn_one(x)
        assert model.node_count <= 4 * 2 * 64 * (12 + 1)


@pytest.mark.parametrize("x", [{"a": math.nan}, {"a": math.inf, "b": -math.inf}, {"a": 1e308, "b": -1e308}])
def test_odd_values_route_and_score_in_range(x):
    model = HST(window_size=20, seed=1)
    for sample in cluster(60, 11) + [x] * 25:
        score = model.score_one(sample)
        assert 0.0 <= score <= 1.0
        model.learn_one(sample)


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"n_trees": 0}, "'n_trees' must be from 1 to 10000"), ({"n_trees": 10001}, "'n_trees'"),
        ({"height": 0}, "'height' must be from 1 to 40"), ({"height": 41}, "'height'"),
        ({"window_size": 0}, "'window_size' must be at least 1"),
        ({"limits": {"a": (1.0, 1.0)}}, "the range of 'a' must be two finite numbers"),
        ({"limits": {"a": (0.0, math.inf)}}, "range of 'a'"), ({"limits": {"a": (math.nan, 1.0)}}, "range of 'a'"),
        ({"limits": {"a": (0.0, 5e-324)}}, "range of 'a'"),
    ],
)
def test_unusable_settings_raise_value_error(kwargs, message):
    with pytest.raises(ValueError, match=message):
        HST(**kwargs)


def test_bad_limits_and_samples_raise_type_error():
    for limits in ({"a": (0.0,)}, {"a": "01"}, {1: (0.0, 1.0)}, [("a", (0.0, 1.0))]):
        with pytest.raises(TypeError):
            HST(limits=limits)
    model = HST()
    for bad in ({"a": "x"}, {1: 1.0}, None, [("a", 1.0)]):
        with pytest.raises(TypeError):
            model.score_one(bad)
        with pytest.raises(TypeError):
            model.learn_one(bad)
    with pytest.raises(TypeError):
        model.learn_one(x={"a": 1.0})  # positional only, as the learners'


@pytest.mark.parametrize("stop", [40, 100, 333])  # inside the first window, at its end, later
def test_pickled_at_any_point_it_continues_bit_for_bit(stop):
    data = cluster(700, 12, outliers=0.03)
    model = HST(window_size=100, n_trees=6, height=8, seed=7)
    for x in data[:stop]:
        model.learn_one(x)
    again = pickle.loads(pickle.dumps(model))
    assert repr(again) == repr(model) == "HalfSpaceTrees(n_trees=6, height=8, window_size=100, seed=7, limits=None)"
    assert [_step(again, x) for x in data[stop:]] == [_step(model, x) for x in data[stop:]]
    assert again.__getstate__() == model.__getstate__()
    limited = HST(limits={"a": (0.0, 1.0), "é ✓": (-1.0, 2.5)})
    assert repr(limited).endswith("limits={'a': (0.0, 1.0), 'é ✓': (-1.0, 2.5)})")
    assert eval(repr(limited), {"HalfSpaceTrees": HST}).__getstate__() == limited.__getstate__()


# ---------------------------------------------------------------- the batch path


def test_score_many_and_learn_many_equal_the_per_sample_loop():
    rng = np.random.default_rng(4)
    X = rng.normal(size=(3000, 3))
    X[rng.random(X.shape) < 0.05] = np.nan  # absent features
    X[::97] *= 8  # outliers
    rows = [{f"x{j}": float(v) for j, v in enumerate(r) if not np.isnan(v)} for r in X]
    native, loop = HST(window_size=128, seed=3), HST(window_size=128, seed=3)
    scores = batch.score_many(native, X)
    assert scores.tolist() == [_step(loop, x) for x in rows]
    assert native.__getstate__() == loop.__getstate__()
    learnt, by_hand = HST(seed=1), HST(seed=1)
    batch.learn_many(learnt, X)
    for x in rows:
        by_hand.learn_one(x)
    assert learnt.__getstate__() == by_hand.__getstate__()
    assert batch.score_many(learnt, X[:10]).tolist() == [_step(by_hand, x) for x in rows[:10]]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m: batch.learn_many(m, np.ones((3, 2)), np.ones(3)), TypeError, "learns from the features alone"),
        (lambda m: batch.predict_many(m, np.ones((3, 2))), TypeError, "is an anomaly detector; use score_many"),
        (lambda m: batch.prequential(m, np.ones((3, 2)), [0, 0.5, 1]), ValueError, "labels must be whole numbers"),
        (lambda m: batch.prequential(m, np.ones((3, 2)), [0, 1, 0], detector=extra.DDM(), metrics=[object()]),
         TypeError, r"metrics\[0\] \(of type object\) is not a metric"),
        (lambda m: batch.score_many(extra.MeanRegressor(), np.ones((3, 2))), TypeError, "not an anomaly detector"),
        (lambda m: batch.score_many(m, np.ones(3)), ValueError, "X must be 2-D"),
        (lambda m: batch.score_many(m, np.ones((3, 2)), columns=["a"]), ValueError, "columns: 1 names for 2"),
    ],
)
def test_the_batch_refuses_what_an_anomaly_detector_cannot_do(call, error, message):
    model = HST()
    before = model.__getstate__()
    with pytest.raises(error, match=message):
        call(model)
    assert model.__getstate__() == before


# ---------------------------------------------------------------- ROCAUC


def brute_auc(pairs):
    positives = [s for y, s in pairs if y]
    negatives = [s for y, s in pairs if not y]
    if not positives or not negatives:
        return 0.5
    wins = sum(Fraction(1) if p > n else Fraction(1, 2) if p == n else Fraction(0)
               for p in positives for n in negatives)
    return float(wins / (len(positives) * len(negatives)))


@pytest.mark.parametrize("window", [0, 1, 7, 60])
@pytest.mark.parametrize("seed", [0, 1])
def test_roc_auc_is_exact_at_every_update(window, seed):
    rng = random.Random(seed)
    metric = extra.ROCAUC(window)
    pairs = []
    for i in range(400):
        y = rng.random() < 0.3 + 0.4 * (i // 200)
        score = rng.choice([round(rng.gauss(y, 1), 1), -0.0, 0.0, math.inf, -math.inf])  # ties, signed zeros
        metric.update(rng.choice([1, 2, -1]) if y else 0, score)  # any non-zero label is positive
        pairs.append((y, score))
        assert metric.get() == brute_auc(pairs[-window:] if window else pairs), i
        assert metric.size == len(pairs[-window:] if window else pairs)


def test_roc_auc_round_trips_and_refuses_what_it_cannot_rank():
    for window in (0, 5):
        metric = extra.ROCAUC(window)
        for i in range(30):
            metric.update(i % 3 == 0, float(i % 7))
        again = pickle.loads(pickle.dumps(metric))
        assert again.get() == metric.get() and again.__getstate__() == metric.__getstate__()
        before = metric.__getstate__()
        with pytest.raises(ValueError, match="the score must be a number, got NaN"):
            metric.update(1, math.nan)
        assert metric.__getstate__() == before
        metric.reset()
        assert (metric.get(), metric.size) == (0.5, 0)
    with pytest.raises(ValueError, match="'window_size' must be at least 0"):
        extra.ROCAUC(-1)


# ---------------------------------------------------------------- evaluation on a labelled stream


def labelled(n: int, seed: int) -> tuple[np.ndarray, np.ndarray]:
    """A cluster with 2% outliers, labelled 1."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 3))
    y = (rng.random(n) < 0.02).astype(int)
    X[y == 1] = rng.uniform(3.5, 6.0, size=(int(y.sum()), 3)) * rng.choice([-1, 1], size=(int(y.sum()), 3))
    return X, y


@pytest.mark.parametrize("detector", [None, lambda: extra.PageHinkley(threshold=5.0), lambda: extra.HDDM_A()])
def test_every_evaluation_path_scores_before_learning(detector):
    """batch.prequential (native scores, metrics fed after each chunk), evaluate.prequential over
    dicts and a loop by hand agree on every score, curve point and drift."""
    from tarvo.evaluate import default_metrics, prequential

    X, y = labelled(3000, 1)
    fast, scores = batch.prequential(HST(seed=2), X, y, every=500, predictions=True, progress=False,
                                     detector=detector() if detector else None)
    rows = [({f"x{j}": float(v) for j, v in enumerate(r)}, int(label)) for r, label in zip(X, y)]
    slow = prequential(HST(seed=2), rows, default_metrics("anomaly"), every=500, progress=False,
                       detector=detector() if detector else None)
    by_hand, auc, window_auc = HST(seed=2), extra.ROCAUC(), extra.ROCAUC(1000)
    for (x, label), score in zip(rows, scores):
        assert _step(by_hand, x) == score
        auc.update(label, score)
        window_auc.update(label, score)
    assert fast.task == slow.task == "anomaly" and fast.first_scored == slow.first_scored == 1
    assert fast.steps == slow.steps == [500, 1000, 1500, 2000, 2500, 3000]
    assert fast.curve == slow.curve and fast.drifts == slow.drifts
    assert fast.final == {"roc_auc": auc.get(), "window_roc_auc": window_auc.get()}
    # The first window's rows all score 0.0, its anomalies below every later normal row.
    assert fast.final["roc_auc"] > 0.85 and fast.final["window_roc_auc"] > 0.98
    if detector is not None:
        assert fast.drifts  # the scores leave 0.0 once the first window ends

