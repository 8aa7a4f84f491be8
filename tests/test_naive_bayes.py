"""NaiveBayes: untrained answers, the likelihood floor, and a closed-form check."""

from __future__ import annotations

import math
import statistics

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _tarvo_core import NaiveBayes

from conftest import gaussian_stream

FLOOR = 1e-300


def test_fresh_model_answers_fixed_values():
    nb = NaiveBayes()
    assert nb.predict_one({"a": 1.0}) == -1
    assert nb.predict_proba_one({"a": 1.0}) == {}


def test_one_sample_predicts_its_label_everywhere():
    nb = NaiveBayes()
    nb.learn_one({"a": 1.0}, 3)
    for x in ({}, {"a": 1.0}, {"a": -1e9}, {"zzz": 4.0}):
        assert nb.predict_one(x) == 3
        assert nb.predict_proba_one(x) == {3: 1.0}


def test_sample_without_features_scores_by_prior_alone():
    nb = NaiveBayes()
    nb.learn_one({}, 7)
    nb.learn_one({}, 7)
    nb.learn_one({"a": 0.0}, 8)
    nb.learn_one({"a": 2.0}, 8)
    nb.learn_one({"a": 4.0}, 8)
    # Label 7 has no statistics at all: its score is its prior (2/5) whatever x holds.
    proba = nb.predict_proba_one({"a": 100.0})
    like8 = math.exp(-0.5 * 98.0**2 / 4.0) / math.sqrt(2 * math.pi * 4.0)
    p7, p8 = 2 / 5, 3 / 5 * max(like8, FLOOR)
    assert proba[7] == pytest.approx(p7 / (p7 + p8))
    assert nb.predict_one({"a": 100.0}) == 7
    # Even at class 8's mean its density (0.1995) times 3/5 stays below 7's bare prior.
    assert nb.predict_one({"a": 2.0}) == 7
    assert nb.predict_proba_one({"a": 2.0})[7] == pytest.approx(0.4 / (0.4 + 0.6 / math.sqrt(8 * math.pi)))


def test_zero_variance_gives_one_to_the_exact_value_and_floor_elsewhere():
    nb = NaiveBayes()
    for _ in range(3):
        nb.learn_one({"a": 5.0}, 1)
    nb.learn_one({"b": 0.0}, 2)
    nb.learn_one({"b": 1.0}, 2)
    # Class 1: prior 3/5, likelihood of a=5 is exactly 1; class 2 knows nothing of "a".
    assert nb.predict_proba_one({"a": 5.0}) == pytest.approx({1: 0.6, 2: 0.4})
    # Anything else than 5.0 gets the floor.
    proba = nb.predict_proba_one({"a": 5.000001})
    assert proba[1] == pytest.approx(0.6 * FLOOR / (0.6 * FLOOR + 0.4))


def test_feature_seen_once_costs_log_floor():
    nb = NaiveBayes()
    nb.learn_one({"b": 0.0}, 1)
    nb.learn_one({}, 1)
    nb.learn_one({}, 2)
    # Equal priors; class 1 has seen "b" once (floored likelihood), class 2 never (no penalty).
    assert nb.predict_one({"b": 0.0}) == 2
    assert nb.predict_one({"c": 0.0}) == 1
    assert nb.predict_proba_one({"b": 0.0}) == pytest.approx({1: FLOOR / (1 + FLOOR), 2: 1.0})


def test_tie_goes_to_label_learnt_first():
    nb = NaiveBayes()
    for label in (5, -2, 9):
        nb.learn_one({}, label)
    assert nb.predict_one({}) == 5
    nb.reset()
    for label in (9, 5, -2):
        nb.learn_one({}, label)
    assert nb.predict_one({}) == 9


def test_underflowing_products_are_normalised_from_the_log_scores():
    nb = NaiveBayes()
    for v in (0.0, 1.0):
        nb.learn_one({"a": v, "b": v}, 0)
        nb.learn_one({"a": v + 10, "b": v + 10}, 1)
    # Both classes sit on the floor twice: equal log-scores, an even split.
    far = {"a": 1e6, "b": 1e6}
    assert nb.predict_proba_one(far) == {0: 0.5, 1: 0.5}
    assert nb.predict_one(far) == 0
    # a = b = 5.6 is closer to class 1: exp of the log-score difference, exactly.
    x = {"a": 5.6, "b": 5.6, "c": 0.0}
    proba = nb.predict_proba_one(x)
    assert nb.predict_one(x) == 1 and proba[1] > proba[0]
    diff = sum(((v - 0.5) ** 2 - (v - 10.5) ** 2) / (2 * 0.5) for v in (5.6, 5.6))
    assert proba[0] == pytest.approx(math.exp(-diff) / (1 + math.exp(-diff)), rel=1e-12)


def test_nan_products_stay_as_the_arithmetic_gives_them():
    nb = NaiveBayes()
    for v in (0.0, 1.0):
        nb.learn_one({"a": v}, 0)
        nb.learn_one({"a": v + 10}, 1)
    assert all(math.isnan(p) for p in nb.predict_proba_one({"a": float("nan")}).values())


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
def test_non_finite_values_are_learnt_without_crashing(bad):
    nb = NaiveBayes()
    nb.learn_one({"a": 0.0}, 0)
    nb.learn_one({"a": 1.0}, 0)
    nb.learn_one({"a": bad}, 1)
    nb.learn_one({"a": 2.0}, 1)
    label = nb.predict_one({"a": 0.5})
    assert label in (0, 1)
    proba = nb.predict_proba_one({"a": bad})
    assert set(proba) == {0, 1}


def test_nan_scores_keep_first_label():
    nb = NaiveBayes()
    for label in (4, 6):
        nb.learn_one({"a": float("nan")}, label)
        nb.learn_one({"a": float("nan")}, label)
    assert nb.predict_one({"a": 1.0}) == 4


def reference_model(stream):
    """The model's definition written out in plain Python."""
    data: dict[int, list[dict[str, float]]] = {}
    for x, y in stream:
        data.setdefault(y, []).append(x)
    n = sum(len(v) for v in data.values())

    def likelihood(values, v):
        if len(values) < 2:
            like = 0.0
        else:
            mean, var = statistics.fmean(values), statistics.variance(values)
            if var <= 0:
                like = 1.0 if v == mean else 0.0
            else:
                like = math.exp(-0.5 * (v - mean) ** 2 / var) / math.sqrt(2 * math.pi * var)
        return max(like, FLOOR)

    def proba(x):
        out = {}
        for c, rows in data.items():
            p = len(rows) / n
            for name, v in x.items():
                values = [r[name] for r in rows if name in r]
                if values:
                    p *= likelihood(values, v)
            out[c] = p
        s = sum(out.values())
        return {c: p / s for c, p in out.items()} if s > 0 else out

    return proba


def test_matches_closed_form_on_small_multiclass_stream():
    stream = [
        ({"x": 1.0, "y": 2.0}, 0), ({"x": 1.5, "y": 1.0}, 0), ({"x": 0.5}, 0),
        ({"x": 4.0, "y": 4.5}, 1), ({"x": 5.0, "y": 3.5}, 1), ({"x": 4.5, "y": 5.0, "z": 1.0}, 1),
        ({"x": -3.0, "y": 0.0}, -2), ({"x": -2.0, "y": 0.5}, -2), ({"x": -2.5, "y": -0.5}, -2),
        ({"x": -2.2, "y": 0.1}, -2),
    ]
    nb = NaiveBayes()
    for x, y in stream:
        nb.learn_one(x, y)
    ref = reference_model(stream)
    for q in ({"x": 1.2, "y": 1.4}, {"x": 4.4}, {"x": -2.4, "y": 0.2, "z": 1.0}, {"y": 3.0}, {}):
        got, want = nb.predict_proba_one(q), ref(q)
        assert got.keys() == want.keys()
        for c in want:
            assert got[c] == pytest.approx(want[c], rel=1e-12, abs=1e-300)
        assert nb.predict_one(q) == max(want, key=want.get)


def test_reset_returns_to_fresh_and_replays_identically():
    stream = list(gaussian_stream(300, seed=1))
    a, b = NaiveBayes(), NaiveBayes()
    for x, y in stream:
        a.learn_one(x, y)
    a.reset()
    assert a.predict_one({"f0": 1.0}) == -1 and a.predict_proba_one({}) == {}
    for x, y in stream:
        a.learn_one(x, y)
        b.learn_one(x, y)
    for x, _ in stream[:50]:
        assert a.predict_one(x) == b.predict_one(x)
        assert a.predict_proba_one(x) == b.predict_proba_one(x)


def test_prediction_does_not_change_state():
    nb = NaiveBayes()
    stream = list(gaussian_stream(100, seed=2))
    for x, y in stream:
        nb.learn_one(x, y)
    before = nb.predict_proba_one(stream[0][0])
    for x, _ in stream:
        nb.predict_one({**x, "new": 1.0})
        nb.predict_proba_one({**x, "new": 1.0})
    assert nb.predict_proba_one(stream[0][0]) == before


def test_learns_separable_gaussians():
    nb = NaiveBayes()
    correct = 0
    for i, (x, y) in enumerate(gaussian_stream(3000, seed=3)):
        if i >= 1000:
            correct += nb.predict_one(x) == y
        nb.learn_one(x, y)
    assert correct / 2000 > 0.9


finite_or_not = st.floats(allow_nan=True, allow_infinity=True)
samples = st.dictionaries(st.sampled_from(["a", "b", "c", "é", ""]), finite_or_not, max_size=4)
labels = st.integers(min_value=-(2**31), max_value=2**31 - 1)


@settings(max_examples=150, deadline=None)
@given(st.lists(st.tuples(samples, labels), max_size=30), samples)
def test_any_stream_gives_an_answer_over_known_labels(stream, query):
    nb = NaiveBayes()
    for x, y in stream:
        nb.learn_one(x, y)
    known = {y for _, y in stream}
    assert nb.predict_one(query) in (known or {-1})
    assert set(nb.predict_proba_one(query)) == known
