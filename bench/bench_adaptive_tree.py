"""HoeffdingAdaptiveTreeClassifier predict_one + learn_one per sample, against the floor and natively.

The stream switches concept half-way (the class centres move), so the detectors
have work to do. No scikit-learn peer exists for this class.
"""

from __future__ import annotations

import _tarvo_core as core
from harness import Row, native_ns, test_then_train_us
from streams import classification


def run(quick: bool) -> list[Row]:
    n = 20_000 if quick else 100_000
    samples = classification(n // 2, seed=1) + classification(n - n // 2, seed=2)
    ours, floor = test_then_train_us(core.HoeffdingAdaptiveTreeClassifier, samples, classifier=True)
    row = Row(
        "HoeffdingAdaptiveTreeClassifier",
        "predict_one + learn_one",
        ours,
        floor,
        native_ns(core.HoeffdingAdaptiveTreeClassifier, samples, classifier=True),
    )
    row.notes = f"10 features, 3 classes, {n} samples, concept change half-way; defaults; no peer"
    return [row]
