"""The forests' members, and the boosters' stages, on several threads: wall time of
``tarvo.batch.prequential`` with 2 and 4 threads against 1, in one run.

For ARFClassifier, SRPClassifier, LeveragingBaggingClassifier (ten members) and SGBTClassifier
at their defaults on the electricity stream (when ``shared/datasets/elec.csv`` is at hand) and
on a 10-feature synthetic stream of three classes, and for ARFRegressor and SGBRRegressor on the
same rows (the electricity regressor predicts ``nswdemand`` from the other five features; the
synthetic one a noisy linear target); the boosters take the first tenth (SGBT) or quarter (SGBR)
of the rows. Each row gives the wall time per row with N threads; the floor column
is the same evaluation with one thread (the per-sample path), so "ratio to floor" is the share
of the one-thread time that N threads take, and the notes give the speed-up (1-thread time /
N-thread time). The results are identical for every count (the tests check that bit for bit).

Wall time is what threads shorten, so it is what is measured: the thread counts take turns
within each round and the best of the rounds counts, which keeps out most of the time other
processes hold a core (on the 2-core machines here one run of the same work varies by up to 1.5×
from round to round). 4 threads on a 2-core machine shows what oversubscription costs.
"""

from __future__ import annotations

import gc
import os
import time
from collections.abc import Callable

from bench_batch import Stream, electricity
from harness import Row
from streams import classification, regression

import _tarvo_core as core
from tarvo import batch

# (model, classifier, share of the stream's rows): the boosters cost 10-40 times a forest's
# time per row, so they take the first rows only.
FORESTS: tuple[tuple[Callable[[], object], bool, float], ...] = (
    (core.ARFClassifier, True, 1.0),
    (core.SRPClassifier, True, 1.0),
    (core.LeveragingBaggingClassifier, True, 1.0),
    (core.ARFRegressor, False, 1.0),
    (core.SGBTClassifier, True, 0.1),
    (core.SGBRRegressor, False, 0.25),
)
THREADS = (1, 2, 4)


def wall_s(make: Callable[[], object], stream: Stream, threads: int) -> float:
    model = make()
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        batch.prequential(model, stream.X, stream.y, columns=stream.names, threads=threads)
        return time.perf_counter() - start
    finally:
        gc.enable()


def forest_rows(make: Callable[[], object], stream: Stream, repeat: int) -> list[Row]:
    best = {t: float("inf") for t in THREADS}
    for _ in range(repeat):
        for t in THREADS:
            best[t] = min(best[t], wall_s(make, stream, t))
    n = len(stream)
    one = best[1] / n * 1e6
    rows = []
    for t in THREADS[1:]:
        us = best[t] / n * 1e6
        rows.append(Row(
            make.__name__, f"prequential, {t} threads vs 1, {stream.label} ({n} rows)", us, one,
            notes=f"speed-up {best[1] / best[t]:.2f}× on {os.cpu_count()} cores (wall time, best of {repeat})",
            extra={"threads": t, "speed_up": best[1] / best[t], "one_thread_us": one},
        ))
    return rows


def synthetic(n: int) -> tuple[Stream, Stream]:
    return (Stream("10 features, 3 classes", classification(n), True),
            Stream("10 features, linear target", regression(n), False))


def run(quick: bool) -> list[Row]:
    if batch.native is None:
        return []
    repeat = 2 if quick else 5
    sets = [synthetic(2_000 if quick else 10_000)]
    elec = electricity(3_000 if quick else 20_000)
    if elec is not None:
        sets.insert(0, elec)
    rows: list[Row] = []
    for classes, targets in sets:
        for make, classifier, share in FORESTS:
            stream = classes if classifier else targets
            if share < 1.0:
                head = stream.samples[:max(1, int(len(stream) * share))]
                stream = Stream(stream.label, head, classifier)
            rows += forest_rows(make, stream, repeat)
    return rows


if __name__ == "__main__":  # pragma: no cover - a quick look without run.py
    for row in run(quick=True):
        print(row.component, row.operation, f"{row.us_per_sample:.2f} µs", row.notes)
