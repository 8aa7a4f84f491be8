"""Prequential evaluation against a hand-written test-then-train loop, metric wiring and drift records."""

from __future__ import annotations

import json

import pytest

import _tarvo_core
from tarvo.evaluate import PrequentialResult, Windowed, default_metrics, prequential
from tarvo.stream import SEA, Friedman

from conftest import gaussian_stream


class ScriptedDetector:
    """Records every value and reports a drift on the given update numbers (1-based)."""

    def __init__(self, at=()):
        self.at = set(at)
        self.values = []
        self.drift_detected = False

    def update(self, value):
        self.values.append(value)
        self.drift_detected = len(self.values) in self.at


class MeanRegressor:
    """A learner written in Python: predicts the mean of the targets learnt so far."""

    def __init__(self):
        self.n, self.mean = 0, 0.0

    def learn_one(self, x, y):
        self.n += 1
        self.mean += (y - self.mean) / self.n

    def predict_one(self, x):
        return self.mean


class Recorder:
    """A metric written in Python: accuracy, recording the predictions it is given."""

    def __init__(self):
        self.seen = []
        self.correct = 0

    def update(self, y_true, y_pred):
        self.seen.append(y_pred)
        self.correct += y_true == y_pred

    def get(self):
        return self.correct / len(self.seen) if self.seen else 0.0


def hand_loop(model, stream, every):
    """Test-then-train written out: cumulative accuracy read every ``every`` samples."""
    correct = n = 0
    steps, curve, predictions = [], [], []
    for x, y in stream:
        trained = n > 0
        y_pred = model.predict_one(x)
        model.learn_one(x, y)
        n += 1
        if trained:
            predictions.append(y_pred)
            correct += y_pred == y
        if n % every == 0:
            steps.append(n)
            curve.append(correct / max(1, len(predictions)))
    return steps, curve, predictions


def test_matches_a_hand_written_loop():
    stream = list(gaussian_stream(2_345, seed=3))
    recorder = Recorder()
    result = prequential(_tarvo_core.NaiveBayes(), stream, {"accuracy": recorder}, every=500, progress=False)
    steps, curve, predictions = hand_loop(_tarvo_core.NaiveBayes(), stream, 500)
    assert result.steps == [*steps, 2_345]
    assert result.curve["accuracy"][:-1] == curve
    assert recorder.seen == predictions  # the untrained first answer is not scored, every later one is
    assert result.final["accuracy"] == sum(p == y for p, (_, y) in zip(predictions, stream[1:])) / 2_344
    assert result.n_samples == 2_345
    assert result.task == "classification" and result.model == "NaiveBayes"
    assert result.elapsed > 0 and result.samples_per_second == pytest.approx(2_345 / result.elapsed)


def test_native_metrics_match_the_hand_loop():
    stream = list(gaussian_stream(3_000, seed=4))
    result = prequential(_tarvo_core.NaiveBayes(), stream, default_metrics("classification", 250), every=1000,
                         progress=False)
    steps, curve, predictions = hand_loop(_tarvo_core.NaiveBayes(), stream, 1000)
    assert result.curve["accuracy"] == pytest.approx(curve)
    pairs = list(zip([y for _, y in stream[1:]], predictions))
    recent = pairs[-250:]
    assert result.final["window_accuracy"] == pytest.approx(sum(t == p for t, p in recent) / 250)
    f1 = _tarvo_core.MacroF1()
    for t, p in pairs:
        f1.update(t, p)
    assert result.final["macro_f1"] == f1.get()


def test_window_metric_gets_the_prediction_first_and_views_share_it():
    calls = []

    class RecordingWindow(_tarvo_core.WindowMetric):
        def update(self, predicted, actual):
            calls.append((predicted, actual))
            super().update(predicted, actual)

    class LastLabel:
        """Predicts the label learnt last (0 at first): right only on the first of alternating labels."""

        label = 0

        def learn_one(self, x, y):
            self.label = y

        def predict_one(self, x):
            return self.label

    window = RecordingWindow(50)
    stream = [({"a": float(i % 3)}, i % 2) for i in range(40)]
    result = prequential(LastLabel(), stream, {"acc": Windowed(window, 0), "f1": Windowed(window, 1)}, progress=False)
    assert len(calls) == 40  # one update per sample for both views
    assert calls[5] == (stream[4][1], stream[5][1])
    assert result.final["acc"] == window.get(0) == 1 / 40


def test_detector_gets_errors_and_drifts_are_sample_numbers():
    stream = SEA(300, concepts=(1,), noise=0.0, seed=1)
    detector = ScriptedDetector(at=(10, 150))
    model = _tarvo_core.NaiveBayes()
    result = prequential(model, stream, None, detector=detector, progress=False)
    assert result.drifts == [11, 151]  # sample 1 only trains the fresh model: the detector starts at 2
    assert result.first_scored == 2
    assert set(detector.values) <= {0.0, 1.0} and len(detector.values) == 299
    assert result.curve == {} and result.steps == [300]

    regression = Friedman(200, noise=0.0, seed=2)
    detector = ScriptedDetector()
    rows = list(regression)
    result = prequential(MeanRegressor(), rows, {"mae": _tarvo_core.MAE()}, detector=detector, progress=False)
    assert result.task == "regression"
    assert len(detector.values) == 200 and result.first_scored == 1  # a regressor is scored from its first sample
    assert detector.values[0] == abs(rows[0][1])
    assert result.final["mae"] == pytest.approx(sum(detector.values) / 200)


def test_trained_model_is_scored_from_the_first_sample():
    stream = list(gaussian_stream(100, seed=5))
    model = _tarvo_core.NaiveBayes()
    for x, y in stream:
        model.learn_one(x, y)
    acc = Recorder()
    prequential(model, stream, [acc], progress=False)
    assert len(acc.seen) == 100


@pytest.mark.parametrize(
    ("n", "every", "max_samples", "steps"),
    [(10, 3, None, [3, 6, 9, 10]), (10, 5, None, [5, 10]), (10, 4, 6, [4, 6]), (10, 1, 2, [1, 2]), (0, 5, None, [0]),
     (10, 5, 0, [0])],
)
def test_curve_steps_and_sample_limit(n, every, max_samples, steps):
    stream = list(gaussian_stream(n, seed=6))
    result = prequential(_tarvo_core.NaiveBayes(), stream, [_tarvo_core.Accuracy()], every=every,
                         max_samples=max_samples, progress=False)
    assert result.steps == steps
    assert result.n_samples == steps[-1]
    assert len(result.curve["Accuracy"]) == len(steps)


def test_sequence_metrics_are_named_by_class_and_made_unique():
    result = prequential(_tarvo_core.NaiveBayes(), gaussian_stream(20, seed=1),
                         [_tarvo_core.Accuracy(), _tarvo_core.Accuracy(), _tarvo_core.MacroF1()], progress=False)
    assert list(result.final) == ["Accuracy", "Accuracy_2", "MacroF1"]
    assert result.final["Accuracy"] == result.final["Accuracy_2"]


@pytest.mark.parametrize(("kwargs", "fragment"), [({"every": 0}, "every"), ({"max_samples": -1}, "max_samples")])
def test_bad_arguments(kwargs, fragment):
    with pytest.raises(ValueError, match=fragment):
        prequential(_tarvo_core.NaiveBayes(), [], None, progress=False, **kwargs)


def test_default_metrics():
    metrics = default_metrics("classification", 100)
    assert list(metrics) == ["accuracy", "macro_f1", "window_accuracy"]
    assert isinstance(metrics["window_accuracy"], Windowed) and metrics["window_accuracy"].which == 0
    assert repr(metrics["window_accuracy"].metric) == "WindowMetric(window_size=100)"
    assert list(default_metrics("regression")) == ["mae", "rmse", "r2", "window_mae"]


def test_result_serialises_to_json():
    result = PrequentialResult("m", "classification", 10, 0.5, {"a": 0.5}, [5, 10], {"a": [0.4, 0.5]}, [7])
    doc = json.loads(json.dumps(result.to_dict()))
    assert doc["curve"] == {"step": [5, 10], "a": [0.4, 0.5]}
    assert doc["samples_per_second"] == 20.0 and doc["drifts"] == [7]
