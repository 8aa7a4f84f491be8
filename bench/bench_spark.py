"""One model per key on Spark: ``tarvo.spark.prequential_by_key`` against the same work in one process.

A synthetic stream of 1,000 keys × 1,000 rows (three features, two classes, a concept per key) goes
through a ``HoeffdingTreeClassifier`` and an ``ARFClassifier(n_models=3)`` per key, test-then-train,
in ten micro-batches of 100 rows per key, in ``local[1]`` and ``local[2]``. The floor is one Python
process running ``tarvo.batch.prequential`` over each key's rows in turn. Spark's time is the sum
of its micro-batches (``triggerExecution``), without the query's start-up, into the ``noop`` sink.

Also measured: the overhead per key and micro-batch (the same rows in two micro-batches rather
than ten, the difference divided by the extra key-batches), next to the pickle round trip of one
key's model, which is the part of it that loads and saves the state; and the state size per key,
the pickled model after 1,000 rows (``SGBTClassifier`` at its defaults for comparison).

Skipped (no rows) without pyspark or Java. ``--quick`` runs 100 keys × 200 rows.
"""

from __future__ import annotations

import gc
import os
import pickle
import shutil
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import numpy as np
from harness import Row

import _tarvo_core as core
from tarvo import batch

FEATURES = ["a", "b", "c"]
SCHEMA = "k int, t long, a double, b double, c double, y int"


def stream(keys: int, rows: int, seed: int = 5) -> dict[str, np.ndarray]:
    """Each key's rows in order, keys interleaved: columns k, t, a, b, c, y."""
    rng = np.random.default_rng(seed)
    weights = rng.uniform(-2.0, 2.0, size=(keys, 3))
    k = np.tile(np.arange(keys, dtype=np.int32), rows)
    t = np.repeat(np.arange(rows, dtype=np.int64), keys)
    X = rng.normal(size=(keys * rows, 3))
    y = ((X * weights[k]).sum(axis=1) + rng.normal(scale=0.3, size=keys * rows) > 0).astype(np.int32)
    return {"k": k, "t": t, "a": X[:, 0], "b": X[:, 1], "c": X[:, 2], "y": y}


def write_batches(directory: Path, data: dict[str, np.ndarray], rows: int, batches: int) -> None:
    """``batches`` parquet files, each holding the next ``rows / batches`` rows of every key."""
    import pandas as pd

    directory.mkdir(parents=True)
    frame = pd.DataFrame(data)
    per = rows // batches
    base = time.time() - 3600
    for i in range(batches):
        part = frame[(frame["t"] >= i * per) & (frame["t"] < (i + 1) * per)]
        path = directory / f"part-{i:03d}.parquet"
        part.sample(frac=1.0, random_state=i).to_parquet(path, index=False)
        os.utime(path, (base + i, base + i))


def one_process(make: Any, data: dict[str, np.ndarray], keys: int) -> tuple[float, list[Any]]:
    """Seconds for every key's rows through tarvo.batch in one process, and the final models."""
    order = np.argsort(data["k"], kind="stable")
    X = np.column_stack([data[f] for f in FEATURES])[order]
    y = data["y"][order]
    bounds = np.searchsorted(data["k"][order], np.arange(keys + 1))
    models = [make() for _ in range(keys)]
    gc.collect()
    start = time.perf_counter()
    for j in range(keys):
        a, b = bounds[j], bounds[j + 1]
        batch.prequential(models[j], X[a:b], y[a:b], columns=FEATURES, metrics=None, detector=None,
                          predictions=True, threads=1)
    return time.perf_counter() - start, models


def session(cores: int) -> Any:
    from pyspark.sql import SparkSession

    from tarvo.spark import configure

    import tarvo

    path = os.pathsep.join(dict.fromkeys([str(Path(core.__file__).resolve().parent),
                                          str(Path(tarvo.__file__).resolve().parent.parent)]))
    spark = (configure(SparkSession.builder.master(f"local[{cores}]").appName("tarvo-bench"))
             .config("spark.sql.shuffle.partitions", str(cores))
             .config("spark.executorEnv.PYTHONPATH", path)
             .config("spark.driver.memory", "2g")
             .config("spark.ui.enabled", "false")
             .config("spark.ui.showConsoleProgress", "false")
             .getOrCreate())
    spark.sparkContext.setLogLevel("ERROR")
    return spark


def on_spark(spark: Any, make: Any, directory: Path, checkpoint: Path) -> dict[str, float]:
    """Seconds of the micro-batches, seconds to start the query, and the state size per key."""
    from tarvo.spark import export_models, prequential_by_key

    source = spark.readStream.schema(SCHEMA).option("maxFilesPerTrigger", 1).parquet(str(directory))
    out = prequential_by_key(source, key="k", order="t", features=FEATURES, target="y", model=make)
    began = time.perf_counter()
    query = (out.predictions.writeStream.format("noop").option("checkpointLocation", str(checkpoint))
             .trigger(availableNow=True).start())
    query.awaitTermination()
    wall = time.perf_counter() - began
    batches = [p["durationMs"]["triggerExecution"] / 1000.0 for p in query.recentProgress if p["numInputRows"]]
    models: Any = export_models(str(checkpoint), spark=spark).toPandas()
    sizes = [len(m) for m in models["model"]]
    return {"seconds": sum(batches), "start": wall - sum(batches), "batches": len(batches),
            "state_bytes": float(np.mean(sizes)), "state_max": float(max(sizes))}


def round_trip_us(model: Any, repeat: int = 200) -> float:
    start = time.perf_counter()
    for _ in range(repeat):
        pickle.loads(pickle.dumps(model))
    return (time.perf_counter() - start) / repeat * 1e6


def available() -> bool:
    try:
        import pandas  # noqa: F401
        import pyarrow  # noqa: F401
        import pyspark  # noqa: F401
    except ImportError:
        return False
    return shutil.which("java") is not None or bool(os.environ.get("JAVA_HOME"))


def run(quick: bool) -> list[Row]:
    if not available() or os.environ.get("TARVO_SANITIZED") == "1":
        return []
    keys, rows, batches = (100, 200, 10) if quick else (1000, 1000, 10)
    size = f"{keys:,} keys × {rows:,} rows"
    data = stream(keys, rows)
    learners = {
        "HoeffdingTreeClassifier": core.HoeffdingTreeClassifier,
        "ARFClassifier(n_models=3)": lambda: core.ARFClassifier(n_models=3),
    }
    work = Path(tempfile.mkdtemp(prefix="tarvo-bench-spark-"))
    out: list[Row] = []
    try:
        write_batches(work / "in", data, rows, batches)
        write_batches(work / "in2", data, rows, 2)
        floors = {}
        for name, make in learners.items():
            seconds, models = one_process(make, data, keys)
            floors[name] = (seconds, models)
            print(f"  one process, {name}: {keys * rows / seconds:,.0f} rows/s", flush=True)
        spark = None
        runs: dict[tuple[str, int], dict[str, float]] = {}
        for cores in (1, 2):
            spark = session(cores)
            # A small query first, so that no figure carries the JVM's warm-up.
            on_spark(spark, learners["HoeffdingTreeClassifier"], work / "in2", work / f"warm-{cores}")
            for name, make in learners.items():
                runs[(name, cores)] = on_spark(spark, make, work / "in", work / f"ck-{name}-{cores}")
                r = runs[(name, cores)]
                print(f"  local[{cores}], {name}: {keys * rows / r['seconds']:,.0f} rows/s "
                      f"({r['batches']:.0f} micro-batches, {r['start']:.1f} s to start)", flush=True)
            if cores == 2:
                runs[("two batches", 2)] = on_spark(spark, learners["HoeffdingTreeClassifier"], work / "in2",
                                                    work / "ck-two")
            spark.stop()
        for (name, cores), r in runs.items():
            if name not in learners:
                continue
            floor_s, models = floors[name]
            spark_us, floor_us = r["seconds"] / (keys * rows) * 1e6, floor_s / (keys * rows) * 1e6
            out.append(Row(f"spark.prequential_by_key ({name})", f"test-then-train per row, {size}, local[{cores}]",
                           spark_us, floor_us,
                           notes=(f"floor: one process, tarvo.batch.prequential per key; "
                                  f"{keys * rows / r['seconds']:,.0f} rows/s against {keys * rows / floor_s:,.0f}; "
                                  f"{batches} micro-batches, query start {r['start']:.1f} s not counted"),
                           extra={"rows_per_s": keys * rows / r["seconds"], "floor_rows_per_s": keys * rows / floor_s,
                                  "state_bytes_mean": r["state_bytes"], "state_bytes_max": r["state_max"]}))
        ten, two = runs[("HoeffdingTreeClassifier", 2)], runs[("two batches", 2)]
        per_key_batch_us = (ten["seconds"] - two["seconds"]) / ((ten["batches"] - two["batches"]) * keys) * 1e6
        tree = floors["HoeffdingTreeClassifier"][1][0]
        out.append(Row("spark.prequential_by_key (HoeffdingTreeClassifier)", "overhead per key and micro-batch, local[2]",
                       per_key_batch_us, round_trip_us(tree),
                       notes=f"{ten['batches']:.0f} against {two['batches']:.0f} micro-batches of the same rows; "
                       "floor: pickle round trip of one key's model (its state load and save)"))
        sgbt = core.SGBTClassifier()
        X = np.column_stack([data[f][data["k"] == 0] for f in FEATURES])
        batch.learn_many(sgbt, X, data["y"][data["k"] == 0], columns=FEATURES, threads=1)
        for name, model in (("HoeffdingTreeClassifier", tree), ("ARFClassifier(n_models=3)", floors["ARFClassifier(n_models=3)"][1][0]),
                            ("SGBTClassifier", sgbt)):
            state = len(pickle.dumps(model))
            measured = runs.get((name, 2))
            note = f"state per key after {rows:,} rows: {state:,} bytes"
            if measured:
                note += f" (mean over the keys in Spark's state {measured['state_bytes']:,.0f}, max {measured['state_max']:,.0f})"
            out.append(Row(f"spark state ({name})", "pickle round trip of one key's model", round_trip_us(model, 20 if state > 1e6 else 200),
                           0.0, notes=note, extra={"state_bytes": state}))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return out


if __name__ == "__main__":
    sys.exit("run through bench/run.py: PYTHONPATH=build/release:python:bench python bench/run.py spark")
