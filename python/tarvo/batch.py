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
read-only and memory-mapped ones included. ``y`` is a 1-D array (or a pandas
column, or a list): any real numbers for regressors; for classifiers, class labels
of any hashable type (int, bool, whole floats, integers beyond 32 bits, text,
NumPy scalars, pandas nullable and categorical columns), by the rule of
:class:`tarvo.stream.ClassLabels`: when a model's first label is a whole number
within 32 bits, labels keep their values; otherwise they are numbered 0, 1, 2, ...
in order of first appearance. The numbering lives with the model (it pickles and
copies with it; :func:`class_labels` returns it), and predictions come back as the
original labels, in an array of the labels' dtype.
An anomaly detector (``HalfSpaceTrees``) scores rows with :func:`score_many`, each
before it learns it, and learns them with :func:`learn_many`, without ``y``.

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
from tarvo import _labels as labels_rule
from tarvo import _text_features as text_features
from tarvo._text_features import IDENTIFIER_RUN
import _tarvo_extra as extra
from tarvo import _target_scale
from tarvo._prequential import (
    PrequentialResult,
    claim,
    Windowed,
    bind_metrics,
    count_argument,
    default_metrics,
    delay_argument,
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
    "class_labels",
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
    """One feature column as a 1-D array of a dtype the native reader takes, or, for a text
    column (texts, pandas ``string`` and ``category`` columns), an object array of its values."""
    dtype = getattr(values, "dtype", None)
    kind = getattr(dtype, "kind", None)
    if hasattr(values, "to_numpy") and not isinstance(values, np.ndarray):
        # pandas: extension dtypes (nullable ints, floats, booleans) give NaN where missing.
        if kind in ("O", "U", "S") or str(dtype) in ("string", "str", "category"):
            return _text_or_numbers(values.to_numpy(dtype=object), name)
        if kind in ("c", "M", "m"):
            raise TypeError(f"X: column {name!r} holds {dtype} values; every feature must be numeric or text")
        if isinstance(dtype, np.dtype) and dtype in _NATIVE_DTYPES:
            arr = values.to_numpy()
        else:
            try:
                arr = values.to_numpy(dtype=np.float64, na_value=np.nan)
            except (TypeError, ValueError) as exc:
                raise TypeError(f"X: column {name!r} holds {dtype} values; every feature must be numeric "
                                "or text") from exc
    else:
        arr = np.asarray(values)
    if arr.dtype.kind in "OUS":
        return _text_or_numbers(arr.astype(object), name)
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"X: column {name!r} holds {arr.dtype} values; every feature must be numeric or text")
    if arr.dtype not in _NATIVE_DTYPES:
        arr = arr.astype(np.float64)
    return arr


def _text_or_numbers(values: np.ndarray, name: str) -> np.ndarray:
    """An object column: a text column (as it is) when it holds a text, else its numbers as float64
    (missing values as NaN)."""
    if any(isinstance(v, (str, bytes)) for v in values.tolist()) or values.size == 0:
        return values
    try:
        return np.array([np.nan if _is_missing(v) else float(v) for v in values.tolist()], dtype=np.float64)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"X: column {name!r} holds values that are neither numbers nor text ({exc})") from exc


def _features(X: Any, columns: Sequence[str] | None) -> tuple[list[str], list[np.ndarray], int]:
    """Feature names, one 1-D array per column (views where possible; an object array for a text
    column), and the row count."""
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
    text = arr.dtype.kind in "OUS"
    if arr.dtype.kind not in "fiub" and not text:
        raise TypeError(f"X holds {arr.dtype} values; every feature must be numeric or text")
    if arr.dtype not in _NATIVE_DTYPES and not text:
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
    if text:
        return names, [_column_array(arr[:, j], names[j]) for j in range(arr.shape[1])], arr.shape[0]
    return names, [arr[:, j] for j in range(arr.shape[1])], arr.shape[0]


def _check_names(names: list[str], what: str) -> None:
    seen: set[str] = set()
    for name in names:
        if name in seen:
            raise ValueError(f"{what}: the name {name!r} appears more than once")
        seen.add(name)


def _anomaly_labels(y: Any, n: int) -> np.ndarray:
    """An anomaly detector's labels (0 normal, any other whole number an anomaly) as int32."""
    arr = np.asarray(y.to_numpy() if hasattr(y, "to_numpy") and not isinstance(y, np.ndarray) else y)
    if arr.ndim != 1:
        raise ValueError(f"y must be 1-D, got {arr.ndim} dimension(s)")
    if arr.shape[0] != n:
        raise ValueError(f"y has {arr.shape[0]} values for {n} rows of X")
    if arr.dtype.kind not in "fiub":
        raise TypeError(f"y holds {arr.dtype} values; an anomaly detector's labels must be whole numbers")
    if arr.dtype.kind == "f" and n and not (np.isfinite(arr).all() and (arr == np.floor(arr)).all()):
        raise ValueError("y: an anomaly detector's labels must be whole numbers (0 normal, another an anomaly)")
    if n and arr.dtype.kind != "b" and (arr.min() < INT32_MIN or arr.max() > INT32_MAX):
        raise ValueError("y: a label lies outside the 32-bit integer range")
    return arr.astype(np.int32)


def _labels(y: Any, n: int, task: str) -> np.ndarray:
    """``y`` checked: float64 targets, or a classifier's labels as a 1-D array of their own values
    (turned into the integers the model learns by :func:`_learnt_labels`)."""
    if task == "classification":
        if isinstance(y, (str, bytes)) or isinstance(y, Mapping) or y is None:
            raise TypeError(f"y must be a 1-D array of labels, not {type(y).__name__}")
        try:
            arr = labels_rule.column(y)
        except ValueError as exc:
            raise ValueError("y: the labels have different shapes; y must be 1-D") from exc
        if arr.ndim != 1:
            raise ValueError(f"y must be 1-D, got {arr.ndim} dimension(s)")
        if arr.shape[0] != n:
            raise ValueError(f"y has {arr.shape[0]} values for {n} rows of X")
        return arr
    if hasattr(y, "to_numpy") and not isinstance(y, np.ndarray):
        dtype = getattr(y, "dtype", None)
        if getattr(dtype, "kind", "O") in "fiub" and not isinstance(dtype, np.dtype):
            y = y.to_numpy(dtype=np.float64, na_value=np.nan)  # nullable numbers: NA as NaN, refused below
        else:
            y = y.to_numpy()
    arr = np.asarray(y)
    if arr.ndim != 1:
        raise ValueError(f"y must be 1-D, got {arr.ndim} dimension(s)")
    if arr.shape[0] != n:
        raise ValueError(f"y has {arr.shape[0]} values for {n} rows of X")
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


def _learnt_labels(model: Any, values: np.ndarray) -> np.ndarray:
    """A classifier's labels as the int32 integers ``model`` learns, by the label rule and the
    numbering kept with the model (started or extended here; see :mod:`tarvo._labels`). A label
    the rule refuses raises :class:`~tarvo._labels.LabelError`, a ``ValueError`` naming ``y`` and the row."""
    return labels_rule.encode_for(model, values)


def class_labels(model: Any) -> labels_rule.ClassLabels | None:
    """The numbering of class labels kept with ``model``: a copy of its
    :class:`~tarvo.stream.ClassLabels` (``names`` maps each learnt integer to its label), or
    ``None`` when the model learnt its labels as they are (whole numbers within 32 bits).

    A batch function given labels that are no such integers starts the numbering (text labels
    ``"no"``, ``"yes"`` are learnt as 0 and 1); it is part of the model from then on: it
    pickles, copies (``copy.copy``, ``copy.deepcopy``) and is stored by ``--save`` with it, and
    :func:`predict_many` turns the model's answers back into the labels. A transformer's
    ``clone_state()`` carries it through :func:`tarvo._model_state.clone_state`.
    """
    return labels_rule.numbering(model)


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


# ---------------------------------------------------------------- text columns


def _has_text(cols: list[np.ndarray], model: Any = None) -> bool:
    """Whether the rows go through the text encoding: a text column, or a model with text features."""
    return any(col.dtype.kind == "O" for col in cols) or (
        model is not None and text_features.of_model(model, create=False) is not None)


def _category_codes(features: Any, name: str, values: np.ndarray, learn: bool) -> tuple[np.ndarray, dict[int, int]]:
    """Each row's category of the text feature ``name`` (-1 for one never learnt, -2 for a missing
    value), and the row at which each category added here first appears. Each distinct value is
    read once (pandas' hash table, or a dict), in order of first appearance."""
    index, distinct = _factorized(values)
    first = np.unique(index, return_index=True)[1] if learn and len(distinct) else np.empty(0, dtype=np.int64)
    lookup = np.empty(len(distinct), dtype=np.int64)
    added: dict[int, int] = {}
    known_before = len(features.categories.get(name, ())) if features is not None else 0
    if learn and features is not None:
        features.run(name, ())  # opens the run of new values before this chunk is counted
    for j, value in enumerate(distinct):
        text = text_features.text_of(value)
        if text is None:
            lookup[j] = -2
            continue
        known = len(features.categories.get(name, ())) if features is not None else 0
        code = features.category(name, text, learn) if features is not None else -1
        if learn and code == known:  # a category added at this value's first row
            added[code] = int(first[j])
        lookup[j] = code
    cats = lookup[index] if len(distinct) else np.full(len(values), -2, dtype=np.int64)
    if learn and features is not None:
        present = cats[cats != -2][:IDENTIFIER_RUN]
        # A value is new where it is the next category added (categories are added in row order).
        features.run(name, (present == known_before + np.arange(len(present))).tolist())
        features.counted(name, int((cats != -2).sum()))
    return cats, added


def _factorized(values: np.ndarray) -> tuple[np.ndarray, list[Any]]:
    factorized = labels_rule._factorize(values)
    if factorized is not None:
        return np.asarray(factorized[0], dtype=np.int64), factorized[1]
    seen: dict[Any, int] = {}
    index = np.fromiter((seen.setdefault(v, len(seen)) for v in values.tolist()), dtype=np.int64, count=len(values))
    return index, list(seen)


def _encoded(model: Any, names: list[str], cols: list[np.ndarray], a: int, b: int,
             learn: bool) -> tuple[list[str], list[np.ndarray]]:
    """The rows ``[a, b)`` with each text column as its indicator columns (1.0 for the row's
    category, 0.0 for the other known ones, NaN where the row's value is missing, and, when
    learning, before the row at which a category is added), as :func:`tarvo._text_features.encode_row`
    makes each row. Learning adds the new categories to the model's."""
    features = text_features.of_model(model, create=learn)
    out_names: list[str] = []
    out_cols: list[np.ndarray] = []
    for name, col in zip(names, cols):
        if col.dtype.kind != "O":
            if features is not None and features.is_text(name):
                if col.dtype.kind == "f" and np.isnan(col[a:b]).all():
                    continue  # every cell missing (an object column of nulls reads as NaN): no indicator
                raise TypeError(f"X: column {name!r} holds numbers, and the model learnt it as a text feature")
            out_names.append(name)
            out_cols.append(col[a:b])
            continue
        cats, added = _category_codes(features, name, col[a:b], learn)
        missing = cats == -2
        for c, category in enumerate(features.categories.get(name, ()) if features is not None else ()):
            indicator = (cats == c).astype(np.float64)
            indicator[missing] = np.nan
            indicator[:added.get(c, 0)] = np.nan
            out_names.append(f"{name}={category}")
            out_cols.append(indicator)
    if len(set(out_names)) != len(out_names):
        _check_names(out_names, "X: a text column's indicators and the other columns")
    return out_names, out_cols


def _text_step(model: Any, names: list[str], cols: list[np.ndarray], learn: bool,
               call: Any) -> Any:
    """``call(names, cols, a, b)`` for a chunk, its text columns encoded (under the lock of the
    model's state when learning, so that the categories grow in row order)."""

    def step(a: int, b: int) -> Any:
        if learn:
            with text_features.locked():
                encoded = _encoded(model, names, cols, a, b, True)
        else:
            encoded = _encoded(model, names, cols, a, b, False)
        return call(encoded[0], encoded[1], a, b)

    return step


def _most(model: Any) -> Any:
    """The rows of a chunk of text columns: about 4 million indicator cells at most."""

    def most() -> int:
        features = text_features.of_model(model, create=False)
        width = sum(len(c) for c in features.categories.values()) if features is not None else 0
        return max(_FIRST_CHUNK, (1 << 22) // (1 + width))

    return most


def _text_rows(names: list[str], cols: list[np.ndarray], start: int, stop: int) -> Any:
    """The rows as dicts with their text values (for the Python loop; missing cells left out)."""
    lists = [col[start:stop].tolist() for col in cols]
    for r in range(stop - start):
        row: dict[str, Any] = {}
        for name, col, values in zip(names, cols, lists):
            v = values[r]
            if col.dtype.kind == "O":
                text = text_features.cell_text(v)
                if text is not None:
                    row[name] = text
            else:
                v = float(v)
                if not math.isnan(v):
                    row[name] = v
        yield row


# ---------------------------------------------------------------- the row loop


def _rows(names: list[str], cols: list[np.ndarray], start: int, stop: int) -> Any:
    """The rows as dicts, for the Python loop (NaN cells left out)."""
    for r in range(start, stop):
        row: dict[str, Any] = {}
        for name, col in zip(names, cols):
            v = float(col[r])
            if not math.isnan(v):
                row[name] = v
        yield row


def _run_chunks(total: int, step: Any, session: Any = None, progress: Any = None, cancel: Any = None,
                align: int = 1, most: Any = None) -> None:
    """Calls ``step(start, stop)`` over ``[0, total)`` in chunks short enough that Ctrl-C is
    seen within about ``_CHECK_SECONDS``; a KeyboardInterrupt names the rows completed
    (as the native session counts them: the signal may arrive just after a chunk returns).
    A chunk longer than ``align`` rows ends at a multiple of ``align`` (or at ``total``), so a
    step that cuts its rows at those multiples is not left with short pieces. ``most()``, when
    given, caps a chunk's rows (a chunk of text columns grows to a column per category)."""
    done = 0
    size = _FIRST_CHUNK
    try:
        while done < total:
            if cancel is not None and cancel.is_set():
                raise KeyboardInterrupt("cancelled")
            stop = min(total, done + (size if most is None else min(size, most())))
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
            if kind == "classification" and target is not None:  # numbered while the model is claimed
                target = _learnt_labels(model, target)
            if _has_text(cols, model):
                rows = target
                _run_chunks(n, _text_step(model, names, cols, True, lambda nm, cl, a, b: session.learn(
                    nm, cl, None if rows is None else rows[a:b], 0, b - a, threads)), session, most=_most(model))
            else:
                _run_chunks(n, lambda a, b: session.learn(names, cols, target, a, b, threads), session)
        return
    if kind == "classification" and target is not None:
        target = _learnt_labels(model, target)
    text = _has_text(cols, model)
    learn = model.learn_one

    def step(a: int, b: int) -> None:
        for r, x in zip(range(a, b), _text_rows(names, cols, a, b) if text else _rows(names, cols, a, b)):
            if text:
                x = text_features.encode_row(model, x, learn=True)
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
    _run_chunks(n, lambda a, b: _score_then_learn(model, names, cols, out, a, b))
    return out


def _score_then_learn(model: Any, names: list[str], cols: list[np.ndarray], out: np.ndarray, a: int, b: int) -> None:
    """Rows ``a`` to ``b`` scored into ``out`` and learnt, one at a time (without the native module)."""
    score, learn = model.score_one, model.learn_one
    for r, x in zip(range(a, b), _rows(names, cols, a, b)):
        out[r] = score(x)
        learn(x)


def predict_many(model: Any, X: Any, *, columns: Sequence[str] | None = None) -> np.ndarray:
    """Each row's prediction: floats for a regressor; for a classifier, its labels as it learnt
    them through this module (an array of the labels' dtype: texts for text labels, see
    :func:`class_labels`), int64 for a classifier that keeps its labels' values."""
    kind = _kind(model)
    if kind == "transform":
        raise TypeError(f"model: {type(model).__name__} is a transformer; use transform_many")
    if kind == "anomaly":
        raise TypeError(f"model: {type(model).__name__} is an anomaly detector; use score_many")
    names, cols, n = _features(X, columns)
    out = np.empty(n, dtype=np.int64 if kind == "classification" else np.float64)
    text = _has_text(cols, model)
    if native is not None:
        with native.Session(model) as session:
            if text:
                _run_chunks(n, _text_step(model, names, cols, False, lambda nm, cl, a, b: session.predict(
                    nm, cl, out[a:b], 0, b - a)), session, most=_most(model))
            else:
                _run_chunks(n, lambda a, b: session.predict(names, cols, out, a, b), session)
    else:
        predict = model.predict_one

        def step(a: int, b: int) -> None:
            for r, x in zip(range(a, b), _text_rows(names, cols, a, b) if text else _rows(names, cols, a, b)):
                out[r] = predict(text_features.encode_row(model, x, learn=False) if text else x)

        _run_chunks(n, step)
    return labels_rule.decode_for(model, out) if kind == "classification" else out


def predict_proba_many(model: Any, X: Any, *, columns: Sequence[str] | None = None) -> tuple[list[Any], np.ndarray]:
    """``(labels, P)``: every label in any row's answer, and one column per label (0.0 where a
    row's answer lacks the label). The labels are ordered by the integers the model learnt them
    as (sorted values for labels kept as they are, order of first appearance for numbered ones),
    and named as the model learnt them through this module (see :func:`class_labels`)."""
    if _kind(model) != "classification":
        raise TypeError(f"model: {type(model).__name__} is not a classifier")
    names, cols, n = _features(X, columns)
    answers: list[Any] = []
    if _has_text(cols, model):
        if native is None:  # pragma: no cover - a build without the batch module
            raise TypeError("X: text columns need the batch module")
        with native.Session(model) as session:
            _run_chunks(n, _text_step(model, names, cols, False, lambda nm, cl, a, b: answers.append(
                session.predict_proba(nm, cl, 0, b - a))), session, most=_most(model))
        labels = sorted({label for chunk_labels, _ in answers for label in chunk_labels})
        return labels_rule.labels_for(model, labels), _stack_chunks(answers, labels, n, 0.0)
    if native is not None:
        with native.Session(model) as session:
            _run_chunks(n, lambda a, b: answers.append(session.predict_proba(names, cols, a, b)), session)
        labels = sorted({label for chunk_labels, _ in answers for label in chunk_labels})
        return labels_rule.labels_for(model, labels), _stack_chunks(answers, labels, n, 0.0)
    proba = model.predict_proba_one
    _run_chunks(n, lambda a, b: answers.extend(proba(x) for x in _rows(names, cols, a, b)))
    labels = sorted({label for answer in answers for label in answer})
    index = {label: j for j, label in enumerate(labels)}
    P = np.zeros((n, len(labels)), dtype=np.float64)
    for r, answer in enumerate(answers):
        for label, p in answer.items():
            P[r, index[label]] = p
    return labels_rule.labels_for(model, labels), P


def transform_many(transformer: Any, X: Any, *, columns: Sequence[str] | None = None) -> tuple[list[str], np.ndarray]:
    """``(names, Z)``: the output feature names (the input columns' order first, then any
    other name in sorted order) and one row per input row, NaN where a row lacks a name."""
    if _kind(transformer) != "transform":
        raise TypeError(f"transformer: {type(transformer).__name__} is not a transformer")
    names, cols, n = _features(X, columns)
    answers: list[Any] = []
    if _has_text(cols, transformer):
        if native is None:  # pragma: no cover - a build without the batch module
            raise TypeError("X: text columns need the batch module")
        with native.Session(transformer) as session:
            _run_chunks(n, _text_step(transformer, names, cols, False, lambda nm, cl, a, b: answers.append(
                session.transform(nm, cl, 0, b - a))), session, most=_most(transformer))
        inputs = _encoded(transformer, names, cols, 0, 0, False)[0]
        out_names = _output_names(inputs, {name for chunk_names, _ in answers for name in chunk_names})
        return out_names, _stack_chunks(answers, out_names, n, np.nan)
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


def _delays(delay: Any) -> list[int] | None:
    """An array or sequence of per-row delays as ints (None when every one is 0); ValueError
    naming the first row whose delay is no whole number of at least 0."""
    arr = np.asarray(delay)
    if arr.dtype.kind not in "iuf" or arr.dtype.kind == "b":
        raise TypeError(f"delay holds {arr.dtype} values; a delay is a whole number of rows")
    bad = ~np.isfinite(arr) if arr.dtype.kind == "f" else np.zeros(arr.shape, bool)
    if arr.dtype.kind == "f":
        bad |= np.where(np.isfinite(arr), arr != np.floor(arr), True)
    bad |= np.where(np.isfinite(arr), arr < 0, False) if arr.dtype.kind == "f" else arr < 0
    if bad.any():
        first = int(np.argmax(bad))
        raise ValueError(f"delay[{first}]: {arr[first]!r} is not a whole number of rows of at least 0")
    if arr.size and arr.max() > 2**62:
        raise ValueError("delay: a delay beyond 2**62 rows")
    values = arr.astype(np.int64)
    return values.tolist() if values.any() else None


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
            _score_then_learn(model, names, cols, scores, a, b)

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
    delay: Any = None,
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

    ``delay``: delayed labels, a whole number of rows or an array of one per row, as in
    :func:`tarvo.evaluate.prequential`; a run with delays runs in the Python loop (the same
    loop, so the same result, as the per-sample evaluation).
    """
    kind = _kind(model)
    if kind == "transform":
        raise TypeError(f"model: {type(model).__name__} is a transformer, not a learner")
    every = count_argument("every", every, 1)
    names, cols, n = _features(X, columns)
    target = _anomaly_labels(y, n) if kind == "anomaly" else _labels(y, n, kind)
    threads = _threads_argument(threads)
    delay = delay_argument(delay, n)
    if delay is not None and not isinstance(delay, int):
        delay = _delays(delay)
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
    use_native = native is not None and _native_metrics(named) and (detector is None or isinstance(detector, core.ADWIN)) \
        and delay is None
    out = np.empty(n, dtype=np.int64 if kind == "classification" else np.float64) if predictions else None
    result = new_result(model, name)
    classification = kind == "classification"
    text = _has_text(cols, model)
    if text:  # a new category is absent when the row is predicted and present when it is learnt
        use_native = False
    if not use_native:
        if classification:
            target = _learnt_labels(model, target)
        labels = target.tolist()
        rows = zip(_text_rows(names, cols, 0, n) if text else _rows(names, cols, 0, n), labels)
        bar = progress_bar(progress, n, result.model)
        try:
            if text:
                with claim(model, [*metric_targets(metrics), detector]):
                    test_then_train(text_features.Encoded(model), rows, result, metrics, every=every, detector=detector,
                                    out=out, bar=bar, delay=delay)
            else:
                test_then_train(model, rows, result, metrics, every=every, detector=detector, out=out, bar=bar,
                                delay=delay)
        finally:
            if bar is not None:
                bar.close()
        if out is not None and classification:
            out = labels_rule.decode_for(model, out)
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
            if classification:  # numbered while the model is claimed: one numbering per model
                target = _learnt_labels(model, target)
            _run_chunks(n, step, session, bar.update if bar is not None else None, cancel, align=every)
            result.elapsed = time.perf_counter() - start
            result.n_samples = n
            if not result.steps or result.steps[-1] != n:
                record(n)
    finally:
        if bar is not None:
            bar.close()
    result.final = {metric: values[-1] for metric, values in result.curve.items()}
    if out is not None and classification:
        out = labels_rule.decode_for(model, out)
    return (result, out) if predictions else result
