"""Transformers' learn_one + transform_one per sample, and a three-step pipeline against its parts.

Every transformer is timed on the samples it would see inside the pipeline
(StandardScaler -> VarianceThreshold -> SelectKBest -> NaiveBayes), against
the floor of converting the sample (and target) in and a new dict out.
StandardScaler is also set against scikit-learn's StandardScaler.partial_fit
+ transform one sample at a time. The pipeline row sets a test-then-train step
through the pipeline against the sum of its parts' own figures, and against
the same work chained by hand from Python.
"""

from __future__ import annotations

import warnings

import _tarvo_core as core
import _tarvo_probe as probe
from harness import Row, per_item_us, per_sample_us, test_then_train_us
from streams import classification


def floor_step(item, with_target):
    x, y = item
    if with_target:
        probe.floor_learn_target(x, y)
    else:
        probe.floor_learn_sample(x)
    probe.floor_transform(x)


def make_steps():
    return [core.StandardScaler(), core.VarianceThreshold(threshold=0.5), core.SelectKBest(k=5)]


def run(quick: bool) -> list[Row]:
    samples = classification(20_000 if quick else 100_000)
    n = len(samples)

    # The stream each part sees inside the pipeline.
    inputs = [[(x, float(y)) for x, y in samples]]
    for step in make_steps():
        needs = isinstance(step, core.SelectKBest)
        out = []
        for x, y in inputs[-1]:
            step.learn_one(x, y) if needs else step.learn_one(x)
            out.append((step.transform_one(x), y))
        inputs.append(out)
    learner_stream = [(x, int(y)) for x, y in inputs[-1]]

    rows = []
    cases = [
        ("StandardScaler", core.StandardScaler, 0),
        ("MinMaxScaler", core.MinMaxScaler, 0),
        ("MaxAbsScaler", core.MaxAbsScaler, 0),
        ("VarianceThreshold", lambda: core.VarianceThreshold(threshold=0.5), 1),
        ("SelectKBest", lambda: core.SelectKBest(k=5), 2),
    ]
    part_us = {}
    for name, make, stage in cases:
        needs = name == "SelectKBest"
        items = inputs[stage]

        def step(t, item, needs=needs):
            x, y = item
            if needs:
                t.learn_one(x, y)
            else:
                t.learn_one(x)
            t.transform_one(x)

        ours = per_sample_us(make, step, items)
        floor = per_item_us(lambda item, needs=needs: floor_step(item, needs), items)
        row = Row(name, "learn_one + transform_one", ours, floor)
        if not needs:  # the native loop feeds samples without a target
            row.native_ns = min(probe.transformer_stream_ns(make(), [x for x, _ in items])[0]
                                for _ in range(3))
        row.notes = f"{len(items[0][0])} features in, {n} samples"
        if stage:
            row.notes += ", as seen behind the steps before it in the pipeline"
        part_us[name] = ours
        rows.append(row)

    add_scaler_peer(rows[0], samples, quick)

    # Test-then-train through the pipeline, its parts' own figures, and by hand.
    def make_pipeline():
        return core.ClassificationPipeline(make_steps(), core.NaiveBayes())

    ours, floor = test_then_train_us(make_pipeline, samples, classifier=True)
    learner_us, _ = test_then_train_us(core.NaiveBayes, learner_stream, classifier=True)
    parts = part_us["StandardScaler"] + part_us["VarianceThreshold"] + part_us["SelectKBest"] + learner_us

    def by_hand(objs, item):
        x, y = item
        steps, nb = objs
        w = x
        for s in steps:
            w = s.transform_one(w)
        nb.predict_one(w)
        w = x
        for s in steps:
            if isinstance(s, core.SelectKBest):
                s.learn_one(w, float(y))
            else:
                s.learn_one(w)
            w = s.transform_one(w)
        nb.learn_one(w, y)

    hand = per_sample_us(lambda: (make_steps(), core.NaiveBayes()), by_hand, samples)
    row = Row("ClassificationPipeline", "predict_one + learn_one, 3 steps + NaiveBayes", ours, floor)
    row.native_ns = min(probe.classifier_stream_ns(make_pipeline(), samples)[0] for _ in range(3))
    row.extra = {"sum_of_parts_us": parts, "learner_us": learner_us, "by_hand_us": hand}
    row.notes = (
        f"StandardScaler, VarianceThreshold(0.5), SelectKBest(k=5); {ours / parts:.2f}× the sum of "
        f"its parts' own figures ({parts:.2f} µs: the three steps above + NaiveBayes "
        f"{learner_us:.2f} µs on their output; target ≤ 1.2×); the same chained by hand from "
        f"Python {hand:.2f} µs ({ours / hand:.2f}×)"
    )
    rows.append(row)

    regression = [(x, float(y)) for x, y in samples]
    ours, floor = test_then_train_us(
        lambda: core.RegressionPipeline([core.StandardScaler()], core.HoeffdingTreeRegressor()),
        regression, classifier=False)
    bare, _ = test_then_train_us(core.HoeffdingTreeRegressor, inputs[1], classifier=False)
    row = Row("RegressionPipeline", "predict_one + learn_one, StandardScaler + HoeffdingTreeRegressor",
              ours, floor)
    parts = part_us["StandardScaler"] + bare
    row.notes = (f"{ours / parts:.2f}× the sum of its parts' own figures (StandardScaler above + "
                 f"the tree on its output, {bare:.2f} µs)")
    rows.append(row)
    return rows


def add_scaler_peer(row: Row, samples, quick: bool) -> None:
    try:
        import numpy as np
        from sklearn.preprocessing import StandardScaler
    except ImportError:
        row.notes += "; scikit-learn not installed: no peer"
        return
    names = sorted(samples[0][0])
    n_peer = 1_000 if quick else 3_000
    arrays = [np.array([[x[k] for k in names]]) for x, _ in samples[:n_peer]]

    def peer_step(model, xa):
        model.partial_fit(xa)
        model.transform(xa)

    row.peer = "sklearn StandardScaler.partial_fit + transform"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        row.peer_us = per_sample_us(StandardScaler, peer_step, arrays, repeat=2)
    row.notes += f"; peer on its first {n_peer} samples, as prebuilt 1×10 arrays"
