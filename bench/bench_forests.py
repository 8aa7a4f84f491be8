"""ARFClassifier and ARFRegressor predict_one + learn_one per sample, against the floor and natively;
and, when the electricity stream is at hand, prequential accuracy and throughput of the classifiers
on that real stream.

The electricity stream (``shared/datasets/elec.csv``, looked up beside the repository or beside one
of its parent directories) is optional: without it those rows are left out.
"""

from __future__ import annotations

import csv
import gc
import pathlib
import time

import _tarvo_core as core
import _tarvo_probe as probe
from harness import Row, per_item_us, test_then_train_us
from streams import classification, regression

ROOT = pathlib.Path(__file__).resolve().parent.parent


def elec_path() -> pathlib.Path | None:
    for base in ROOT.parents:
        candidate = base / "shared" / "datasets" / "elec.csv"
        if candidate.is_file():
            return candidate
    return None


def read_elec(path: pathlib.Path) -> list[tuple[dict[str, float], int]]:
    rows = []
    with path.open(newline="") as f:
        for record in csv.DictReader(f):
            y = int(record.pop("class"))
            rows.append(({k: float(v) for k, v in record.items()}, y))
    return rows


def prequential(model, samples) -> tuple[float, float]:
    """(accuracy, samples per second) of predict_one then learn_one over the stream, from Python."""
    correct = 0
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        for x, y in samples:
            correct += model.predict_one(x) == y
            model.learn_one(x, y)
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    return correct / len(samples), len(samples) / elapsed


def synthetic_rows(quick: bool) -> list[Row]:
    n = 10_000 if quick else 50_000
    cases = (
        (core.ARFClassifier, classification(n), True, probe.arf_classifier_stream_ns,
         f"10 features, 3 classes, {n} samples; 10 trees, Poisson(6) weights; no peer"),
        (core.ARFRegressor, regression(n), False, probe.arf_regressor_stream_ns,
         f"10 features, {n} samples; 10 trees on 3 features each; no peer"),
    )
    rows = []
    for make, samples, classifier, stream_ns, notes in cases:
        ours, floor = test_then_train_us(make, samples, classifier=classifier, repeat=1)
        row = Row(make.__name__, "predict_one + learn_one (defaults)", ours, floor, stream_ns(samples, 1)[0])
        row.notes = notes
        rows.append(row)
    return rows


def elec_rows(path: pathlib.Path) -> list[Row]:
    samples = read_elec(path)

    def floor_step(item):
        x, y = item
        probe.floor_predict(x)
        probe.floor_learn(x, y)

    floor = per_item_us(floor_step, samples, repeat=1)
    rows = []
    for make in (core.NaiveBayes, core.HoeffdingTreeClassifier, core.HoeffdingAdaptiveTreeClassifier,
                 core.ARFClassifier):
        accuracy, rate = prequential(make(), samples)
        native = probe.arf_classifier_stream_ns(samples, 1)[0] if make is core.ARFClassifier else None
        row = Row(make.__name__, "elec: prequential predict_one + learn_one (defaults)", 1e6 / rate, floor, native)
        row.notes = f"electricity stream, {len(samples)} samples: accuracy {accuracy:.4f}, {rate:,.0f} samples/s"
        row.extra = {"accuracy": accuracy, "samples_per_s": rate}
        rows.append(row)
    return rows


def run(quick: bool) -> list[Row]:
    rows = synthetic_rows(quick)
    path = elec_path()
    if path is not None:
        rows.extend(elec_rows(path))
    return rows
