"""The tree classifiers' predict_one + learn_one per sample, against the floor and natively.

No scikit-learn peer exists for this class; the native column (the same stream
run entirely in C++) is the figure later work compares with.
"""

from __future__ import annotations

import _tarvo_core as core
import _tarvo_probe as probe
from harness import Row, native_ns, test_then_train_us
from streams import classification


def run(quick: bool) -> list[Row]:
    samples = classification(20_000 if quick else 100_000)

    rows = []
    for grace_period, label in ((200, "default settings"), (50, "grace_period=50")):
        ours, floor = test_then_train_us(
            lambda g=grace_period: core.HoeffdingTreeClassifier(grace_period=g), samples, classifier=True
        )
        native, _ = probe.tree_stream_ns(samples, grace_period, 3)
        tree = core.HoeffdingTreeClassifier(grace_period=grace_period)
        for x, y in samples:
            tree.learn_one(x, y)
        leaves = sum(node["is_leaf"] for node in probe.tree_nodes(tree))
        row = Row("HoeffdingTreeClassifier", f"predict_one + learn_one ({label})", ours, floor, native)
        row.notes = f"10 features, 3 classes, {len(samples)} samples; {leaves} leaves at the end; no peer"
        row.extra = {"grace_period": grace_period, "leaves": leaves}
        rows.append(row)

    ours, floor = test_then_train_us(core.EFDTClassifier, samples, classifier=True)
    row = Row("EFDTClassifier", "predict_one + learn_one (default settings)", ours, floor,
              native_ns(core.EFDTClassifier, samples, classifier=True))
    row.notes = f"10 features, 3 classes, {len(samples)} samples; no peer"
    rows.append(row)

    # SGTClassifier is binary: label 2 of the stream is its positive class.
    ours, floor = test_then_train_us(core.SGTClassifier, samples, classifier=True)
    sgt = core.SGTClassifier()
    correct = 0
    for x, y in samples:
        correct += sgt.predict_one(x) == int(y == 2)
        sgt.learn_one(x, int(y == 2))
    row = Row("SGTClassifier", "predict_one + learn_one (default settings)", ours, floor,
              native_ns(core.SGTClassifier, samples, classifier=True))
    row.notes = (f"10 features, label 2 against the rest, {len(samples)} samples; "
                 f"prequential accuracy {correct / len(samples):.4f}; no peer")
    rows.append(row)
    return rows
