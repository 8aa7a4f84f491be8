"""Small pure-Python stand-ins for native metrics, detectors and learners.

The evaluation tooling finds classes by name at run time; these let its tests
exercise every code path whatever classes the built module has. They follow
the native call conventions (``WindowMetric.update`` takes the prediction
first, detectors take one positional value).
"""

from __future__ import annotations

import types
from collections import deque

import _tarvo_core


class Accuracy:
    def __init__(self):
        self.correct = self.total = 0

    def update(self, y_true, y_pred):
        self.total += 1
        self.correct += y_true == y_pred

    def get(self):
        return self.correct / self.total if self.total else 0.0


class MacroF1:
    def __init__(self):
        self.counts = {}

    def update(self, y_true, y_pred):
        for label in (y_true, y_pred):
            self.counts.setdefault(label, [0, 0, 0])
        if y_true == y_pred:
            self.counts[y_true][0] += 1
        else:
            self.counts[y_pred][1] += 1
            self.counts[y_true][2] += 1

    def get(self):
        if not self.counts:
            return 0.0
        scores = [2 * tp / (2 * tp + fp + fn) if 2 * tp + fp + fn else 0.0 for tp, fp, fn in self.counts.values()]
        return sum(scores) / len(scores)


class WindowMetric:
    """Windowed accuracy (``get(0)``) and a marker value for ``get(1)``; records its calls."""

    def __init__(self, window_size=1000):
        self.pairs = deque(maxlen=window_size)
        self.calls = []

    def update(self, predicted, actual):
        self.calls.append((predicted, actual))
        self.pairs.append((predicted, actual))

    def get(self, metric=0):
        if metric == 1:
            return -1.0
        return sum(p == a for p, a in self.pairs) / len(self.pairs) if self.pairs else 0.0


class MAE:
    def __init__(self):
        self.n, self.total = 0, 0.0

    def update(self, y_true, y_pred):
        self.n += 1
        self.total += abs(y_true - y_pred)

    def get(self):
        return self.total / self.n if self.n else 0.0


class ADWIN:
    """A crude detector: drift when the last 64 values average 0.3 above all the values before them."""

    def __init__(self, delta=0.002):
        self.delta = delta
        self.recent = deque()
        self.old_sum, self.old_n = 0.0, 0
        self.drift_detected = False

    def update(self, value):
        self.recent.append(value)
        if len(self.recent) > 64:
            self.old_sum += self.recent.popleft()
            self.old_n += 1
        gap = sum(self.recent) / len(self.recent) - (self.old_sum / self.old_n if self.old_n else 0.0)
        self.drift_detected = self.old_n >= 64 and gap > 0.3
        if self.drift_detected:
            self.old_sum, self.old_n = 0.0, 0


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
    """Predicts the mean of the targets learnt so far."""

    def __init__(self, shrink=1.0):
        self.shrink = shrink
        self.n, self.mean = 0, 0.0

    def learn_one(self, x, y):
        self.n += 1
        self.mean += (y - self.mean) / self.n

    def predict_one(self, x):
        return self.mean * self.shrink


STANDINS = {
    "Accuracy": Accuracy,
    "MacroF1": MacroF1,
    "WindowMetric": WindowMetric,
    "MAE": MAE,
    "ADWIN": ADWIN,
    "MeanRegressor": MeanRegressor,
}


def namespace(**replace):
    """The native module's classes plus a stand-in for every listed class the module lacks.

    Classes given as keywords replace the native ones of the same name.
    """
    names = {n: getattr(_tarvo_core, n) for n in dir(_tarvo_core) if not n.startswith("__")}
    for name, cls in STANDINS.items():
        names.setdefault(name, cls)
    names.update(replace)
    return types.SimpleNamespace(**names)
