"""Prequential (test-then-train) evaluation of a learner over a stream.

Each sample is first predicted, the prediction scored by the metrics, and only
then learnt, so every prediction is made on a sample the learner has not seen:

>>> from tarvo import NaiveBayes
>>> from tarvo.evaluate import prequential
>>> from tarvo.stream import SEA
>>> result = prequential(NaiveBayes(), SEA(2_000), None, every=500, progress=False)
>>> result.steps
[500, 1000, 1500, 2000]

Metrics are the module's metric objects (``Accuracy()``, ``MacroF1()``,
``MAE()``, ...) or anything with ``update(y_true, y_pred)`` and ``get()``. A
``WindowMetric``, whose ``update`` takes the prediction first, is fed in its
own order; wrap a windowed metric in :class:`Windowed` to report one of its
values (``Windowed(WindowMetric(1000), 1)`` is the windowed macro F1).
"""

from __future__ import annotations

import itertools
import sys
import time
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

from tarvo import MAE, R2, RMSE, Accuracy, MacroF1, WindowMetric, WindowRegressionMetric
from tarvo.learners import task_of

# Default metrics by task: (reported name, metric class, value passed to ``get`` or None).
DEFAULT_METRICS: dict[str, list[tuple[str, type, int | None]]] = {
    "classification": [
        ("accuracy", Accuracy, None),
        ("macro_f1", MacroF1, None),
        ("window_accuracy", WindowMetric, 0),
    ],
    "regression": [
        ("mae", MAE, None),
        ("rmse", RMSE, None),
        ("r2", R2, None),
        ("window_mae", WindowRegressionMetric, 0),
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
    ``window_mae``.
    """
    metrics: dict[str, Any] = {}
    shared: dict[type, Any] = {}
    for name, cls, which in DEFAULT_METRICS[task]:
        if which is None:
            metrics[name] = cls()
        else:
            if cls not in shared:
                shared[cls] = cls(window)
            metrics[name] = Windowed(shared[cls], which)
    return metrics


def _is_prediction_first(metric: Any) -> bool:
    return isinstance(metric, WindowMetric)


def _bind(metrics: Mapping[str, Any] | Sequence[Any] | None) -> tuple[
    list[tuple[str, Callable[[], float]]], list[Callable[[Any, Any], None]]
]:
    """Reported names with their getters, and the update calls (each taking ``y_true, y_pred``)."""
    if metrics is None:
        return [], []
    if isinstance(metrics, Mapping):
        named = list(metrics.items())
    else:
        named = []
        for m in metrics:
            base = type(m.metric if isinstance(m, Windowed) else m).__name__
            name, k = base, 2
            while name in dict(named):
                name, k = f"{base}_{k}", k + 1
            named.append((name, m))
    getters: list[tuple[str, Callable[[], float]]] = []
    updaters: list[Callable[[Any, Any], None]] = []
    seen: set[int] = set()
    for name, m in named:
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


@dataclass
class PrequentialResult:
    """What :func:`prequential` measured.

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


def _progress_bar(enabled: bool, total: int | None, desc: str) -> Any | None:
    if not enabled or not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:
        return None
    return tqdm(total=total, desc=desc, unit=" samples", unit_scale=True, leave=False, file=sys.stderr)


def _batch_ready(model: Any) -> bool:
    """Whether the native batch loop can run ``model`` (a native learner or pipeline)."""
    from tarvo import IClassifier, IRegressor
    from tarvo import batch

    return batch.native is not None and isinstance(model, (IClassifier, IRegressor))


def prequential(
    model: Any,
    stream: Iterable[tuple[Mapping[str, float], Any]],
    metrics: Mapping[str, Any] | Sequence[Any] | None,
    *,
    every: int = 1000,
    max_samples: int | None = None,
    progress: bool = True,
    detector: Any | None = None,
    name: str | None = None,
    cancel: Any | None = None,
    threads: int | None = None,
) -> PrequentialResult:
    """Test-then-train ``model`` on ``stream``, scoring each prediction before learning the sample.

    Args:
        model: any learner with ``predict_one(x)`` and ``learn_one(x, y)``.
        stream: ``(x, y)`` pairs, for example a generator of :mod:`tarvo.stream`.
        metrics: metric objects by reported name, or a sequence of them (named
            after their class); ``None`` scores nothing.
        every: the learning curve reads every metric each ``every`` samples.
        max_samples: stop after this many samples.
        progress: show a progress bar (only when standard error is a terminal).
        detector: a drift detector (``update(value)``, ``drift_detected``) fed
            the 0/1 error of each prediction for a classifier, the absolute
            error for a regressor.
        name: the model's name in the result (default: its class name).
        cancel: a :class:`threading.Event` that stops a native run between chunks of rows
            when set (a caller running several evaluations on threads sets it on Ctrl-C).
        threads: the threads a forest's members learn on in a native run
            (:func:`tarvo.batch.learn_many`); the result is the same for any count.

    A stream with an ``arrays()`` method (the synthetic streams; ``(names, X, y)``) runs a
    native learner in :func:`tarvo.batch.prequential`, with the same result; metrics or a
    detector defined in Python run in the Python loop there.

    A classifier that has learnt nothing yet (its ``predict_proba_one`` is
    empty) only learns its first sample: its fixed untrained answer is no
    prediction, and scoring it would add a phantom class to macro averages.

    Returns:
        A :class:`PrequentialResult` with the learning curve, the final metric
        values, the detected drifts, the elapsed time and samples per second.
    """
    if every < 1:
        raise ValueError(f"every must be at least 1, got {every}")
    if max_samples is not None and max_samples < 0:
        raise ValueError(f"max_samples must be non-negative, got {max_samples}")
    task = task_of(model)
    arrays = getattr(stream, "arrays", None)
    if callable(arrays) and _batch_ready(model):
        # The stream holds its rows as arrays: the native loop gives the same result.
        from tarvo import batch

        began = time.perf_counter()
        columns, X, y = arrays()  # reading the stream counts in the elapsed time, as in the loop
        reading = time.perf_counter() - began
        if max_samples is not None:
            X, y = X[:max_samples], y[:max_samples]
        native = batch.prequential(model, X, y, columns=columns, metrics=metrics, every=every,
                                   detector=detector if detector is not None else False,
                                   name=name, progress=progress, cancel=cancel, threads=threads)
        native.elapsed += reading
        return native
    result = PrequentialResult(model=name or type(model).__name__, task=task)
    getters, updaters = _bind(metrics)
    result.curve = {metric: [] for metric, _ in getters}
    try:
        total: int | None = len(stream)  # type: ignore[arg-type]
    except TypeError:
        total = None
    if max_samples is not None:
        total = max_samples if total is None else min(total, max_samples)
    bar = _progress_bar(progress, total, result.model)

    def record(n: int) -> None:
        result.steps.append(n)
        for metric, get in getters:
            result.curve[metric].append(get())

    predict, learn = model.predict_one, model.learn_one
    detect = detector.update if detector is not None else None
    classification = task == "classification"
    limit = max_samples if max_samples is not None else -1
    samples: Iterator[tuple[Mapping[str, float], Any]] = iter(stream)
    n = 0
    start = time.perf_counter()
    try:
        if limit != 0 and classification and hasattr(model, "predict_proba_one"):
            for x, y in samples:
                if model.predict_proba_one(x):
                    samples = itertools.chain([(x, y)], samples)  # a trained model: score it as usual
                else:
                    learn(x, y)  # nothing learnt yet: the fixed untrained answer is not scored
                    n, result.first_scored = 1, 2
                    if n % every == 0:
                        record(n)
                break
        if n != limit:
            for x, y in samples:
                y_pred = predict(x)
                learn(x, y)
                for update in updaters:
                    update(y, y_pred)
                n += 1
                if detect is not None:
                    detect((0.0 if y_pred == y else 1.0) if classification else abs(y - y_pred))
                    if detector.drift_detected:  # type: ignore[union-attr]  # detect is its update
                        result.drifts.append(n)
                if n % every == 0:
                    record(n)
                    if bar is not None:
                        bar.update(every)
                if n == limit:
                    break
    finally:
        result.elapsed = time.perf_counter() - start
        if bar is not None:
            bar.close()
    result.n_samples = n
    if not result.steps or result.steps[-1] != n:
        record(n)
    result.final = {metric: values[-1] for metric, values in result.curve.items()}
    return result
