"""Fast conversion of rows of values into samples (``dict`` of feature name to value)."""

from __future__ import annotations

import functools
from collections.abc import Callable, Sequence
from typing import Any

RowBuilder = Callable[[Sequence[Any]], dict[str, Any]]

_MAX_COMPILED = 1000


@functools.lru_cache(maxsize=128)
def dict_builder(names: tuple[str, ...]) -> RowBuilder:
    """A function mapping a row ``r`` to ``{names[0]: r[0], names[1]: r[1], ...}``.

    The function is compiled as one dict display with constant keys, which
    builds a sample three to four times faster than ``dict(zip(names, r))``;
    on a stream that is a large share of the cost of producing a sample. Keys
    enter the source only through ``repr``, so any string is safe. Wide rows
    take ``dict(zip(...))``: compiling a display of thousands of keys costs
    more than it saves.
    """
    if len(names) > _MAX_COMPILED or not all(type(name) is str for name in names):
        # Only plain strings are spelled into source; anything else takes the generic path.
        return lambda r: dict(zip(names, r))
    body = ", ".join(f"{name!r}: r[{i}]" for i, name in enumerate(names))
    builder: RowBuilder = eval(f"lambda r: {{{body}}}", {"__builtins__": {}})  # noqa: S307
    return builder
