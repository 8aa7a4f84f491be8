"""Streams from files and in-memory tables: CSV files, arrays and data frames.

Every reader yields ``(x, y)`` pairs, ``x`` a ``dict`` from feature name to
value holding only the features present in that row (a missing value is an
absent feature, which every learner accepts), ``y`` the target. A value is a
``float``, or for a text column a ``str``: a learner takes text values through
its text features (:func:`tarvo.stream.encode_row`, which
:func:`tarvo.evaluate.prequential` applies), one-hot over the categories it has
learnt. A text column's cell is read as :func:`tarvo._text_features.cell_text`
reads it, on every path, so the same row gives the same sample.

Input that cannot be read raises :class:`DataError` (a ``ValueError``) whose
message names the file, the row and the column; arguments of the wrong kind
raise ``TypeError`` or ``ValueError`` naming the argument.
"""

from __future__ import annotations

import codecs
import collections
import csv
import gzip
import itertools
import math
import operator
import os
import zlib
from collections.abc import Callable, Collection, Generator, Iterable, Iterator, Mapping, Sequence
from typing import Any, TextIO

from tarvo._labels import MISSING, ClassLabels, LabelError, column
from tarvo.stream._rows import dict_builder

_INT32 = (-(2**31), 2**31 - 1)
_CHUNK = 1024
#: iter_csv reads a column as text when one of its first TEXT_ROWS rows holds a value that is
#: no number.
TEXT_ROWS = 1_000


class DataError(ValueError):
    """Input data that cannot be read: the message names the file, the row and the column.

    ``feature`` is the feature column whose value did not convert, when that is the
    fault (a text column such as an identifier), else ``None``.
    """

    def __init__(self, message: str, feature: str | None = None) -> None:
        super().__init__(message)
        self.feature = feature


# Failures of reading a file rather than of converting a value: bad bytes, a broken
# compressed file, a field longer than the csv module's limit.
_READ_ERRORS = (csv.Error, UnicodeDecodeError, EOFError, zlib.error, gzip.BadGzipFile)


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
    columns = set(header)
    unknown = [n for n in names if n not in columns]
    if unknown:
        raise DataError(
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
) -> Generator[tuple[dict[str, Any], Any], None, None]:
    """Stream a CSV file with a header row as ``(x, y)`` pairs, one row at a time.

    Args:
        path: the file (``.gz`` files are decompressed on the fly) or an open text file.
        target: the column holding the target; ``None`` yields ``y = None``.
        converters: functions turning a field's text into its value, by column
            name. A feature column is read as numbers (``float``) unless one of its
            first :data:`TEXT_ROWS` rows holds a value that is no number: then it is
            a text column, whose values are yielded as their text (pass
            ``{column: str}`` to read a column as text whatever it holds). The target defaults to a fresh
            :class:`ClassLabels` (an ``int`` class label: numbers keep their value,
            text labels are numbered in order of first appearance), so pass
            ``{target: float}`` for a regression target, and your own
            ``ClassLabels()`` to read the numbering of text labels.
        drop: columns to leave out.
        delimiter: the field separator.
        missing: field texts that mean "no value": the feature is absent from
            ``x``. A missing target is an error.

    Fields may be quoted (``"1,5"`` is one field). Memory stays constant
    whatever the file's length. A value that does not convert, a row of the
    wrong length, text that is not UTF-8, a field longer than
    ``csv.field_size_limit()`` and a file without a header row raise
    :class:`DataError` naming the file, the row (1 is the first row after the
    header), its line and the column. A file with a header and no rows yields
    nothing.
    """
    if isinstance(path, (str, os.PathLike)):
        where = os.fspath(path)
        with _open_text(path) as handle:
            try:
                yield from _iter_csv(handle, where, target, converters, drop, delimiter, missing)
            except UnicodeDecodeError as exc:
                raise DataError(f"{where}: {_where_undecodable(path, exc)}") from exc
    else:
        yield from _iter_csv(path, getattr(path, "name", "<stream>"), target, converters, drop, delimiter, missing)


def _where_undecodable(path: str | os.PathLike[str], exc: UnicodeDecodeError) -> str:
    """Where a file stops being UTF-8 text: the line and the byte, found by reading it again."""
    opener = gzip.open if os.fspath(path).endswith(".gz") else open
    decoder = codecs.getincrementaldecoder("utf-8")()
    offset, newlines = 0, 0
    try:
        with opener(path, "rb") as raw:
            while chunk := raw.read(1 << 16):
                pending = len(decoder.getstate()[0])
                try:
                    decoder.decode(chunk)
                except UnicodeDecodeError as bad:
                    at = max(0, bad.start - pending)
                    line = newlines + chunk.count(b"\n", 0, at) + 1
                    return f"line {line} is not UTF-8 text (byte 0x{chunk[at]:02x} at offset {offset + at})"
                offset += len(chunk)
                newlines += chunk.count(b"\n")
    except (OSError, EOFError, zlib.error):
        pass
    return f"not UTF-8 text ({exc.reason}: byte 0x{exc.object[exc.start]:02x})"


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
    try:
        first = next(reader, None)
    except _READ_ERRORS as exc:
        raise _read_error(where, -1, reader.line_num, exc) from exc
    if first is None:
        raise DataError(f"{where}: empty file: no header row")
    header = [name.strip() for name in first]
    if any("\x00" in name for name in header):
        raise DataError(f"{where}: line 1 holds a NUL byte: a binary file, not CSV text")
    counts = collections.Counter(header)
    duplicated = sorted(n for n, k in counts.items() if k > 1)
    if duplicated:
        raise DataError(f"{where}: duplicated column names {', '.join(map(repr, duplicated))}")
    converters = dict(converters or {})
    for name, conv in converters.items():
        if not callable(conv):
            raise TypeError(f"the converter of column {name!r} is not callable: {conv!r}")
    if isinstance(drop, str):
        drop = [drop]
    dropped = set(drop or ())
    _check_names(header, [target] if target is not None else [], "target column", where)
    _check_names(header, sorted(dropped), "dropped column", where)
    _check_names(header, sorted(converters), "converter column", where)

    columns = [(i, name) for i, name in enumerate(header) if name != target and name not in dropped]
    # The first rows decide which columns are text; they are kept to be yielded.
    head: list[tuple[list[str], int]] = []
    try:
        for row in itertools.islice(reader, TEXT_ROWS):
            head.append((row, reader.line_num))
    except _READ_ERRORS as exc:
        raise _read_error(where, len(head), reader.line_num, exc) from exc
    width = len(header)
    text_columns = _text_columns(head, [i for i, name in columns if name not in converters], width,
                                 frozenset(missing))
    features = [(i, name, converters.get(name, str if i in text_columns else float)) for i, name in columns]
    names = tuple(name for _, name, _ in features)
    build = dict_builder(names)
    pick = operator.itemgetter(*[i for i, _, _ in features]) if len(features) > 1 else None
    all_float = all(conv is float for _, _, conv in features)
    t_index = header.index(target) if target is not None else -1
    t_conv = converters.get(target, ClassLabels()) if target is not None else None
    missing = frozenset(missing)
    line = 0
    numbers_read = len(head) >= TEXT_ROWS

    def fail(row_no: int, name: str, text: str, exc: Exception, feature: bool = True) -> DataError:
        note = ""
        if feature and numbers_read and converters.get(name) is None:
            note = (f"; the column holds numbers in its first {TEXT_ROWS:,} rows (pass converters={{{name!r}: str}} "
                    "to read it as text)")
        return DataError(
            f"{where}: row {row_no} (line {line}), column {name!r}: cannot convert {text!r} ({exc}){note}",
            feature=name if feature else None,
        )

    def rest() -> Iterator[tuple[list[str], int]]:
        for row in reader:
            yield row, reader.line_num

    row_no = len(head)
    try:
        for row_no, (row, line) in enumerate(itertools.chain(head, rest()), start=1):
            if len(row) != width:
                if not row:
                    continue  # a blank line
                raise DataError(f"{where}: row {row_no} (line {line}) has {len(row)} fields, the header has {width}")
            x: dict[str, Any] | None = None
            if all_float:
                try:  # the common case: every field a number
                    values = (
                        list(map(float, pick(row))) if pick is not None else [float(row[i]) for i, _, _ in features]
                    )
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
            if text in missing or text.strip() in missing:
                y = math.nan
            else:
                try:
                    y = t_conv(text)
                except (ValueError, TypeError, ArithmeticError) as exc:
                    raise fail(row_no, str(target), text, exc, feature=False) from exc
            if y != y:  # a missing text, or one that converts to NaN
                raise DataError(f"{where}: row {row_no} (line {line}), column {target!r}: missing target")
            yield x, y
    except _READ_ERRORS as exc:
        raise _read_error(where, row_no, reader.line_num, exc) from exc


def _text_columns(head: list[tuple[list[str], int]], candidates: list[int], width: int,
                  missing: frozenset[str]) -> set[int]:
    """The columns among ``candidates`` holding, in the rows ``head``, a value that is no number."""
    text: set[int] = set()
    left = list(candidates)
    for row, _ in head:
        if len(row) != width or not left:
            continue  # a blank or broken row is reported when it is yielded
        for i in left:
            field = row[i]
            try:
                float(field)
            except ValueError:
                if field not in missing and field.strip() not in missing:
                    text.add(i)
        left = [i for i in left if i not in text]
    return text


def _read_error(where: str, rows_read: int, line: int, exc: Exception) -> Exception:
    """The error for a file that cannot be read past row ``rows_read`` (line ``line``)."""
    if isinstance(exc, UnicodeDecodeError):
        return exc  # located by iter_csv, which can read the file again
    if not isinstance(exc, csv.Error):
        after = f" after line {line}" if line else ""
        return DataError(f"{where}: not a readable gzip file{after} ({exc})")
    if "field larger than field limit" in str(exc):
        reason = f"a field is longer than {csv.field_size_limit():,} characters (an unclosed quote?)"
    else:
        reason = str(exc)
    place = f"row {rows_read + 1} (line {line})" if rows_read >= 0 else f"header (line {line})"
    return DataError(f"{where}: {place}: {reason}")


def _number_kind(value: Any) -> bool:
    kind = type(value)
    return kind is float or kind is int or hasattr(kind, "__float__") or hasattr(kind, "__index__")


def _has_gap(row: Sequence[Any], r: int, names: Sequence[str]) -> bool:
    """Whether a row of Python values has a gap (``None`` or NaN); ``TypeError`` for a value that is no number."""
    gap = False
    for j, v in enumerate(row):
        if v is None or v != v:
            gap = True
        elif type(v) is not float and type(v) is not int and not _number_kind(v):
            raise TypeError(f"X row {r}, column {names[j]!r}: {v!r} is not a number")
    return gap


def _without_gaps(names: tuple[str, ...], row: Sequence[Any]) -> dict[str, Any]:
    return {k: v for k, v in zip(names, row) if v is not None and v == v}


def _is_sequence(value: Any) -> bool:
    return hasattr(value, "__len__") and hasattr(value, "__getitem__") and not isinstance(value, (str, bytes))


#: Reads ``y[start:stop]`` (given with ``start``) as the targets to yield.
TargetReader = Callable[[Any, int], list[Any]]


def _values(y: Any) -> list[Any]:
    return y.tolist() if hasattr(y, "tolist") else list(y)


def _class_reader(labels: ClassLabels, where: str) -> TargetReader:
    def read(values: Any, start: int) -> list[Any]:
        try:
            return labels.encode(column(values), where, start).tolist()
        except LabelError as exc:
            raise DataError(str(exc)) from None

    return read


def _target_reader(y: Any, labels: ClassLabels | bool | None, where: str) -> TargetReader:
    """How the targets ``y`` are read, decided once for the whole column (see :func:`iter_arrays`)."""
    if isinstance(labels, ClassLabels):
        return _class_reader(labels, where)
    if labels is not None and not isinstance(labels, bool):
        raise TypeError(f"labels must be a ClassLabels, True, False or None, not {type(labels).__name__}")
    if labels is True:
        return _class_reader(ClassLabels(), where)
    kind = getattr(getattr(y, "dtype", None), "kind", "O")
    values = _values(y) if kind == "O" else None
    if kind in "USO" and (kind != "O" or any(isinstance(v, str) for v in values or ())):
        if labels is False:
            raise DataError(f"{where}text targets: a regression target must be numbers")
        return _class_reader(ClassLabels(), where)
    if labels is False:
        return lambda part, start: _values(part)
    if kind == "b" or (values is not None and values and all(isinstance(v, bool) for v in values)):
        return lambda part, start: [int(v) for v in _values(part)]
    if kind == "f":
        import numpy as np

        whole = bool(np.isfinite(y).all() and (y == np.trunc(y)).all()) and (
            y.size == 0 or _INT32[0] <= y.min() and y.max() <= _INT32[1])
    else:
        whole = values is not None and all(
            isinstance(v, (int, float)) and not isinstance(v, bool) and v == v and float(v).is_integer()
            and _INT32[0] <= v <= _INT32[1]
            for v in values
        )
    if whole:  # whole floats are class labels (or an integer-valued target, which a regressor takes alike)
        return lambda part, start: [int(v) for v in _values(part)]
    return lambda part, start: _values(part)


def iter_arrays(
    X: Any,
    y: Any = None,
    feature_names: Sequence[str] | None = None,
    *,
    labels: ClassLabels | bool | None = None,
) -> Iterator[tuple[dict[str, Any], Any]]:
    """Stream the rows of ``X`` (a 2-D NumPy array or any sequence of rows) with the targets ``y``.

    Features are named by ``feature_names``, by default ``x0``, ``x1``, ...;
    a NaN or ``None`` value leaves that feature out of the sample. ``y`` is a
    sequence of the same length (``None`` yields ``y = None``); NumPy values
    become Python ``int`` and ``float``. NumPy is not needed for sequences.

    ``labels`` says how ``y`` is read:

    - ``None`` (the default): class labels where ``y`` can only be class labels, numbers as they
      are otherwise. Text labels are numbered 0, 1, 2, ... in order of first appearance, bools
      become 0 and 1, and floats that are all whole numbers within 32 bits become ``int`` (what
      a classifier needs; a regressor takes them alike).
    - a :class:`ClassLabels` object, or ``True`` for a fresh one: ``y`` holds class labels, read
      strictly (a fractional, missing or out-of-range label raises :class:`DataError` naming
      its row); the object keeps the numbering of text labels.
    - ``False``: numbers as they are (a regression target); text is refused.

    Text: a column of an object or text array (or of rows) that holds a ``str`` is a text
    column, as in :mod:`tarvo.batch`: its values are yielded as their text (a number among them
    as its ``str``), a missing one (``None``, NaN) left out. Reading text needs NumPy.

    Arguments of the wrong kind raise ``TypeError`` (an ``X`` that is no table,
    a value that is neither number nor text) or ``ValueError`` (wrong shapes and lengths),
    naming the row and column.
    """
    if hasattr(X, "to_numpy"):
        X = X.to_numpy()
    if y is not None and hasattr(y, "to_numpy"):
        y = y.to_numpy()
    if not _is_sequence(X):
        raise TypeError(f"X must be a 2-D array or a sequence of rows, not {type(X).__name__}")
    shape = getattr(X, "shape", None)
    if shape is not None and len(shape) != 2:
        raise ValueError(f"X must be 2-D (one row per sample), got an array of shape {tuple(shape)}")
    kind = getattr(getattr(X, "dtype", None), "kind", "f")
    if kind not in "biufOUS":
        raise TypeError(f"X holds {X.dtype} values: iter_arrays needs numbers or text")
    if y is not None:
        if not _is_sequence(y):
            raise TypeError(f"y must be a sequence of targets, not {type(y).__name__}")
        y_shape = getattr(y, "shape", None)
        if y_shape is not None and len(y_shape) != 1:
            raise ValueError(f"y must be 1-D (one target per row), got an array of shape {tuple(y_shape)}")
    if isinstance(feature_names, str):
        raise TypeError("feature_names must be a sequence of strings, not one string")
    n = len(X)
    if y is not None and len(y) != n:
        raise ValueError(f"X has {n} rows but y has {len(y)} values")
    targets = _target_reader(y, labels, "y ") if y is not None else None
    if n == 0:
        return iter(())
    if shape is None and not _is_sequence(X[0]):
        raise TypeError(f"X row 0 is not a sequence of values: {X[0]!r}")
    width = shape[1] if shape is not None else len(X[0])
    names = tuple(feature_names) if feature_names is not None else tuple(f"x{j}" for j in range(width))
    if len(names) != width:
        raise ValueError(f"{len(names)} feature names for {width} columns")
    bad = next((j for j, name in enumerate(names) if not isinstance(name, str)), None)
    if bad is not None:
        raise TypeError(f"feature names must be strings: {names[bad]!r} at position {bad}")
    if len(set(names)) != len(names):
        raise ValueError("feature names must be unique")
    if shape is None and _holds_text(X):
        X = _object_table(X, width)
        kind = "O"
    if kind in "OUS":
        from tarvo.batch import _column_array

        cols = [_column_array(X[:, j], names[j]) for j in range(width)]
        if any(col.dtype.kind == "O" for col in cols):
            return _text_table_rows(names, cols, y, targets)
    return _array_rows(X, y, names, width, shape is not None, targets)


def _holds_text(X: Any) -> bool:
    """Whether a sequence of rows holds a ``str`` anywhere."""
    for row in X:
        try:
            if str in map(type, row):
                return True
        except TypeError:
            continue  # not a row: reported when it is read
    return False


def _object_table(X: Any, width: int) -> Any:
    """Rows of values as a 2-D object array (each row checked as :func:`_array_rows` checks it)."""
    import numpy as np

    table = np.empty((len(X), width), dtype=object)
    for r, row in enumerate(X):
        if not _is_sequence(row):
            raise TypeError(f"X row {r} is not a sequence of values: {row!r}")
        if len(row) != width:
            raise ValueError(f"X row {r} has {len(row)} values, expected {width}")
        table[r, :] = list(row)
    return table


def _text_table_rows(names: Sequence[str], cols: list[Any], y: Any, targets: TargetReader | None,
                     offset: int = 0) -> Iterator[tuple[dict[str, Any], Any]]:
    """The rows of columns as :func:`tarvo.batch._features` reads them (text columns as object
    arrays), each as the sample the batch path makes of it."""
    from tarvo.batch import _text_rows

    names = list(names)
    n = len(cols[0]) if cols else 0
    for start in range(0, n, _CHUNK):
        stop = min(start + _CHUNK, n)
        labels = targets(y[start:stop], offset + start) if targets is not None else [None] * (stop - start)
        yield from zip(_text_rows(names, cols, start, stop), labels)


def _array_rows(
    X: Any, y: Any, names: tuple[str, ...], width: int, numpy_rows: bool, targets: TargetReader | None,
    offset: int = 0,
) -> Iterator[tuple[dict[str, Any], Any]]:
    build = dict_builder(names)
    n = len(X)
    for start in range(0, n, _CHUNK):
        stop = min(start + _CHUNK, n)
        gaps: set[int]
        if numpy_rows:
            import numpy as np

            try:
                block = np.asarray(X[start:stop], dtype=float)
            except (TypeError, ValueError):
                for k, row in enumerate(X[start:stop]):  # find the value that is no number
                    _has_gap(row, start + k, names)
                raise
            gaps = set(np.flatnonzero(np.isnan(block).any(axis=1)).tolist())
            rows: list[Any] = block.tolist()
        else:
            rows = list(X[start:stop])
            gaps = set()
            for k, row in enumerate(rows):
                if type(row) is not list and type(row) is not tuple and not _is_sequence(row):
                    raise TypeError(f"X row {start + k} is not a sequence of values: {row!r}")
                if len(row) != width:
                    raise ValueError(f"X row {start + k} has {len(row)} values, expected {width}")
                try:
                    total = sum(row)  # fast: a number unless a value is a gap or no number
                except TypeError:
                    total = math.nan
                if total != total and _has_gap(row, start + k, names):
                    gaps.add(k)
        labels = targets(y[start:stop], offset + start) if targets is not None else [None] * (stop - start)
        for k, (row, label) in enumerate(zip(rows, labels)):
            yield (_without_gaps(names, row) if k in gaps else build(row)), label


def iter_frame(
    frame: Any,
    target: str | None = None,
    drop: Collection[str] | None = None,
    *,
    labels: ClassLabels | bool | None = None,
) -> Iterator[tuple[dict[str, Any], Any]]:
    """Stream the rows of a pandas ``DataFrame``: every column but ``target`` and ``drop`` is a feature.

    Missing values (NaN, ``None``, ``pd.NA``) are absent features. Object, ``string`` and
    ``category`` columns that hold text are text columns, read as :mod:`tarvo.batch` reads them:
    their values are yielded as text (a number among texts as its ``str``; an object or category
    column of numbers is numbers). The target column may hold numbers, bools, text
    or categories: ``labels`` reads it as in :func:`iter_arrays` (by default, text labels are
    numbered in order of first appearance and whole floats such as ``1.0`` become ``int``;
    ``labels=False`` requires a numeric target). Needs pandas only for the frame itself; a
    frame of numbers is read in chunks, so no full copy is made. A feature column that is
    neither numbers nor text (dates, say) raises ``ValueError``; anything but a data frame
    ``TypeError``.
    """
    if not (hasattr(frame, "columns") and hasattr(frame, "iloc")):
        raise TypeError(
            f"iter_frame needs a pandas DataFrame, not {type(frame).__name__} (iter_arrays reads arrays and rows)"
        )
    columns = list(frame.columns)
    if isinstance(drop, str):
        drop = [drop]
    dropped = set(drop or ())
    where = "data frame"
    _check_names(columns, [target] if target is not None else [], "target column", where)
    _check_names(columns, sorted(dropped, key=str), "dropped column", where)
    features = [c for c in columns if c != target and c not in dropped]
    if target is not None and labels is False and getattr(frame[target].dtype, "kind", "f") not in "biuf":
        raise ValueError(f"{where}: column {target!r} is not numeric (dtype {frame[target].dtype})")
    plain = all(getattr(frame[c].dtype, "kind", "f") in "biuf" for c in features)
    cols: list[Any] = []
    if not plain:
        from tarvo.batch import _column_array

        for c in features:
            try:
                cols.append(_column_array(frame[c], str(c)))
            except TypeError:
                raise ValueError(f"{where}: column {c!r} is neither numbers nor text (dtype {frame[c].dtype})") \
                    from None
    targets = None
    if target is not None:
        targets = _target_reader(frame[target].to_numpy(), labels, f"{where}: column {target!r}, ")
    if not plain:
        y = frame[target].to_numpy() if target is not None else None
        return _text_table_rows([str(c) for c in features], cols, y, targets)
    return _frame_rows(frame, target, features, targets)


def _frame_rows(
    frame: Any, target: str | None, features: list[Any], targets: TargetReader | None
) -> Iterator[tuple[dict[str, Any], Any]]:
    names = tuple(str(c) for c in features)
    for start in range(0, len(frame), _CHUNK):
        part = frame.iloc[start : start + _CHUNK]
        X = part[features].to_numpy(dtype=float)
        y = part[target].to_numpy() if target is not None else None
        yield from _array_rows(X, y, names, len(names), True, targets, start)


__all__ = ["MISSING", "ClassLabels", "DataError", "iter_arrays", "iter_csv", "iter_frame", "parse_label"]
