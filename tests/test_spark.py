"""Keyed models on Spark Structured Streaming: exactly once, checked bit for bit.

One local Spark session (``local[2]``) serves the whole module. The stream is a
directory of CSV files, one micro-batch each; every run is compared with one
uninterrupted run and with a loop over each key's rows in one process through
``tarvo.batch``: the same predictions, metrics and saved model bytes.
"""

from __future__ import annotations

import os
import pickle
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

import pytest

if os.environ.get("TARVO_SANITIZED") == "1":
    pytest.skip("Spark is not run under the sanitizers: the preloaded runtime would reach the JVM and its "
                "Python workers", allow_module_level=True)
for _module in ("pyspark", "pyarrow", "pandas"):
    pytest.importorskip(_module, reason=f"{_module} is not installed (pip install {_module})")


def _java_major() -> int | None:
    home = os.environ.get("JAVA_HOME")
    java = os.path.join(home, "bin", "java") if home else shutil.which("java")
    if not java or not os.path.exists(java):
        return None
    try:
        said = subprocess.run([java, "-version"], capture_output=True, text=True, timeout=60).stderr
    except (OSError, subprocess.SubprocessError):
        return None
    found = re.search(r'version "(\d+)', said)
    return int(found.group(1)) if found else None


if (_java_major() or 0) < 17:
    pytest.skip("Spark needs Java 17 or later, which is not installed (apt-get install openjdk-17-jre-headless)",
                allow_module_level=True)

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from pyspark import cloudpickle  # noqa: E402
from pyspark.errors import PythonException, StreamingQueryException  # noqa: E402
from pyspark.sql import SparkSession  # noqa: E402

import _tarvo_core  # noqa: E402
import tarvo  # noqa: E402
from tarvo import HoeffdingTreeClassifier, HoeffdingTreeRegressor, batch  # noqa: E402
from tarvo.evaluate import default_metrics  # noqa: E402
from tarvo.spark import ROCKSDB_PROVIDER, configure, export_models, predict_by_key, prequential_by_key  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
# The workers cannot import this module: the functions they run go to them by value.
cloudpickle.register_pickle_by_value(sys.modules[__name__])
pytestmark = [
    pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning"),
    pytest.mark.filterwarnings("ignore:The copy keyword is deprecated"),
    pytest.mark.filterwarnings("ignore:toPandas attempted Arrow optimization"),
]
SCHEMA = "k long, t long, a double, b double, c double, y int"
FEATURES = ["a", "b", "c"]
N_FILES = 3
EVERY = 7


def tree() -> HoeffdingTreeClassifier:
    return HoeffdingTreeClassifier(grace_period=10, split_confidence=0.05)


@pytest.fixture(scope="module")
def spark():
    # The workers import tarvo and the native module from wherever this process found them.
    path = os.pathsep.join(dict.fromkeys(
        str(Path(m.__file__).resolve().parent.parent if m is tarvo else Path(m.__file__).resolve().parent)
        for m in (tarvo, _tarvo_core)))
    session = (configure(SparkSession.builder.master("local[2]").appName("tarvo-tests"))
               .config("spark.sql.shuffle.partitions", "2")
               .config("spark.default.parallelism", "2")
               .config("spark.executorEnv.PYTHONPATH", path)
               .config("spark.ui.enabled", "false")
               .config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.session.timeZone", "UTC")
               # Short runs: the quick compiler alone, and no code generation, start faster.
               .config("spark.driver.extraJavaOptions", "-XX:TieredStopAtLevel=1 -XX:+UseSerialGC")
               .config("spark.sql.codegen.wholeStage", "false")
               .getOrCreate())
    session.sparkContext.setLogLevel("OFF")
    yield session
    session.stop()


# ---------------------------------------------------------------- the stream


@pytest.fixture(scope="module")
def files():
    """Three CSV files of 1000 rows over 100 keys. Keys 90-99 first appear in the third file.

    ``t`` grows from file to file; within a file the rows are shuffled, and some rows of a key
    share their ``t`` with the row before. ``c`` is missing in some rows.
    """
    rng = np.random.default_rng(7)
    frames, t = [], 0
    for i in range(N_FILES):
        keys = 90 if i < 2 else 100
        n = 1000
        k = rng.integers(0, keys, n)
        step = (rng.random(n) < 0.85).astype(np.int64)
        ts = t + np.cumsum(step)
        tie = rng.random(n) < 0.08  # a second reading of the previous row's key at the same time
        k[1:][tie[1:]] = k[:-1][tie[1:]]
        ts[1:][tie[1:]] = ts[:-1][tie[1:]]
        t = int(ts[-1]) + 1
        a, b, c = rng.normal(size=n), rng.normal(size=n), rng.normal(size=n)
        c[rng.random(n) < 0.05] = np.nan
        y = (a + (k % 3) * b > 0).astype(np.int64) + (np.nan_to_num(c) > 1.0)
        flip = rng.random(n) < 0.1
        y[flip] = rng.integers(0, 3, flip.sum())
        frame = pd.DataFrame({"k": k, "t": ts, "a": a, "b": b, "c": c, "y": y})
        frames.append(frame.sample(frac=1.0, random_state=i).reset_index(drop=True))
    return frames


def write_files(directory: Path, frames: list[pd.DataFrame], start: int = 0) -> Path:
    """The frames as CSV files, their modification times one second apart so that Spark reads them in order."""
    directory.mkdir(parents=True, exist_ok=True)
    base = time.time() - 3600
    for i, frame in enumerate(frames, start=start):
        path = directory / f"part-{i:03d}.csv"
        frame.to_csv(path, index=False)
        os.utime(path, (base + i, base + i))
    return directory


def source(spark, directory: Path):
    return (spark.readStream.schema(SCHEMA).option("header", True).option("maxFilesPerTrigger", 1)
            .csv(str(directory)))


def run(frame, checkpoint: Path, collected: dict, *, after=None) -> None:
    """Runs ``frame`` over every file not yet read, keeping each micro-batch's rows by batch id
    (a replayed batch replaces its first delivery). ``after(batch_id)`` runs once a batch is delivered."""

    def sink(batch_frame, batch_id):
        collected[batch_id] = batch_frame.toPandas()
        if after is not None:
            after(batch_id)

    query = (frame.writeStream.foreachBatch(sink).option("checkpointLocation", str(checkpoint))
             .trigger(availableNow=True).start())
    query.awaitTermination()


def rows(collected: dict) -> pd.DataFrame:
    return pd.concat([collected[b] for b in sorted(collected)], ignore_index=True)


def by_row(frame: pd.DataFrame, columns: list[str]) -> list[tuple]:
    """The rows as a sorted list: equal rows of a key are interchangeable."""
    return sorted(map(tuple, frame[columns].itertuples(index=False)))


def saved(models: pd.DataFrame) -> dict:
    return {int(k): bytes(m) for k, m in zip(models["k"], models["model"])}


@pytest.fixture(scope="module")
def reference(files):
    """The loop over each key's rows in one process: predictions, metric curve and final models."""
    whole = pd.concat(files, ignore_index=True)
    predictions, curves, models = [], {}, {}
    for k, rows_k in whole.groupby("k", sort=True):
        rows_k = rows_k.sort_values(["t", *FEATURES, "y"], kind="mergesort")
        model = tree()
        result, out = batch.prequential(model, rows_k[FEATURES], rows_k["y"], metrics=default_metrics("classification"),
                                        every=EVERY, detector=None, predictions=True, threads=1)
        predictions.append(pd.DataFrame({"k": k, "t": rows_k["t"].to_numpy(), "prediction": out,
                                         "y": rows_k["y"].to_numpy()}))
        steps = [(i, s) for i, s in enumerate(result.steps) if s % EVERY == 0]
        curves[int(k)] = [(s, *(result.curve[m][i] for m in result.curve)) for i, s in steps]
        models[int(k)] = model
    return {"predictions": pd.concat(predictions, ignore_index=True), "curves": curves, "models": models}


@pytest.fixture(scope="module")
def uninterrupted(spark, files, tmp_path_factory):
    """One run over the three files, three micro-batches."""
    base = tmp_path_factory.mktemp("uninterrupted")
    directory = write_files(base / "in", files)
    out = prequential_by_key(source(spark, directory), key="k", order="t", features=FEATURES, target="y",
                             model=tree())
    collected: dict = {}
    run(out.predictions, base / "checkpoint", collected)
    models = export_models(str(base / "checkpoint")).toPandas()
    return {"directory": directory, "batches": collected, "models": saved(models), "models_frame": models}


# ---------------------------------------------------------------- exactly once


def test_one_run_equals_the_loop_in_one_process(uninterrupted, reference, files):
    got = rows(uninterrupted["batches"])
    assert sorted(uninterrupted["batches"]) == list(range(N_FILES))
    whole = pd.concat(files, ignore_index=True)
    # Exactly one output row per input row, the first row of every key included.
    assert by_row(got, ["k", "t", "y"]) == by_row(whole, ["k", "t", "y"])
    assert by_row(got, ["k", "t", "y", "prediction"]) == by_row(reference["predictions"], ["k", "t", "y", "prediction"])
    assert got["prediction"].dtype == np.int64
    final = reference["models"]
    assert uninterrupted["models"].keys() == final.keys() and len(final) == 100
    for k, data in uninterrupted["models"].items():
        assert data == pickle.dumps(final[k])
        assert pickle.loads(data).__getstate__() == final[k].__getstate__()
    assert any(model.__getstate__() != tree().__getstate__() for model in final.values())


def test_restart_from_the_checkpoint_after_a_micro_batch(spark, files, uninterrupted, tmp_path):
    """Stopped after micro-batch 1 and started again from the checkpoint once more files came."""
    directory = write_files(tmp_path / "in", files[:2])
    checkpoint = tmp_path / "checkpoint"
    out = prequential_by_key(source(spark, directory), key="k", order="t", features=FEATURES, target="y",
                             model=tree())
    collected: dict = {}
    run(out.predictions, checkpoint, collected)
    assert sorted(collected) == [0, 1]
    write_files(directory, files[2:], start=2)
    out = prequential_by_key(source(spark, directory), key="k", order="t", features=FEATURES, target="y",
                             model=tree())
    run(out.predictions, checkpoint, collected)
    assert sorted(collected) == list(range(N_FILES))
    for b in range(N_FILES):
        assert by_row(collected[b], ["k", "t", "y", "prediction"]) == by_row(
            uninterrupted["batches"][b], ["k", "t", "y", "prediction"])
    assert saved(export_models(str(checkpoint)).toPandas()) == uninterrupted["models"]
    # The models as they stood after micro-batch 1: each key's loop over the first two files.
    first = pd.concat(files[:2], ignore_index=True)
    expected = {}
    for k, rows_k in first.groupby("k"):
        rows_k = rows_k.sort_values(["t", *FEATURES, "y"], kind="mergesort")
        model = tree()
        batch.learn_many(model, rows_k[FEATURES], rows_k["y"])
        expected[int(k)] = pickle.dumps(model)
    assert saved(export_models(str(checkpoint), batch_id=1).toPandas()) == expected


def test_killed_runs_replay_their_micro_batch_and_learn_nothing_twice(spark, files, uninterrupted, reference, tmp_path):
    """One query killed twice, each time restarted from its checkpoint.

    First the sink fails micro-batch 1 after the batch's state was saved and its output delivered.
    Then a task fails in the middle of micro-batch 2, after some keys of its partition were learnt:
    the model factory fails its first call while a marker file exists (the marker appears once batch
    1 is delivered, and batch 2 brings new keys). Each restart replays the batch against the state
    of the batch before. The models are those of the uninterrupted run, and the metrics, every
    seven rows of each key across micro-batches, are the single loop's curve.
    """
    directory = write_files(tmp_path / "in", files)
    checkpoint = tmp_path / "checkpoint"
    marker = str(tmp_path / "stop-now")

    def factory():
        try:
            os.remove(marker)
        except FileNotFoundError:
            return tree()
        raise RuntimeError("the test stops this task")

    def stop_the_sink(batch_id):
        if batch_id == 1:
            raise RuntimeError("the test stops the query here")

    def arm(batch_id):
        if batch_id == 1:
            Path(marker).touch()

    out = prequential_by_key(source(spark, directory), key="k", order="t", features=FEATURES, target="y",
                             model=factory, every=EVERY)
    collected: dict = {}
    with pytest.raises(StreamingQueryException, match="the test stops the query here"):
        run(out.metrics, checkpoint, collected, after=stop_the_sink)
    assert sorted(collected) == [0, 1]
    first_delivery = collected[1]
    with pytest.raises(StreamingQueryException, match="the test stops this task"):
        run(out.metrics, checkpoint, collected, after=arm)
    assert sorted(collected) == [0, 1] and not os.path.exists(marker)
    columns = list(first_delivery.columns)
    assert by_row(collected[1], columns) == by_row(first_delivery, columns)
    run(out.metrics, checkpoint, collected)
    assert sorted(collected) == list(range(N_FILES))
    assert saved(export_models(str(checkpoint)).toPandas()) == uninterrupted["models"]
    got = rows(collected)
    assert columns == ["k", "t", "rows", "accuracy", "macro_f1", "window_accuracy"]
    for k, curve in reference["curves"].items():
        mine = got[got["k"] == k].sort_values("rows")
        assert [tuple(r) for r in mine[["rows", "accuracy", "macro_f1", "window_accuracy"]].itertuples(index=False)] == curve


# ---------------------------------------------------------------- scoring, timeouts, regression


def test_predict_by_key_answers_with_each_keys_frozen_model(spark, files, uninterrupted, reference, tmp_path):
    whole = pd.concat(files, ignore_index=True)
    expected = whole.assign(prediction=0)
    for k, g in whole.groupby("k"):
        expected.loc[g.index, "prediction"] = batch.predict_many(reference["models"][int(k)], g[FEATURES])
    models = spark.createDataFrame(uninterrupted["models_frame"])

    def check(got: pd.DataFrame) -> None:
        assert list(got.columns) == ["k", "t", "a", "b", "c", "y", "prediction"]
        assert got["prediction"][got["k"] == 1000].isna().all()  # a key without a model
        got = got[got["k"] != 1000]
        assert by_row(got, ["k", "t", "a", "prediction"]) == by_row(expected, ["k", "t", "a", "prediction"])

    extra = pd.DataFrame({"k": [1000], "t": [0], "a": [0.5], "b": [0.5], "c": [0.5], "y": [1]})
    static = spark.createDataFrame(pd.concat([whole, extra], ignore_index=True), schema=SCHEMA)
    check(predict_by_key(static, key="k", features=FEATURES, models=models).toPandas())
    directory = write_files(tmp_path / "in", [whole, extra])
    stream = spark.readStream.schema(SCHEMA).option("header", True).csv(str(directory))
    collected: dict = {}
    run(predict_by_key(stream, key="k", features=FEATURES, models=models), tmp_path / "checkpoint", collected)
    check(rows(collected))


def test_idle_keys_start_again_with_a_new_model(spark, tmp_path):
    """With a time-to-live shorter than the pause between micro-batches, each batch starts every key afresh."""
    frames = [pd.DataFrame({"k": [1, 1, 2], "t": [3 * i, 3 * i + 1, 3 * i + 2], "a": [1.0, 2.0, 3.0],
                            "b": [0.0, 1.0, 0.0], "c": [np.nan] * 3, "y": [0, 1, 1]}) for i in range(2)]
    directory = write_files(tmp_path / "in", frames)
    out = prequential_by_key(source(spark, directory), key="k", order="t", features=FEATURES, target="y",
                             model=tree(), every=1, idle_timeout=0.001)
    collected: dict = {}
    # A query with a time-to-live runs micro-batches without data to drop idle keys: availableNow
    # ends only when those are off.
    spark.conf.set("spark.sql.streaming.noDataMicroBatches.enabled", "false")
    try:
        run(out.metrics, tmp_path / "checkpoint", collected)
    finally:
        spark.conf.unset("spark.sql.streaming.noDataMicroBatches.enabled")
    for b in (0, 1):
        assert by_row(collected[b], ["k", "rows"]) == [(1, 1), (1, 2), (2, 1)]
    assert sorted(export_models(str(tmp_path / "checkpoint")).toPandas()["k"]) == [1, 2]


def test_a_static_frame_of_a_regressor_with_timestamps(spark):
    rng = np.random.default_rng(3)
    n = 120
    frame = pd.DataFrame({
        "sensor": rng.choice(["north", "south", "east"], n),
        "when": pd.Timestamp("2024-03-01") + pd.to_timedelta(rng.integers(0, 40, n), unit="h"),
        "u": rng.normal(size=n), "v": rng.integers(0, 5, n).astype(np.int32),
    })
    frame["level"] = 2.0 * frame["u"] + frame["v"] + rng.normal(scale=0.1, size=n)
    df = spark.createDataFrame(frame, schema="sensor string, when timestamp, u double, v int, level double")
    out = prequential_by_key(df, key="sensor", order="when", features=["u", "v"], target="level",
                             model=HoeffdingTreeRegressor(grace_period=5), every=10)
    got, metrics = out.predictions.toPandas(), out.metrics.toPandas()
    assert len(got) == n and got["prediction"].dtype == np.float64
    for sensor, g in frame.groupby("sensor"):
        g = g.sort_values(["when", "u", "v", "level"], kind="mergesort")
        result, expected = batch.prequential(HoeffdingTreeRegressor(grace_period=5), g[["u", "v"]], g["level"],
                                             metrics=default_metrics("regression"), every=10, detector=None,
                                             predictions=True)
        mine = got[got["sensor"] == sensor]
        assert by_row(mine, ["level", "prediction"]) == sorted(zip(g["level"], expected))
        curve = metrics[metrics["sensor"] == sensor].sort_values("rows")
        steps = [i for i, s in enumerate(result.steps) if s % 10 == 0]
        assert list(curve["rows"]) == [result.steps[i] for i in steps]
        for name in ("mae", "rmse", "r2", "window_mae"):
            assert list(curve[name]) == [result.curve[name][i] for i in steps]


# ---------------------------------------------------------------- labels of any type

# (the labels of classes 0, 1, 2, the target column's Spark type, the prediction's)
LABEL_COLUMNS = {
    "string": (["no", "yes", "maybe"], "string", "string"),
    "boolean": ([False, True, True], "boolean", "boolean"),
    "long beyond 32 bits": ([2**40, 2**33, -(2**35)], "long", "bigint"),
    "whole double": ([0.0, 1.0, 2.0], "double", "double"),
}


@pytest.mark.parametrize("kind", LABEL_COLUMNS)
def test_label_columns_of_any_type_give_predictions_of_their_type(spark, kind):
    values, spark_type, predicted_type = LABEL_COLUMNS[kind]
    rng = np.random.default_rng(11)
    n = 80
    frame = pd.DataFrame({"k": rng.integers(0, 2, n), "t": np.arange(n), "a": rng.normal(size=n)})
    frame["y"] = pd.Series([values[c] for c in np.where(frame["a"] > 0.3, 1, np.where(frame["a"] < -0.3, 2, 0))],
                           dtype=object)
    df = spark.createDataFrame(frame, schema=f"k long, t long, a double, y {spark_type}")
    out = prequential_by_key(df, key="k", order="t", features=["a"], target="y", model=tree())
    assert out.predictions.schema["prediction"].dataType.simpleString() == predicted_type
    got = out.predictions.toPandas()
    models = {}
    for k, g in frame.groupby("k"):
        model = tree()
        _, expected = batch.prequential(model, g[["a"]], g["y"].tolist(), detector=None, predictions=True)
        models[int(k)] = model
        mine = got[got["k"] == k].sort_values("t")
        # (the first answer is the untrained model's: null where labels are numbered)
        assert mine["prediction"].tolist()[1:] == expected.tolist()[1:]
        assert mine["prediction"].iloc[1:].map(type).eq(type(values[0])).all()
    if kind == "string":
        table = spark.createDataFrame([(k, pickle.dumps(m)) for k, m in models.items()], schema="k long, model binary")
        scored = predict_by_key(df, key="k", features=["a"], models=table).toPandas()
        for k, m in models.items():
            mine = scored[scored["k"] == k].sort_values("t")
            assert mine["prediction"].tolist() == batch.predict_many(m, mine[["a"]]).tolist()
    if kind == "string":  # a number after text labels, in a string column
        bad = spark.createDataFrame([(1, 0, 0.5, "no"), (1, 1, 0.5, "7")], schema="k long, t long, a double, y string")
        with pytest.raises(PythonException, match=r"target: column 'y' holds '7' for key 1, which cannot be a class"):
            prequential_by_key(bad, key="k", order="t", features=["a"], target="y", model=tree()).predictions.collect()


def test_string_feature_columns_are_text_features_of_each_keys_model(spark):
    rng = np.random.default_rng(5)
    n = 160
    frame = pd.DataFrame({"k": rng.integers(0, 2, n), "t": np.arange(n), "a": rng.normal(size=n),
                          "plan": pd.Series(rng.choice(["basic", "pro", " plus", None], n), dtype=object)})
    frame.loc[120, "plan"] = "gold"  # a category first seen late
    frame["y"] = np.where((frame["plan"] == "pro") != (frame["a"] > 1.2), "churn", "stay")
    df = spark.createDataFrame(frame, schema="k long, t long, a double, plan string, y string")
    out = prequential_by_key(df, key="k", order="t", features=["plan", "a"], target="y", model=tree())
    got = out.predictions.toPandas()
    models = {}
    for k, g in frame.groupby("k"):
        model = tree()
        _, expected = batch.prequential(model, g[["plan", "a"]], g["y"], detector=None, predictions=True)
        models[int(k)] = model
        mine = got[got["k"] == k].sort_values("t")
        assert mine["prediction"].tolist()[1:] == expected.tolist()[1:]
    table = spark.createDataFrame([(k, pickle.dumps(m)) for k, m in models.items()], schema="k long, model binary")
    unseen = spark.createDataFrame(frame.assign(plan=frame["plan"].where(frame["t"] % 3 > 0, "platinum")),
                                   schema="k long, t long, a double, plan string, y string")
    scored = predict_by_key(unseen, key="k", features=["plan", "a"], models=table).toPandas()
    for k, m in models.items():
        mine = scored[scored["k"] == k].sort_values("t")
        assert mine["prediction"].tolist() == batch.predict_many(m, mine[["plan", "a"]]).tolist()


# ---------------------------------------------------------------- bad input


class _NeverBuilt:
    def __new__(cls):
        return HoeffdingTreeClassifier.__new__(HoeffdingTreeClassifier)


BEFORE_START = [
    (dict(features=["m"]), TypeError,
     r"features: column 'm' holds map<string,int> values; every feature must be numeric or a string"),
    (dict(target="m"), TypeError, r"target: column 'm' holds map<string,int> values, which cannot be a classifier's"),
    (dict(model=_NeverBuilt()), TypeError, r"model: HoeffdingTreeClassifier does not pickle"),
    (dict(model=lambda: _NeverBuilt()), TypeError, r"model: HoeffdingTreeClassifier does not pickle"),
    (dict(model=lambda: 3), TypeError, r"model: the factory returned int, not a tarvo learner"),
    (dict(model=tarvo.StandardScaler()), TypeError, r"model: StandardScaler is a transformer"),
    (dict(key="nope"), ValueError, r"key: the DataFrame has no column 'nope'"),
    (dict(features=["a", "y"]), ValueError, r"features: the target column 'y' cannot also be a feature"),
    (dict(features="a"), TypeError, r"features must be a sequence of column names"),
    (dict(every=0), ValueError, r"every must be a whole number of at least 1"),
    (dict(metrics={"acc": tarvo.Accuracy()}), ValueError, r"metrics: .* give every as well"),
    (dict(idle_timeout=-1), ValueError, r"idle_timeout must be a positive duration"),
    (dict(order="s", target="y", key="k", features=["a"], every=1, metrics={"rows": tarvo.Accuracy()}), ValueError,
     r"metrics: the name 'rows' is taken"),
]


@pytest.mark.parametrize("change, error, message", BEFORE_START)
def test_bad_arguments_are_refused_before_the_query_starts(spark, change, error, message):
    df = spark.createDataFrame([(1, 0, 0.5, "x", 1, {"x": 1})],
                               schema="k long, t long, a double, s string, y int, m map<string,int>")
    arguments = dict(key="k", order="t", features=["a"], target="y", model=tree()) | change
    with pytest.raises(error, match=message):
        prequential_by_key(df, **arguments)


def test_a_stream_needs_the_rocksdb_state_store(spark, tmp_path):
    stream = spark.readStream.schema(SCHEMA).csv(str(tmp_path))
    provider = "spark.sql.streaming.stateStore.providerClass"
    spark.conf.set(provider, "org.apache.spark.sql.execution.streaming.state.HDFSBackedStateStoreProvider")
    try:
        with pytest.raises(ValueError, match=f"state store must be RocksDB .* set {provider}"):
            prequential_by_key(stream, key="k", order="t", features=FEATURES, target="y", model=tree())
    finally:
        spark.conf.set(provider, ROCKSDB_PROVIDER)


NAN = float("nan")
# (rows of k, t, a, y, z, d; the key and target columns; the error). A floating column reaches pandas
# with its nulls as NaN: its NaN and null are told apart all the same.
WHILE_RUNNING = [
    ([(None, 0, 0.5, 1, 1.0, 1.0)], "k", "y", r"key: a row's 'k' is null"),
    ([(1, 0, 0.5, None, 1.0, 1.0)], "k", "y", r"target: column 'y' is null in a row of key 1"),
    ([(1, 0, 0.5, 1, 1.5, 1.0)], "k", "z",
     r"target: column 'z' holds 1.5 for key 1, which cannot be a class label \(not a whole number"),
    ([(1, 0, 0.5, 1, 1.0, 1.0), (1, 1, 0.5, 1, 2.0**40, 1.0)], "k", "z",
     r"target: column 'z' holds 1099511627776.0 for key 1, which cannot be a class label \(class label "
     r"1099511627776.0 is outside the 32-bit range"),
    ([(1, 0, 0.5, 1, 1.0, NAN)], "d", "y", r"key: a row's 'd' is NaN; every row needs a key"),
    ([(1, 0, 0.5, 1, 1.0, None)], "d", "y", r"key: a row's 'd' is null; every row needs a key"),
    ([(1, 0, 0.5, 1, 1.0, 2.0), (1, 1, 0.5, 1, NAN, 2.0)], "d", "z", r"target: column 'z' is NaN in a row of key 2.0"),
    ([(1, 0, 0.5, 1, None, 2.0)], "d", "z", r"target: column 'z' is null in a row of key 2.0"),
]


@pytest.mark.parametrize("data, key, target, message", WHILE_RUNNING)
def test_bad_rows_stop_the_query_naming_the_column(spark, data, key, target, message):
    df = spark.createDataFrame(data, schema="k long, t long, a double, y int, z double, d double")
    out = prequential_by_key(df, key=key, order="t", features=["a"], target=target, model=tree())
    with pytest.raises(PythonException, match=message):
        out.predictions.collect()


def test_a_floating_key_scores_its_rows_and_a_nan_key_is_named(spark):
    model = tree()
    for i in range(40):
        model.learn_one({"a": float(i % 5)}, i % 2)
    models = spark.createDataFrame([(1.5, pickle.dumps(model))], schema="d double, model binary")
    df = spark.createDataFrame([(1.5, float(i)) for i in range(5)] + [(2.5, 1.0)], schema="d double, a double")
    got = predict_by_key(df, key="d", features=["a"], models=models).toPandas().sort_values(["d", "a"])
    assert got["prediction"].tolist()[:5] == [model.predict_one({"a": float(i)}) for i in range(5)]
    assert got["prediction"].isna().tolist() == [False] * 5 + [True]
    bad = spark.createDataFrame([(NAN, 1.0)], schema="d double, a double")
    with pytest.raises(PythonException, match=r"key: a row's 'd' is NaN"):
        predict_by_key(bad, key="d", features=["a"], models=models).collect()


# ---------------------------------------------------------------- local mode


@pytest.mark.parametrize("master, cores", [
    ("local", 1), ("local[3]", 3), ("local[*]", os.cpu_count()), ("local[2,4]", 2), ("local[*,3]", os.cpu_count()),
    ("local-cluster[2,1,1024]", None), ("spark://host:7077", None), ("yarn", None), (None, None),
])
def test_a_local_master_gets_as_many_shuffle_partitions_as_cores(spark, master, cores):
    from pyspark import SparkContext

    from tarvo.spark import _local_defaults, local_cores

    assert local_cores(master) == cores
    builder = SparkSession.builder if master is None else SparkSession.builder.master(master)
    mine = SparkSession.builder.master("local[3]").config("spark.sql.shuffle.partitions", "9")
    running, SparkContext._active_spark_context = SparkContext._active_spark_context, None  # as before a session
    try:
        _local_defaults(builder)
        _local_defaults(mine)
    finally:
        SparkContext._active_spark_context = running
    assert builder._options.get("spark.sql.shuffle.partitions") == (str(cores) if cores is not None else None)
    assert mine._options["spark.sql.shuffle.partitions"] == "9"  # the user's setting stays
    _local_defaults(fresh := SparkSession.builder.master("local[3]"))
    assert "spark.sql.shuffle.partitions" not in fresh._options  # a session runs: its settings stay


def test_the_state_server_warns_no_more_of_new_keys(spark):
    from tarvo.spark import STATE_SERVER_LOGGER

    log4j = spark.sparkContext._jvm.org.apache.logging.log4j
    level = log4j.LogManager.getContext(False).getConfiguration().getLoggerConfig(STATE_SERVER_LOGGER)
    assert level.getName() == STATE_SERVER_LOGGER and level.getLevel().toString() == "ERROR"


# ---------------------------------------------------------------- the README


def test_the_readme_example_runs(spark):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    code = next(block for block in re.findall(r"```python\n(.*?)```", readme, flags=re.S) if "prequential_by_key" in block)
    namespace: dict = {}
    exec(compile(code, "README.md", "exec"), namespace)
    metrics = namespace["metrics"].toPandas()
    assert set(metrics["sensor"]) == set(range(10)) and (metrics["rows"] % 100 == 0).all()
    assert metrics["accuracy"].between(0.5, 1.0).all()
    models = namespace["models"].toPandas()
    assert sorted(models["sensor"]) == list(range(10))
    assert all(isinstance(pickle.loads(m), HoeffdingTreeClassifier) for m in models["model"])
