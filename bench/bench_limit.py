"""The learners on six-feature rows against their limit: the same arithmetic over dense arrays.

For NaiveBayes, LogisticRegressionClassifier, LinearRegression and HoeffdingTreeClassifier on the
electricity rows (when ``shared/datasets/elec.csv`` is at hand; a synthetic six-feature stream
otherwise; LinearRegression predicts ``nswdemand`` from the other five features), in one process:

- **Python loop**: ``predict_one`` + ``learn_one`` per row, over dicts built beforehand;
- **learn+predict**: ``tarvo.batch.predict_many`` then ``learn_many`` on 10,000-row slices;
- **prequential**: ``tarvo.batch.prequential`` without metrics or detector (the same work, one call);
- **native**: ``predict_one`` + ``learn_one`` made natively on feature maps built beforehand;
- **limit**: the test-only module's dense-array loop doing the learner's arithmetic with no map, no
  name and no Python (``limit_*_ns``): Gaussian naive Bayes; a weight row per class with the
  logistic update; SGD linear regression with the same clipping; a Hoeffding-tree leaf's per-row
  work (majority prediction, class count, each feature's Gaussian observer). The tree's limit holds
  only its leaf: a grown tree also routes each row down its nodes.

Each row of the report is one learner and one path, with the limit as its floor (the ratio column is
"times the limit") and the Python loop as its peer (the peer column is the speed-up over the loop).
Figures are CPU time of this thread, the best of several interleaved rounds (see ``bench_batch``).
The targets: learn+predict at least 3× the Python loop for NaiveBayes and the linear models and
2.5× for the tree; the linear models' prequential within 8× of the limit.
"""

from __future__ import annotations

import sys
from collections.abc import Callable
from typing import Any

import numpy as np
from bench_batch import Stream, cpu_ns, electricity, interleaved, native, per_row_us, python_loop
from harness import Row
from streams import classification

import _tarvo_core as core
from tarvo import batch

SLICE = 10_000


def learners(classes: Stream, targets: Stream) -> list[tuple[Callable[[], Any], Stream, str, float, tuple[Any, ...]]]:
    """(make, stream, limit function name, target speed-up over the loop, limit's extra arguments)."""
    lr = core.LogisticRegressionClassifier()
    reg = core.LinearRegression()
    return [
        (core.NaiveBayes, classes, "limit_naive_bayes_ns", 3.0, ()),
        (core.LogisticRegressionClassifier, classes, "limit_logistic_ns", 3.0, (lr.learning_rate, lr.l2)),
        (core.LinearRegression, targets, "limit_linear_regression_ns", 3.0, (reg.learning_rate, reg.l2)),
        (core.HoeffdingTreeClassifier, classes, "limit_tree_leaf_ns", 2.5, ()),
    ]


def predict_learn_slices(make: Callable[[], Any], s: Stream) -> Callable[[], float]:
    def run() -> int:
        model = make()
        for start in range(0, len(s), SLICE):
            X, y = s.X[start:start + SLICE], s.y[start:start + SLICE]
            batch.predict_many(model, X, columns=s.names)
            batch.learn_many(model, X, y, columns=s.names)
        return len(s)

    return lambda: per_row_us(run)


def bare_prequential(make: Callable[[], Any], s: Stream) -> Callable[[], float]:
    def run() -> int:
        batch.prequential(make(), s.X, s.y, columns=s.names, metrics=None, detector=False)
        return len(s)

    return lambda: per_row_us(run)


def limit_us(name: str, s: Stream, extra: tuple[Any, ...]) -> Callable[[], float]:
    import _tarvo_probe as probe

    function = getattr(probe, name)
    y = s.y.tolist()
    return lambda: function(s.X, y, *extra, repeat=1)[0] / 1000.0


def streams(quick: bool) -> tuple[Stream, Stream]:
    elec = electricity(5_000 if quick else None)
    if elec is not None:
        return elec
    samples = classification(6, 2, 5_000 if quick else 40_000, seed=7)
    targets = [({k: v for k, v in x.items() if k != "x5"}, x["x5"]) for x, _ in samples]
    return Stream("synthetic", samples, True), Stream("synthetic x5", targets, False)


def run(quick: bool) -> list[Row]:
    if batch.native is None:
        return []
    try:
        import _tarvo_probe  # noqa: F401
    except ImportError:
        return []
    repeat = 2 if quick else 5
    classes, targets = streams(quick)
    rows: list[Row] = []
    for make, s, limit_name, target, extra in learners(classes, targets):
        b = native(make, s)
        t = interleaved({
            "loop": python_loop(make, s),
            "slices": predict_learn_slices(make, s),
            "prequential": bare_prequential(make, s),
            "limit": limit_us(limit_name, s, extra),
            **b,
        }, repeat)
        by_cpu = t["b_call"] - t["b_convert"]
        loop_wall = min(b["b_call"].loop_us)  # type: ignore[attr-defined]
        t["native"] = min(by_cpu, loop_wall) if by_cpu > 0 else loop_wall
        name = make.__name__
        speedup = t["loop"] / t["slices"]
        common = dict(peer="Python loop: predict_one + learn_one on dicts", peer_us=t["loop"],
                      native_ns=t["native"] * 1000.0)
        extra_info = {"stream": s.label, "rows": len(s), **{f"{k}_us": v for k, v in t.items()}}
        rows.append(Row(
            name, f"{s.label}: predict_many + learn_many on {SLICE:,}-row slices, per row", t["slices"], t["limit"],
            **common, extra=extra_info,
            notes=f"floor: the dense limit ({t['limit'] * 1000:.0f} ns); {speedup:.2f}× the Python loop "
            f"(target {target:g}×: {'met' if speedup >= target else 'missed'}); native {t['native'] * 1000:.0f} ns "
            f"= {t['native'] / t['limit']:.1f}× the limit"))
        pq = t["prequential"] / t["limit"]
        verdict = "" if make is core.NaiveBayes or make is core.HoeffdingTreeClassifier else \
            f" (target ≤ 8×: {'met' if pq <= 8 else 'missed'})"
        rows.append(Row(
            name, f"{s.label}: batch.prequential without metrics, per row", t["prequential"], t["limit"],
            **common, extra=extra_info,
            notes=f"floor: the dense limit; {pq:.1f}× the limit{verdict}"))
    return rows


if __name__ == "__main__":
    for row in run("--quick" in sys.argv):
        print(f"{row.component:32} {row.operation:70} {row.us_per_sample:8.3f} µs  limit {row.floor_us:7.3f} µs  "
              f"{row.ratio:6.1f}×  {row.notes}")
