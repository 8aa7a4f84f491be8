"""The wire format: request bodies read, parsed and checked before the model is touched.

Every problem is a :class:`RequestError` with a 4xx status and one line naming the field
(``rows[3]['age']``, ``labels[0]``, ``request_id``). Feature values and labels are converted
in one place each (:func:`feature_value`, :class:`LabelKind`). Text feature values are kept as
text: the served model encodes them as the library does (:func:`tarvo.stream.encode_row`).
"""

from __future__ import annotations

import json
import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

#: The body limit by default: 16 MiB (a larger body is answered 413).
DEFAULT_MAX_BODY_BYTES = 16 * 1024 * 1024
#: The rows (or ids) one request may hold by default (more are answered 413).
DEFAULT_MAX_ROWS = 10_000
#: The longest request_id and prediction id accepted, in characters.
MAX_ID_LENGTH = 200
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1


class RequestError(Exception):
    """A request the server refuses: ``status`` (4xx) and a one-line ``message`` naming the field."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message


class NonFinite:
    """``NaN``, ``Infinity`` or ``-Infinity`` in a body: parsed as a mark that every check
    refuses, naming the field it stands in."""

    __slots__ = ("text",)

    def __init__(self, text: str) -> None:
        self.text = text


def parse_json(body: bytes) -> Any:
    """The request body as JSON; 400 for a body that is no UTF-8 JSON. ``NaN``, ``Infinity``
    and ``-Infinity`` become :class:`NonFinite` marks, refused by the field's check."""
    try:
        text = body.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise RequestError(400, f"body: not UTF-8 text (byte {exc.start})") from None
    try:
        return json.loads(text, parse_constant=NonFinite)
    except json.JSONDecodeError as exc:
        raise RequestError(400, f"body: malformed JSON ({exc.msg} at line {exc.lineno} column {exc.colno})") from None
    except RecursionError:
        raise RequestError(400, "body: JSON nested too deeply") from None
    except ValueError as exc:  # an integer of more digits than Python converts
        raise RequestError(400, f"body: {exc}") from None


def _what(value: Any) -> str:
    if isinstance(value, NonFinite):
        return f"{value.text}, which JSON does not allow,"
    if value is None:
        return "null"
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return "a text"
    if isinstance(value, list):
        return "a list"
    if isinstance(value, dict):
        return "an object"
    return type(value).__name__


def feature_value(value: Any, where: str) -> float | str | None:
    """One feature value: a float, a text (a category of a text feature, encoded by the served
    model), or None for a missing value (JSON ``null``, the feature is left out of the row);
    booleans, lists and objects are refused."""
    if type(value) is float:
        if math.isfinite(value):
            return value
        raise RequestError(400, f"{where}: a number beyond the range of a float")  # 1e999 parses as inf
    if type(value) is int:
        try:
            return float(value)
        except OverflowError:
            raise RequestError(400, f"{where}: {value} is beyond the range of a float") from None
    if value is None:
        return None
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            raise RequestError(400, f"{where}: the text is no valid text (a lone surrogate)") from None
        return value
    raise RequestError(400, f"{where}: {_what(value)} is not a number")


def read_row(row: Any, where: str) -> dict[str, float | str]:
    """One row: an object of feature name to number or text (null leaves the feature out)."""
    if not isinstance(row, dict):
        raise RequestError(400, f"{where}: {_what(row)} is not a row (an object of feature name to number)")
    # The common case, every value a finite float and every name ASCII, keeps the parsed dict as it is.
    if all(type(v) is float and v - v == 0.0 for v in row.values()) and all(k.isascii() for k in row):
        return row
    out: dict[str, float | str] = {}
    for name, value in row.items():
        if not name.isascii():
            try:
                name.encode("utf-8")
            except UnicodeEncodeError:
                raise RequestError(400, f"{where}: the feature name {name!r} is no valid text "
                                        "(a lone surrogate)") from None
        v = feature_value(value, f"{where}[{name!r}]")
        if v is not None:
            out[name] = v
    return out


def _limited_list(body: Mapping[str, Any], key: str, max_rows: int) -> list[Any]:
    value = body[key]
    if not isinstance(value, list):
        raise RequestError(400, f"{key}: {_what(value)} is not a list")
    if len(value) > max_rows:
        raise RequestError(413, f"{key}: {len(value):,} items, more than the {max_rows:,} a request may hold")
    return value


def read_rows(body: Any, max_rows: int) -> list[dict[str, float]]:
    """The rows of a /predict body: ``{"rows": [...]}`` (or ``{"row": {...}}`` for one)."""
    if not isinstance(body, dict):
        raise RequestError(400, f"body: {_what(body)} is not an object with \"rows\"")
    unknown = sorted(set(body) - {"rows", "row"})
    if unknown:
        raise RequestError(400, f"{unknown[0]}: unknown field; /predict takes \"rows\"")
    if "row" in body:
        if "rows" in body:
            raise RequestError(400, "row: give \"rows\" or \"row\", not both")
        return [read_row(body["row"], "row")]
    if "rows" not in body:
        raise RequestError(400, "rows: missing")
    rows = _limited_list(body, "rows", max_rows)
    return [read_row(row, f"rows[{i}]") for i, row in enumerate(rows)]


@dataclass(frozen=True)
class LabelKind:
    """The labels a model learns: 32-bit ints for a classifier, finite numbers for a regressor."""

    classification: bool

    def read(self, value: Any, where: str) -> int | float:
        """``value`` as the label the model learns; 400 naming ``where`` otherwise."""
        if self.classification:
            if type(value) is int:
                if not INT32_MIN <= value <= INT32_MAX:
                    raise RequestError(400, f"{where}: the label {value} lies outside the 32-bit integer range")
                return value
            if type(value) is float and value.is_integer() and INT32_MIN <= value <= INT32_MAX:
                return int(value)
            what = f"the number {value}" if type(value) is float else _what(value)
            raise RequestError(400, f"{where}: {what} is no class label; a classifier's labels are whole numbers")
        if type(value) in (int, float):
            try:
                number = float(value)
            except OverflowError:
                raise RequestError(400, f"{where}: {value} is beyond the range of a float") from None
            if math.isfinite(number):
                return number
        raise RequestError(400, f"{where}: {_what(value)} is no target; a regressor's targets are numbers")


@dataclass
class LearnRequest:
    """A checked /learn body: rows with labels, or prediction ids with labels."""

    labels: list[int | float]
    rows: list[dict[str, float]] | None = None
    ids: list[str] | None = None
    request_id: str | None = None


def read_id(value: Any, where: str) -> str:
    if not isinstance(value, str):
        raise RequestError(400, f"{where}: {_what(value)} is not an id (a text)")
    if not value or len(value) > MAX_ID_LENGTH:
        raise RequestError(400, f"{where}: an id holds 1 to {MAX_ID_LENGTH} characters, got {len(value)}")
    return value


def read_learn(body: Any, kind: LabelKind, max_rows: int) -> LearnRequest:
    """A /learn body: ``{"rows": [...], "labels": [...]}`` or ``{"ids": [...], "labels": [...]}``,
    with an optional ``"request_id"``."""
    if not isinstance(body, dict):
        raise RequestError(400, f"body: {_what(body)} is not an object with \"rows\" or \"ids\" and \"labels\"")
    unknown = sorted(set(body) - {"rows", "ids", "labels", "request_id"})
    if unknown:
        raise RequestError(400, f"{unknown[0]}: unknown field; /learn takes \"rows\" or \"ids\", \"labels\" "
                                "and \"request_id\"")
    if "rows" in body and "ids" in body:
        raise RequestError(400, "ids: give \"rows\" or \"ids\", not both")
    if "rows" not in body and "ids" not in body:
        raise RequestError(400, "rows: missing; give \"rows\" with their labels, or \"ids\" of earlier predictions")
    request_id = read_id(body["request_id"], "request_id") if body.get("request_id") is not None else None
    if "labels" not in body:
        raise RequestError(400, "labels: missing")
    key = "rows" if "rows" in body else "ids"
    items = _limited_list(body, key, max_rows)
    labels = _limited_list(body, "labels", max_rows)
    if len(labels) != len(items):
        raise RequestError(400, f"labels: {len(labels)} labels for {len(items)} {key}")
    values = [kind.read(v, f"labels[{i}]") for i, v in enumerate(labels)]
    if key == "rows":
        return LearnRequest(values, rows=[read_row(r, f"rows[{i}]") for i, r in enumerate(items)],
                            request_id=request_id)
    ids = [read_id(v, f"ids[{i}]") for i, v in enumerate(items)]
    first: dict[str, int] = {}
    for i, v in enumerate(ids):
        if v in first:
            raise RequestError(400, f"ids[{i}]: {v!r} repeats ids[{first[v]}]")
        first[v] = i
    return LearnRequest(values, ids=ids, request_id=request_id)


def finite_or_none(value: float) -> float | None:
    """A number for JSON: non-finite values (a poisoned regressor's answer) as null."""
    return value if math.isfinite(value) else None
