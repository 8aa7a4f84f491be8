"""The drift detectors on seeded error streams: detection delay, misses, false alarms, and time.

Each detector (at its defaults) watches a classifier's 0/1 errors in three kinds of seeded
streams: an abrupt change of the error rate (0.1 to 0.5 at row 5000), a gradual one (the rate
rising linearly from 0.1 to 0.5 over rows 5000 to 7000), and a steady rate (0.1, and 0.3) for
false alarms. The delay is the rows from the start of the change to the first drift reported at
or after it (the median over the seeds); a miss is a stream with no drift within 3000 rows of
the start. False alarms are counted per 100,000 rows of the steady streams. The table goes to
``bench/results/drift_detectors.md``; the report rows time one update against the floor.
"""

from __future__ import annotations

import random
import statistics
import time
from collections.abc import Callable
from pathlib import Path

import _tarvo_core as core
import _tarvo_extra as extra
import _tarvo_probe as probe
from harness import Row, per_item_us, per_sample_us

RESULTS = Path(__file__).resolve().parent / "results"

DETECTORS: dict[str, Callable[[], object]] = {
    "ADWIN": core.ADWIN,
    "EDDM": core.EDDM,
    "DDM": extra.DDM,
    "HDDM_A": extra.HDDM_A,
    "HDDM_W": extra.HDDM_W,
    "PageHinkley": extra.PageHinkley,
    "KSWIN": extra.KSWIN,
}
CHANGE_AT = 5000
HORIZON = 3000


def rates(kind: str, n: int) -> Callable[[int], float]:
    if kind == "abrupt":
        return lambda i: 0.1 if i < CHANGE_AT else 0.5
    if kind == "gradual":
        return lambda i: 0.1 + 0.4 * min(1.0, max(0.0, (i - CHANGE_AT) / 2000))
    level = float(kind.split()[-1])
    return lambda i: level


def errors(kind: str, n: int, seed: int) -> list[float]:
    rng = random.Random(f"{kind} {seed}")
    rate = rates(kind, n)
    return [1.0 if rng.random() < rate(i) else 0.0 for i in range(n)]


def feed(name: str, values: list[float]) -> list[int]:
    """The rows (0-based) after which the detector reported a drift."""
    detector = DETECTORS[name]()
    update = detector.update
    fired = []
    if name == "EDDM":
        for i, v in enumerate(values):
            update(int(v))
            if detector.drift_detected:
                fired.append(i)
    else:
        for i, v in enumerate(values):
            update(v)
            if detector.drift_detected:
                fired.append(i)
    return fired


def measure(name: str, seeds: int, steady_rows: int) -> dict[str, object]:
    out: dict[str, object] = {}
    for kind in ("abrupt", "gradual"):
        delays, misses, early = [], 0, 0
        for seed in range(seeds):
            fired = feed(name, errors(kind, CHANGE_AT + HORIZON, seed))
            early += sum(1 for i in fired if i < CHANGE_AT)
            after = [i - CHANGE_AT for i in fired if i >= CHANGE_AT]
            if after:
                delays.append(after[0])
            else:
                misses += 1
        out[kind] = (statistics.median(delays) if delays else None, misses, early)
    for level in ("0.1", "0.3"):
        alarms = sum(len(feed(name, errors(f"steady {level}", steady_rows, seed))) for seed in range(2))
        out[f"steady {level}"] = alarms * 100_000 / (2 * steady_rows)
    return out


def report(stats: dict[str, dict[str, object]], timing: dict[str, float], seeds: int) -> str:
    lines = [
        "# Drift detectors on seeded 0/1 error streams",
        "",
        f"At their defaults; {seeds} seeds per changing stream, the change at row {CHANGE_AT}: abrupt (error rate "
        "0.1 to 0.5) and gradual (0.1 rising to 0.5 over 2000 rows). Delay: rows from the start of the change to the "
        f"first drift at or after it, the median over the seeds; missed: no drift within {HORIZON} rows; before: "
        "drifts reported before the change, over all seeds. False alarms per 100,000 rows of a steady rate. "
        "µs per update from Python (`bench_drift_detectors.py`). Against MOA's detectors at matched settings: "
        "[moa.md](moa.md).",
        "",
        "| detector | abrupt: delay | missed | before | gradual: delay | missed | before "
        "| false alarms /100k at 0.1 | at 0.3 | µs/update |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name, s in stats.items():
        a, g = s["abrupt"], s["gradual"]
        cell = (lambda d: "—" if d is None else f"{d:.0f}")
        lines.append(f"| {name} | {cell(a[0])} | {a[1]} | {a[2]} | {cell(g[0])} | {g[1]} | {g[2]} "
                     f"| {s['steady 0.1']:.0f} | {s['steady 0.3']:.0f} | {timing[name]:.3f} |")
    lines.append("")
    return "\n".join(lines)


def run(quick: bool) -> list[Row]:
    seeds = 5 if quick else 30
    steady_rows = 20_000 if quick else 100_000
    rng = random.Random(3)
    values = [1.0 if rng.random() < 0.2 else 0.0 for _ in range(50_000 if quick else 200_000)]
    ints = [int(v) for v in values]
    floor_us = per_item_us(probe.floor_update_value, values)
    rows, stats, timing = [], {}, {}
    began = time.perf_counter()
    for name, make in DETECTORS.items():
        items = ints if name == "EDDM" else values
        us = per_sample_us(make, lambda d, v: d.update(v), items)
        timing[name] = us
        stats[name] = measure(name, seeds, steady_rows)
        a = stats[name]["abrupt"]
        rows.append(Row(name, "update(value), 0/1 errors at rate 0.2", us, floor_us,
                        notes=f"abrupt change found after {a[0]} rows (median of {seeds} seeds), "
                              f"{stats[name]['steady 0.1']:.0f} false alarms per 100k rows at rate 0.1",
                        extra=stats[name]))
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "drift_detectors.md").write_text(report(stats, timing, seeds), encoding="utf-8")
    print(f"drift detectors measured in {time.perf_counter() - began:.0f} s")
    return rows


if __name__ == "__main__":
    import sys

    for row in run("--quick" in sys.argv):
        print(row.component, f"{row.us_per_sample:.3f} µs", row.notes)
