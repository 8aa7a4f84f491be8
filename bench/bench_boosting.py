"""SGBTClassifier and SGBRRegressor beside the adaptive random forests (and the FIMTDD tree).

Each row is the booster's prequential predict_one + learn_one per sample from Python (against the
floor) and natively, with its accuracy (or mean absolute error) beside the peers' on the same
samples. Defaults everywhere. The classifier's defaults (100 stages per label) make it the heaviest
model of the library, so its streams are shorter than the other benchmarks':

- classifiers: Agrawal, function 1 then function 5 from half-way, 5 % perturbation; and the first
  rows of the electricity stream when it is at hand (see ``bench_forests``);
- regressors: Friedman #1, concept 1 then 2 from half-way.
"""

from __future__ import annotations

from typing import Any

import _tarvo_core as core
import _tarvo_probe as probe
from bench_forests import elec_path, read_elec
from bench_srp_lb import floor_us, prequential
from harness import Row

from tarvo.stream import Agrawal, Friedman


def compare(stream: str, model: type, peers: tuple[type, ...], samples: list, classifier: bool) -> Row:
    native = probe.classifier_stream_ns if classifier else probe.regressor_stream_ns
    metric = "accuracy" if classifier else "MAE"
    score, us = prequential(model(), samples, classifier)
    row = Row(model.__name__, "prequential predict_one + learn_one (defaults)", us,
              floor_us(samples, classifier), native(model(), samples)[0])
    beside: dict[str, Any] = {}
    for peer in peers:
        peer_score, peer_us = prequential(peer(), samples, classifier)
        beside[peer.__name__] = (peer_score, peer_us)
    row.notes = f"{stream}: {metric} {score:.4f}; " + "; ".join(
        f"{name} {metric} {s:.4f} at {u:.1f} µs/sample" for name, (s, u) in beside.items())
    row.extra = {metric: score, **{f"{name}_{metric}": s for name, (s, _) in beside.items()}}
    return row


def run(quick: bool) -> list[Row]:
    n = 1_000 if quick else 2_000
    agrawal = list(Agrawal(n, concepts=(1, 5), perturbation=0.05, seed=1))
    rows = [compare(f"Agrawal 1 → 5 at {n // 2}, {n} samples", core.SGBTClassifier, (core.ARFClassifier,),
                    agrawal, classifier=True)]
    path = elec_path()
    if path is not None:
        elec = read_elec(path)[: 2 * n]
        rows.append(compare(f"electricity, first {len(elec)} rows", core.SGBTClassifier, (core.ARFClassifier,),
                            elec, classifier=True))
    m = 3_000 if quick else 10_000
    friedman = list(Friedman(m, concepts=(1, 2), seed=1))
    rows.append(compare(f"Friedman 1 → 2 at {m // 2}, {m} samples", core.SGBRRegressor,
                        (core.ARFRegressor, core.FIMTDDRegressor), friedman, classifier=False))
    return rows
