"""SRP and leveraging bagging classifiers and regressors beside the adaptive random forests.

Each row is the ensemble's prequential predict_one + learn_one per sample from Python (against the
floor) and natively, with its accuracy (or mean absolute error) and its cost per member-step as a
ratio to the adaptive random forest of the same task on the same stream. Defaults everywhere (ten
members, Poisson(6) weights).

- classifiers: Agrawal, function 1 then function 5 from half-way (an abrupt concept change), 5 %
  perturbation; and the electricity stream when it is at hand (see ``bench_forests``);
- regressors: Friedman #1, concept 1 then 2 from half-way, noise 1.
"""

from __future__ import annotations

import gc
import time
from collections.abc import Callable, Sequence
from typing import Any

import _tarvo_core as core
import _tarvo_probe as probe
from bench_forests import elec_path, read_elec
from harness import Row, per_item_us

from tarvo.stream import Agrawal, Friedman

CLASSIFIERS = (core.SRPClassifier, core.LeveragingBaggingClassifier)
REGRESSORS = (core.SRPRegressor, core.LeveragingBaggingRegressor)


def prequential(model: Any, samples: Sequence[tuple[dict[str, float], Any]], classifier: bool) -> tuple[float, float]:
    """(accuracy or mean absolute error, µs per sample) of predict_one then learn_one, from Python."""
    score = 0.0
    predict, learn = model.predict_one, model.learn_one
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        if classifier:
            for x, y in samples:
                score += predict(x) == y
                learn(x, y)
        else:
            for x, y in samples:
                score += abs(predict(x) - y)
                learn(x, y)
        elapsed = time.perf_counter_ns() - start
    finally:
        gc.enable()
    return score / len(samples), elapsed / len(samples) / 1000.0


def floor_us(samples: Sequence[tuple[dict[str, float], Any]], classifier: bool) -> float:
    predict = probe.floor_predict if classifier else probe.floor_predict_target
    learn = probe.floor_learn if classifier else probe.floor_learn_target

    def step(item: tuple[dict[str, float], Any]) -> None:
        predict(item[0])
        learn(item[0], item[1])

    return per_item_us(step, samples, repeat=1)


def compare(stream: str, operation: str, peer: type, models: Sequence[type], samples: list,
            classifier: bool) -> list[Row]:
    """A row per model, each set beside ``peer`` (measured the same way, not reported as a row)."""
    native: Callable[[Any, list], tuple[float, float]] = (
        probe.classifier_stream_ns if classifier else probe.regressor_stream_ns)
    floor = floor_us(samples, classifier)
    measured = {}
    for make in (peer, *models):
        score, us = prequential(make(), samples, classifier)
        ns = native(make(), samples)[0]
        measured[make] = (score, us, ns / make().n_models)
    peer_score, _, peer_member_ns = measured[peer]
    metric = "accuracy" if classifier else "MAE"
    rows = []
    for make in models:
        score, us, member_ns = measured[make]
        row = Row(make.__name__, operation, us, floor, member_ns * make().n_models)
        row.notes = (f"{stream}: {metric} {score:.4f} ({peer.__name__} {peer_score:.4f}); native ns per "
                     f"member-step {member_ns:.0f}, {member_ns / peer_member_ns:.2f}× {peer.__name__}'s")
        row.extra = {metric: score, f"peer_{metric}": peer_score,
                     "member_step_ratio_to_peer": member_ns / peer_member_ns}
        rows.append(row)
    return rows


def run(quick: bool) -> list[Row]:
    n = 10_000 if quick else 40_000
    agrawal = list(Agrawal(n, concepts=(1, 5), perturbation=0.05, seed=1))
    rows = compare(f"Agrawal 1 → 5 at {n // 2}, {n} samples", "drifting stream: prequential (defaults)",
                   core.ARFClassifier, CLASSIFIERS, agrawal, classifier=True)
    path = elec_path()
    if path is not None:
        elec = read_elec(path)
        rows += compare(f"electricity, {len(elec)} samples", "elec: prequential (defaults)",
                        core.ARFClassifier, CLASSIFIERS, elec, classifier=True)
    friedman = list(Friedman(n, concepts=(1, 2), seed=1))
    rows += compare(f"Friedman 1 → 2 at {n // 2}, {n} samples", "drifting stream: prequential (defaults)",
                    core.ARFRegressor, REGRESSORS, friedman, classifier=False)
    return rows
