"""Class labels of any type as the 32-bit integers the learners take: the one rule of every layer.

**The rule.** If a stream's first label is a whole number within 32 bits (an int, a bool, a whole
float, a NumPy scalar of one, or the text of one as a CSV file holds it: ``"3"``, ``"3.0"``,
``"true"``), labels keep their values, and a later label of another kind is an error. Otherwise
every label is numbered 0, 1, 2, ... in order of first appearance: texts (surrounding spaces
dropped), integers beyond 32 bits, any other hashable value. A stream holds numbers or text, not
both. A fractional number, a missing label (``None``, NaN, ``pd.NA``, an empty or
missing-value text) and a label of the other kind are errors naming the label, and its row
where there is one.

:class:`ClassLabels` is the rule, one label at a time (``labels(value)``) or a column at a time
(:meth:`ClassLabels.encode`, the same result as calling it on each value in turn). The readers
of :mod:`tarvo.stream`, the command line, :mod:`tarvo.batch` and :mod:`tarvo.spark` all use it.
:mod:`tarvo.batch` keeps one with each model that needs it (see :func:`numbering`), through
:mod:`tarvo._model_state`, so it pickles and copies with the model.
"""

from __future__ import annotations

import copy
import numbers
import operator
from collections.abc import Sequence
from typing import Any

from tarvo import _model_state

__all__ = ["MISSING", "ClassLabels", "LabelError", "numbering"]

#: Field texts read as a missing value (the feature is left out of the sample).
MISSING: frozenset[str] = frozenset({"", "?", "NA", "N/A", "NaN", "nan", "null", "None"})

_INT32 = (-(2**31), 2**31 - 1)
_NO_LABEL = object()  # an integer no label is numbered with
_TRUE_FALSE = {"true": 1, "false": 0}
_READ_CACHE = 1 << 16
#: The part of a model's extra state that holds its numbering.
PART = "labels"


class LabelError(ValueError):
    """A label the rule refuses; the message names the label and its row (``label``, ``row``
    and ``reason`` hold them; ``row`` counts from the first value of the column read)."""

    def __init__(self, message: str, label: Any = None, row: int | None = None, reason: str = "") -> None:
        super().__init__(message)
        self.label, self.row, self.reason = label, row, reason


def _missing(label: Any) -> bool:
    """``None``, NaN, and pandas' missing-value markers."""
    if label is None or type(label).__name__ in ("NAType", "NaTType"):
        return True
    try:
        return bool(label != label)
    except (TypeError, ValueError):
        return False


def _plain(label: Any) -> Any:
    """A NumPy scalar as the Python value it holds; anything else as it is."""
    item = getattr(label, "item", None)
    return item() if callable(item) and type(label).__module__ == "numpy" else label


def _whole(label: Any) -> int | None:
    """A number label as an int (any size); ``None`` for a label that is no number.
    ``ValueError`` for a fractional or infinite number."""
    if isinstance(label, bool) or (type(label).__module__ == "numpy" and type(label).__name__ in ("bool", "bool_")):
        return int(label)
    if isinstance(label, numbers.Integral):
        return operator.index(label)
    if isinstance(label, numbers.Complex) and not isinstance(label, numbers.Real):
        raise ValueError(f"a complex number cannot be a class label: {label!r}")
    if isinstance(label, numbers.Number):
        try:
            value = int(label)  # type: ignore[call-overload]
        except (ValueError, OverflowError, TypeError):
            raise ValueError(f"not a whole number: {label!r}") from None
        if value != label:
            raise ValueError(f"not a whole number: {label!r}")
        return value
    return None


def _number_text(key: str) -> tuple[bool, int | None]:
    """Whether a (stripped) text is that of a number, and the whole number it stands for
    (``None`` for a fractional or infinite one)."""
    flag = _TRUE_FALSE.get(key.lower())
    if flag is not None:
        return True, flag
    try:
        return True, int(key)
    except ValueError:
        pass
    try:
        number = float(key)
    except ValueError:
        return False, None
    return True, int(number) if number.is_integer() else None


def _merged_dtype(old: Any, new: Any) -> Any:
    """The NumPy dtype that holds the labels of two calls: NumPy's promotion among numbers (never
    turning integers into floats) or among texts of one kind, else ``object``."""
    import numpy as np

    if old is None or old == new:
        return new
    kinds = old.kind + new.kind
    if set(kinds) <= set("biu"):
        merged = np.result_type(old, new)
        return merged if merged.kind != "f" else np.dtype(object)
    if set(kinds) <= set("biuf") or kinds in ("UU", "SS"):
        return np.result_type(old, new)
    return np.dtype(object)


class ClassLabels:
    """Class labels of any type as the 32-bit integers the learners take, with the mapping kept.

    Called on a label, returns the integer a learner learns for it, by this rule: if the first
    label is a whole number within 32 bits (int, bool, whole float, a NumPy scalar of one, or
    the text of one, as a CSV file holds it: ``"3"``, ``"3.0"``, ``"true"``), labels keep their
    values (``True`` is 1, ``2.0`` is 2), and a later label of another kind (text, a number
    beyond 32 bits) raises ``ValueError``. Otherwise every label is numbered 0, 1, 2, ... in
    order of first appearance: texts (surrounding spaces dropped), integers beyond 32 bits and
    any other hashable value; a number (or the text of one) after texts, or a text after
    numbers, raises ``ValueError``. Fractional and missing labels raise ``ValueError`` too.

    ``names`` maps each integer to the label it stands for, as first seen, in order of first
    appearance; ``numbered`` says whether labels are numbered (``None`` before the first) and
    ``text`` whether they are texts rather than numbers. :meth:`encode` reads a whole column;
    :meth:`decode` turns learnt integers back into labels. One object used by several readers
    of the same column numbers the labels the same way in each.
    """

    def __init__(self) -> None:
        self.numbered: bool | None = None
        self.names: dict[int, Any] = {}
        self.dtype: Any = None  # the NumPy dtype of the labels encode() read (for decode)
        self._numbers: bool | None = None  # whether the labels are numbers rather than texts
        self._codes: dict[Any, int] = {}  # a numbered label's key -> its integer
        self._read: dict[str, int] = {}  # every text read so far (a CSV column repeats few texts)

    @property
    def text(self) -> bool | None:
        """Whether the labels are texts (or other values that are no numbers); ``None`` before the first."""
        return None if self._numbers is None else not self._numbers

    # ------------------------------------------------------------ the rule, one label at a time

    def __call__(self, label: Any) -> int:
        if type(label).__module__ == "numpy":
            label = _plain(label)
        if isinstance(label, str):
            code = self._read.get(label)
            if code is not None:
                return code
            key = label.strip()
            if key in MISSING:
                raise ValueError("a missing label")
            code = self._codes.get(key) if self.numbered else None
            if code is None:
                is_number, value = _number_text(key)
                if not is_number:
                    code = self._other(key, label)
                elif self._numbers is False:
                    raise ValueError(f"{label!r} is a number, and the labels before it are texts")
                elif value is None:
                    raise ValueError(f"not a whole number: {label!r}")
                else:
                    code = self._number(value, label)
            if len(self._read) < _READ_CACHE:
                self._read[label] = code
            return code
        if _missing(label):
            raise ValueError("a missing label")
        if self._numbers is False:
            try:
                whole: int | None = _whole(label)
            except ValueError:
                whole = 0
            if whole is not None:
                raise ValueError(f"{label!r} is not text, and the labels before it are texts")
            return self._other(label, label)
        value = _whole(label)
        return self._number(value, label) if value is not None else self._other(label, label)

    def _number(self, value: int, label: Any) -> int:
        within = _INT32[0] <= value <= _INT32[1]
        if self.numbered is None:
            self.numbered, self._numbers = not within, True
        if not self.numbered:
            if not within:
                raise ValueError(f"class label {label!r} is outside the 32-bit range, and the labels before it "
                                 "are whole numbers within it, which keep their values")
            if value not in self.names:
                self.names[value] = _plain(label)
            return value
        return self._numbered(value, label)

    def _other(self, key: Any, label: Any) -> int:
        if self.numbered is None:
            self.numbered, self._numbers = True, False
        if self._numbers:
            raise ValueError(f"{label!r} is not a number, and the labels before it are numbers")
        try:
            hash(key)
        except TypeError:
            raise ValueError(f"a {type(label).__name__} cannot be a class label: it is not hashable") from None
        return self._numbered(key, key)

    def _numbered(self, key: Any, label: Any) -> int:
        code = self._codes.get(key)
        if code is None:
            code = self._codes[key] = len(self._codes)
            self.names[code] = _plain(label)
        return code

    # ------------------------------------------------------------ a column at a time

    def encode(self, values: Any, where: str = "y: ", start: int = 0) -> Any:
        """The integers learnt for a column of labels (an int32 NumPy array), as calling this object
        on each value in turn gives them. A refused label raises :class:`LabelError` naming it and
        its row (``where`` starts the message, ``start`` is the row of the first value); the
        labels before it have been read by then. Remembers the column's dtype for :meth:`decode`."""
        import numpy as np

        arr = column(values)
        if arr.ndim != 1:
            raise LabelError(f"{where}must be 1-D, got {arr.ndim} dimension(s)")
        if arr.size == 0:
            return np.empty(0, dtype=np.int32)
        kind = arr.dtype.kind
        if kind in "iu" and self.numbered is not True and self._numbers is not False:
            low, high = arr.min(), arr.max()
            if _INT32[0] <= low and high <= _INT32[1]:  # every label keeps its value
                _, first = np.unique(arr, return_index=True)
                for row in np.sort(first).tolist():
                    if int(arr[row]) not in self.names:
                        self._number(int(arr[row]), arr[row])
                self.dtype = _merged_dtype(self.dtype, arr.dtype)
                return arr.astype(np.int32)
        if kind in "biuf":
            uniques, first, inverse = np.unique(arr, return_index=True, return_inverse=True)
            order = np.argsort(first, kind="stable")
            table = np.empty(len(uniques), dtype=np.int64)
            for j in order.tolist():
                table[j] = self._read_one(uniques[j], int(first[j]), where, start)
            codes = table[inverse.reshape(-1)]
        else:
            factorized = _factorize(arr)
            if factorized is not None:  # each distinct label once, by pandas' hash table
                index, distinct = factorized  # the distinct labels in order of first appearance
                lookup = np.empty(len(distinct), dtype=np.int64)
                for j in range(len(distinct)):
                    try:
                        lookup[j] = self(distinct[j])
                    except (ValueError, TypeError):
                        row = int(np.argmax(index == j))
                        lookup[j] = self._read_one(arr[row], row, where, start)  # raises, naming the row
                codes = lookup[index]
            else:
                codes = self._encode_objects(arr, where, start)
        self.dtype = _merged_dtype(self.dtype, arr.dtype)
        return codes.astype(np.int32)

    def _encode_objects(self, arr: Any, where: str, start: int) -> Any:
        """:meth:`encode` of an array of objects, one value at a time (unhashable labels included)."""
        import numpy as np

        seen: dict[Any, int] = {}
        listed = arr.tolist()
        try:
            index = [seen.setdefault(v, len(seen)) for v in listed]
        except TypeError:  # an unhashable label: read one by one to name it
            index = []
            for v in listed:
                index.append(seen.setdefault(v, len(seen)) if _hashable(v) else -1 - len(index))
        table_of: dict[int, int] = {}
        for r, j in enumerate(index):
            if j not in table_of:
                table_of[j] = self._read_one(listed[r], r, where, start)
        lookup = np.empty(len(seen), dtype=np.int64)
        for j, code in table_of.items():
            lookup[j] = code
        return lookup[np.asarray(index, dtype=np.int64)]

    def _read_one(self, value: Any, row: int, where: str, start: int) -> int:
        try:
            return self(value)
        except (ValueError, TypeError) as exc:
            label = _plain(value)
            raise LabelError(f"{where}row {start + row}: cannot read the label {label!r} ({exc})",
                             label, row, str(exc)) from None

    def decode(self, codes: Any) -> Any:
        """The labels the learnt integers ``codes`` stand for, as a NumPy array of the labels'
        dtype (int64 for integers kept as they are). An integer that stands for no label (an
        untrained model's fixed answer) is itself where labels keep their values, and otherwise
        no label: ``None`` (``""`` in an array of texts, NaN in one of floats; ``None`` in an
        object array where the labels are bools or integers)."""
        import numpy as np

        codes = np.asarray(codes, dtype=np.int64)
        dtype = self.dtype if self.dtype is not None else np.dtype(object if self.numbered else np.int64)
        if not self.numbered:
            if dtype.kind in "iu":
                return codes
            if dtype.kind == "f" or (dtype.kind == "b" and bool(((codes == 0) | (codes == 1)).all())):
                return codes.astype(dtype)
        uniques, inverse = np.unique(codes, return_inverse=True)
        found = [self.names.get(c, _NO_LABEL if self.numbered or dtype.kind == "b" else c) for c in uniques.tolist()]
        if any(v is _NO_LABEL for v in found):
            if dtype.kind in "biu":
                dtype = np.dtype(object)
            blank = {"U": "", "S": b"", "f": np.nan}.get(dtype.kind)
            found = [blank if v is _NO_LABEL else v for v in found]
        table = _objects(found) if dtype.kind == "O" else np.array(found, dtype=dtype)
        return table[inverse.reshape(-1)]

    def label(self, code: int) -> Any:
        """The label the integer ``code`` stands for (``KeyError`` for a numbered one never seen;
        an integer kept as its value stands for itself)."""
        if code in self.names:
            return self.names[code]
        if self.numbered:
            raise KeyError(code)
        return code

    # ------------------------------------------------------------ display, pickle

    def describe(self, limit: int = 20) -> str:
        """The mapping in one line: ``'no' = 0, 'yes' = 1`` (number labels: ``0, 1``)."""
        items = list(self.names.items())
        shown = [
            str(code) if not self.numbered and str(name).strip() == str(code) else f"{name!r} = {code}"
            for code, name in (sorted(items) if not self.numbered else items)[:limit]
        ]
        if len(items) > limit:
            shown.append(f"... ({len(items)} labels)")
        return ", ".join(shown)

    def __repr__(self) -> str:
        return f"ClassLabels({self.describe()})"

    def __getstate__(self) -> dict[str, Any]:
        return {"numbered": self.numbered, "numbers": self._numbers, "names": dict(self.names),
                "codes": dict(self._codes), "dtype": None if self.dtype is None else self.dtype.str}

    def __setstate__(self, state: dict[str, Any]) -> None:
        import numpy as np

        self.numbered = state["numbered"]
        self._numbers = state["numbers"]
        self.names = dict(state["names"])
        self._codes = dict(state["codes"])
        self.dtype = None if state["dtype"] is None else np.dtype(state["dtype"])
        self._read = {}


def _factorize(arr: Any) -> tuple[Any, list[Any]] | None:
    """``(index, uniques)`` of a column of texts or objects by pandas (each label's position among
    the distinct labels, in order of first appearance; missing values kept as labels), or ``None``
    without pandas or for unhashable labels."""
    try:
        import pandas as pd  # type: ignore[import-untyped]
    except ImportError:  # pragma: no cover - pandas is optional
        return None
    try:
        index, uniques = pd.factorize(arr, use_na_sentinel=False)
    except TypeError:
        return None
    return index, list(uniques)


def _hashable(value: Any) -> bool:
    try:
        hash(value)
    except TypeError:
        return False
    return True


def _objects(values: list[Any]) -> Any:
    import numpy as np

    out = np.empty(len(values), dtype=object)
    out[:] = values  # element by element: a tuple label stays one value
    return out


def column(values: Any) -> Any:
    """A column of labels as a NumPy array: arrays as they are, a pandas column as the NumPy
    array of its values (nullable numbers and bools in their NumPy dtype where nothing is
    missing, categories in their categories' dtype, missing values as ``None``/NaN/``pd.NA``),
    a sequence of numbers as NumPy reads it, any other sequence as an object array (so that
    ``["a", 1]`` is not read as two texts)."""
    import numpy as np

    if isinstance(values, np.ndarray):
        return values
    if hasattr(values, "to_numpy") and hasattr(values, "dtype"):
        dtype = values.dtype
        if isinstance(dtype, np.dtype):
            return values.to_numpy()
        if getattr(dtype, "categories", None) is not None:
            return np.asarray(values)
        numpy_dtype = getattr(dtype, "numpy_dtype", None)
        if isinstance(numpy_dtype, np.dtype) and numpy_dtype.kind in "biuf" and not values.isna().any():
            return values.to_numpy(dtype=numpy_dtype)
        return values.to_numpy(dtype=object)
    if isinstance(values, (str, bytes)):
        return np.asarray(values)  # 0-D: refused by the callers
    listed = values if isinstance(values, Sequence) else list(values)
    arr = np.asarray(listed) if listed and not isinstance(listed[0], tuple) else None
    if arr is not None and arr.dtype.kind in "biuf" and arr.ndim == 1:
        return arr
    if arr is not None and arr.dtype.kind == "U" and all(isinstance(v, str) for v in listed):
        return arr
    if arr is not None and arr.ndim != 1 and arr.dtype.kind != "O":
        return arr
    return _objects(list(listed))


# ---------------------------------------------------------------- a model's numbering


def numbering(model: Any) -> ClassLabels | None:
    """A copy of the numbering of class labels kept with ``model`` by :mod:`tarvo.batch` (and the
    command line, and :mod:`tarvo.spark`), or ``None`` when the model has learnt its labels as
    they are (whole numbers within 32 bits, or no labels at all)."""
    with _model_state.locked():
        labels = _model_state.get(model, PART)
        return None if labels is None else copy.deepcopy(labels)


def attach(model: Any, labels: ClassLabels | None) -> None:
    """Keeps ``labels`` (a copy) with ``model`` as its numbering, or drops it for ``None``."""
    if labels is None:
        _model_state.forget(model, PART)
    else:
        _model_state.put(model, PART, copy.deepcopy(labels))


def _has_learnt(model: Any) -> bool:
    """Whether a classifier has learnt a label (an untrained one answers no probabilities)."""
    try:
        return bool(model.predict_proba_one({}))
    except Exception:  # noqa: BLE001 - a model that cannot answer has learnt nothing usable
        return False


def encode_for(model: Any, values: Any, where: str = "y: ") -> Any:
    """The integers ``model`` learns for the labels ``values`` (an int32 array), by the rule and
    the numbering kept with the model, which is updated (or started) in the same step. A model
    that has learnt labels without a numbering kept its labels' values, so it goes on doing so.
    Integer labels within 32 bits for a model without a numbering pass as they are, and leave
    no numbering (the model pickles as it always has)."""
    import numpy as np

    arr = column(values)
    if arr.ndim == 1 and arr.size == 0:
        return np.empty(0, dtype=np.int32)
    with _model_state.locked():
        current = _model_state.get(model, PART)
        if current is None and arr.ndim == 1 and arr.dtype.kind in "iu" and (
                arr.size == 0 or (_INT32[0] <= arr.min() and arr.max() <= _INT32[1])):
            return arr.astype(np.int32)
        labels = copy.deepcopy(current) if current is not None else ClassLabels()
        if current is None and _has_learnt(model):
            labels.numbered, labels._numbers = False, True
        codes = labels.encode(arr, where)
        if current is not None or labels.numbered or labels.dtype.kind not in "iu":
            _model_state.put(model, PART, labels)
        return codes


def decode_for(model: Any, codes: Any) -> Any:
    """The labels ``model``'s integers stand for, by its numbering (int64 integers without one)."""
    import numpy as np

    labels = _model_state.get(model, PART)
    return np.asarray(codes, dtype=np.int64) if labels is None else labels.decode(codes)


def labels_for(model: Any, codes: Sequence[int]) -> list[Any]:
    """The labels of a list of ``model``'s integers, as Python values."""
    labels = _model_state.get(model, PART)
    if labels is None:
        return list(codes)
    try:
        return [labels.label(int(c)) for c in codes]
    except KeyError as exc:
        raise ValueError(f"{type(model).__name__} answered for the label {exc.args[0]}, which its numbering of "
                         f"{len(labels.names)} labels does not hold (learnt outside tarvo.batch?)") from None
