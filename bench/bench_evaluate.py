"""The evaluation tooling's own overhead: the prequential loop and the CSV reader.

- ``prequential`` with NaiveBayes and the default metrics against the same
  test-then-train loop written by hand (the floor): the tooling should add
  next to nothing per sample.
- ``iter_csv`` per row against ``csv.reader`` plus ``float`` of each field (the floor),
  on a generated 10-feature file, and on the electricity stream when the shared
  data sets are present.
"""

from __future__ import annotations

import csv
import os
import tempfile

import _tarvo_core as core
from harness import Row, per_run_us
from streams import classification

from tarvo.evaluate import default_metrics, prequential
from tarvo.stream import iter_csv

ELEC = "/work/shared/datasets/elec.csv"


def hand_loop(samples: list, metrics: dict) -> int:
    """Test-then-train written out, updating the same metric objects (a window metric takes the prediction first)."""
    model = core.NaiveBayes()
    predict, learn = model.predict_one, model.learn_one
    targets = list({id(t): t for t in (getattr(m, "metric", m) for m in metrics.values())}.values())
    plain = [t.update for t in targets if type(t).__name__ != "WindowMetric"]
    swapped = [t.update for t in targets if type(t).__name__ == "WindowMetric"]
    for x, y in samples:
        p = predict(x)
        learn(x, y)
        for u in plain:
            u(y, p)
        for u in swapped:
            u(p, y)
    return len(samples)


def csv_floor(path: str) -> int:
    """The bare work of reading the file: ``csv.reader`` and ``float`` of every feature field."""
    n = 0
    with open(path, newline="") as fh:
        reader = csv.reader(fh)
        next(reader)
        for row in reader:
            list(map(float, row[:-1]))
            n += 1
    return n


def run(quick: bool) -> list[Row]:
    n = 20_000 if quick else 100_000
    samples = classification(n)
    rows = []

    names = ", ".join(default_metrics("classification")) or "none built"
    ours = per_run_us(lambda: prequential(core.NaiveBayes(), samples, default_metrics("classification"),
                                       progress=False).n_samples)
    floor = per_run_us(lambda: hand_loop(samples, default_metrics("classification")))
    rows.append(Row("evaluate.prequential", "test-then-train step, NaiveBayes", ours, floor,
                    notes=f"floor: the same loop by hand; metrics: {names}"))

    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "stream.csv")
        with open(path, "w", newline="") as fh:
            writer = csv.writer(fh)
            writer.writerow([f"f{j}" for j in range(10)] + ["label"])
            for x, y in samples:
                writer.writerow([repr(v) for v in x.values()] + [y])
        ours = per_run_us(lambda: sum(1 for _ in iter_csv(path, "label")))
        floor = per_run_us(lambda: csv_floor(path))
        rows.append(Row("stream.iter_csv", "one row, 10 features", ours, floor,
                        notes="floor: csv.reader and float() of each field"))

        # A wide file: checking the header (duplicate names, the columns asked for) must stay linear
        # in its width; the floor reads the same two lines with csv.reader and float().
        wide = os.path.join(tmp, "wide.csv")
        width = 20_000 if quick else 100_000
        with open(wide, "w", newline="") as fh:
            fh.write(",".join(f"c{j}" for j in range(width)) + ",label\n" + "1.5," * width + "0\n")
        ours = per_run_us(lambda: width * sum(1 for _ in iter_csv(wide, "label", drop=["c0", "c1"])))
        floor = per_run_us(lambda: width * csv_floor(wide))
        rows.append(Row("stream.iter_csv", f"a header and one row of {width:,} columns, per column", ours, floor,
                        notes="floor: csv.reader and float() of each field"))

    if os.path.exists(ELEC):
        ours = per_run_us(lambda: sum(1 for _ in iter_csv(ELEC, "class")))
        floor = per_run_us(lambda: csv_floor(ELEC))
        rows.append(Row("stream.iter_csv", "one row, electricity stream", ours, floor,
                        notes="6 features, 45,312 rows; floor: csv.reader and float() of each field"))
        model = core.NaiveBayes()
        result = prequential(model, iter_csv(ELEC, "class"), default_metrics("classification"), progress=False)
        accuracy = result.final.get("accuracy")
        rows.append(Row("evaluate.prequential", "NaiveBayes on the electricity stream, per row",
                        1e6 / result.samples_per_second, floor,
                        notes="reading, predicting, learning, scoring; floor: csv.reader and float()"
                        + (f"; accuracy {accuracy:.4f}" if accuracy is not None else "")))
    return rows
