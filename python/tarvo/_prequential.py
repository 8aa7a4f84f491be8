"""What every test-then-train evaluation shares: the result type, the default metrics, how
metrics and a drift detector are bound and checked, the progress bar, the claim on the
model, and the one loop written in Python.

:mod:`tarvo.evaluate` (streams of dicts) and :mod:`tarvo.batch` (arrays) both build on this
module; neither imports the other at import time.
"""

from __future__ import annotations

import contextlib
import heapq
import itertools
import numbers
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import _tarvo_core as core
from tarvo._text_features import Encoded
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

    With delayed labels (``delay``), a prediction is scored when its label arrives:
    ``steps`` still count the samples that arrived, ``drifts`` are the number of samples
    arrived when the detector, fed the error of a label just arrived, reported the drift,
    and ``first_scored`` is the first sample predicted by a classifier that had learnt
    something (every sample predicted before is learnt but not scored).
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


def delay_argument(delay: Any, n: int | None = None) -> int | Sequence[Any] | None:
    """``delay`` checked: None or 0 (no delay), a whole number of rows, or a sequence of one per
    row (``n`` of them when ``n`` is given; each checked when its row arrives). ValueError or
    TypeError naming ``delay``."""
    if delay is None:
        return None
    if isinstance(delay, numbers.Integral) and not isinstance(delay, bool):
        if delay < 0:
            raise ValueError(f"delay must be a whole number of rows of at least 0, got {delay}")
        return int(delay) or None
    if isinstance(delay, (str, bytes, Mapping)) or not hasattr(delay, "__getitem__") or not hasattr(delay, "__len__"):
        raise TypeError(f"delay must be a number of rows or a sequence of one per row, not {type(delay).__name__}")
    if getattr(delay, "ndim", 1) != 1:
        raise ValueError(f"delay must be 1-D, one delay per row; got {delay.ndim} dimensions")
    if n is not None and len(delay) != n:
        raise ValueError(f"delay holds {len(delay)} delays for {n} rows")
    return delay


def row_delay(delay: Sequence[Any], t: int) -> int:
    """The delay of row ``t`` (0-based) in a sequence of delays; ValueError naming the row."""
    if t >= len(delay):
        raise ValueError(f"delay: no delay for row {t} (the sequence holds {len(delay)})")
    k = delay[t]
    if isinstance(k, bool) or not isinstance(k, numbers.Integral):
        if isinstance(k, float) and k.is_integer():
            k = int(k)
        elif hasattr(k, "dtype") and getattr(k.dtype, "kind", "") == "f" and float(k).is_integer():
            k = int(k)
        else:
            raise ValueError(f"delay[{t}]: {k!r} is not a whole number of rows")
    if k < 0:
        raise ValueError(f"delay[{t}]: {k} is negative; a label arrives 0 or more rows after its sample")
    return int(k)


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
    delay: int | Sequence[Any] | None = None,
    text: bool = False,
) -> PrequentialResult:
    """The loop written in Python: for each ``(x, y)``, predict, learn, score, feed the detector,
    read the curve every ``every`` samples; stop after ``limit`` samples (-1: none). ``out``
    receives each sample's prediction by position. The model, its parts, the native metrics
    and the detector are claimed for the whole loop.

    A classifier that has learnt nothing yet (its ``predict_proba_one`` is empty) only learns
    its first sample: its fixed untrained answer is no prediction, and scoring it would add a
    phantom class to macro averages.

    ``delay`` (see :func:`delayed_test_then_train`) delays each label by a number of rows.

    ``text``: samples may hold text values (a reader's text columns), which become indicators over
    the model's categories (:class:`tarvo._text_features.Encoded`). The loop starts with the model
    itself and turns to the encoding at the first sample the model refuses for a text (or
    ``None``) value, so a stream of numbers runs at full speed.

    An anomaly detector (task ``anomaly``) scores each sample (``score_one``), then learns it
    (``learn_one(x)``); the metrics take ``(label, score)``.
    """
    delay = delay_argument(delay)
    if delay is not None:
        return delayed_test_then_train(model, samples, result, metrics, every=every, detector=detector,
                                       limit=limit, out=out, bar=bar, delay=delay, text=text)
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
        switch = _Switch(model, text and result.task != "anomaly")
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
                    try:
                        answer = switch.model.predict_proba_one(x)
                    except TypeError:
                        answer = switch.to_text(x).predict_proba_one(x)
                    predict, learn = switch.model.predict_one, switch.model.learn_one
                    if answer:
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
                    try:
                        y_pred = predict(x)
                    except TypeError:
                        encoded = switch.to_text(x)
                        predict, learn = encoded.predict_one, encoded.learn_one
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


def delayed_test_then_train(
    model: Any,
    samples: Iterable[tuple[Mapping[str, float], Any]],
    result: PrequentialResult,
    metrics: Mapping[str, Any] | Sequence[Any] | None,
    *,
    every: int,
    delay: int | Sequence[Any],
    detector: Any = None,
    limit: int = -1,
    out: Any = None,
    bar: Any = None,
    text: bool = False,
) -> PrequentialResult:
    """Test-then-train with delayed labels: sample ``t`` (0-based) is predicted when it
    arrives and its label arrives ``k`` samples later (``delay``, or ``delay[t]`` for a
    sequence), that is, right after sample ``t + k`` is predicted; it is then learnt, and its
    prediction scored and fed to the detector. Labels arriving together are learnt in the
    order of their samples. The curve is read after every ``every`` arrivals, the labels due
    by then included. When the stream ends, the labels still due arrive in that order, and the
    last point of the curve (at the sample count) is read after them. A delay of 0 for every
    sample is :func:`test_then_train` without delay, bit for bit.

    A classifier that has learnt nothing yet (its ``predict_proba_one`` is empty) gives no
    prediction: samples predicted before its first label arrives are learnt, not scored.
    """
    getters, updaters = bind_metrics(metrics)
    feed = detector_feed(detector, result.task)
    result.curve = {metric: [] for metric, _ in getters}

    def record(n: int) -> None:
        result.steps.append(n)
        for metric, get in getters:
            result.curve[metric].append(get())

    constant = delay if isinstance(delay, int) else None
    untrained = result.task == "classification" and hasattr(model, "predict_proba_one")
    waiting: list[tuple[int, int, Any, Any, Any, bool]] = []  # (due, sample, x, y, prediction, scored)
    result.first_scored = 0
    n = 0

    def arrive(upto: int) -> bool:
        """Learn and score every label due at or before ``upto``; whether any arrived."""
        nonlocal untrained
        any_arrived = False
        while waiting and waiting[0][0] <= upto:
            _, _, x, y, y_pred, scored = heapq.heappop(waiting)
            learn(x, y)
            untrained = False
            any_arrived = True
            if scored:
                for update in updaters:
                    update(y, y_pred)
                if feed is not None:
                    feed(y, y_pred)
                    if detector.drift_detected:
                        result.drifts.append(n)
        return any_arrived

    with claim(model, [*metric_targets(metrics), detector]):
        switch = _Switch(model, text)
        predict, learn = model.predict_one, model.learn_one
        start = time.perf_counter()
        try:
            if limit != 0:
                for x, y in samples:
                    t = n
                    try:
                        y_pred = predict(x)
                    except TypeError:
                        encoded = switch.to_text(x)
                        predict, learn = encoded.predict_one, encoded.learn_one
                        y_pred = predict(x)
                    scored = not (untrained and not switch.model.predict_proba_one(x))
                    if scored and not result.first_scored:
                        result.first_scored = t + 1
                    if out is not None:
                        out[t] = y_pred
                    k = constant if constant is not None else row_delay(delay, t)  # type: ignore[arg-type]
                    heapq.heappush(waiting, (t + k, t, x, y, y_pred, scored))
                    n = t + 1
                    arrive(t)
                    if n % every == 0:
                        record(n)
                        if bar is not None:
                            bar.update(every)
                    if n == limit:
                        break
            late = arrive(sys.maxsize)  # the stream has ended: every label still due arrives
        finally:
            result.elapsed = time.perf_counter() - start
    result.n_samples = n
    if result.steps and result.steps[-1] == n:
        if late:  # the last point is read after the late labels
            result.steps.pop()
            for values in result.curve.values():
                values.pop()
            record(n)
    else:
        record(n)
    if not result.first_scored:
        result.first_scored = n + 1
    result.final = {metric: values[-1] for metric, values in result.curve.items()}
    return result


class _Switch:
    """The model a loop calls: the model itself, until a sample it refuses holds text (when the
    loop may encode text), then the model through its text features, for the rest of the run."""

    def __init__(self, model: Any, text: bool) -> None:
        self.model, self._text = model, text

    def to_text(self, x: Mapping[str, Any]) -> Any:
        """The encoding model, for a sample the model refused (``TypeError``); the error again for a
        sample without text, or when the loop takes numbers only."""
        if not isinstance(self.model, Encoded):
            if not (self._text and any(isinstance(v, str) or v is None for v in x.values())):
                raise  # noqa: PLE0704 - the TypeError being handled by the caller
            self.model = Encoded(self.model)
        return self.model


def model_name(model: Any, name: str | None) -> str:
    """The name a result gives the model: ``name``, else the model's class name."""
    return name or type(model).__name__


def new_result(model: Any, name: str | None) -> PrequentialResult:
    """An empty result for ``model``'s task."""
    return PrequentialResult(model=model_name(model, name), task=task_of(model))
