"""Constructor parameters of a class, to check keywords before the class is built.

A native class states its constructor in the signature line that pybind11
writes at the top of ``__init__.__doc__`` (``__init__(self: ..., n_models:
typing.SupportsInt | typing.SupportsIndex = 10, ...) -> None``); a Python class
through :func:`inspect.signature`.
"""

from __future__ import annotations

import ast
import inspect
import math
import re
from dataclasses import dataclass
from typing import Any

_SIGNATURE = re.compile(r"(?:\d+\. )?__init__\((.*)\) -> None")
_INT32 = (-(2**31), 2**31 - 1)
NO_DEFAULT: Any = inspect.Parameter.empty


@dataclass(frozen=True)
class Parameter:
    """A constructor keyword: its name, the kind of value it takes and its default."""

    name: str
    kind: str = ""  # "int" (32-bit), "float", "bool", "str", or "" when not known
    default: Any = NO_DEFAULT

    def __str__(self) -> str:
        return self.name if self.default is NO_DEFAULT else f"{self.name}={self.default!r}"


def _kind(annotation: str) -> str:
    if "[" in annotation:
        return ""  # a container (of numbers, perhaps): not a number itself
    if "SupportsInt" in annotation:
        return "int"
    if "SupportsFloat" in annotation or annotation == "float":
        return "float"
    return annotation if annotation in ("bool", "str") else ""


def _from_native(signature: str) -> list[Parameter] | None:
    try:
        tree = ast.parse(f"def f({signature}): pass")
    except SyntaxError:
        return None
    args = tree.body[0].args  # type: ignore[attr-defined]
    if args.vararg or args.kwarg or args.posonlyargs or not args.args:
        return None
    positional = args.args[1:]  # after self
    defaults = [NO_DEFAULT] * (len(positional) - len(args.defaults)) + list(args.defaults)
    params = []
    for arg, default in zip(positional, defaults):
        if default is not NO_DEFAULT:
            try:
                default = ast.literal_eval(default)
            except ValueError:
                default = ast.unparse(default)
        annotation = ast.unparse(arg.annotation) if arg.annotation is not None else ""
        params.append(Parameter(arg.arg, _kind(annotation), default))
    return params


def parameters(cls: type) -> list[Parameter] | None:
    """The keywords ``cls(...)`` takes, in order; ``None`` when they cannot be told (overloads, ``**kwargs``)."""
    init = getattr(cls, "__init__", None)
    doc = getattr(init, "__doc__", None) or ""
    found = [m.group(1) for line in doc.splitlines() if (m := _SIGNATURE.fullmatch(line.strip()))]
    if len(found) == 1:
        return _from_native(found[0])
    if found or type(init).__name__ == "instancemethod":
        return None  # overloaded native constructor
    try:
        signature = inspect.signature(cls)
    except (TypeError, ValueError):
        return None
    params = []
    for p in signature.parameters.values():
        if p.kind in (p.VAR_POSITIONAL, p.VAR_KEYWORD, p.POSITIONAL_ONLY):
            return None
        params.append(Parameter(p.name, "", p.default))
    return params


def problem(param: Parameter, value: Any) -> str | None:
    """What is wrong with ``value`` for ``param`` (``None`` when it is acceptable)."""
    if param.kind == "int":
        if isinstance(value, bool) or not isinstance(value, int):
            return "an integer is needed"
        if not _INT32[0] <= value <= _INT32[1]:
            return f"out of range: a 32-bit integer ({_INT32[0]:,} to {_INT32[1]:,}) is needed"
    elif param.kind == "float":
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            return "a number is needed"
        try:
            finite = math.isfinite(value)
        except OverflowError:
            finite = False
        if not finite:
            return "a finite number is needed"
    elif param.kind == "bool" and not isinstance(value, bool):
        return "true or false is needed"
    elif param.kind == "str" and not isinstance(value, str):
        return "a text is needed"
    return None
