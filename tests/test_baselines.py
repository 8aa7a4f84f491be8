"""The baselines NoChangeClassifier, MajorityClassClassifier and MeanRegressor: worked streams,
their answers before any label and their tie rule, and their place among the learners."""

from __future__ import annotations

import random

import numpy as np
import pytest

import _tarvo_core as core
import _tarvo_extra as extra
from tarvo import batch
from tarvo.cli import main
from tarvo.evaluate import default_metrics, prequential

LABELS = [3, 1, 3, 1, 2, 1, 3, -2**31, 2**31 - 1]

# (class, the prediction before each label of LABELS is learnt, the probabilities after the last)
WORKED = [
    (extra.NoChangeClassifier, [0, 3, 1, 3, 1, 2, 1, 3, -2**31],
     {-2**31: 0.0, 1: 0.0, 2: 0.0, 3: 0.0, 2**31 - 1: 1.0}),
    # 3 | 3 and 1 tie: the smaller | 3 leads | 1 and 3 tie | 1 and 3 tie, 2 behind | 1 | 1 and 3 tie | the same
    (extra.MajorityClassClassifier, [0, 3, 1, 3, 1, 1, 1, 1, 1],
     {-2**31: 1 / 9, 1: 3 / 9, 2: 1 / 9, 3: 3 / 9, 2**31 - 1: 1 / 9}),
]


@pytest.mark.parametrize("cls, before, proba", WORKED, ids=["NoChange", "MajorityClass"])
def test_worked_label_stream(cls, before, proba):
    model = cls()
    assert model.predict_proba_one({}) == {}  # nothing learnt: no probabilities
    seen = []
    for y in LABELS:
        seen.append(model.predict_one({"a": float(y)}))
        model.learn_one({"a": 1.0}, y)
    assert seen == before
    assert model.predict_proba_one({"z": 5.0}) == proba


def test_mean_regressor_worked_stream():
    model = extra.MeanRegressor()
    seen = []
    for y in [1.0, 2.0, 6.0, -9.0]:
        seen.append(model.predict_one({}))
        model.learn_one({"a": y}, y)
    assert seen == [0.0, 1.0, 1.5, 3.0] and model.predict_one({"b": 1.0}) == 0.0


def _samples(n, seed):
    rng = random.Random(seed)
    return [({f"f{j}": rng.gauss(0, 1) for j in range(rng.randrange(4))}, rng.randrange(-1, 4), rng.gauss(5, 2))
            for _ in range(n)]


BASELINES = [
    (extra.NoChangeClassifier, "classification"),
    (extra.MajorityClassClassifier, "classification"),
    (extra.MeanRegressor, "regression"),
]


@pytest.mark.parametrize("cls, task", BASELINES, ids=lambda v: getattr(v, "__name__", v))
def test_the_features_change_nothing_and_reset_starts_afresh(cls, task):
    """Answers depend on the targets alone: any sample gets the answer of an empty one."""
    model = cls()
    data = _samples(300, 1)
    for x, label, target in data:
        answer = model.predict_one({})
        assert all(model.predict_one(other) == answer for other, _, _ in data[:5])
        model.learn_one(x, label if task == "classification" else target)
    state = model.__getstate__()
    used = cls()
    for x, label, target in data[:50]:
        used.learn_one(x, label if task == "classification" else target)
    used.reset()
    for x, label, target in data:
        used.learn_one({}, label if task == "classification" else target)
    assert used.__getstate__() == state


@pytest.mark.parametrize("cls, task", BASELINES, ids=lambda v: getattr(v, "__name__", v))
def test_batch_runs_them_natively_bit_for_bit(cls, task):
    rng = np.random.default_rng(3)
    X = rng.normal(size=(2000, 3))
    X[rng.random(X.shape) < 0.1] = np.nan
    y = rng.integers(-1, 3, 2000) if task == "classification" else rng.normal(size=2000) * 3
    native = cls()
    result, predicted = batch.prequential(native, X, y, every=500, predictions=True, progress=False)
    by_hand = cls()
    expected = []
    for row, target in zip(X, y):
        x = {f"x{j}": float(v) for j, v in enumerate(row) if not np.isnan(v)}
        expected.append(by_hand.predict_one(x))
        by_hand.learn_one(x, target.item())
    assert predicted.tolist() == expected
    assert native.__getstate__() == by_hand.__getstate__()
    loop = prequential(cls(), [(dict(zip(["x0", "x1", "x2"], map(float, r))), t.item()) for r, t in zip(X, y)],
                       default_metrics(task), every=500, progress=False)
    # NaN cells are absent features to the batch, but the baselines ignore every feature anyway.
    assert loop.curve == result.curve and loop.drifts == result.drifts


@pytest.mark.parametrize("name", ["NoChangeClassifier", "MajorityClassClassifier", "MeanRegressor"])
def test_the_command_line_offers_them(capsys, name):
    data = "friedman" if name == "MeanRegressor" else "sea"
    assert main(["evaluate", "--no-progress", "--model", name, "--data", data, "--samples", "300", "--no-drift"]) == 0
    assert name in capsys.readouterr().out


def test_majority_class_is_the_floor_on_an_imbalanced_stream():
    """On a stream with a 90% class and labels unrelated to the features, the majority baseline's
    accuracy is the share of that class, and the no-change baseline's about 0.9^2 + 0.1^2."""
    rng = np.random.default_rng(7)
    X = rng.normal(size=(20000, 2))
    y = (rng.random(20000) < 0.1).astype(int)
    majority = batch.prequential(extra.MajorityClassClassifier(), X, y, progress=False).final["accuracy"]
    no_change = batch.prequential(extra.NoChangeClassifier(), X, y, progress=False).final["accuracy"]
    assert majority == pytest.approx(1 - y[1:].mean(), abs=1e-3)
    assert no_change == pytest.approx(0.82, abs=0.01)
