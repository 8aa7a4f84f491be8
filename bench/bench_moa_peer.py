"""HalfSpaceTrees and the drift detectors side by side with MOA's, run through capymoa.

MOA is an optional peer of this benchmark only, reached through ``moa_peer`` (a subprocess in the
Python named by ``TARVO_MOA_PYTHON``, default ``/work/moa-venv/bin/python`` when it exists; see that
module). Without it the benchmark prints the one-line reason and returns no rows.

Half-Space Trees, on the streams of ``bench_anomaly`` (the Gaussian mixture with 1% outliers, and
electricity with 1% spikes), every row scored before it is learnt, at matched settings: 25 trees,
height 15, window 250, mass limit 0.1 of the window on both sides. The features' ranges are the
least and greatest value of each over the first window: ours gets them as ``limits`` (the same
ranges it would learn itself), MOA's, which expects features in [0, 1], gets every row scaled by
them. MOA's model sees every row with the class 0, so that it learns without labels as ours does.
The ROC AUC of both sides is computed by the same code (``tarvo``'s exact ROCAUC) over the rows
after the first window (MOA scores them all 0.5 and ours 0.0, which would weigh on the AUC over
every row differently), for seeds 1, 2 and 3; the spread over seeds is shown. Speed: ours from
Python (score_one then learn_one, and ``tarvo.batch.score_many``); MOA from Python (capymoa's
``score_instance`` then ``train``, on instances built beforehand: the Python-to-Java crossing of
each call is part of what a capymoa user pays) and inside the JVM (a Java loop of
``getAnomalyScore`` then ``trainOnInstance``, after the same rows, best of two).

Drift detectors, on the seeded 0/1 error streams of ``bench_drift_detectors`` (an abrupt change of
the error rate from 0.1 to 0.5 at row 5000, a gradual one over rows 5000 to 7000, and steady rates
0.1 and 0.3 for false alarms), each detector at explicitly matched settings (``MATCHED`` lists
both sides' defaults). MOA's detections come from a Java loop calling ``input`` then
``getChange`` (the worker checks it reports exactly what capymoa's ``add_element`` then
``detected_change`` reports). Times per update: ours from Python; MOA's from Python through
capymoa and inside the JVM.

The tables go to ``bench/results/moa.md``; the text below its marker line (why the two sides
differ) is written by hand and kept from one run to the next. ``moa_differences.py`` replays the
detectors that differ with plain-Python replicas, to show which rule makes the difference.
"""

from __future__ import annotations

import os
import platform
import statistics
import subprocess
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import numpy as np

import _tarvo_core as core
import _tarvo_extra as extra
import _tarvo_probe as probe
import bench_anomaly as anomaly
import bench_drift_detectors as drift
import moa_peer
from harness import Row, per_item_us, per_run_us, per_sample_us
from tarvo import batch

RESULTS = Path(__file__).resolve().parent / "results"
REPORT = RESULTS / "moa.md"
MARKER = "<!-- Kept by bench_moa_peer.py: everything below is written by hand. -->"
WINDOW, TREES, HEIGHT = 250, 25, 15
SEEDS = (1, 2, 3)


class Matched:
    """One detector on both sides: our constructor, MOA's through capymoa, and both sides' defaults."""

    def __init__(self, ours: Callable[[], Any], moa_cls: str | None, moa_kwargs: dict[str, Any],
                 ours_defaults: str, moa_defaults: str, run_at: str) -> None:
        self.ours, self.moa_cls, self.moa_kwargs = ours, moa_cls, moa_kwargs
        self.ours_defaults, self.moa_defaults, self.run_at = ours_defaults, moa_defaults, run_at


MATCHED: dict[str, Matched] = {
    "ADWIN": Matched(lambda: core.ADWIN(delta=0.002), "ADWIN", {"delta": 0.002},
                     "delta 0.002, clock 32, max_buckets 5, min_window_length 5, grace_period 10",
                     "deltaAdwin 0.002 (its only option)", "delta 0.002"),
    "EDDM": Matched(lambda: core.EDDM(warm_start=30, alpha=0.95, beta=0.9), "EDDM", {},
                    "warm_start 30, alpha 0.95, beta 0.9", "no options (the paper's 30 errors, 0.95 and 0.90)",
                    "30, 0.95, 0.90"),
    "DDM": Matched(lambda: extra.DDM(min_num_instances=30, warning_level=2.0, out_control_level=3.0), "DDM",
                   {"min_n_instances": 30, "warning_level": 2.0, "out_control_level": 3.0},
                   "min_num_instances 30, warning_level 2, out_control_level 3",
                   "minNumInstances 30, warningLevel 2, outcontrolLevel 3", "30, 2, 3"),
    "HDDM_A": Matched(lambda: extra.HDDM_A(drift_confidence=0.001, warning_confidence=0.005, two_sided=False),
                      "HDDMAverage", {"drift_confidence": 0.001, "warning_confidence": 0.005,
                                      "test_type": "One-sided"},
                      "drift 0.001, warning 0.005, one-sided",
                      "drift 0.001, warning 0.005, **two-sided**", "0.001, 0.005, one-sided"),
    "HDDM_W": Matched(lambda: extra.HDDM_W(drift_confidence=0.001, warning_confidence=0.005, lambda_=0.05,
                                           two_sided=False),
                      "HDDMWeighted", {"drift_confidence": 0.001, "warning_confidence": 0.005, "lambda_": 0.05,
                                       "test_type": "One-sided"},
                      "drift 0.001, warning 0.005, lambda 0.05, one-sided",
                      "drift 0.001, warning 0.005, lambda 0.05; one-sided in MOA, **two-sided** in capymoa's "
                      "wrapper", "0.001, 0.005, 0.05, one-sided"),
    "PageHinkley": Matched(lambda: extra.PageHinkley(min_instances=30, delta=0.005, threshold=50.0, alpha=0.9999),
                           "PageHinkley", {"min_n_instances": 30, "delta": 0.005, "lambda_": 50.0, "alpha": 0.9999},
                           "min_instances 30, delta 0.005, threshold 50, alpha 0.9999",
                           "minNumInstances 30, delta 0.005, lambda 50, alpha 0.9999", "30, 0.005, 50, 0.9999"),
    "KSWIN": Matched(lambda: extra.KSWIN(alpha=0.005, window_size=100, stat_size=30, seed=0), None, {},
                     "alpha 0.005, window_size 100, stat_size 30, seed 0",
                     "none: neither MOA's jar nor capymoa's MOA detectors have KSWIN", "ours only"),
}


def machine() -> str:
    try:
        cpu = next(line.split(":", 1)[1].strip() for line in subprocess.run(
            ["lscpu"], capture_output=True, text=True, check=True).stdout.splitlines() if line.startswith("Model name"))
    except (OSError, subprocess.CalledProcessError, StopIteration):
        cpu = platform.processor() or platform.machine()
    return f"{cpu}, {os.cpu_count()} cores shared with other work; Python {platform.python_version()}; {moa_peer.describe()}"


def roc_auc(labels: np.ndarray, scores: np.ndarray) -> float:
    """The exact ROC AUC, by the same code for both sides."""
    return anomaly.auc(labels, scores)


# ---------------------------------------------------------------------------------------------
# Half-Space Trees


def first_window_limits(columns: list[str], X: np.ndarray) -> dict[str, tuple[float, float]]:
    """Each feature's least and greatest value over the first window; a constant one gets [v, v + 1]."""
    low, high = X[:WINDOW].min(axis=0), X[:WINDOW].max(axis=0)
    high = np.where(high > low, high, low + 1.0)
    return {c: (float(a), float(b)) for c, a, b in zip(columns, low, high)}


def hst_stream(name: str, data: tuple[list[str], np.ndarray, np.ndarray], limit: int | None) -> dict[str, Any]:
    columns, X, y = data
    if limit is not None:
        X, y = X[:limit], y[:limit]
    limits = first_window_limits(columns, X)
    low = np.array([limits[c][0] for c in columns])
    high = np.array([limits[c][1] for c in columns])

    def ours(seed: int) -> Any:
        return extra.HalfSpaceTrees(n_trees=TREES, height=HEIGHT, window_size=WINDOW, seed=seed, limits=limits)

    ours_scores = [batch.score_many(ours(seed), X, columns=columns) for seed in SEEDS]
    learnt = batch.score_many(extra.HalfSpaceTrees(n_trees=TREES, height=HEIGHT, window_size=WINDOW, seed=SEEDS[0]),
                              X, columns=columns)
    assert np.array_equal(learnt, ours_scores[0]), "given the first window's ranges, ours scores as when it learns them"
    rows = [dict(zip(columns, map(float, r))) for r in X]

    def loop() -> int:
        m = ours(SEEDS[0])
        score, learn = m.score_one, m.learn_one
        for x in rows:
            score(x)
            learn(x)
        return len(rows)

    loop_us = per_run_us(loop, repeat=2)
    batch_us = per_run_us(lambda: len(batch.score_many(ours(SEEDS[0]), X, columns=columns)), repeat=2)
    floor_us = per_item_us(lambda x: (probe.floor_predict(x), probe.floor_learn(x, 0)), rows)

    info, out = moa_peer.call("hst", {"n_trees": TREES, "height": HEIGHT, "window_size": WINDOW,
                                      "seeds": list(SEEDS), "repeat": 2}, {"X": (X - low) / (high - low)})
    moa_scores = out["scores_java"]
    if not info["python_and_java_agree"]:
        print(f"warning: MOA's Half-Space Trees scores {name} otherwise from Python than in the Java loop")
    after = slice(WINDOW, None)
    ours_auc = [roc_auc(y[after], s[after]) for s in ours_scores]
    moa_auc = [roc_auc(y[after], s[after]) for s in moa_scores]
    return {
        "name": name, "rows": len(X), "anomalies": int(y.sum()),
        "ours_auc": ours_auc, "moa_auc": moa_auc,
        "ours_auc_all": roc_auc(y, ours_scores[0]), "moa_auc_all": roc_auc(y, moa_scores[0]),
        "loop_us": loop_us, "batch_us": batch_us, "floor_us": floor_us,
        "moa_python_us": info["python_ns_per_row"] / 1000, "moa_java_us": info["java_ns_per_row"] / 1000,
    }


def spread(values: list[float]) -> str:
    return f"{statistics.mean(values):.4f} ({min(values):.4f}–{max(values):.4f})"


def hst_table(results: list[dict[str, Any]]) -> list[str]:
    lines = [
        "## Half-Space Trees",
        "",
        f"Matched settings: {TREES} trees, height {HEIGHT}, window {WINDOW}, mass limit 0.1 × window; feature ranges "
        "the least and greatest value of each over the first window, given to ours as `limits` (what it learns by "
        "itself) and applied to MOA's rows as a scaling to [0, 1]; MOA's rows all carry the class 0. Each row scored, "
        f"then learnt. ROC AUC exact, by the same code for both sides, over the rows after the first window: the mean "
        f"(least–greatest) over seeds {', '.join(map(str, SEEDS))}; then over every row, seed {SEEDS[0]}. Samples per "
        f"second of seed {SEEDS[0]}: ours from Python (score_one then learn_one; `batch.score_many`), MOA from Python "
        "through capymoa (score_instance then train, on instances built beforehand) and in a Java loop "
        "(getAnomalyScore then trainOnInstance).",
        "",
        "| stream | rows | anomalies | AUC ours | AUC MOA | AUC every row: ours / MOA "
        "| ours samples/s, per sample | batch | MOA samples/s, capymoa | in Java | ours faster than capymoa | than MOA in Java |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results:
        lines.append(
            f"| {r['name']} | {r['rows']:,} | {r['anomalies']} | {spread(r['ours_auc'])} | {spread(r['moa_auc'])} "
            f"| {r['ours_auc_all']:.4f} / {r['moa_auc_all']:.4f} | {1e6 / r['loop_us']:,.0f} | {1e6 / r['batch_us']:,.0f} "
            f"| {1e6 / r['moa_python_us']:,.0f} | {1e6 / r['moa_java_us']:,.0f} "
            f"| {r['moa_python_us'] / r['loop_us']:.1f}× | {r['moa_java_us'] / r['loop_us']:.1f}× |")
    return lines


def hst_rows(results: list[dict[str, Any]]) -> list[Row]:
    rows = []
    for r in results:
        rows.append(Row(
            "HalfSpaceTrees", f"vs MOA, {r['name']}: score_one then learn_one", r["loop_us"], r["floor_us"],
            peer="MOA HSTrees via capymoa (score_instance + train)", peer_us=r["moa_python_us"],
            notes=f"AUC after the first window ours {statistics.mean(r['ours_auc']):.4f}, MOA "
                  f"{statistics.mean(r['moa_auc']):.4f} (mean of seeds {', '.join(map(str, SEEDS))}); MOA in a Java "
                  f"loop {r['moa_java_us']:.1f} µs/row; ours through batch.score_many {r['batch_us']:.2f} µs/row; "
                  f"{r['rows']:,} rows",
            extra={k: v for k, v in r.items() if k != "name"}))
    return rows


# ---------------------------------------------------------------------------------------------
# Drift detectors

KINDS = ("abrupt", "gradual")
LEVELS = ("0.1", "0.3")


def streams(seeds: int, steady_rows: int) -> list[tuple[str, int, np.ndarray]]:
    out = [(kind, seed, np.array(drift.errors(kind, drift.CHANGE_AT + drift.HORIZON, seed)))
           for kind in KINDS for seed in range(seeds)]
    out += [(f"steady {level}", seed, np.array(drift.errors(f"steady {level}", steady_rows, seed)))
            for level in LEVELS for seed in range(2)]
    return out


def ours_fired(make: Callable[[], Any], values: np.ndarray, as_int: bool) -> list[int]:
    detector = make()
    update = detector.update
    fired = []
    for i, v in enumerate(values.tolist()):
        update(int(v) if as_int else v)
        if detector.drift_detected:
            fired.append(i)
    return fired


def summarise(runs: list[tuple[str, int, np.ndarray]], fired: list[list[int]], steady_rows: int) -> dict[str, Any]:
    s: dict[str, Any] = {}
    for kind in KINDS:
        delays, misses, early = [], 0, 0
        for (k, _, _), hits in zip(runs, fired):
            if k != kind:
                continue
            early += sum(1 for i in hits if i < drift.CHANGE_AT)
            after = [i - drift.CHANGE_AT for i in hits if i >= drift.CHANGE_AT]
            if after:
                delays.append(after[0])
            else:
                misses += 1
        s[kind] = {"delay": statistics.median(delays) if delays else None, "missed": misses, "before": early,
                   "delays": delays}
    for level in LEVELS:
        alarms = sum(len(hits) for (k, _, _), hits in zip(runs, fired) if k == f"steady {level}")
        s[f"steady {level}"] = alarms * 100_000 / (2 * steady_rows)
    return s


def drift_compare(quick: bool) -> tuple[dict[str, Any], dict[str, Any]]:
    seeds = 5 if quick else 30
    steady_rows = 20_000 if quick else 100_000
    runs = streams(seeds, steady_rows)
    rng = np.random.default_rng(3)
    timing_values = (rng.random(50_000 if quick else 200_000) < 0.2).astype(np.float64)
    setups = [{"name": name, "cls": m.moa_cls, "kwargs": m.moa_kwargs} for name, m in MATCHED.items() if m.moa_cls]
    info, out = moa_peer.call("drift", {"detectors": setups, "repeat": 3}, {
        "values": np.concatenate([v for _, _, v in runs]),
        "offsets": np.cumsum([0] + [len(v) for _, _, v in runs]),
        "timing_values": timing_values})
    floor_us = per_item_us(probe.floor_update_value, timing_values.tolist())
    results: dict[str, Any] = {}
    for name, m in MATCHED.items():
        as_int = name == "EDDM"
        ours = [ours_fired(m.ours, v, as_int) for _, _, v in runs]
        items = [int(v) for v in timing_values.tolist()] if as_int else timing_values.tolist()
        r: dict[str, Any] = {"ours": summarise(runs, ours, steady_rows),
                             "ours_us": per_sample_us(m.ours, lambda d, v: d.update(v), items), "floor_us": floor_us}
        if m.moa_cls:
            fired, cuts = out[f"fired/{name}"], out[f"cuts/{name}"]
            theirs = [fired[a:b].tolist() for a, b in zip(cuts[:-1], cuts[1:])]
            r["moa"] = summarise(runs, theirs, steady_rows)
            r["identical"] = sum(a == b for a, b in zip(ours, theirs))
            r["streams"] = len(runs)
            r["moa_python_us"] = info[name]["python_ns_per_update"] / 1000
            r["moa_java_us"] = info[name]["java_ns_per_update"] / 1000
            if not info[name]["python_and_java_agree"]:
                print(f"warning: MOA's {name} reports other rows from Python than in the Java loop")
        results[name] = r
    return results, {"seeds": seeds, "steady_rows": steady_rows, "timing_rows": len(timing_values)}


def drift_table(results: dict[str, Any], setup: dict[str, Any]) -> list[str]:
    lines = [
        "## Drift detectors",
        "",
        f"The seeded 0/1 error streams of `bench_drift_detectors.py`: {setup['seeds']} seeds of an abrupt change "
        f"(error rate 0.1 to 0.5 at row {drift.CHANGE_AT}) and of a gradual one (0.1 rising to 0.5 over rows "
        f"{drift.CHANGE_AT} to {drift.CHANGE_AT + 2000}); 2 × {setup['steady_rows']:,} rows at a steady rate of 0.1 and "
        "of 0.3. Delay: rows from the start of the change to the first drift at or after it, the median over the seeds; "
        f"missed: no drift within {drift.HORIZON} rows; before: drifts before the change, over all seeds. False alarms "
        "per 100,000 rows of a steady rate. Same: streams on which both sides report exactly the same rows. µs per "
        f"update on {setup['timing_rows']:,} errors at rate 0.2: ours from Python, MOA from Python through capymoa "
        "(add_element then detected_change) and in a Java loop (input then getChange).",
        "",
        "| detector | settings | abrupt delay: ours / MOA | missed | before | gradual delay: ours / MOA | missed | before "
        "| false alarms /100k at 0.1 | at 0.3 | same | µs/update: ours | MOA, capymoa | MOA, in Java |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]

    def pair(r: dict[str, Any], f: Callable[[dict[str, Any]], Any]) -> str:
        ours = f(r["ours"])
        return f"{ours} / {f(r['moa'])}" if "moa" in r else f"{ours} / —"

    def delay(d: Any) -> str:
        return "—" if d is None else f"{d:.0f}"

    def moa_us(r: dict[str, Any], key: str) -> str:
        return f"{r[key]:.3f}" if key in r else "—"

    for name, r in results.items():
        m = MATCHED[name]
        same = f"{r['identical']}/{r['streams']}" if "moa" in r else "—"
        lines.append(
            f"| {name} | {m.run_at} | {pair(r, lambda s: delay(s['abrupt']['delay']))} "
            f"| {pair(r, lambda s: s['abrupt']['missed'])} | {pair(r, lambda s: s['abrupt']['before'])} "
            f"| {pair(r, lambda s: delay(s['gradual']['delay']))} | {pair(r, lambda s: s['gradual']['missed'])} "
            f"| {pair(r, lambda s: s['gradual']['before'])} | {pair(r, lambda s: round(s['steady 0.1']))} "
            f"| {pair(r, lambda s: round(s['steady 0.3']))} "
            f"| {same} | {r['ours_us']:.3f} | {moa_us(r, 'moa_python_us')} | {moa_us(r, 'moa_java_us')} |")
    lines += ["", "Both sides' defaults, and the settings run:", "",
              "| detector | ours | MOA through capymoa |", "|---|---|---|"]
    lines += [f"| {name} | {m.ours_defaults} | {m.moa_defaults} |" for name, m in MATCHED.items()]
    return lines


def drift_rows(results: dict[str, Any], setup: dict[str, Any]) -> list[Row]:
    rows = []
    for name, r in results.items():
        o = r["ours"]
        note = (f"abrupt delay ours {o['abrupt']['delay']}"
                + (f", MOA {r['moa']['abrupt']['delay']}; identical detections on {r['identical']}/{r['streams']} "
                   f"streams; MOA in a Java loop {r['moa_java_us'] * 1000:.0f} ns/update" if "moa" in r
                   else "; no MOA counterpart"))
        rows.append(Row(name, "vs MOA: update(value), 0/1 errors at rate 0.2", r["ours_us"], r["floor_us"],
                        peer="MOA via capymoa (add_element + detected_change)" if "moa" in r else None,
                        peer_us=r.get("moa_python_us"), notes=note,
                        extra={k: v for k, v in r.items() if k in ("identical", "streams", "moa_java_us")}))
    return rows


# ---------------------------------------------------------------------------------------------


def write_report(hst: list[dict[str, Any]], drifts: dict[str, Any], setup: dict[str, Any], quick: bool) -> None:
    kept = ""
    if REPORT.exists():
        text = REPORT.read_text(encoding="utf-8")
        if MARKER in text:
            kept = text[text.index(MARKER) + len(MARKER):].lstrip("\n")
    head = [
        "# Against MOA: Half-Space Trees and the drift detectors",
        "",
        f"Machine: {machine()}; {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}"
        f"{' (--quick)' if quick else ''}. Measured by `bench/bench_moa_peer.py`, MOA reached through `bench/moa_peer.py`.",
        "",
    ]
    body = head + hst_table(hst) + [""] + drift_table(drifts, setup) + ["", MARKER, "", kept]
    RESULTS.mkdir(exist_ok=True)
    REPORT.write_text("\n".join(body).rstrip("\n") + "\n", encoding="utf-8")


def run(quick: bool) -> list[Row]:
    reason = moa_peer.unavailable()
    if reason is not None:
        print(reason)
        return []
    began = time.perf_counter()
    limit = 20_000 if quick else None
    hst = [hst_stream("Gaussian mixture, 1% outliers", anomaly.mixture(100_000), limit)]
    elec = anomaly.electricity()
    if elec is None:
        print("electricity stream skipped: shared/datasets/elec.csv is not at hand")
    else:
        hst.append(hst_stream("electricity, 1% spikes", elec, limit))
    drifts, setup = drift_compare(quick)
    write_report(hst, drifts, setup, quick)
    print(f"MOA peer compared in {time.perf_counter() - began:.0f} s")
    return hst_rows(hst) + drift_rows(drifts, setup)


if __name__ == "__main__":
    import sys

    for row in run("--quick" in sys.argv):
        print(row.component, row.operation, f"{row.us_per_sample:.3f} µs", row.peer_us, row.notes)
