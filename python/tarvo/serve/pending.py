"""Predictions waiting for their label: the features kept by prediction id, bounded by count and age."""

from __future__ import annotations

import secrets
import threading
import time
from collections import OrderedDict
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

#: Pending predictions kept by default; the oldest is dropped (expired) past it.
DEFAULT_MAX_PENDING = 100_000
#: How long a prediction waits for its label by default, in seconds (one day).
DEFAULT_PENDING_TTL = 86_400.0


@dataclass
class Pending:
    """One prediction waiting for its label."""

    row: dict[str, float]
    prediction: Any
    scored: bool  # whether its label scores it (a classifier's untrained answer is not scored)
    created: float  # wall-clock time of the prediction


class PendingPredictions:
    """Prediction id to :class:`Pending`, oldest first. Ids are ``<prefix>-<n>``, with a prefix
    drawn at random for each process, so ids never repeat across restarts. An id dropped for
    age or count is remembered (as many as ``max_pending``) so that its label gets 410, not 404."""

    def __init__(self, max_pending: int = DEFAULT_MAX_PENDING, ttl: float = DEFAULT_PENDING_TTL,
                 clock: Callable[[], float] = time.time) -> None:
        self.max_pending = max_pending
        self.ttl = ttl
        self._clock = clock
        self._items: OrderedDict[str, Pending] = OrderedDict()
        self._expired: OrderedDict[str, None] = OrderedDict()
        self._lock = threading.Lock()
        self._prefix = secrets.token_hex(4)
        self._next = 0
        self.changes = 0  # counts additions and removals: a snapshot records the count it saved

    def __len__(self) -> int:
        return len(self._items)

    def _expire(self, pid: str) -> None:
        self._expired[pid] = None
        while len(self._expired) > self.max_pending:
            self._expired.popitem(last=False)

    def _purge(self, now: float) -> None:
        while self._items:
            pid, item = next(iter(self._items.items()))
            if now - item.created <= self.ttl and len(self._items) <= self.max_pending:
                break
            del self._items[pid]
            self._expire(pid)

    def add(self, rows: Sequence[dict[str, float]], predictions: Sequence[Any], scored: Sequence[bool]) -> list[str]:
        """Keep each row with its prediction; returns their ids."""
        now = self._clock()
        with self._lock:
            ids = []
            for row, prediction, score in zip(rows, predictions, scored):
                pid = f"{self._prefix}-{self._next}"
                self._next += 1
                self._items[pid] = Pending(row, prediction, score, now)
                ids.append(pid)
            self.changes += 1
            self._purge(now)
        return ids

    def take(self, ids: Sequence[str]) -> tuple[list[tuple[int, str, Pending]], list[str], list[str]]:
        """Remove the ids that are pending: ``(taken, missing, expired)``, ``taken`` as
        ``(position in ids, id, entry)``; ``missing`` lists every id not taken (expired ones
        included), ``expired`` those among them dropped for age or count."""
        now = self._clock()
        taken, missing, expired = [], [], []
        with self._lock:
            self._purge(now)
            for i, pid in enumerate(ids):
                item = self._items.pop(pid, None)
                if item is None:
                    missing.append(pid)
                    if pid in self._expired:
                        expired.append(pid)
                else:
                    taken.append((i, pid, item))
            self.changes += bool(taken)
        return taken, missing, expired

    def put_back(self, taken: Sequence[tuple[int, str, Pending]]) -> None:
        """Undo a :meth:`take` whose rows could not be learnt."""
        with self._lock:
            for _, pid, item in taken:
                self._items[pid] = item

    def discard(self, ids: Sequence[str]) -> None:
        """Forget ids learnt (used when a log replays their labels)."""
        with self._lock:
            for pid in ids:
                self._items.pop(pid, None)

    def state(self) -> dict[str, Any]:
        with self._lock:
            return {"items": list(self._items.items()), "expired": list(self._expired)}

    def restore(self, state: dict[str, Any]) -> None:
        with self._lock:
            self._items = OrderedDict(state["items"])
            self._expired = OrderedDict.fromkeys(state["expired"])
