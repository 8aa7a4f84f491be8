"""What every test-then-train evaluation shares: the result type, the default metrics, how
metrics and a drift detector are bound and checked, the progress bar, the claim on the
model, and the one loop written in Python.

:mod:`tarvo.evaluate` (streams of dicts) and :mod:`tarvo.batch` (arrays) both build on this
module; neither imports the other at import time.
"""

from __future__ import annotations

import contextlib
import itertools
import numbers
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import _tarvo_core as core
import _tarvo_extra as extra
from tarvo.learners import task_of

try:
    import _tarvo_batch as _native
except ImportError:  # pragma: no cover - a build without the batch module
    _native = None  # type: ignore[assignment]

# Default metrics by task: (reported name, metric class, value passed to ``get`` or None; -1: the
# class built over the last ``window`` samples, read with ``get()``).
DEFAULT_METRICS: dict[str, list[tuple[str, type, int | None]]] = {
    "classification": [
        ("accuracy", core.Accuracy, None),
        ("macro_f1", core.MacroF1, None),
        ("window_accuracy", core.WindowMetric, 0),
    ],
    "regression": [
        ("mae", core.MAE, None),
        ("rmse", core.RMSE, None),
        ("r2", core.R2, None),
        ("window_mae", core.WindowRegressionMetric, 0),
    ],
    "anomaly": [
        ("roc_auc", extra.ROCAUC, None),
        ("window_roc_auc", extra.ROCAUC, -1),
    ],
}


class Windowed:
    """One value of a windowed metric: ``get`` answers ``metric.get(which)``.

    Several views of the same windowed metric object share it: the evaluation
    updates it once per sample.
    """

    def __init__(self, metric: Any, which: int = 0) -> None:
        self.metric = metric
        self.which = which

    def get(self) -> float:
        return float(self.metric.get(self.which))

    def __repr__(self) -> str:
        return f"Windowed({self.metric!r}, {self.which})"


def default_metrics(task: str, window: int = 1000) -> dict[str, Any]:
    """The default metrics of a task, by reported name.

    Classification: ``accuracy``, ``macro_f1``, ``window_accuracy`` (over the
    last ``window`` samples); regression: ``mae``, ``rmse``, ``r2``,
    ``window_mae``; anomaly detection (the scores against the labels):
    ``roc_auc``, ``window_roc_auc``.
    """
    metrics: dict[str, Any] = {}
    shared: dict[type, Any] = {}
    for name, cls, which in DEFAULT_METRICS[task]:
        if which is None:
            metrics[name] = cls()
        elif which < 0:
            metrics[name] = cls(window)
        else:
            if cls not in shared:
                shared[cls] = cls(window)
            metrics[name] = Windowed(shared[cls], which)
    return metrics


@dataclass
class PrequentialResult:
    """What a prequential evaluation measured.

    ``steps`` are the sample counts at which the learning curve was read and
    ``curve[name]`` the metric's value at each of them; the last step is the
    end of the run. ``drifts`` are the sample numbers (1-based) after which the
    drift detector reported a drift; ``first_scored`` is the first sample
    scored and fed to the detector (2 for a fresh classifier, whose first
    sample only trains it), so sample ``d`` is the detector's update
    ``d - first_scored + 1``. ``elapsed`` is the wall time of the whole
    loop (reading the stream, predicting, learning, scoring) in seconds.
    """

    model: str
    task: str
    n_samples: int = 0
    elapsed: float = 0.0
    final: dict[str, float] = field(default_factory=dict)
    steps: list[int] = field(default_factory=list)
    curve: dict[str, list[float]] = field(default_factory=dict)
    drifts: list[int] = field(default_factory=list)
    first_scored: int = 1

    @property
    def samples_per_second(self) -> float:
        """Samples processed per second of wall time (0.0 for an empty run)."""
        return self.n_samples / self.elapsed if self.elapsed > 0 else 0.0

    def to_dict(self) -> dict[str, Any]:
        """A JSON-ready dictionary of every figure."""
        return {
            "model": self.model,
            "task": self.task,
            "n_samples": self.n_samples,
            "elapsed_s": self.elapsed,
            "samples_per_second": self.samples_per_second,
            "final": dict(self.final),
            "drifts": list(self.drifts),
            "first_scored": self.first_scored,
            "curve": {"step": list(self.steps), **{k: list(v) for k, v in self.curve.items()}},
        }


def count_argument(name: str, value: Any, least: int) -> int:
    """``value`` as an int (a NumPy integer counts as one; bool does not) of at least ``least``;
    ValueError naming ``name`` otherwise."""
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < least:
        raise ValueError(f"{name} must be a whole number of at least {least}, got {value!r}")
    return int(value)


def progress_bar(enabled: bool, total: int | None, desc: str) -> Any | None:
    """A tqdm bar on standard error when enabled and it is a terminal; None otherwise."""
    if not enabled or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return tqdm(total=total, desc=desc, unit=" samples", unit_scale=True, leave=False, file=sys.stderr)


def _is_prediction_first(metric: Any) -> bool:
    return isinstance(metric, core.WindowMetric)


def named_metrics(metrics: Mapping[str, Any] | Sequence[Any] | None) -> list[tuple[str, Any]]:
    """The metrics with their reported names (a sequence's after their class, numbered from
    the second of a class on), each checked: TypeError naming the metric that has no
    ``update`` or ``get``."""
    if metrics is None:
        return []
    if isinstance(metrics, (str, bytes)) or not isinstance(metrics, (Mapping, Iterable)):
        raise TypeError(f"metrics must be metric objects by name, a sequence of them or None, "
                        f"not {type(metrics).__name__}")
    named: list[tuple[str, Any]] = []
    if isinstance(metrics, Mapping):
        items = [(str(k), f"metrics[{k!r}]", m) for k, m in metrics.items()]
    else:
        items = []
        taken: set[str] = set()
        for i, m in enumerate(metrics):
            base = type(m.metric if isinstance(m, Windowed) else m).__name__
            name, k = base, 2
            while name in taken:
                name, k = f"{base}_{k}", k + 1
            taken.add(name)
            items.append((name, f"metrics[{i}]", m))
    for name, where, m in items:
        target = m.metric if isinstance(m, Windowed) else m
        if not callable(getattr(m, "get", None)) or not callable(getattr(target, "update", None)):
            raise TypeError(f"{where} (of type {type(m).__name__}) is not a metric: a metric has "
                            "update(y_true, y_pred) and get()")
        named.append((name, m))
    return named


def bind_metrics(metrics: Mapping[str, Any] | Sequence[Any] | None) -> tuple[
    list[tuple[str, Callable[[], float]]], list[Callable[[Any, Any], None]]
]:
    """Reported names with their getters, and the update calls (each taking ``y_true, y_pred``;
    a metric shared by several views is updated once). TypeError naming a metric that is none."""
    getters: list[tuple[str, Callable[[], float]]] = []
    updaters: list[Callable[[Any, Any], None]] = []
    seen: set[int] = set()
    for name, m in named_metrics(metrics):
        target = m.metric if isinstance(m, Windowed) else m
        getters.append((name, m.get))
        if id(target) in seen:
            continue
        seen.add(id(target))
        if _is_prediction_first(target):
            update = target.update

            def swapped(y_true: Any, y_pred: Any, _update: Any = update) -> None:
                _update(y_pred, y_true)

            updaters.append(swapped)
        else:
            updaters.append(target.update)
    return getters, updaters


def metric_targets(metrics: Mapping[str, Any] | Sequence[Any] | None) -> list[Any]:
    """Each distinct metric object once, in order (windowed views share their metric)."""
    targets: list[Any] = []
    seen: set[int] = set()
    for _, m in named_metrics(metrics):
        target = m.metric if isinstance(m, Windowed) else m
        if id(target) not in seen:
            seen.add(id(target))
            targets.append(target)
    return targets


# Detectors of a bounded mean, fed values in [0, 1] only: a classifier's 0/1 errors, not a regressor's.
_BOUNDED_DETECTORS: tuple[type, ...] = (core.EDDM, extra.DDM, extra.HDDM_A, extra.HDDM_W)


def detector_feed(detector: Any, task: str) -> Callable[[Any, Any], None] | None:
    """The call that feeds ``detector`` a prediction's error, ``feed(y_true, y_pred)``, in the
    type its ``update`` takes: the 0/1 error of a classifier (an int for ``EDDM``, a float
    otherwise), a regressor's absolute error, or an anomaly detector's score (in [0, 1]). None
    for no detector; TypeError naming ``detector`` for an object that is none, or one that
    cannot watch the task's errors (``EDDM``, ``DDM``, ``HDDM_A`` and ``HDDM_W`` watch values in
    [0, 1]: a classifier's errors or anomaly scores; ``EDDM`` the errors only)."""
    if detector is None:
        return None
    if not callable(getattr(detector, "update", None)) or not hasattr(detector, "drift_detected"):
        raise TypeError(f"detector (of type {type(detector).__name__}) is not a drift detector: a detector "
                        "has update(value) and drift_detected")
    update = detector.update
    if task == "anomaly" and not isinstance(detector, core.EDDM):
        return lambda y, score: update(score)
    if isinstance(detector, _BOUNDED_DETECTORS) and task != "classification":
        raise TypeError(f"detector: {type(detector).__name__} watches a classifier's 0/1 errors; a regressor's "
                        "errors are unbounded real numbers (use ADWIN, PageHinkley or KSWIN)")
    if isinstance(detector, core.EDDM):
        return lambda y, y_pred: update(0 if y_pred == y else 1)
    if task == "classification":
        return lambda y, y_pred: update(0.0 if y_pred == y else 1.0)
    return lambda y, y_pred: update(abs(y - y_pred))


def claim(model: Any, objects: Iterable[Any] = ()) -> contextlib.AbstractContextManager[Any]:
    """Claims a native model with its parts (and the native objects among ``objects``) for a
    loop run in this thread: calls from other threads are refused, as during a batch, until
    the block ends. Nothing to claim for a model written in Python."""
    natives = (core.IClassifier, core.IRegressor, core.ITransformer, extra.HalfSpaceTrees)
    if _native is None or not isinstance(model, natives):
        return contextlib.nullcontext()
    return _native.Claim(model, list(objects))


def _features_only(learn_one: Callable[[Any], Any]) -> Callable[[Any, Any], Any]:
    """``learn(x, y)`` for a model that learns from ``x`` alone (an anomaly detector)."""
    return lambda x, _y: learn_one(x)


def test_then_train(
    model: Any,
    samples: Iterable[tuple[Mapping[str, float], Any]],
    result: PrequentialResult,
    metrics: Mapping[str, Any] | Sequence[Any] | None,
    *,
    every: int,
    detector: Any = None,
    limit: int = -1,
    out: Any = None,
    bar: Any = None,
) -> PrequentialResult:
    """The loop written in Python: for each ``(x, y)``, predict, learn, score, feed the detector,
    read the curve every ``every`` samples; stop after ``limit`` samples (-1: none). ``out``
    receives each sample's prediction by position. The model, its parts, the native metrics
    and the detector are claimed for the whole loop.

    A classifier that has learnt nothing yet (its ``predict_proba_one`` is empty) only learns
    its first sample: its fixed untrained answer is no prediction, and scoring it would add a
    phantom class to macro averages.

    An anomaly detector (task ``anomaly``) scores each sample (``score_one``), then learns it
    (``learn_one(x)``); the metrics take ``(label, score)``.
    """
    getters, updaters = bind_metrics(metrics)
    feed = detector_feed(detector, result.task)
    result.curve = {metric: [] for metric, _ in getters}

    def record(n: int) -> None:
        result.steps.append(n)
        for metric, get in getters:
            result.curve[metric].append(get())

    classification = result.task == "classification"
    rows: Iterator[tuple[Mapping[str, float], Any]] = iter(samples)
    n = 0
    with claim(model, [*metric_targets(metrics), detector]):
        predict: Callable[[Any], Any]
        learn: Callable[[Any, Any], Any]
        if result.task == "anomaly":
            predict, learn = model.score_one, _features_only(model.learn_one)
        else:
            predict, learn = model.predict_one, model.learn_one
        start = time.perf_counter()
        try:
            if limit != 0 and classification and hasattr(model, "predict_proba_one"):
                for x, y in rows:
                    if model.predict_proba_one(x):
                        rows = itertools.chain([(x, y)], rows)  # a trained model: score it as usual
                    else:
                        if out is not None:
                            out[0] = predict(x)
                        learn(x, y)  # nothing learnt yet: the fixed untrained answer is not scored
                        n, result.first_scored = 1, 2
                        if n % every == 0:
                            record(n)
                    break
            if n != limit:
                for x, y in rows:
                    y_pred = predict(x)
                    learn(x, y)
                    for update in updaters:
                        update(y, y_pred)
                    if out is not None:
                        out[n] = y_pred
                    n += 1
                    if feed is not None:
                        feed(y, y_pred)
                        if detector.drift_detected:
                            result.drifts.append(n)
                    if n % every == 0:
                        record(n)
                        if bar is not None:
                            bar.update(every)
                    if n == limit:
                        break
        finally:
            result.elapsed = time.perf_counter() - start
    result.n_samples = n
    if not result.steps or result.steps[-1] != n:
        record(n)
    result.final = {metric: values[-1] for metric, values in result.curve.items()}
    return result


def model_name(model: Any, name: str | None) -> str:
    """The name a result gives the model: ``name``, else the model's class name."""
    return name or type(model).__name__


def new_result(model: Any, name: str | None) -> PrequentialResult:
    """An empty result for ``model``'s task."""
    return PrequentialResult(model=model_name(model, name), task=task_of(model))
