"""State the Python layers keep beside a native object, carried wherever the object goes.

Some state belongs to a model but not to its native core: the numbering of class labels
that are no 32-bit integers (:mod:`tarvo._labels`), the categories of text features. The
native classes have a fixed Python surface (no attribute can be added to them or their
objects), so this module keeps such state in a table beside the objects, by part name
(``"labels"``, ...), and makes it travel with them:

- **pickle**: a reducer in :data:`copyreg.dispatch_table` for every native learner and
  transformer class. An object without extra state pickles through the class's own
  ``__reduce_ex__``, so its bytes are exactly those it has always had; an object with extra
  state pickles as the same reconstruction, with the extra state given to a state setter
  after the native state (any protocol from 2). Loading needs :mod:`tarvo` importable.
- **copy.copy / copy.deepcopy**: the native classes define ``__copy__`` and ``__deepcopy__``,
  which the copy module calls before it would look at :mod:`copyreg`. It looks first in its
  per-class dispatch tables, though, so each class gets a copier there that calls the
  native method and then gives the copy a deep copy of the extra state (a native copy is
  independent of its source, and so is its extra state). A pipeline copies its steps and
  learner through :func:`copy.deepcopy`, so their extra state follows too.
- **clone_state()** (the transformers' native method) builds its copy in C++ without
  calling back into Python, so nothing can follow it there; :func:`clone_state` is the
  same call with the extra state carried.

Entries are held by weak reference, keyed by object identity (the native classes need
not be hashable): an entry goes when its object does. Values must pickle and deep-copy.
"""

from __future__ import annotations

import copy
import copyreg
import functools
import threading
import weakref
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import ModuleType
from typing import Any

import _tarvo_core as core

__all__ = ["clone_state", "get", "put", "forget", "register_module", "locked"]

# id(object) -> (weak reference to it, {part name: value}).
_table: dict[int, tuple[weakref.ref[Any], dict[str, Any]]] = {}
_lock = threading.RLock()


def _drop(ref: weakref.ref[Any], key: int) -> None:
    entry = _table.get(key)
    if entry is not None and entry[0] is ref:
        del _table[key]


def _parts(obj: Any) -> dict[str, Any] | None:
    entry = _table.get(id(obj))
    if entry is None or entry[0]() is not obj:
        return None
    return entry[1]


@contextmanager
def locked() -> Iterator[None]:
    """Holds the table's lock: a read, change and write of one object's state is one step."""
    with _lock:
        yield


def get(obj: Any, part: str) -> Any | None:
    """The extra state ``part`` of ``obj`` (the live value), or ``None``."""
    with _lock:
        parts = _parts(obj)
        return None if parts is None else parts.get(part)


def put(obj: Any, part: str, value: Any) -> None:
    """Sets the extra state ``part`` of ``obj`` to ``value``."""
    key = id(obj)
    with _lock:
        parts = _parts(obj)
        if parts is None:
            parts = {}
            _table[key] = (weakref.ref(obj, functools.partial(_drop, key=key)), parts)
        parts[part] = value


def forget(obj: Any, part: str) -> None:
    """Drops the extra state ``part`` of ``obj`` (nothing happens when it has none)."""
    with _lock:
        parts = _parts(obj)
        if parts is not None:
            parts.pop(part, None)
            if not parts:
                del _table[id(obj)]


def _copied_parts(obj: Any, memo: dict[int, Any] | None = None) -> dict[str, Any] | None:
    """A deep copy of ``obj``'s extra state, without the process-local parts (``_...``), in the
    order of the parts' names: a model pickles to the same bytes whichever part it started first."""
    with _lock:
        parts = _parts(obj) or {}
        kept = {k: parts[k] for k in sorted(parts) if not k.startswith("_")}
        return copy.deepcopy(kept, memo) if kept else None


def _adopt(obj: Any, parts: dict[str, Any] | None) -> None:
    if parts:
        for part, value in parts.items():
            put(obj, part, value)


# A composite object (a pipeline) holds its steps and learner as native objects of their own,
# which its native state names. Their Python wrappers live only while something refers to them:
# a part that carries extra state is pinned by its owner's entry (``_pinned``), so that the
# owner hands out the same wrapper, with its state, for as long as the owner lives.
_leaves: set[type] = set()  # classes whose native state holds no objects


def _native_reduce(obj: Any) -> Any:
    """The class's own reduction (it takes no account of the protocol)."""
    return type(obj).__reduce_ex__(obj, 2)  # type: ignore[call-arg]


def _members(obj: Any, native: Any = None) -> list[Any]:
    """The native objects ``obj``'s native state holds (its steps and learner), in order."""
    cls = type(obj)
    if cls in _leaves or cls not in _registered:
        return []
    if native is None:
        native = _native_reduce(obj)[2]
    found: list[Any] = []
    stack = [native]
    while stack:
        value = stack.pop(0)
        if isinstance(value, (tuple, list)):
            stack[:0] = list(value)
        elif type(value) in _registered:
            found.append(value)
    if not found and isinstance(native, (bytes, bytearray)):
        _leaves.add(cls)
    return found


def _carries(obj: Any) -> bool:
    """Whether ``obj`` or one of its members, at any depth, has extra state to carry."""
    with _lock:
        parts = _parts(obj)
        if parts and any(not k.startswith("_") for k in parts):
            return True
    return any(_carries(m) for m in _members(obj))


def _pin(obj: Any, members: list[Any]) -> None:
    held = [m for m in members if _carries(m)]
    if held:
        put(obj, "_pinned", held)


def _carry(old: Any, new: Any, memo: dict[int, Any] | None = None) -> None:
    """Gives ``new`` (a native copy of ``old``) copies of the extra state of ``old`` and of its members."""
    _adopt(new, _copied_parts(old, memo))
    old_members = _members(old)
    if old_members and any(_carries(m) for m in old_members):
        new_members = _members(new)
        for a, b in zip(old_members, new_members):
            _carry(a, b, memo)
        _pin(new, new_members)


# ---------------------------------------------------------------- pickle


def _set_state(obj: Any, state: tuple[Any, dict[str, Any] | None]) -> None:
    """Restores a pickled object: its native state, then its extra state; pins its members."""
    native, parts = state
    obj.__setstate__(native)
    _adopt(obj, parts)
    _pin(obj, _members(obj, native))


def _reduce(obj: Any) -> Any:
    reduced = _native_reduce(obj)
    parts = _copied_parts(obj)
    if not parts and not any(_carries(m) for m in _members(obj, reduced[2])):
        return reduced
    if not (isinstance(reduced, tuple) and len(reduced) == 3):  # pragma: no cover - a native class changed
        raise TypeError(f"{type(obj).__name__} pickles in a form that cannot carry its extra state")
    func, args, native = reduced
    return func, args, (native, parts), None, None, _set_state


# ---------------------------------------------------------------- copy


def _copier(obj: Any) -> Any:
    new = type(obj).__copy__(obj)
    _carry(obj, new)
    return new


def _deep_copier(obj: Any, memo: dict[int, Any]) -> Any:
    new = type(obj).__deepcopy__(obj, memo)
    _carry(obj, new, memo)
    return new


def clone_state(obj: Any) -> Any:
    """``obj.clone_state()`` (a transformer's independent copy) with its extra state copied too."""
    new = obj.clone_state()
    _carry(obj, new)
    return new


# ---------------------------------------------------------------- registration

_INTERFACES = (core.IClassifier, core.IRegressor, core.ITransformer)
_registered: set[type] = set()


def _concrete(cls: Any) -> bool:
    return (isinstance(cls, type) and issubclass(cls, _INTERFACES) and cls not in _INTERFACES
            and callable(getattr(cls, "__setstate__", None)))


def register_class(cls: type) -> None:
    """Makes pickle and copy carry the extra state of ``cls``'s objects (a native learner or
    transformer class with ``__reduce_ex__``, ``__setstate__``, ``__copy__``, ``__deepcopy__``)."""
    if cls in _registered:
        return
    copyreg.pickle(cls, _reduce)
    copy_table: dict[type, Callable[..., Any]] | None = getattr(copy, "_copy_dispatch", None)
    deep_table: dict[type, Callable[..., Any]] | None = getattr(copy, "_deepcopy_dispatch", None)
    if copy_table is not None and callable(getattr(cls, "__copy__", None)):
        copy_table[cls] = _copier
    if deep_table is not None and callable(getattr(cls, "__deepcopy__", None)):
        deep_table[cls] = _deep_copier
    _registered.add(cls)


def register_module(module: ModuleType) -> None:
    """:func:`register_class` for every native learner and transformer class of ``module``."""
    for value in vars(module).values():
        if _concrete(value):
            register_class(value)


register_module(core)
try:
    import _tarvo_extra  # type: ignore[import-not-found]  # classes beyond the core, when built
except ImportError:  # pragma: no cover - depends on the build
    pass
else:  # pragma: no cover - depends on the build
    register_module(_tarvo_extra)
