"""Golden digests: what every class of _tarvo_core and _tarvo_extra answers, step by step, on fixed seeded
streams, and the bytes it saves at the end, kept as short digests in tests/golden/.

Three kinds of stream drive each learner and transformer:

- ``dense``: the same six features on every row;
- ``churn``: a changing key set, features appearing and disappearing and new names
  arriving mid-stream;
- ``gaps``: rows with NaN cells through the batch path (``tarvo.batch``).

Metrics and detectors get their own seeded streams of labels, values and errors. For each
(class, stream) the fixture holds a 4-hex digest of every step's answer (to name the first
step that differs), a SHA-256 of all the answers, and a SHA-256 of the saved bytes after
the stream. ``python tests/golden.py`` rewrites the fixture from the current build: only
do that when a change of results is intended.
"""

from __future__ import annotations

import hashlib
import json
import math
import pickle
import random
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import numpy as np

import _tarvo_core as core
import _tarvo_extra as extra

FIXTURE = Path(__file__).with_name("golden") / "digests.json"
ROWS = 240

# Constructors: the defaults, with ensembles and windows made small enough to be quick.
MAKE: dict[str, Callable[[], Any]] = {
    "NaiveBayes": core.NaiveBayes,
    "Perceptron": core.Perceptron,
    "LogisticRegressionClassifier": core.LogisticRegressionClassifier,
    "PassiveAggressiveClassifier": core.PassiveAggressiveClassifier,
    "SoftmaxRegression": core.SoftmaxRegression,
    "KNNClassifier": lambda: core.KNNClassifier(window_size=60),
    "HoeffdingTreeClassifier": lambda: core.HoeffdingTreeClassifier(grace_period=20),
    "EFDTClassifier": lambda: core.EFDTClassifier(grace_period=20),
    "SGTClassifier": lambda: core.SGTClassifier(grace_period=20),
    "HoeffdingAdaptiveTreeClassifier": lambda: core.HoeffdingAdaptiveTreeClassifier(grace_period=20),
    "ARFClassifier": lambda: core.ARFClassifier(n_models=3, seed=4, grace_period=20),
    "SRPClassifier": lambda: core.SRPClassifier(n_models=3, seed=4, grace_period=20),
    "LeveragingBaggingClassifier": lambda: core.LeveragingBaggingClassifier(n_models=3, seed=4, grace_period=20),
    "SGBTClassifier": lambda: core.SGBTClassifier(n_models=4, bag_size=2, grace_period=20),
    "LinearRegression": core.LinearRegression,
    "BayesianLinearRegression": core.BayesianLinearRegression,
    "PassiveAggressiveRegressor": core.PassiveAggressiveRegressor,
    "KNNRegressor": lambda: core.KNNRegressor(window_size=60),
    "HoeffdingTreeRegressor": lambda: core.HoeffdingTreeRegressor(grace_period=20),
    "FIMTDDRegressor": lambda: core.FIMTDDRegressor(grace_period=20),
    "ARFRegressor": lambda: core.ARFRegressor(n_models=3, seed=4, grace_period=20),
    "SRPRegressor": lambda: core.SRPRegressor(n_models=3, seed=4, grace_period=20),
    "LeveragingBaggingRegressor": lambda: core.LeveragingBaggingRegressor(n_models=3, seed=4, grace_period=20),
    "SGBRRegressor": lambda: core.SGBRRegressor(n_models=4, bag_size=2, grace_period=20),
    "StandardScaler": core.StandardScaler,
    "MinMaxScaler": core.MinMaxScaler,
    "MaxAbsScaler": core.MaxAbsScaler,
    "VarianceThreshold": lambda: core.VarianceThreshold(threshold=0.05),
    "SelectKBest": lambda: core.SelectKBest(k=3),
    "ClassificationPipeline": lambda: core.ClassificationPipeline(
        [core.StandardScaler(), core.SelectKBest(k=3, use_abs=True)], core.HoeffdingTreeClassifier(grace_period=20)),
    "RegressionPipeline": lambda: core.RegressionPipeline(
        [core.MinMaxScaler()], core.RegressionPipeline([core.StandardScaler()], core.LinearRegression())),
    "Accuracy": core.Accuracy,
    "MacroPrecision": core.MacroPrecision,
    "MacroRecall": core.MacroRecall,
    "MacroF1": core.MacroF1,
    "MAE": core.MAE,
    "RMSE": core.RMSE,
    "R2": core.R2,
    "WindowMetric": lambda: core.WindowMetric(25),
    "WindowRegressionMetric": lambda: core.WindowRegressionMetric(25),
    "ADWIN": lambda: core.ADWIN(0.01),
    "EDDM": core.EDDM,
    "ScaledTargetRegressor": lambda: extra.ScaledTargetRegressor(core.LinearRegression()),
    "DDM": extra.DDM,
    "HDDM_A": lambda: extra.HDDM_A(two_sided=True),
    "HDDM_W": extra.HDDM_W,
    "PageHinkley": lambda: extra.PageHinkley(threshold=5.0),
    "KSWIN": lambda: extra.KSWIN(seed=3),
    "NoChangeClassifier": extra.NoChangeClassifier,
    "MajorityClassClassifier": extra.MajorityClassClassifier,
    "MeanRegressor": extra.MeanRegressor,
    "HalfSpaceTrees": lambda: extra.HalfSpaceTrees(n_trees=8, height=8, window_size=50, seed=3),
    "ROCAUC": lambda: extra.ROCAUC(60),
}

# The detectors of a bounded mean: fed 0/1 errors, and their warning is part of each answer.
BOUNDED = (extra.DDM, extra.HDDM_A, extra.HDDM_W)


def kind_of(obj: Any) -> str:
    if isinstance(obj, core.IClassifier):
        return "classifier"
    if isinstance(obj, core.IRegressor):
        return "regressor"
    if isinstance(obj, core.ITransformer):
        return "transformer"
    if isinstance(obj, (core.ADWIN, core.EDDM, extra.PageHinkley, extra.KSWIN, *BOUNDED)):
        return "detector"
    if isinstance(obj, extra.HalfSpaceTrees):
        return "anomaly"
    if isinstance(obj, extra.ROCAUC):
        return "score_metric"
    if isinstance(obj, (core.WindowMetric, core.WindowRegressionMetric)):
        return "window_metric"
    return "label_metric" if isinstance(obj, (core.Accuracy, core.MacroPrecision, core.MacroRecall,
                                              core.MacroF1)) else "value_metric"


def _canon(value: Any) -> str:
    """An exact text of an answer: floats by their hex, dicts in their own order."""
    if isinstance(value, float):
        return value.hex()
    if isinstance(value, dict):
        return "{" + ",".join(f"{k!r}:{_canon(v)}" for k, v in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(_canon(v) for v in value) + "]"
    return repr(value)


def _rows(stream: str, seed: int) -> Iterator[tuple[dict[str, float], int, float]]:
    """(features, label, target) per row: a concept over the first features, which flips
    two thirds of the way through."""
    rng = random.Random(seed)
    for r in range(ROWS):
        values = [rng.gauss(0.0, 1.0 + j) for j in range(6)]
        flip = r >= 2 * ROWS // 3
        label = int((values[0] + values[1] / 2 > 0) != flip) + (2 if rng.random() < 0.1 else 0)
        target = 3.0 * values[0] - values[2] + (4.0 if flip else 0.0) + rng.gauss(0.0, 0.1)
        if stream == "dense":
            x = {f"f{j}": v for j, v in enumerate(values)}
        else:  # churn: a random subset, names that come and go, new names mid-stream
            x = {f"f{j}": v for j, v in enumerate(values) if rng.random() < 0.7}
            if r >= ROWS // 3:
                x[f"late{r % 5}"] = values[3] * 2.0
            if r % 11 == 0:
                x["rare"] = values[4]
        yield x, label, target


def _learner_answers(obj: Any, kind: str, stream: str) -> Iterator[str]:
    for x, label, target in _rows(stream, seed=17):
        if kind == "classifier":
            yield _canon([obj.predict_one(x), obj.predict_proba_one(x)])
            obj.learn_one(x, label)
        elif kind == "regressor":
            yield _canon(obj.predict_one(x))
            obj.learn_one(x, target)
        elif kind == "anomaly":
            yield _canon(obj.score_one(x))
            obj.learn_one(x)
        else:
            yield _canon(obj.transform_one(x))
            if isinstance(obj, core.SelectKBest):
                obj.learn_one(x, target)
            else:
                obj.learn_one(x)


def _gap_arrays() -> tuple[list[str], np.ndarray, np.ndarray, np.ndarray]:
    rng = np.random.default_rng(23)
    X = rng.normal(size=(ROWS, 6)) * [1.0, 3.0, 0.5, 2.0, 1.0, 5.0]
    labels = (X[:, 0] - X[:, 3] / 2 > 0).astype(np.int64)
    labels[ROWS // 2:] = 1 - labels[ROWS // 2:]
    target = 2.0 * X[:, 1] - X[:, 4] + rng.normal(size=ROWS) * 0.1
    X[rng.random(X.shape) < 0.15] = np.nan
    return [f"g{j}" for j in range(6)], X, labels, target


def _batch_answers(obj: Any, kind: str) -> Iterator[str]:
    from tarvo import batch

    names, X, labels, target = _gap_arrays()
    if kind in ("classifier", "regressor"):
        y = labels if kind == "classifier" else target
        result, predicted = batch.prequential(obj, X, y, columns=names, every=40, predictions=True,
                                              threads=2)
        for p in predicted.tolist():
            yield _canon(p)
        yield _canon([result.curve, result.drifts])
        if kind == "classifier":
            labels_seen, P = batch.predict_proba_many(obj, X[:40], columns=names)
            yield _canon([labels_seen, P.tolist()])
    elif kind == "anomaly":
        for score in batch.score_many(obj, X, columns=names).tolist():
            yield _canon(score)
    else:
        if isinstance(obj, core.SelectKBest):
            batch.learn_many(obj, X, target, columns=names)
        else:
            batch.learn_many(obj, X, columns=names)
        out_names, Z = batch.transform_many(obj, X[:40], columns=names)
        yield _canon([out_names, [[v if not math.isnan(v) else None for v in row] for row in Z.tolist()]])


def _metric_answers(obj: Any, kind: str) -> Iterator[str]:
    rng = random.Random(29)
    for _ in range(ROWS):
        if kind == "label_metric":
            obj.update(rng.randrange(4), rng.randrange(4))
            yield _canon(obj.get())
        elif kind == "value_metric":
            obj.update(rng.gauss(0.0, 2.0), rng.gauss(0.5, 2.0))
            yield _canon(obj.get())
        elif isinstance(obj, core.WindowMetric):
            obj.update(rng.randrange(3), rng.randrange(3))
            yield _canon([obj.get(0), obj.get(1)])
        elif kind == "window_metric":
            obj.update(rng.gauss(0.0, 2.0), rng.gauss(0.5, 2.0))
            yield _canon([obj.get(0), obj.get(1)])
        elif kind == "score_metric":
            label = int(rng.random() < 0.2)
            obj.update(label, round(rng.random() + 0.3 * label, 2))
            yield _canon(obj.get())


def _detector_answers(obj: Any) -> Iterator[str]:
    rng = random.Random(31)
    for r in range(4 * ROWS):
        p = 0.1 if r < 2 * ROWS else 0.6
        if isinstance(obj, core.EDDM):
            obj.update(int(rng.random() < p))
            yield _canon([obj.drift_detected, obj.warning_detected])
        elif isinstance(obj, BOUNDED):
            obj.update(float(rng.random() < p))
            yield _canon([obj.drift_detected, obj.warning_detected])
        else:
            obj.update(1.0 if rng.random() < p else rng.gauss(0.0, 0.1))
            yield _canon(obj.drift_detected)


def streams_of(kind: str) -> list[str]:
    if kind in ("classifier", "regressor", "transformer", "anomaly"):
        return ["dense", "churn", "gaps"]
    return ["values"]


def run(name: str, stream: str) -> dict[str, Any]:
    """The digests of class ``name`` on ``stream``."""
    obj = MAKE[name]()
    kind = kind_of(obj)
    if stream == "gaps":
        answers = list(_batch_answers(obj, kind))
    elif kind in ("classifier", "regressor", "transformer", "anomaly"):
        answers = list(_learner_answers(obj, kind, stream))
    elif kind == "detector":
        answers = list(_detector_answers(obj))
    else:
        answers = list(_metric_answers(obj, kind))
    whole = hashlib.sha256()
    steps = []
    for a in answers:
        whole.update(a.encode() + b"\n")
        steps.append(hashlib.sha256(a.encode()).hexdigest()[:4])
    return {
        "steps": "".join(steps),
        "answers": whole.hexdigest(),
        "state": hashlib.sha256(pickle.dumps(obj, protocol=4)).hexdigest(),
    }


def all_digests() -> dict[str, dict[str, Any]]:
    out: dict[str, dict[str, Any]] = {}
    for name in MAKE:
        kind = kind_of(MAKE[name]())
        out[name] = {stream: run(name, stream) for stream in streams_of(kind)}
    return out


if __name__ == "__main__":
    FIXTURE.parent.mkdir(exist_ok=True)
    FIXTURE.write_text(json.dumps(all_digests(), indent=1, sort_keys=True) + "\n")
    print(f"wrote {FIXTURE}", file=sys.stderr)
