"""Cost of producing one sample with each synthetic generator, next to a NaiveBayes step on it.

A generator must not be the bottleneck of an evaluation: producing a sample
should cost less than half of a ``NaiveBayes`` ``predict_one`` + ``learn_one``
on that same sample. The floor column holds that NaiveBayes step, so the ratio
column reads "generator cost / learner step" (target below 0.5).
"""

from __future__ import annotations

from collections.abc import Iterable

import _tarvo_core as core
from harness import Row, per_run_us, per_sample_us

from tarvo.stream import GENERATORS


def count(stream: Iterable[object]) -> int:
    """Iterate ``stream`` to its end; the number of samples."""
    n = 0
    for _ in stream:
        n += 1
    return n


def run(quick: bool) -> list[Row]:
    n = 20_000 if quick else 50_000
    rows = []

    def step(model, item):
        x, y = item
        model.predict_one(x)
        model.learn_one(x, y)

    for name, cls in GENERATORS.items():
        if cls.task == "classification":
            samples = list(cls(n, seed=1))
            ref_note = "floor column: a NaiveBayes predict+learn step on its samples"
        else:  # no regressor is sure to be built: a NaiveBayes step on as many features
            samples = [(x, 0) for x, _ in GENERATORS["hyperplane"](n, n_features=len(cls(0).feature_names))]
            ref_note = f"floor column: a NaiveBayes step on {len(samples[0][0])}-feature samples"
        stream = cls(n, seed=1)
        # Alternate the two timings so that a busy machine slows both alike; keep the best of each.
        cost = reference = float("inf")
        for _ in range(5):
            cost = min(cost, per_run_us(lambda: count(stream), repeat=1))
            reference = min(reference, per_sample_us(core.NaiveBayes, step, samples, repeat=1))
        rows.append(Row(f"stream.{cls.__name__}", "one sample", cost, reference,
                        notes=f"{len(stream.feature_names)} features; {ref_note}; target ratio < 0.5"))
    return rows
