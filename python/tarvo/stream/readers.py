"""Streams from files and in-memory tables: CSV files, arrays and data frames.

Every reader yields ``(x, y)`` pairs, ``x`` a ``dict`` from feature name to
``float`` holding only the features present in that row (a missing value is an
absent feature, which every learner accepts), ``y`` the target.
"""

from __future__ import annotations

import csv
import gzip
import math
import operator
import os
from collections.abc import Callable, Collection, Iterable, Iterator, Mapping, Sequence
from typing import Any, TextIO

from tarvo.stream._rows import dict_builder

#: Field texts read as a missing value (the feature is left out of the sample).
MISSING: frozenset[str] = frozenset({"", "?", "NA", "N/A", "NaN", "nan", "null", "None"})

_INT32 = (-(2**31), 2**31 - 1)
_CHUNK = 1024


def parse_label(text: str) -> int:
    """A class label from its text: an integer such as ``"3"`` or an integral number such as ``"3.0"``.

    Raises ``ValueError`` for any other text and for labels outside the signed
    32-bit range that the learners accept.
    """
    try:
        value = int(text)
    except ValueError:
        number = float(text)
        if not number.is_integer():
            raise ValueError(f"not an integer class label: {text!r}") from None
        value = int(number)
    if not _INT32[0] <= value <= _INT32[1]:
        raise ValueError(f"class label {text!r} is outside the 32-bit range")
    return value


def _open_text(path: str | os.PathLike[str]) -> TextIO:
    if os.fspath(path).endswith(".gz"):
        return gzip.open(path, "rt", newline="", encoding="utf-8-sig")
    return open(path, newline="", encoding="utf-8-sig")


def _check_names(header: Sequence[str], names: Iterable[str], what: str, where: str) -> None:
    unknown = [n for n in names if n not in header]
    if unknown:
        raise ValueError(
            f"{where}: {what} {', '.join(map(repr, unknown))} not among the columns "
            f"({', '.join(map(repr, header))})"
        )


def iter_csv(
    path: str | os.PathLike[str] | TextIO,
    target: str | None = None,
    converters: Mapping[str, Callable[[str], Any]] | None = None,
    drop: Collection[str] | None = None,
    *,
    delimiter: str = ",",
    missing: Collection[str] = MISSING,
) -> Iterator[tuple[dict[str, Any], Any]]:
    """Stream a CSV file with a header row as ``(x, y)`` pairs, one row at a time.

    Args:
        path: the file (``.gz`` files are decompressed on the fly) or an open text file.
        target: the column holding the target; ``None`` yields ``y = None``.
        converters: functions turning a field's text into its value, by column
            name. Features default to ``float``; the target defaults to
            :func:`parse_label` (an ``int`` class label), so pass
            ``{target: float}`` for a regression target.
        drop: columns to leave out.
        delimiter: the field separator.
        missing: field texts that mean "no value": the feature is absent from
            ``x``. A missing target is an error.

    Fields may be quoted (``"1,5"`` is one field). Memory stays constant
    whatever the file's length. Any value that does not convert raises
    ``ValueError`` naming the file, the row (1 is the first row after the
    header), its line and the column.
    """
    if isinstance(path, (str, os.PathLike)):
        with _open_text(path) as handle:
            yield from _iter_csv(handle, os.fspath(path), target, converters, drop, delimiter, missing)
    else:
        yield from _iter_csv(path, getattr(path, "name", "<stream>"), target, converters, drop, delimiter, missing)


def _iter_csv(
    handle: TextIO,
    where: str,
    target: str | None,
    converters: Mapping[str, Callable[[str], Any]] | None,
    drop: Collection[str] | None,
    delimiter: str,
    missing: Collection[str],
) -> Iterator[tuple[dict[str, Any], Any]]:
    reader = csv.reader(handle, delimiter=delimiter)
    header = [name.strip() for name in next(reader, [])]
    if not header:
        return
    duplicated = sorted({n for n in header if header.count(n) > 1})
    if duplicated:
        raise ValueError(f"{where}: duplicated column names {', '.join(map(repr, duplicated))}")
    converters = dict(converters or {})
    dropped = set(drop or ())
    _check_names(header, [target] if target is not None else [], "target column", where)
    _check_names(header, sorted(dropped), "dropped column", where)
    _check_names(header, sorted(converters), "converter column", where)

    features = [
        (i, name, converters.get(name, float))
        for i, name in enumerate(header)
        if name != target and name not in dropped
    ]
    names = tuple(name for _, name, _ in features)
    build = dict_builder(names)
    pick = operator.itemgetter(*[i for i, _, _ in features]) if len(features) > 1 else None
    all_float = all(conv is float for _, _, conv in features)
    t_index = header.index(target) if target is not None else -1
    t_conv = converters.get(target, parse_label) if target is not None else None
    missing = frozenset(missing)
    width = len(header)

    def fail(row_no: int, name: str, text: str, exc: Exception) -> ValueError:
        return ValueError(
            f"{where}: row {row_no} (line {reader.line_num}), column {name!r}: "
            f"cannot convert {text!r} ({exc})"
        )

    for row_no, row in enumerate(reader, start=1):
        if len(row) != width:
            if not row:
                continue  # a blank line
            raise ValueError(
                f"{where}: row {row_no} (line {reader.line_num}) has {len(row)} fields, "
                f"the header has {width}"
            )
        x: dict[str, Any] | None = None
        if all_float:
            try:  # the common case: every field a number
                values = list(map(float, pick(row))) if pick is not None else [float(row[i]) for i, _, _ in features]
                total = sum(values)
                if total == total:  # no NaN among them
                    x = build(values)
            except ValueError:
                pass  # a missing or bad value: take the field-by-field road
        if x is None:
            x = {}
            for i, name, conv in features:
                text = row[i]
                if text in missing or text.strip() in missing:
                    continue
                try:
                    value = conv(text)
                except (ValueError, TypeError, ArithmeticError) as exc:
                    raise fail(row_no, name, text, exc) from exc
                if value == value:  # a NaN is a missing value too
                    x[name] = value
        if t_conv is None:
            yield x, None
            continue
        text = row[t_index]
        try:
            y = t_conv(text)
        except (ValueError, TypeError, ArithmeticError) as exc:
            if text.strip() not in missing:
                raise fail(row_no, str(target), text, exc) from exc
            y = math.nan
        if y != y:  # a missing text, or one that converts to NaN
            raise ValueError(f"{where}: row {row_no} (line {reader.line_num}), column {target!r}: missing target")
        yield x, y


def _has_gap(row: Sequence[Any]) -> bool:
    for v in row:
        if v is None or v != v:
            return True
    return False


def _without_gaps(names: tuple[str, ...], row: Sequence[Any]) -> dict[str, Any]:
    return {k: v for k, v in zip(names, row) if v is not None and v == v}


def iter_arrays(
    X: Any,
    y: Any = None,
    feature_names: Sequence[str] | None = None,
) -> Iterator[tuple[dict[str, Any], Any]]:
    """Stream the rows of ``X`` (a 2-D NumPy array or any sequence of rows) with the targets ``y``.

    Features are named by ``feature_names``, by default ``x0``, ``x1``, ...;
    a NaN or ``None`` value leaves that feature out of the sample. ``y`` is a
    sequence of the same length (``None`` yields ``y = None``); NumPy values
    become Python ``int`` and ``float``. NumPy is not needed for sequences.
    """
    if hasattr(X, "to_numpy"):
        X = X.to_numpy()
    if y is not None and hasattr(y, "to_numpy"):
        y = y.to_numpy()
    n = len(X)
    if y is not None and len(y) != n:
        raise ValueError(f"X has {n} rows but y has {len(y)} values")
    if n == 0:
        return
    shape = getattr(X, "shape", None)
    width = shape[1] if shape is not None and len(shape) == 2 else len(X[0])
    names = tuple(feature_names) if feature_names is not None else tuple(f"x{j}" for j in range(width))
    if len(names) != width:
        raise ValueError(f"{len(names)} feature names for {width} columns")
    if len(set(names)) != len(names):
        raise ValueError("feature names must be unique")
    build = dict_builder(names)
    numpy_rows = shape is not None and len(shape) == 2
    for start in range(0, n, _CHUNK):
        stop = min(start + _CHUNK, n)
        gaps: Collection[int]
        if numpy_rows:
            import numpy as np

            block = np.asarray(X[start:stop], dtype=float)
            gaps = set(np.flatnonzero(np.isnan(block).any(axis=1)).tolist())
            rows: list[Any] = block.tolist()
        else:
            rows = list(X[start:stop])
            gaps = [k for k, row in enumerate(rows) if _has_gap(row)]
        labels = _as_list(y[start:stop]) if y is not None else [None] * (stop - start)
        for k, (row, label) in enumerate(zip(rows, labels)):
            if len(row) != width:
                raise ValueError(f"row {start + k} has {len(row)} values, expected {width}")
            yield (_without_gaps(names, row) if k in gaps else build(row)), label


def _as_list(values: Any) -> list[Any]:
    return values.tolist() if hasattr(values, "tolist") else list(values)


def iter_frame(
    frame: Any,
    target: str | None = None,
    drop: Collection[str] | None = None,
) -> Iterator[tuple[dict[str, Any], Any]]:
    """Stream the rows of a pandas ``DataFrame``: every numeric column but ``target`` and ``drop`` is a feature.

    Missing values (NaN) are absent features. Needs pandas only for the frame
    itself; the frame is read in chunks, so no full copy is made.
    """
    columns = list(frame.columns)
    dropped = set(drop or ())
    where = "data frame"
    _check_names(columns, [target] if target is not None else [], "target column", where)
    _check_names(columns, sorted(dropped, key=str), "dropped column", where)
    features = [c for c in columns if c != target and c not in dropped]
    for c in features:
        kind = getattr(frame[c].dtype, "kind", "f")
        if kind not in "biuf":
            raise ValueError(f"{where}: column {c!r} is not numeric (dtype {frame[c].dtype})")
    names = [str(c) for c in features]
    for start in range(0, len(frame), _CHUNK):
        part = frame.iloc[start : start + _CHUNK]
        X = part[features].to_numpy(dtype=float)
        y = part[target].to_numpy() if target is not None else None
        yield from iter_arrays(X, y, names)


__all__ = ["MISSING", "iter_arrays", "iter_csv", "iter_frame", "parse_label"]
