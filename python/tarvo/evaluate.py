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

import time
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import _tarvo_core as core
from tarvo import _target_scale, batch
from tarvo._target_scale import TargetScaleWarning
from tarvo._prequential import (
    DEFAULT_METRICS,
    PrequentialResult,
    Windowed,
    count_argument,
    default_metrics,
    delay_argument,
    new_result,
    progress_bar,
    test_then_train,
)

__all__ = ["DEFAULT_METRICS", "PrequentialResult", "TargetScaleWarning", "Windowed", "default_metrics",
           "prequential"]


def _batch_ready(model: Any) -> bool:
    """Whether the native batch loop can run ``model`` (a native learner, pipeline or anomaly detector)."""
    return batch.native is not None and isinstance(model, (core.IClassifier, core.IRegressor,
                                                           *batch.ANOMALY_DETECTORS))


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
    delay: int | Sequence[int] | None = None,
) -> PrequentialResult:
    """Test-then-train ``model`` on ``stream``, scoring each prediction before learning the sample.

    Args:
        model: any learner with ``predict_one(x)`` and ``learn_one(x, y)``, or an anomaly
            detector (``score_one(x)``, ``learn_one(x)``), evaluated on labelled samples: each is
            scored, then learnt, and the metrics take ``(label, score)``, a non-zero label
            marking an anomaly (see :func:`default_metrics`, task ``"anomaly"``); a detector
            given watches the scores.
        stream: ``(x, y)`` pairs, for example a generator of :mod:`tarvo.stream`.
        metrics: metric objects by reported name, or a sequence of them (named
            after their class); ``None`` scores nothing.
        every: the learning curve reads every metric each ``every`` samples.
        max_samples: stop after this many samples.
        progress: show a progress bar (only when standard error is a terminal).
        detector: a drift detector (``update(value)``, ``drift_detected``) fed
            the 0/1 error of each prediction for a classifier (an int for
            ``EDDM``, a float otherwise), the absolute error for a regressor.
        name: the model's name in the result (default: its class name).
        cancel: a :class:`threading.Event` that stops a native run between chunks of rows
            when set (a caller running several evaluations on threads sets it on Ctrl-C).
        threads: the threads a forest's members learn on in a native run
            (:func:`tarvo.batch.learn_many`); the result is the same for any count.
        delay: delayed labels: each sample is predicted when it arrives and learnt (its
            prediction scored) ``delay`` samples later, or ``delay[t]`` samples later for a
            sequence of one delay per sample. The curve reads the metrics over the labels
            arrived by then; labels still due when the stream ends arrive before its last
            point (see :func:`tarvo._prequential.delayed_test_then_train`).

    A stream with an ``arrays()`` method (the synthetic streams; ``(names, X, y)``) runs a
    native learner in :func:`tarvo.batch.prequential`, with the same result; metrics or a
    detector defined in Python run in the Python loop there.

    ``metrics`` and ``detector`` are checked before the first sample (TypeError naming the one
    that is no metric or detector). The model, with its parts, and the native metrics and
    detector are claimed for the whole run, as a batch claims them: calls from other threads
    are refused with ``RuntimeError`` until it returns; code the loop calls back (a metric
    written in Python, the stream's generator) runs in this thread and may use them.

    Text values (``str``, as the readers yield a text column's) become indicators over the
    categories the model has learnt (:func:`tarvo.stream.encode_row`): new categories are
    learnt with the sample, never when predicting; the categories live with the model.

    A linear regressor (``LinearRegression``, ``BayesianLinearRegression``,
    ``PassiveAggressiveRegressor``, alone or as a pipeline's learner) whose first 1,000
    targets have a standard deviation above 10 gets a :class:`TargetScaleWarning` (a
    ``UserWarning``): its error is clipped to [-10, 10], so it learns next to nothing; wrap
    it in ``ScaledTargetRegressor``.

    A classifier that has learnt nothing yet (its ``predict_proba_one`` is
    empty) only learns its first sample: its fixed untrained answer is no
    prediction, and scoring it would add a phantom class to macro averages.

    Returns:
        A :class:`PrequentialResult` with the learning curve, the final metric
        values, the detected drifts, the elapsed time and samples per second.
    """
    every = count_argument("every", every, 1)
    if max_samples is not None:
        max_samples = count_argument("max_samples", max_samples, 0)
    delay = delay_argument(delay)
    result = new_result(model, name)
    arrays = getattr(stream, "arrays", None)
    if callable(arrays) and _batch_ready(model):
        # The stream holds its rows as arrays: the native loop gives the same result.
        began = time.perf_counter()
        columns, X, y = arrays()  # reading the stream counts in the elapsed time, as in the loop
        reading = time.perf_counter() - began
        if max_samples is not None:
            X, y = X[:max_samples], y[:max_samples]
            if delay is not None and not isinstance(delay, int):
                delay = delay[:max_samples]
        native = batch.prequential(model, X, y, columns=columns, metrics=metrics, every=every,
                                   detector=detector if detector is not None else False,
                                   name=name, progress=progress, cancel=cancel, threads=threads, delay=delay)
        native.elapsed += reading
        return native
    try:
        total: int | None = len(stream)  # type: ignore[arg-type]
    except TypeError:
        total = None
    if max_samples is not None:
        total = max_samples if total is None else min(total, max_samples)
    bar = progress_bar(progress, total, result.model)
    stream = _target_scale.watched(model, stream, stacklevel=3)  # the warning names the caller's line
    try:
        # Text values become indicators over the model's categories (the readers yield them as text).
        return test_then_train(model, stream, result, metrics, every=every, detector=detector,
                               limit=max_samples if max_samples is not None else -1, bar=bar, delay=delay, text=True)
    finally:
        if bar is not None:
            bar.close()
