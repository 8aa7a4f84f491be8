"""Whole arrays and frames through a model, row by row in native code.

Each function equals the per-sample methods called on the rows in order, bit for
bit: the model's saved bytes afterwards and every output are those of the loop

>>> for x, y in zip(rows, labels):
...     model.learn_one(x, y)

where each row ``x`` is a dict of the row's features in column order, a NaN cell
being an absent feature (as the CSV reader treats a missing value).

``X`` is a 2-D NumPy array of numbers (feature names from ``columns``, default
``x0``, ``x1``, ...) or a pandas DataFrame (its column names; nullable dtypes
with missing values as NaN). Arrays are read in place where their layout allows,
read-only and memory-mapped ones included. ``y`` is a 1-D array: whole numbers
within 32 bits for classifiers (int, bool, or floats with whole values), any
real numbers for regressors. An anomaly detector (``HalfSpaceTrees``) scores rows
with :func:`score_many`, each before it learns it, and learns them with
:func:`learn_many`, without ``y``.

The native code runs without the GIL, so Python threads can train several
models at once. The forests also spread their members over threads of their own
(``threads=``), and the gradient-boosting models their stages, with results identical to one
thread. An object in use by a batch refuses every call from another
thread with ``RuntimeError`` until the batch returns. Ctrl-C stops a batch
between rows (checked at least every 0.05 s); the model then holds the rows
learnt before it, and the ``KeyboardInterrupt`` says how many.
"""

from __future__ import annotations

import math
import os
import time
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

import _tarvo_core as core
import _tarvo_extra as extra
from tarvo import _target_scale
from tarvo._prequential import (
    PrequentialResult,
    Windowed,
    bind_metrics,
    count_argument,
    default_metrics,
    detector_feed,
    metric_targets,
    named_metrics,
    new_result,
    progress_bar,
    test_then_train,
)
from tarvo.learners import task_of

try:
    import _tarvo_batch as native
except ImportError:  # pragma: no cover - a build without the batch module
    native = None  # type: ignore[assignment]

__all__ = [
    "default_threads",
    "learn_many",
    "score_many",
    "predict_many",
    "predict_proba_many",
    "transform_many",
    "prequential",
]

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
# How long one native call may run before Python looks for Ctrl-C.
_CHECK_SECONDS = 0.05
_FIRST_CHUNK = 256
_MOST_THREADS = 1 << 16

_NATIVE_DTYPES = {np.dtype(t) for t in ("f8", "f4", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "?")}


# ---------------------------------------------------------------- inputs


def _is_frame(X: Any) -> bool:
    return hasattr(X, "columns") and hasattr(X, "dtypes") and hasattr(X, "iloc")


def _column_array(values: Any, name: str) -> np.ndarray:
    """One feature column as a 1-D array of a dtype the native reader takes."""
    dtype = getattr(values, "dtype", None)
    kind = getattr(dtype, "kind", None)
    if hasattr(values, "to_numpy") and not isinstance(values, np.ndarray):
        # pandas: extension dtypes (nullable ints, floats, booleans) give NaN where missing.
        if kind in ("O", "U", "S", "c", "M", "m") or str(dtype) in ("string", "str", "category"):
            raise TypeError(f"X: column {name!r} holds {dtype} values; every feature must be numeric")
        if isinstance(dtype, np.dtype) and dtype in _NATIVE_DTYPES:
            arr = values.to_numpy()
        else:
            try:
                arr = values.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError) as exc:
                raise TypeError(f"X: column {name!r} holds {dtype} values; every feature must be numeric") from exc
    else:
        arr = np.asarray(values)
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"X: column {name!r} holds {arr.dtype} values; every feature must be numeric")
    if arr.dtype not in _NATIVE_DTYPES:
        arr = arr.astype(np.float64)
    return arr


def _features(X: Any, columns: Sequence[str] | None) -> tuple[list[str], list[np.ndarray], int]:
    """Feature names, one 1-D array per column (views where possible), and the row count."""
    if _is_frame(X):
        names = [str(c) for c in X.columns]
        if columns is not None:
            raise TypeError("columns: a DataFrame names its own columns; leave columns out")
        _check_names(names, "X's column names")
        cols = [_column_array(X.iloc[:, j], names[j]) for j in range(len(names))]
        return names, cols, len(X)
    if isinstance(X, (str, bytes)) or X is None or isinstance(X, Mapping):
        raise TypeError(f"X must be a 2-D array or a DataFrame, not {type(X).__name__}")
    try:
        arr = np.asarray(X)
    except ValueError as exc:  # rows of different lengths
        raise ValueError("X: the rows have different lengths; every row needs one value per column") from exc
    if arr.ndim != 2:
        raise ValueError(f"X must be 2-D (rows by features), got {arr.ndim} dimension(s)")
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"X holds {arr.dtype} values; every feature must be numeric")
    if arr.dtype not in _NATIVE_DTYPES:
        arr = arr.astype(np.float64)
    if columns is None:
        names = [f"x{j}" for j in range(arr.shape[1])]
    else:
        if isinstance(columns, (str, bytes)):
            raise TypeError("columns must be a sequence of names, not a single string")
        names = [str(c) for c in columns]
        if len(names) != arr.shape[1]:
            raise ValueError(f"columns: {len(names)} names for {arr.shape[1]} columns of X")
        _check_names(names, "columns")
    return names, [arr[:, j] for j in range(arr.shape[1])], arr.shape[0]


def _check_names(names: list[str], what: str) -> None:
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise ValueError(f"{what}: the name {name!r} appears more than once")
        seen.add(name)


def _labels(y: Any, n: int, task: str) -> np.ndarray:
    """``y`` checked and converted: int32 labels or float64 targets."""
    if hasattr(y, "to_numpy") and not isinstance(y, np.ndarray):
        dtype = getattr(y, "dtype", None)
        if task == "regression" and getattr(dtype, "kind", "O") in "fiub" and not isinstance(dtype, np.dtype):
            y = y.to_numpy(dtype=np.float64, na_value=np.nan)  # nullable numbers: NA as NaN, refused below
        else:
            y = y.to_numpy()
    arr = np.asarray(y)
    if arr.ndim != 1:
        raise ValueError(f"y must be 1-D, got {arr.ndim} dimension(s)")
    if arr.shape[0] != n:
        raise ValueError(f"y has {arr.shape[0]} values for {n} rows of X")
    if task == "regression":
        if arr.dtype.kind not in "fiub":
            first = next((i for i, v in enumerate(arr) if _is_missing(v)), None) if arr.dtype.kind == "O" else None
            if first is not None:
                raise ValueError(f"y: row {first} has no target; every row needs a finite number")
            raise TypeError(f"y holds {arr.dtype} values; a regressor's targets must be numbers")
        values = np.ascontiguousarray(arr, dtype=np.float64)
        finite = np.isfinite(values)
        if not finite.all():
            first = int(np.argmin(finite))
            what = "no target (NaN)" if math.isnan(values[first]) else f"the target {values[first]}"
            raise ValueError(f"y: row {first} has {what}; every row needs a finite number")
        return values
    if arr.dtype.kind == "b":
        return arr.astype(np.int32)
    if arr.dtype.kind in "iu":
        if n and (arr.min() < INT32_MIN or arr.max() > INT32_MAX):
            raise ValueError("y: a label lies outside the 32-bit integer range")
        return np.ascontiguousarray(arr, dtype=np.int32)
    if arr.dtype.kind == "f":
        if n and not (np.isfinite(arr).all() and (arr == np.floor(arr)).all()):
            raise ValueError("y: a classifier's labels must be whole numbers; got a fractional or missing value")
        if n and (arr.min() < INT32_MIN or arr.max() > INT32_MAX):
            raise ValueError("y: a label lies outside the 32-bit integer range")
        return arr.astype(np.int32)
    raise TypeError(f"y holds {arr.dtype} values; a classifier's labels must be integers")


def _is_missing(value: Any) -> bool:
    """None, pandas' NA or a float NaN."""
    return value is None or type(value).__name__ == "NAType" or (isinstance(value, float) and math.isnan(value))


#: The anomaly detectors: ``score_many`` scores their rows, ``learn_many`` learns them without targets.
ANOMALY_DETECTORS: tuple[type, ...] = (extra.HalfSpaceTrees,)


def _kind(model: Any) -> str:
    """``classification``, ``regression``, ``transform`` or ``anomaly``; TypeError for anything else."""
    if isinstance(model, core.ITransformer):
        return "transform"
    if isinstance(model, ANOMALY_DETECTORS):
        return "anomaly"
    if isinstance(model, (core.IClassifier, core.IRegressor)):
        return task_of(model)
    raise TypeError(f"model must be a tarvo learner, transformer, pipeline or anomaly detector, not "
                    f"{type(model).__name__}")


def _needs_target(model: Any) -> bool:
    return isinstance(model, core.SelectKBest)


# ---------------------------------------------------------------- the row loop


def _rows(names: list[str], cols: list[np.ndarray], start: int, stop: int) -> Any:
    """The rows as dicts, for the Python loop (NaN cells left out)."""
    for r in range(start, stop):
        row = {}
        for name, col in zip(names, cols):
            v = float(col[r])
            if not math.isnan(v):
                row[name] = v
        yield row


def _run_chunks(total: int, step: Any, session: Any = None, progress: Any = None, cancel: Any = None,
                align: int = 1) -> None:
    """Calls ``step(start, stop)`` over ``[0, total)`` in chunks short enough that Ctrl-C is
    seen within about ``_CHECK_SECONDS``; a KeyboardInterrupt names the rows completed
    (as the native session counts them: the signal may arrive just after a chunk returns).
    A chunk longer than ``align`` rows ends at a multiple of ``align`` (or at ``total``), so a
    step that cuts its rows at those multiples is not left with short pieces."""
    done = 0
    size = _FIRST_CHUNK
    try:
        while done < total:
            if cancel is not None and cancel.is_set():
                raise KeyboardInterrupt("cancelled")
            stop = min(total, done + size)
            if stop < total and stop - stop % align > done:
                stop -= stop % align
            began = time.perf_counter()
            step(done, stop)
            took = time.perf_counter() - began
            if progress is not None:
                progress(stop - done)
            done = stop
            if took < _CHECK_SECONDS / 4:
                size = min(size * 2, 1 << 20)
            elif took > _CHECK_SECONDS and size > 1:
                size //= 2
    except KeyboardInterrupt as exc:
        if session is not None:
            done = session.done
        raise KeyboardInterrupt(
            f"stopped after {done} of {total} rows; the model holds the rows learnt before"
        ) from exc


def default_threads() -> int:
    """The threads a forest's members learn on when ``threads`` is not given: the
    environment variable ``TARVO_NUM_THREADS`` when set, else the number of cores."""
    return _threads_argument(None)


def _threads_argument(threads: int | None) -> int:
    if threads is None:
        env = os.environ.get("TARVO_NUM_THREADS")
        if env:
            try:
                threads = int(env)
            except ValueError as exc:
                raise ValueError(f"TARVO_NUM_THREADS must be a whole number, got {env!r}") from exc
        else:
            threads = os.cpu_count() or 1
    threads = count_argument("threads", threads, 1)
    # The pool never starts more than 64 workers, so a larger count changes nothing; the cap keeps
    # a huge one within the native integer instead of failing at the call.
    return min(threads, _MOST_THREADS)


# ---------------------------------------------------------------- public functions


def learn_many(model: Any, X: Any, y: Any = None, *, columns: Sequence[str] | None = None,
               threads: int | None = None) -> None:
    """Learn the rows of ``X`` in order (with ``y`` for learners and ``SelectKBest``; an anomaly
    detector learns from the rows alone).

    ``threads``: how many threads the members of a forest (``ARFClassifier``,
    ``ARFRegressor``, ``SRPClassifier``, ``SRPRegressor``, ``LeveragingBaggingClassifier``,
    ``LeveragingBaggingRegressor``) or the stages of a booster (``SGBTClassifier``,
    ``SGBRRegressor``) learn on, with the same result, bit for bit, as one; default
    :func:`default_threads`, 1 learns one sample at a time. Every other model, a pipeline
    around a forest included, accepts it and ignores it.

    A linear regressor (alone or in a pipeline) whose first 1,000 targets have a standard
    deviation above 10 gets a ``TargetScaleWarning`` (a ``UserWarning``): its error clip keeps it
    from learning them; wrap it in ``ScaledTargetRegressor``. ``prequential`` warns alike.
    """
    kind = _kind(model)
    names, cols, n = _features(X, columns)
    threads = _threads_argument(threads)
    if kind == "anomaly" or (kind == "transform" and not _needs_target(model)):
        if y is not None:
            raise TypeError(f"y: {type(model).__name__} learns from the features alone; leave y out")
        target = None
    else:
        if y is None:
            raise TypeError(f"y: {type(model).__name__} needs the targets")
        target = _labels(y, n, "regression" if kind == "transform" else kind)
        if kind == "regression":
            _target_scale.warn(model, target)
    if native is not None:
        with native.Session(model) as session:
            _run_chunks(n, lambda a, b: session.learn(names, cols, target, a, b, threads), session)
        return
    learn = model.learn_one

    def step(a: int, b: int) -> None:
        for r, x in zip(range(a, b), _rows(names, cols, a, b)):
            if target is None:
                learn(x)
            else:
                learn(x, target[r].item())

    _run_chunks(n, step)


def score_many(model: Any, X: Any, *, columns: Sequence[str] | None = None) -> np.ndarray:
    """Each row's anomaly score, made before the row is learnt: ``score_one(x)`` then
    ``learn_one(x)`` for each row in order, so the detector has learnt every row afterwards.
    Use :func:`learn_many` to learn rows without scoring them."""
    if _kind(model) != "anomaly":
        raise TypeError(f"model: {type(model).__name__} is not an anomaly detector")
    names, cols, n = _features(X, columns)
    out = np.empty(n, dtype=np.float64)
    if native is not None:
        with native.Session(model) as session:
            _run_chunks(n, lambda a, b: session.score(names, cols, out, a, b), session)
        return out
    score, learn = model.score_one, model.learn_one

    def step(a: int, b: int) -> None:
        for r, x in zip(range(a, b), _rows(names, cols, a, b)):
            out[r] = score(x)
            learn(x)

    _run_chunks(n, step)
    return out


def predict_many(model: Any, X: Any, *, columns: Sequence[str] | None = None) -> np.ndarray:
    """Each row's prediction: int labels for a classifier, floats for a regressor."""
    kind = _kind(model)
    if kind == "transform":
        raise TypeError(f"model: {type(model).__name__} is a transformer; use transform_many")
    if kind == "anomaly":
        raise TypeError(f"model: {type(model).__name__} is an anomaly detector; use score_many")
    names, cols, n = _features(X, columns)
    out = np.empty(n, dtype=np.int64 if kind == "classification" else np.float64)
    if native is not None:
        with native.Session(model) as session:
            _run_chunks(n, lambda a, b: session.predict(names, cols, out, a, b), session)
        return out
    predict = model.predict_one

    def step(a: int, b: int) -> None:
        for r, x in zip(range(a, b), _rows(names, cols, a, b)):
            out[r] = predict(x)

    _run_chunks(n, step)
    return out


def predict_proba_many(model: Any, X: Any, *, columns: Sequence[str] | None = None) -> tuple[list[int], np.ndarray]:
    """``(labels, P)``: every label in any row's answer, sorted, and one column per label
    (0.0 where a row's answer lacks the label)."""
    if _kind(model) != "classification":
        raise TypeError(f"model: {type(model).__name__} is not a classifier")
    names, cols, n = _features(X, columns)
    answers: list[Any] = []
    if native is not None:
        with native.Session(model) as session:
            _run_chunks(n, lambda a, b: answers.append(session.predict_proba(names, cols, a, b)), session)
        labels = sorted({label for chunk_labels, _ in answers for label in chunk_labels})
        return labels, _stack_chunks(answers, labels, n, 0.0)
    proba = model.predict_proba_one
    _run_chunks(n, lambda a, b: answers.extend(proba(x) for x in _rows(names, cols, a, b)))
    labels = sorted({label for answer in answers for label in answer})
    index = {label: j for j, label in enumerate(labels)}
    P = np.zeros((n, len(labels)), dtype=np.float64)
    for r, answer in enumerate(answers):
        for label, p in answer.items():
            P[r, index[label]] = p
    return labels, P


def transform_many(transformer: Any, X: Any, *, columns: Sequence[str] | None = None) -> tuple[list[str], np.ndarray]:
    """``(names, Z)``: the output feature names (the input columns' order first, then any
    other name in sorted order) and one row per input row, NaN where a row lacks a name."""
    if _kind(transformer) != "transform":
        raise TypeError(f"transformer: {type(transformer).__name__} is not a transformer")
    names, cols, n = _features(X, columns)
    answers: list[Any] = []
    if native is not None:
        with native.Session(transformer) as session:
            _run_chunks(n, lambda a, b: answers.append(session.transform(names, cols, a, b)), session)
        out_names = _output_names(names, {name for chunk_names, _ in answers for name in chunk_names})
        return out_names, _stack_chunks(answers, out_names, n, np.nan)
    transform = transformer.transform_one
    _run_chunks(n, lambda a, b: answers.extend(transform(x) for x in _rows(names, cols, a, b)))
    out_names = _output_names(names, {name for answer in answers for name in answer})
    index = {name: j for j, name in enumerate(out_names)}
    Z = np.full((n, len(out_names)), np.nan)
    for r, answer in enumerate(answers):
        for name, v in answer.items():
            Z[r, index[name]] = v
    return out_names, Z


def _stack_chunks(chunks: list[Any], keys: list[Any], n: int, missing: float) -> np.ndarray:
    """One table of the chunks' ``(keys, values)`` answers: a column per key of ``keys``,
    ``missing`` where a chunk's answers lack the key."""
    table = np.full((n, len(keys)), missing)
    index = {key: j for j, key in enumerate(keys)}
    row = 0
    for chunk_keys, chunk in chunks:
        table[row:row + chunk.shape[0], [index[key] for key in chunk_keys]] = chunk
        row += chunk.shape[0]
    return table


def _output_names(inputs: list[str], seen: set[str]) -> list[str]:
    ordered = [name for name in inputs if name in seen]
    return ordered + sorted(seen.difference(inputs))


def _score_rows(model: Any, names: list[str], cols: list[np.ndarray], labels: np.ndarray, metrics: Any, *,
                every: int, detector: Any, predictions: bool, name: str | None, progress: bool,
                cancel: Any) -> Any:
    """An anomaly detector's prequential evaluation: the rows scored then learnt natively, chunk by
    chunk, and the metrics (and detector) fed ``(label, score)`` in Python after each chunk, in
    row order; the curve is read every ``every`` rows. Everything is claimed for the run."""
    n = len(labels)
    getters, updaters = bind_metrics(metrics)  # TypeError naming a metric that is none, before any row
    feed = detector_feed(detector, "anomaly")
    result = new_result(model, name)
    result.curve = {metric: [] for metric, _ in getters}
    scores = np.empty(n, dtype=np.float64)
    targets = labels.tolist()

    def record(count: int) -> None:
        result.steps.append(count)
        for metric, get in getters:
            result.curve[metric].append(get())

    def rows(session: Any, a: int, b: int) -> None:
        if session is not None:
            session.score(names, cols, scores, a, b)
        else:
            for r, x in zip(range(a, b), _rows(names, cols, a, b)):
                scores[r] = model.score_one(x)
                model.learn_one(x)

    def step(session: Any, a: int, b: int) -> None:
        while a < b:  # never across a multiple of `every`, where the curve is read
            stop = min(b, (a // every + 1) * every)
            rows(session, a, stop)
            for r in range(a, stop):
                score, label = float(scores[r]), targets[r]
                for update in updaters:
                    update(label, score)
                if feed is not None:
                    feed(label, score)
                    if detector.drift_detected:
                        result.drifts.append(r + 1)
            if stop % every == 0:
                record(stop)
            a = stop

    bar = progress_bar(progress, n, result.model)
    start = time.perf_counter()
    try:
        if native is not None:
            with native.Session(model, [*metric_targets(metrics), *([detector] if detector is not None else [])]) \
                    as session:
                _run_chunks(n, lambda a, b: step(session, a, b), session, bar.update if bar is not None else None,
                            cancel, align=every)
        else:
            _run_chunks(n, lambda a, b: step(None, a, b), None, bar.update if bar is not None else None, cancel,
                        align=every)
    finally:
        result.elapsed = time.perf_counter() - start
        if bar is not None:
            bar.close()
    result.n_samples = n
    if not result.steps or result.steps[-1] != n:
        record(n)
    result.final = {metric: values[-1] for metric, values in result.curve.items()}
    return (result, scores) if predictions else result


def _native_metrics(named: list[tuple[str, Any]]) -> bool:
    natives = (core.Accuracy, core.MacroPrecision, core.MacroRecall, core.MacroF1, core.MAE, core.RMSE,
               core.R2, core.WindowMetric, core.WindowRegressionMetric)
    for _, m in named:
        target = m.metric if isinstance(m, Windowed) else m
        if type(m) not in (Windowed,) + natives or not isinstance(target, natives):
            return False
    return True


def prequential(
    model: Any,
    X: Any,
    y: Any,
    *,
    columns: Sequence[str] | None = None,
    metrics: Any = "default",
    every: int = 1000,
    detector: Any = True,
    predictions: bool = False,
    threads: int | None = None,
    name: str | None = None,
    progress: bool = False,
    cancel: Any = None,
) -> Any:
    """Test-then-train over the rows, as :func:`tarvo.evaluate.prequential` over the same rows.

    ``metrics="default"`` takes :func:`tarvo.evaluate.default_metrics` of the model's task;
    ``detector=True`` is ``ADWIN(0.002)`` over the errors, ``False`` or ``None`` none, or pass a
    detector. Returns the :class:`~tarvo.evaluate.PrequentialResult`; with
    ``predictions=True``, ``(result, predictions)``, each row's prediction made before the
    row is learnt (the first row's untrained answer included).

    An anomaly detector (``HalfSpaceTrees``) is evaluated on labelled rows (``y``: a non-zero
    label marks an anomaly): each row is scored, then learnt, as :func:`score_many` does it,
    and the metrics take ``(label, score)`` (by default ``roc_auc`` and ``window_roc_auc``);
    ``detector=True`` means none for it, and a detector given watches the scores. The
    predictions are the scores.

    ``threads``: how many threads a forest's members or a booster's stages learn on, as in
    :func:`learn_many`; the result is the same for any count.

    ``name`` names the model in the result; ``progress`` shows a progress bar on a terminal;
    ``cancel``, a :class:`threading.Event`, stops the run between chunks of rows when set
    (as Ctrl-C does), for a caller that runs several evaluations on threads.
    """
    kind = _kind(model)
    if kind == "transform":
        raise TypeError(f"model: {type(model).__name__} is a transformer, not a learner")
    every = count_argument("every", every, 1)
    names, cols, n = _features(X, columns)
    target = _labels(y, n, "classification" if kind == "anomaly" else kind)
    threads = _threads_argument(threads)
    if kind == "regression":
        _target_scale.warn(model, target)
    if isinstance(metrics, str):
        if metrics != "default":
            raise ValueError(f'metrics must be "default", None, or metric objects, got {metrics!r}')
        metrics = default_metrics(kind)
    if detector is True:
        detector = None if kind == "anomaly" else core.ADWIN(0.002)
    elif detector is False:
        detector = None
    if kind == "anomaly":
        return _score_rows(model, names, cols, target, metrics, every=every, detector=detector,
                           predictions=predictions, name=name, progress=progress, cancel=cancel)
    named = named_metrics(metrics)  # TypeError naming a metric that is none, before any row
    detector_feed(detector, kind)  # the same for the detector
    use_native = native is not None and _native_metrics(named) and (detector is None or isinstance(detector, core.ADWIN))
    out = np.empty(n, dtype=np.int64 if kind == "classification" else np.float64) if predictions else None
    result = new_result(model, name)
    if not use_native:
        labels = target.tolist()
        rows = zip(_rows(names, cols, 0, n), labels)
        bar = progress_bar(progress, n, result.model)
        try:
            test_then_train(model, rows, result, metrics, every=every, detector=detector, out=out, bar=bar)
        finally:
            if bar is not None:
                bar.close()
        return (result, out) if predictions else result
    result.curve = {metric: [] for metric, _ in named}
    updates = metric_targets(metrics)

    # Metrics are read through the session, which holds them while the batch runs.
    where = {id(t): i for i, t in enumerate(updates)}
    views = []
    for metric, m in named:
        shared = m.metric if isinstance(m, Windowed) else m
        views.append((metric, where[id(shared)], 1 if isinstance(m, Windowed) and m.which == 1 else 0))

    def record(count: int) -> None:
        result.steps.append(count)
        values = session.read()
        for metric, index, which in views:
            result.curve[metric].append(values[index][which])

    state = {"first": True}

    def step(a: int, b: int) -> None:
        # A chunk never crosses a multiple of `every`, so the curve is read where the Python loop reads it.
        while a < b:
            stop = min(b, (a // every + 1) * every)
            drifts, first_scored = session.prequential(names, cols, target, a, stop, state["first"], out, threads)
            if state["first"] and stop > a:
                result.first_scored = first_scored
                state["first"] = False
            result.drifts.extend(drifts)
            if stop % every == 0:
                record(stop)
            a = stop

    start = time.perf_counter()
    bar = progress_bar(progress, n, result.model)
    try:
        with native.Session(model, updates, detector) as session:
            _run_chunks(n, step, session, bar.update if bar is not None else None, cancel, align=every)
            result.elapsed = time.perf_counter() - start
            result.n_samples = n
            if not result.steps or result.steps[-1] != n:
                record(n)
    finally:
        if bar is not None:
            bar.close()
    result.final = {metric: values[-1] for metric, values in result.curve.items()}
    return (result, out) if predictions else result
