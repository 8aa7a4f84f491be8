"""SGTClassifier: a logit tree grown from gradient statistics."""

from __future__ import annotations

import math
import random

import pytest

from _tarvo_core import IClassifier, SGTClassifier
from conftest import assert_reset_replays_fresh


def separable_stream(n: int, seed: int, labels=(0, 1), noise: float = 0.0):
    """The label is 1 when feature "a" exceeds 0.5; "b" and "c" are noise."""
    rng = random.Random(seed)
    for _ in range(n):
        x = {"a": rng.random(), "b": rng.random(), "c": rng.gauss(0.0, 1.0)}
        positive = (x["a"] > 0.5) != (rng.random() < noise)
        yield x, labels[1] if positive else labels[0]


def sigmoid(v: float) -> float:
    return 1.0 / (1.0 + math.exp(-v))


LOW, HIGH = {"a": 0.1, "b": 0.5, "c": 0.0}, {"a": 0.9, "b": 0.5, "c": 0.0}


def test_untrained_answers_and_interface():
    sgt = SGTClassifier()
    assert isinstance(sgt, IClassifier)
    assert sgt.predict_one({"a": 1.0}) == 1
    assert sgt.predict_proba_one({}) == {1: 0.5, 0: 0.5}
    assert (sgt.learning_rate, sgt.lambda_, sgt.grace_period, sgt.max_depth) == (0.1, 0.1, 200, 6)


@pytest.mark.parametrize("label, target", [(1, 1.0), (7, 1.0), (0, 0.0), (-3, 0.0)])
def test_one_newton_step_on_the_accumulated_sums(label, target):
    sgt = SGTClassifier()
    sgt.learn_one({"a": 1.0}, label)
    g, h = 0.5 - target, 0.25
    value = -0.1 * g / (h + 0.1)
    assert sgt.predict_proba_one({"a": 5.0}) == {1: sigmoid(value), 0: 1.0 - sigmoid(value)}
    assert sgt.predict_one({}) == (1 if value >= 0 else 0)
    # The second step uses the sums of both samples, from the updated logit.
    p = sigmoid(value)
    g2, h2 = g + p - target, h + p * (1 - p)
    sgt.learn_one({"a": 1.0}, label)
    assert sgt.predict_proba_one({})[1] == pytest.approx(sigmoid(value - 0.1 * g2 / (h2 + 0.1)), rel=1e-15)


def test_no_regularisation_step_when_the_denominator_is_not_positive():
    sgt = SGTClassifier(lambda_=-0.25)  # the first hessian is 0.25
    sgt.learn_one({"a": 1.0}, 1)
    assert sgt.predict_proba_one({}) == {1: 0.5, 0: 0.5}


def test_first_split_attempt_at_the_grace_period():
    sgt = SGTClassifier()
    stream = list(separable_stream(400, seed=1))
    for i, (x, y) in enumerate(stream[:200], start=1):
        sgt.learn_one(x, y)
        if i < 200:
            assert sgt.predict_proba_one(LOW) == sgt.predict_proba_one(HIGH), i
    # The 200th sample split the root on "a": the two sides now answer differently.
    assert sgt.predict_proba_one(LOW)[1] < 0.5 < sgt.predict_proba_one(HIGH)[1]


@pytest.mark.parametrize("max_depth, leaves", [(0, 1), (1, 2), (2, 4)])
def test_leaves_at_max_depth_never_split(max_depth, leaves):
    sgt = SGTClassifier(grace_period=50, max_depth=max_depth)
    for x, y in separable_stream(5000, seed=2, noise=0.1):
        sgt.learn_one(x, y)
    grid = [{"a": a / 40, "b": b / 10, "c": c - 2.0} for a in range(41) for b in range(11) for c in range(5)]
    assert len({sgt.predict_proba_one(x)[1] for x in grid}) <= leaves


@pytest.mark.parametrize("labels", [(0, 1), (-1, 4)])
def test_splits_on_the_separating_feature_and_beats_a_single_leaf(labels):
    sgt, stump = SGTClassifier(), SGTClassifier(max_depth=0)
    correct = {id(sgt): 0, id(stump): 0}
    for i, (x, y) in enumerate(separable_stream(6000, seed=3, labels=labels, noise=0.05)):
        for model in (sgt, stump):
            if i >= 3000:
                correct[id(model)] += (model.predict_one(x) == 1) == (y > 0)
            model.learn_one(x, y)
    assert correct[id(sgt)] / 3000 > 0.9
    assert correct[id(stump)] / 3000 < 0.6


def test_property_writes_apply_to_the_next_call_and_survive_reset():
    a, b = SGTClassifier(), SGTClassifier(learning_rate=0.5)
    a.learning_rate = 0.5
    a.reset()
    assert a.learning_rate == 0.5
    for x, y in separable_stream(1000, seed=4):
        assert a.predict_proba_one(x) == b.predict_proba_one(x)
        a.learn_one(x, y)
        b.learn_one(x, y)


def test_reset_repeats_a_fresh_model():
    stream = list(separable_stream(2000, seed=5, noise=0.1))
    assert_reset_replays_fresh(lambda: SGTClassifier(grace_period=50), stream)


@pytest.mark.parametrize(
    "settings",
    [dict(learning_rate=float("nan")), dict(lambda_=float("inf")), dict(lambda_=-1e300),
     dict(learning_rate=1e308), dict(grace_period=-1), dict(grace_period=-(2**31)),
     dict(grace_period=0), dict(max_depth=2**31 - 1)],
)
def test_hostile_settings_and_values_never_crash(settings):
    sgt = SGTClassifier(**settings)
    values = [float("nan"), float("inf"), -float("inf"), 1e308, -1e308, 5e-324, 0.0]
    rng = random.Random(6)
    for i in range(600):
        x = {"a": rng.choice(values) if i % 5 == 0 else rng.random(), "b": rng.random()}
        sgt.learn_one(x, rng.randrange(-2, 3))
        assert sgt.predict_one(x) in (0, 1)
        assert set(sgt.predict_proba_one(x)) == {0, 1}
