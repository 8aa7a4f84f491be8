"""Delayed labels in prequential evaluation: when each label is learnt and scored, the curve, and
the per-sample and batch paths giving the same result."""

from __future__ import annotations

import json
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

from tarvo import (ADWIN, HoeffdingAdaptiveTreeClassifier, HoeffdingTreeClassifier, HoeffdingTreeRegressor,
                   NaiveBayes)
from tarvo import batch
from tarvo.evaluate import default_metrics, prequential

from conftest import gaussian_stream


class Counter:
    """Predicts how many samples it has learnt; records the order it learnt them in."""

    def __init__(self):
        self.order = []

    def learn_one(self, x, y):
        self.order.append(x["i"])

    def predict_one(self, x):
        return float(len(self.order))


class Scores:
    """A metric recording every (label, prediction) it is given; ``get`` is their count."""

    def __init__(self):
        self.pairs = []

    def update(self, y_true, y_pred):
        self.pairs.append((y_true, y_pred))

    def get(self):
        return float(len(self.pairs))


class Drifts:
    def __init__(self, at):
        self.at, self.n, self.drift_detected = set(at), 0, False

    def update(self, value):
        self.n += 1
        self.drift_detected = self.n in self.at


def test_worked_example_each_label_arrives_its_delay_after_its_sample():
    # Sample t's label arrives right after sample t + delay[t] is predicted: 0 -> 2, 1 -> 1, 2 -> 5,
    # 3 -> 3, 4 -> 4, and sample 5's (due at 6) when the stream ends.
    stream = [({"i": t}, 10.0 * t) for t in range(6)]
    model, scores = Counter(), Scores()
    result = prequential(model, stream, {"n": scores}, every=2, progress=False, delay=[2, 0, 3, 0, 0, 1],
                         detector=Drifts(at={2, 6}))
    assert model.order == [1, 0, 3, 4, 2, 5]
    # each prediction counts the labels arrived before its sample: 0, 0, 1, 2, 3, 4
    assert scores.pairs == [(10.0, 0.0), (0.0, 0.0), (30.0, 2.0), (40.0, 3.0), (20.0, 1.0), (50.0, 4.0)]
    assert result.steps == [2, 4, 6] and result.curve["n"] == [1.0, 3.0, 6.0]  # the last point after the late label
    assert result.drifts == [3, 6]  # the samples arrived when the detector fired (the second at the end)
    assert result.first_scored == 1 and result.n_samples == 6


def test_samples_predicted_before_a_fresh_classifier_learns_are_not_scored():
    scores = Scores()
    stream = list(gaussian_stream(50, seed=3))
    result = prequential(NaiveBayes(), stream, {"n": scores}, progress=False, delay=3)
    assert result.first_scored == 5 and len(scores.pairs) == 46
    assert [y for y, _ in scores.pairs] == [y for _, y in stream[4:]]


@pytest.mark.parametrize("make", [lambda: HoeffdingTreeClassifier(grace_period=20), NaiveBayes])
def test_zero_delays_are_no_delay_bit_for_bit(make):
    stream = list(gaussian_stream(600, seed=5))
    plain, zeros = make(), make()
    a = prequential(plain, stream, default_metrics("classification"), every=50, detector=ADWIN(0.1), progress=False)
    b = prequential(zeros, stream, default_metrics("classification"), every=50, detector=ADWIN(0.1), progress=False,
                    delay=[0] * len(stream))
    assert (a.steps, a.curve, a.drifts, a.first_scored) == (b.steps, b.curve, b.drifts, b.first_scored)
    assert pickle.dumps(plain) == pickle.dumps(zeros)


def _arrays(n, regression, seed=2):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 4))
    X[rng.random((n, 4)) < 0.05] = np.nan  # absent features
    y = X[:, 0] * 2 + np.nan_to_num(X[:, 1]) if regression else (np.nan_to_num(X[:, 0]) > 0).astype(int)
    return X, np.nan_to_num(y)


@pytest.mark.parametrize("make, regression, delay", [
    (lambda: HoeffdingAdaptiveTreeClassifier(grace_period=50), False, 7),
    (lambda: HoeffdingAdaptiveTreeClassifier(grace_period=50), False, "rows"),
    (lambda: HoeffdingTreeRegressor(grace_period=50), True, "rows"),
    (lambda: HoeffdingTreeRegressor(grace_period=50), True, 1),
])
def test_batch_and_per_sample_paths_agree(make, regression, delay):
    n = 1500
    X, y = _arrays(n, regression)
    if delay == "rows":
        delay = np.random.default_rng(9).integers(0, 40, n)
    task = "regression" if regression else "classification"
    native = make()
    a, predicted = batch.prequential(native, X, y, every=100, delay=delay, predictions=True)
    rows = [({f"x{j}": float(v) for j, v in enumerate(row) if not np.isnan(v)}, t.item()) for row, t in zip(X, y)]
    loop = make()
    b = prequential(loop, rows, default_metrics(task), every=100, detector=ADWIN(0.002), progress=False,
                    delay=delay if isinstance(delay, int) else delay.tolist())
    assert (a.steps, a.curve, a.drifts, a.first_scored) == (b.steps, b.curve, b.drifts, b.first_scored)
    assert pickle.dumps(native) == pickle.dumps(loop)
    assert len(predicted) == n


BAD_DELAYS = [
    (-1, ValueError, "at least 0"),
    (1.5, TypeError, "delay must be a number of rows"),
    ("3", TypeError, "delay must be a number of rows"),
    ([1, 2], ValueError, "2 delays for 20 rows"),
    ([0.5] * 20, ValueError, "delay[0]"),
    ([0] * 19 + [-2], ValueError, "delay[19]"),
    (np.zeros((20, 1)), ValueError, "1-D"),
]


@pytest.mark.parametrize("delay, error, words", BAD_DELAYS)
def test_bad_delays_are_refused_naming_delay(delay, error, words):
    X, y = _arrays(20, False)
    with pytest.raises(error, match=words.replace("[", r"\[").replace("]", r"\]")):
        batch.prequential(NaiveBayes(), X, y, delay=delay)
    rows = [({"a": float(v)}, int(t)) for v, t in zip(X[:, 0], y)]
    if words.endswith("rows") and "delays" in words:
        return  # a stream's length is not known before it ends
    with pytest.raises(error, match=words.replace("[", r"\[").replace("]", r"\]")):
        prequential(NaiveBayes(), rows, None, progress=False, delay=delay)


def _cli(*args, cwd):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-m", "tarvo", "evaluate", "--no-progress", *args], capture_output=True,
                          text=True, env=env, cwd=cwd, timeout=300)


def test_the_command_line_takes_a_delay_or_a_column_of_delays(tmp_path):
    X, y = _arrays(400, False)
    delays = np.random.default_rng(4).integers(0, 30, 400)
    lines = ["a,b,late,label"] + [f"{float(X[i, 0])!r},{float(X[i, 2])!r},{delays[i]},{y[i]}".replace("nan", "")
                                  for i in range(400)]
    (tmp_path / "d.csv").write_text("\n".join(lines) + "\n")
    done = _cli("--model", "NaiveBayes", "--data", "d.csv", "--target", "label", "--delay", "late", "--json",
                "out.json", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "each label late by its row's 'late' samples" in done.stdout
    report = json.loads((tmp_path / "out.json").read_text())
    rows = [({k: v for k, v in (("a", X[i, 0]), ("b", X[i, 2])) if not np.isnan(v)}, int(y[i])) for i in range(400)]
    expected = prequential(NaiveBayes(), rows, default_metrics("classification"), every=4, progress=False,
                           detector=ADWIN(0.002), delay=delays.tolist())
    assert report["results"][0]["final"] == expected.final and report["delay"] == {"column": "late"}
    assert "late" not in report["results"][0]["repr"]
    fixed = _cli("--model", "NaiveBayes", "--data", "sea", "--samples", "3000", "--delay", "50", cwd=tmp_path)
    assert fixed.returncode == 0 and "labels 50 samples late" in fixed.stdout
    for args, words in [(("--data", "sea", "--delay", "late"), "a column of delays needs a CSV file"),
                        (("--data", "sea", "--delay", "-3"), "--delay must be at least 0"),
                        (("--data", "d.csv", "--target", "label", "--delay", "lat"), "did you mean late"),
                        (("--data", "d.csv", "--target", "label", "--delay", "a"), "delay must be a whole number")]:
        wrong = _cli("--model", "NaiveBayes", *args, cwd=tmp_path)
        assert wrong.returncode == 2 and words in wrong.stderr and wrong.stderr.count("\n") == 1, wrong.stderr
