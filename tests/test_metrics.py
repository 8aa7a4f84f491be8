"""Cumulative and windowed metrics: worked examples, degenerate inputs and seeded streams."""

from __future__ import annotations

import math
import random
from collections import deque

import pytest

import _tarvo_core as core

CLASSIFICATION = [core.Accuracy, core.MacroPrecision, core.MacroRecall, core.MacroF1]
REGRESSION = [core.MAE, core.RMSE, core.R2]
WINDOWED = [core.WindowMetric, core.WindowRegressionMetric]


@pytest.mark.parametrize("cls", CLASSIFICATION + REGRESSION + WINDOWED)
def test_fresh_and_reset_metrics_are_zero(cls):
    metric = cls()
    assert metric.get() == 0.0
    metric.update(1, 2)
    metric.update(3, 3)
    metric.reset()
    assert metric.get() == 0.0


@pytest.mark.parametrize(
    "cls, stream, expected",
    [
        (core.Accuracy, [(1, 1), (1, 2), (2, 2)], 2 / 3),
        (core.Accuracy, [(-4, -4), (-4, 4)], 0.5),
        (core.MacroPrecision, [(0, 1)], 0.0),
        (core.MacroRecall, [(0, 1)], 0.0),
        (core.MacroF1, [(0, 1)], 0.0),
        (core.MacroRecall, [(0, 0), (0, 1), (1, 1)], 0.75),
        (core.MacroPrecision, [(0, 0), (0, 1), (1, 1)], 0.75),
        (core.MacroF1, [(0, 0), (0, 1), (1, 1)], 2 / 3),
        # A class only ever predicted has recall 0 and still counts in the divisor.
        (core.MacroRecall, [(0, 0), (0, 1)], 0.25),
        # A class only ever true has precision 0 and still counts.
        (core.MacroPrecision, [(-1, -1), (5, -1)], 0.25),
        (core.MacroF1, [(-1, -1), (-1, 5)], (2 / 3 + 0.0) / 2),
    ],
)
def test_classification_examples(cls, stream, expected):
    metric = cls()
    for y_true, y_pred in stream:
        metric.update(y_true, y_pred)
    assert metric.get() == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize(
    "cls, stream, expected",
    [
        (core.MAE, [(3, 1), (1, 2)], 1.5),
        (core.RMSE, [(3, 1), (1, 2)], math.sqrt(2.5)),
        (core.R2, [(5.0, -100.0)], 0.0),
        (core.R2, [(2.0, 1.0), (2.0, 7.0), (2.0, 2.0)], 0.0),
        (core.R2, [(1, 1), (2, 2), (3, 3)], 1.0),
        (core.R2, [(1, 2), (2, 1), (3, 3)], 0.0),
        (core.R2, [(1, 3), (2, 2), (3, 1)], -3.0),
    ],
)
def test_regression_examples(cls, stream, expected):
    metric = cls()
    for y_true, y_pred in stream:
        metric.update(y_true, y_pred)
    assert metric.get() == pytest.approx(expected, abs=1e-15)


@pytest.mark.parametrize(
    "cls, bad, after_bad",
    [
        (core.MAE, (math.inf, 0.0), math.inf),
        (core.RMSE, (0.0, -math.inf), math.inf),
        (core.MAE, (math.nan, 0.0), math.nan),
        (core.R2, (math.nan, 1.0), math.nan),
    ],
)
def test_non_finite_values_propagate(cls, bad, after_bad):
    metric = cls()
    metric.update(1.0, 0.0)
    metric.update(3.0, 0.0)
    metric.update(*bad)
    assert math.isnan(metric.get()) if math.isnan(after_bad) else metric.get() == after_bad
    # The running mean then steps by (finite - inf): NaN from here on.
    metric.update(2.0, 0.0)
    assert math.isnan(metric.get())


def test_keyword_arguments_and_conversion():
    acc = core.Accuracy()
    acc.update(y_pred=3, y_true=3)
    assert acc.get() == 1.0
    with pytest.raises(TypeError):
        acc.update(1.0, 1)
    with pytest.raises(TypeError):
        acc.update(2**31, 1)
    mae = core.MAE()
    mae.update(y_true=1, y_pred=3.5)
    assert mae.get() == 2.5
    wm = core.WindowMetric(window_size=3)
    wm.update(predicted=1, actual=2)
    wm.update(actual=2, predicted=2)
    assert wm.get(metric=0) == 0.5
    with pytest.raises(TypeError):
        wm.update(y_true=1, y_pred=1)


# Independent models, written from the definitions, for the seeded comparisons.

def ref_classification(stream):
    correct = sum(t == p for t, p in stream)
    classes: dict[int, list[int]] = {}
    for t, p in stream:
        classes.setdefault(t, [0, 0, 0])
        classes.setdefault(p, [0, 0, 0])
        if t == p:
            classes[t][0] += 1
        else:
            classes[p][1] += 1
            classes[t][2] += 1

    def macro(score):
        return sum(score(*c) for c in classes.values()) / len(classes)

    return {
        core.Accuracy: correct / len(stream),
        core.MacroPrecision: macro(lambda tp, fp, fn: tp / (tp + fp) if tp + fp else 0.0),
        core.MacroRecall: macro(lambda tp, fp, fn: tp / (tp + fn) if tp + fn else 0.0),
        core.MacroF1: macro(lambda tp, fp, fn: 2 * tp / (2 * tp + fp + fn) if tp + fp + fn else 0.0),
    }


def ref_window_classification(window):
    counts: dict[int, list[int]] = {}
    correct = 0
    for p, a in window:
        if p == a:
            correct += 1
            if p >= 0:
                counts.setdefault(p, [0, 0, 0])[0] += 1
        else:
            if p >= 0:
                counts.setdefault(p, [0, 0, 0])[1] += 1
            if a >= 0:
                counts.setdefault(a, [0, 0, 0])[2] += 1
    total = 0.0
    for label in sorted(counts):  # ascending labels, as the per-class arrays are visited
        tp, fp, fn = counts[label]
        total += 2 * tp / (2 * tp + fp + fn)
    f1 = total / len(counts) if counts else 0.0
    return (correct / len(window) if window else 0.0), f1


def test_classification_metrics_match_model_on_seeded_stream():
    rng = random.Random(3)
    stream = [(rng.choice([0, 1, 2, -7, 40]), rng.choice([0, 1, 2, -7, 99])) for _ in range(3000)]
    metrics = {cls: cls() for cls in CLASSIFICATION}
    for y_true, y_pred in stream:
        for m in metrics.values():
            m.update(y_true, y_pred)
    for cls, expected in ref_classification(stream).items():
        # The macro sums run in hash-map order: equal up to the last bits.
        assert metrics[cls].get() == pytest.approx(expected, rel=1e-14)


def test_regression_metrics_match_model_exactly():
    rng = random.Random(4)
    count = mean_abs = mean_sq = mean_t = m2 = sse = 0.0
    metrics = [core.MAE(), core.RMSE(), core.R2()]
    for _ in range(2000):
        t, p = rng.gauss(3, 10), rng.gauss(3, 12)
        for m in metrics:
            m.update(t, p)
        count += 1
        e = t - p
        mean_abs = mean_abs + (1 / count) * (abs(e) - mean_abs)
        mean_sq = mean_sq + (1 / count) * (e * e - mean_sq)
        delta = t - mean_t
        mean_t = mean_t + (1 / count) * delta
        m2 = m2 + delta * (t - mean_t)
        sse = sse + e * e
    total = (count - 1) * (m2 / (count - 1))
    assert [m.get() for m in metrics] == [mean_abs, math.sqrt(mean_sq), 1 - sse / total]


def test_window_metric_example():
    wm = core.WindowMetric(window_size=2)
    for predicted, actual in [(1, 1), (1, 2), (2, 2)]:
        wm.update(predicted, actual)
    assert wm.size == 2
    assert wm.accuracy() == 0.5
    assert wm.macro_f1() == pytest.approx(1 / 3)
    assert wm.get(1) == wm.macro_f1()
    assert wm.get(0) == wm.get(7) == wm.get(-1) == wm.accuracy()


@pytest.mark.parametrize("size", [0, -1, -(2**31)])
def test_empty_windows_ignore_updates(size):
    for metric in (core.WindowMetric(size), core.WindowRegressionMetric(size)):
        metric.update(1, 1)
        assert metric.size == 0
        assert metric.get(0) == metric.get(1) == 0.0


def test_negative_labels_count_for_accuracy_only():
    wm = core.WindowMetric(10)
    wm.update(-1, -1)
    wm.update(-3, 2)
    assert wm.accuracy() == 0.5
    # Only class 2 counts: fn 1, F1 0.
    assert wm.macro_f1() == 0.0
    wm.update(2, 2)
    assert wm.macro_f1() == pytest.approx(2 / 3)


def test_class_leaving_the_window_stops_counting():
    wm = core.WindowMetric(2)
    wm.update(5, 6)
    wm.update(1, 1)
    assert wm.macro_f1() == pytest.approx(1 / 3)  # classes 1 (F1 1), 5 and 6 (F1 0)
    wm.update(1, 1)
    assert wm.macro_f1() == 1.0


@pytest.mark.parametrize("label", [2_000_000_000, 2**31 - 1, 4096, 4095])
def test_huge_labels_cost_no_array_that_long(probe, label):
    wm = core.WindowMetric(3)
    wm.update(label, label)
    wm.update(label, 0)
    assert wm.macro_f1() == pytest.approx((2 / 3 + 0.0) / 2)
    # Distinct large labels pass through a small window: only those inside are kept.
    pairs = [(label - i, label - i - 1) for i in range(2000)]
    tracked_end, tracked_most, _, f1 = probe.window_metric_tracked(3, pairs)
    assert tracked_most <= 4097 + 6 and tracked_end <= 4097 + 6
    assert f1 == 0.0


def test_window_metric_matches_model_on_seeded_stream():
    rng = random.Random(5)
    labels = [0, 1, 2, 3, -1, -2**31, 5000, 2**31 - 1, 77]
    for size in (1, 7, 50):
        wm = core.WindowMetric(size)
        window: deque = deque(maxlen=size)
        for step in range(600):
            pair = (rng.choice(labels), rng.choice(labels[:5] if step % 3 else labels))
            wm.update(*pair)
            window.append(pair)
            assert (wm.accuracy(), wm.macro_f1()) == ref_window_classification(list(window))
            assert wm.size == len(window)


def test_window_regression_example_and_model():
    wr = core.WindowRegressionMetric(window_size=2)
    for t, p in [(3, 1), (1, 2), (5, 5)]:
        wr.update(t, p)
    assert (wr.mae(), wr.rmse(), wr.size) == (0.5, math.sqrt(0.5), 2)
    assert wr.get(1) == wr.rmse() and wr.get(0) == wr.get(3) == wr.mae()

    rng = random.Random(6)
    wr = core.WindowRegressionMetric(window_size=5)
    window: deque = deque(maxlen=5)
    for _ in range(500):
        t, p = rng.gauss(0, 3), rng.gauss(0, 3)
        wr.update(t, p)
        window.append(abs(t - p))
        assert wr.mae() == pytest.approx(sum(window) / len(window), rel=1e-12)
        assert wr.rmse() == pytest.approx(math.sqrt(sum(e * e for e in window) / len(window)), rel=1e-12)


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_non_finite_error_leaves_the_window_at_the_next_recompute(bad):
    wr = core.WindowRegressionMetric(window_size=2)
    wr.update(bad, 0.0)
    wr.update(1.0, 0.0)  # recompute: the bad entry is still in the window
    assert math.isnan(wr.mae()) or math.isinf(wr.mae())
    wr.update(1.0, 0.0)
    wr.update(1.0, 0.0)  # recompute from the two finite entries
    assert (wr.mae(), wr.rmse()) == (1.0, 1.0)


def test_reset_windowed_metrics_behave_as_fresh():
    rng = random.Random(8)
    pairs = [(rng.randrange(-1, 4), rng.randrange(4)) for _ in range(40)]
    used, fresh = core.WindowMetric(6), core.WindowMetric(6)
    for pair in pairs:
        used.update(*pair)
    used.reset()
    assert used.size == 0
    for pair in pairs[::-1]:
        used.update(*pair)
        fresh.update(*pair)
    assert (used.accuracy(), used.macro_f1(), used.size) == (fresh.accuracy(), fresh.macro_f1(), fresh.size)


def test_very_large_windows_allocate_as_they_fill():
    wm = core.WindowMetric(2**31 - 1)
    wr = core.WindowRegressionMetric(2**31 - 1)
    for i in range(10):
        wm.update(i % 2, 1)
        wr.update(i, 0.0)
    assert (wm.size, wm.accuracy()) == (10, 0.5)
    assert wr.mae() == 4.5


def test_running_variance_forms(probe):
    values = [3.0, 7.0, 1.5, 10.0, -2.0]
    count, mean, m2, variance = probe.running_variance(values)
    assert (count, mean) == (5.0, pytest.approx(sum(values) / 5))
    assert variance == pytest.approx(m2 / 4) and m2 == pytest.approx(sum((v - mean) ** 2 for v in values))
    assert probe.running_variance([4.0])[3] == 0.0
    assert probe.running_variance(values, dividing=True)[1] == pytest.approx(mean)


def test_registration_order_and_reexports():
    import tarvo

    ours = ["Accuracy", "MacroPrecision", "MacroRecall", "MacroF1", "MAE", "RMSE", "WindowMetric",
            "WindowRegressionMetric", "R2", "ADWIN", "EDDM"]
    registered = [name for name in vars(core) if name in ours]
    assert registered == ours
    assert all(getattr(tarvo, name) is getattr(core, name) and name in tarvo.__all__ for name in ours)
