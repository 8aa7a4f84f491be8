"""HalfSpaceTrees on labelled anomaly streams: ROC AUC and samples per second.

Two seeded streams, each row scored before it is learnt (prequential), at the paper's settings
(25 trees, height 15, window 250):

- a Gaussian mixture: three clusters in five dimensions, with 1% of the rows outliers drawn
  uniformly from a box twice the clusters' extent (labelled 1);
- the electricity stream (``shared/datasets/elec.csv``, when at hand) without its class, with
  spikes injected into 1% of the rows: one of its five continuous features moved by six of its
  standard deviations, up or down (labelled 1).

The AUC is exact over every row, and over the rows after the first window (whose scores are all
0.0, as there is no reference profile yet). ``anomaly_scores.png`` plots the first 20,000 scores of
the mixture with its anomalies marked (when matplotlib is at hand; the README shows it). Times: the per-sample loop from Python (score_one
then learn_one) against the floor of those two calls, and tarvo.batch.score_many. The table goes
to ``bench/results/anomaly.md``. The last rows time ROCAUC's update (exact, and over a window of 1000)
and the three baselines' predict_one then learn_one, against their floors.
"""

from __future__ import annotations

import csv
import pathlib
import time

import numpy as np

import _tarvo_extra as extra
import _tarvo_probe as probe
from bench_forests import elec_path
from harness import Row, per_item_us, per_sample_us, test_then_train_us
from tarvo import batch

RESULTS = pathlib.Path(__file__).resolve().parent / "results"
ELEC_FEATURES = ["nswprice", "nswdemand", "vicprice", "vicdemand", "transfer"]


def mixture(n: int, seed: int = 11) -> tuple[list[str], np.ndarray, np.ndarray]:
    rng = np.random.default_rng(seed)
    centres = rng.uniform(-5, 5, size=(3, 5))
    X = centres[rng.integers(0, 3, n)] + rng.normal(scale=0.8, size=(n, 5))
    y = (rng.random(n) < 0.01).astype(np.int64)
    low, high = X.min(axis=0), X.max(axis=0)
    span = high - low
    X[y == 1] = rng.uniform(low - span / 2, high + span / 2, size=(int(y.sum()), 5))
    return [f"x{j}" for j in range(5)], X, y


def electricity(seed: int = 12) -> tuple[list[str], np.ndarray, np.ndarray] | None:
    path = elec_path()
    if path is None:
        return None
    with path.open(newline="") as f:
        rows = [[float(r[name]) for name in ELEC_FEATURES] for r in csv.DictReader(f)]
    X = np.array(rows)
    rng = np.random.default_rng(seed)
    y = (rng.random(len(X)) < 0.01).astype(np.int64)
    sd = X.std(axis=0)
    for r in np.flatnonzero(y):
        j = rng.integers(0, X.shape[1])
        X[r, j] += 6 * sd[j] * rng.choice([-1, 1])
    return ELEC_FEATURES, X, y


def auc(labels: np.ndarray, scores: np.ndarray) -> float:
    metric = extra.ROCAUC()
    for label, score in zip(labels.tolist(), scores.tolist()):
        metric.update(label, score)
    return metric.get()


def measure(name: str, data: tuple[list[str], np.ndarray, np.ndarray], limit: int | None) -> tuple[list[Row], str]:
    columns, X, y = data
    if limit is not None:
        X, y = X[:limit], y[:limit]
    rows = [dict(zip(columns, map(float, r))) for r in X]
    model = extra.HalfSpaceTrees(seed=1)
    scores = batch.score_many(model, X, columns=columns)
    all_rows, later = auc(y, scores), auc(y[250:], scores[250:])

    def loop() -> list[float]:
        m = extra.HalfSpaceTrees(seed=1)
        out = []
        for x in rows:
            out.append(m.score_one(x))
            m.learn_one(x)
        return out

    began = time.perf_counter()
    assert loop() == scores.tolist()  # the per-sample loop scores as the batch does
    loop_us = (time.perf_counter() - began) / len(rows) * 1e6
    began = time.perf_counter()
    batch.score_many(extra.HalfSpaceTrees(seed=1), X, columns=columns)
    batch_us = (time.perf_counter() - began) / len(rows) * 1e6
    floor_us = per_item_us(lambda x: (probe.floor_predict(x), probe.floor_learn(x, 0)), rows)
    note = f"ROC AUC {all_rows:.4f} over every row, {later:.4f} after the first window; {int(y.sum())} anomalies"
    out = [
        Row("HalfSpaceTrees", f"{name}: score_one then learn_one", loop_us, floor_us, notes=note,
            extra={"auc": all_rows, "auc_after_first_window": later, "rows": len(rows)}),
        Row("HalfSpaceTrees", f"{name}: batch.score_many, per row", batch_us, floor_us, notes=note),
    ]
    line = (f"| {name} | {len(rows):,} | {int(y.sum())} | {all_rows:.4f} | {later:.4f} | {1e6 / loop_us:,.0f} "
            f"| {1e6 / batch_us:,.0f} |")
    return out, line


def run(quick: bool) -> list[Row]:
    limit = 20_000 if quick else None
    rows: list[Row] = []
    lines = [
        "# HalfSpaceTrees on labelled anomaly streams",
        "",
        "25 trees, height 15, window 250, seed 1; each row scored, then learnt. AUC exact over every row, and over "
        "the rows after the first window (scored 0.0, with no reference profile yet). Samples per second from "
        "Python (score_one then learn_one) and through tarvo.batch.score_many (`bench_anomaly.py`). Side by side with "
        "MOA's Half-Space Trees: [moa.md](moa.md).",
        "",
        "| stream | rows | anomalies | ROC AUC | after the first window | samples/s, per sample | samples/s, batch |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    streams = [("Gaussian mixture, 1% outliers", mixture(100_000))]
    elec = electricity()
    if elec is None:
        print("electricity stream skipped: shared/datasets/elec.csv is not at hand")
    else:
        streams.append(("electricity, 1% spikes", elec))
    for name, data in streams:
        new, line = measure(name, data, limit)
        rows += new
        lines.append(line)
    plot_scores(*streams[0][1])
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "anomaly.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    return rows + small_classes(quick)


def plot_scores(columns: list[str], X: np.ndarray, y: np.ndarray, n: int = 20_000) -> None:
    """The scores of the first n rows, the labelled anomalies marked, into results/anomaly_scores.png."""
    try:
        from matplotlib.figure import Figure
    except ImportError:
        print("anomaly_scores.png skipped: matplotlib is not installed")
        return
    scores = batch.score_many(extra.HalfSpaceTrees(seed=1), X[:n], columns=columns)
    labels = y[:n]
    fig = Figure(figsize=(9, 3), layout="constrained")
    ax = fig.subplots()
    rows = np.arange(1, n + 1)
    ax.plot(rows[labels == 0], scores[labels == 0], ".", ms=1, color="0.6", label="normal rows")
    ax.plot(rows[labels == 1], scores[labels == 1], "o", ms=3, color="tab:red", label="labelled anomalies")
    ax.axvline(250, color="0.3", lw=0.8, ls="--")
    ax.set(xlabel="row (each scored, then learnt)", ylabel="HalfSpaceTrees score", ylim=(-0.02, 1.02),
           title="Gaussian mixture with 1% outliers: the score of each row before it is learnt")
    ax.legend(loc="lower right", markerscale=3)
    fig.savefig(RESULTS / "anomaly_scores.png", dpi=110)


def small_classes(quick: bool) -> list[Row]:
    """ROCAUC's update and the baselines' test-then-train step, against their floors."""
    n = 50_000 if quick else 200_000
    rng = np.random.default_rng(5)
    pairs = list(zip((rng.random(n) < 0.05).astype(float).tolist(), rng.random(n).round(4).tolist()))
    labelled = [(int(y), s) for y, s in pairs]
    floor_us = per_item_us(lambda item: probe.floor_update_values(*item), pairs)
    rows = []
    for window in (0, 1000):
        us = per_sample_us(lambda: extra.ROCAUC(window), lambda m, item: m.update(*item), labelled)
        rows.append(Row("ROCAUC", f"update(y_true, y_score), {'every row' if window == 0 else 'window 1000'}", us,
                        floor_us, notes="scores rounded to 4 places: ties among them"))
    X = rng.normal(size=(n // 4, 3))
    samples = [({f"x{j}": float(v) for j, v in enumerate(r)}, k % 3) for k, r in enumerate(X)]
    targets = [(x, float(y) * 1.5) for x, y in samples]
    for cls, data, classifier in [(extra.NoChangeClassifier, samples, True),
                                  (extra.MajorityClassClassifier, samples, True),
                                  (extra.MeanRegressor, targets, False)]:
        us, floor = test_then_train_us(cls, data, classifier=classifier)
        rows.append(Row(cls.__name__, "predict_one + learn_one, 3 features", us, floor))
    return rows


if __name__ == "__main__":
    import sys

    for row in run("--quick" in sys.argv):
        print(row.operation, f"{row.us_per_sample:.2f} µs", row.notes)
