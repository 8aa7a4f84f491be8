"""Timing helpers shared by the benchmarks.

Every figure is a per-call (or per-sample) cost measured in the same run as its
floor: a native call from the test-only module that converts the same
arguments and does nothing else. Ratios to the floor are what to compare
across machines; the absolute figures are this machine's.
"""

from __future__ import annotations

import gc
import time
from collections.abc import Callable, Sequence
from dataclasses import asdict, dataclass, field
from typing import Any


@dataclass
class Row:
    """One line of the benchmark report."""

    component: str
    operation: str
    us_per_sample: float
    floor_us: float
    native_ns: float | None = None
    peer: str | None = None
    peer_us: float | None = None
    notes: str = ""
    extra: dict[str, Any] = field(default_factory=dict)
    module: str = ""  # the benchmark module that measured it, set by run.py

    @property
    def ratio(self) -> float:
        return self.us_per_sample / self.floor_us if self.floor_us > 0 else float("nan")

    @property
    def peer_ratio(self) -> float | None:
        if self.peer_us is None or self.us_per_sample <= 0:
            return None
        return self.peer_us / self.us_per_sample

    @classmethod
    def from_dict(cls, d: dict[str, Any]) -> Row:
        """The row of a report's JSON (its derived ratios left out)."""
        return cls(**{k: v for k, v in d.items() if k in cls.__dataclass_fields__})

    def to_dict(self) -> dict[str, Any]:
        d = asdict(self)
        d["ratio_to_floor"] = self.ratio
        d["peer_slower_by"] = self.peer_ratio
        return d


def per_run_us(run: Callable[[], int], repeat: int = 3) -> float:
    """Best-of-``repeat`` microseconds per item of ``run()``, which returns how many items it handled.

    For work that is a whole loop rather than one call per item: iterating a
    stream, reading a file, an evaluation run.
    """
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter_ns()
            n = run()
            elapsed = time.perf_counter_ns() - start
        finally:
            gc.enable()
        best = min(best, elapsed / max(1, n) / 1000.0)
    return best


def per_item_us(step: Callable[[Any], object], items: Sequence[Any], repeat: int = 3) -> float:
    """Best-of-``repeat`` mean microseconds of ``step(item)`` over ``items``."""

    def loop() -> int:
        for item in items:
            step(item)
        return len(items)

    return per_run_us(loop, repeat)


def per_sample_us(
    make: Callable[[], Any], step: Callable[[Any, Any], object], items: Sequence[Any], repeat: int = 3
) -> float:
    """Best-of-``repeat`` microseconds per item of ``step(obj, item)``, a fresh ``make()`` each time.

    Stateful learners get a fresh object per repetition so that every repetition
    measures the same work.
    """
    best = float("inf")
    for _ in range(repeat):
        obj = make()
        gc.collect()
        gc.disable()
        try:
            start = time.perf_counter_ns()
            for item in items:
                step(obj, item)
            elapsed = time.perf_counter_ns() - start
        finally:
            gc.enable()
        best = min(best, elapsed / len(items) / 1000.0)
    return best


def test_then_train_us(
    make: Callable[[], Any], samples: Sequence[tuple[Any, Any]], *, classifier: bool, repeat: int = 3
) -> tuple[float, float]:
    """Microseconds per sample of ``predict_one`` then ``learn_one`` on a fresh ``make()``, and of the floor.

    The floor makes the same two calls to the test-only module's do-nothing
    functions that convert the same arguments (an ``int`` label for a
    classifier, a ``float`` target for a regressor).
    """
    import _tarvo_probe as probe

    floor_predict = probe.floor_predict if classifier else probe.floor_predict_target
    floor_learn = probe.floor_learn if classifier else probe.floor_learn_target

    def step(model: Any, item: tuple[Any, Any]) -> None:
        x, y = item
        model.predict_one(x)
        model.learn_one(x, y)

    def floor_step(item: tuple[Any, Any]) -> None:
        x, y = item
        floor_predict(x)
        floor_learn(x, y)

    return per_sample_us(make, step, samples, repeat), per_item_us(floor_step, samples, repeat)


def native_ns(make: Callable[[], Any], samples: Sequence[tuple[Any, Any]], *, classifier: bool, repeat: int = 3) -> float:
    """Best-of-``repeat`` native nanoseconds per sample of predict_one + learn_one on a fresh ``make()``."""
    import _tarvo_probe as probe

    run = probe.classifier_stream_ns if classifier else probe.regressor_stream_ns
    return min(run(make(), list(samples))[0] for _ in range(repeat))
