"""One model per key on Spark Structured Streaming, learnt exactly once.

:func:`prequential_by_key` keeps one model per value of a key column (a sensor, a
customer, a machine) in Spark's state store and runs each key's rows through it
test-then-train, in the order of an ``order`` column, with :func:`tarvo.batch.prequential`.
Spark keeps the state fault-tolerant: with a checkpoint location, a query stopped
or killed at any point and started again from its checkpoint gives the same
predictions and the same final models, bit for bit, as one uninterrupted run.

>>> from pyspark.sql import SparkSession
>>> from tarvo import HoeffdingTreeClassifier
>>> from tarvo.spark import configure, prequential_by_key
>>> spark = configure(SparkSession.builder.master("local[2]")).getOrCreate()
>>> stream = spark.readStream.schema("sensor long, t long, a double, b double, y int").csv("in/")
>>> out = prequential_by_key(stream, key="sensor", order="t", features=["a", "b"],
...                          target="y", model=HoeffdingTreeClassifier(), every=100)
>>> query = (out.predictions.writeStream.format("parquet").option("path", "predictions/")
...          .option("checkpointLocation", "checkpoint/").start())

The rows are grouped with ``transformWithStateInPandas``: unlike
``applyInPandasWithState`` its state survives as named, typed variables that
Spark's state reader (``format("statestore")``) reads back from a checkpoint,
which is how :func:`export_models` exports the models without a second output,
and its time-to-live drops idle keys without a timer per key. It needs the
RocksDB state store (:func:`configure` selects it).

Each key's state is one value: its pickled model, its pickled metrics and the
number of rows it has learnt. Its size is that of the pickled model: a
``HoeffdingTreeClassifier`` after a thousand rows is a few kilobytes, while an
``SGBTClassifier`` at its defaults grows by megabytes every thousand rows (30 MB
after 5,000 rows of three features), which every micro-batch loads and saves
again for each key it sees.
"""

from __future__ import annotations

import datetime
import math
import os
import pickle
import re
import sys
from collections.abc import Callable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple

import numpy as np

try:
    import pandas as pd
    from pyspark import cloudpickle
    from pyspark.sql import DataFrame, SparkSession
    from pyspark.sql import functions as F
    from pyspark.sql import types as T
    from pyspark.sql.streaming.stateful_processor import StatefulProcessor, StatefulProcessorHandle, TimerValues
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(
        "tarvo.spark needs pyspark 4, pyarrow, pandas and protobuf: "
        "pip install 'pyspark>=4,<5' 'pyarrow>=18' 'pandas>=2.2,<3' 'protobuf>=5.28'"
    ) from exc

import _tarvo_core as core
from tarvo import batch
from tarvo._labels import LabelError
from tarvo._prequential import bind_metrics, default_metrics
from tarvo.learners import task_of

__all__ = ["KeyedOutput", "configure", "local_cores", "prequential_by_key", "predict_by_key", "export_models",
           "ROCKSDB_PROVIDER", "STATE_SERVER_LOGGER"]

#: The state store provider that ``transformWithStateInPandas`` needs.
ROCKSDB_PROVIDER = "org.apache.spark.sql.execution.streaming.state.RocksDBStateStoreProvider"
_PROVIDER_CONF = "spark.sql.streaming.stateStore.providerClass"

#: The name of each key's state variable, as Spark's state reader sees it.
STATE_NAME = "model"
_STATE_SCHEMA = T.StructType([
    T.StructField("model", T.BinaryType()),
    T.StructField("metrics", T.BinaryType()),
    T.StructField("rows", T.LongType()),
])
_MODEL_SCHEMA = T.StructType([T.StructField("model", T.BinaryType())])

# Internal column names; user columns may not start with the prefix.
_PREFIX = "__tarvo_"
_ROWS = _PREFIX + "rows"
PREDICTION = "prediction"
_MODEL = "model"

_NUMERIC = (T.ByteType, T.ShortType, T.IntegerType, T.LongType, T.FloatType, T.DoubleType, T.DecimalType,
            T.BooleanType)
_INTEGRAL = (T.ByteType, T.ShortType, T.IntegerType, T.LongType, T.BooleanType)
_ORDERABLE = _NUMERIC + (T.TimestampType, T.TimestampNTZType, T.DateType, T.StringType)


class KeyedOutput(NamedTuple):
    """What :func:`prequential_by_key` returns: two DataFrames, never mixed.

    ``predictions`` holds one row per input row: the key, the order value, the
    ``prediction`` made before the row was learnt and the target. ``metrics``
    (``None`` unless ``every`` was given) holds one row per key each time it has
    learnt a multiple of ``every`` rows: the key, the order value of that row,
    ``rows`` (how many it has learnt) and one column per metric.

    Each DataFrame started as a query runs the models on its own, with its own
    checkpoint; both see the same models, since the learning is deterministic.
    """

    predictions: DataFrame
    metrics: DataFrame | None


_SHUFFLE_PARTITIONS = "spark.sql.shuffle.partitions"
#: The logger that warns "Value state model doesn't contain a value" each time a key is first seen
#: (reading the state of a new key is how a model starts, not a fault).
STATE_SERVER_LOGGER = "org.apache.spark.sql.execution.python.streaming.TransformWithStateInPySparkStateServer"
_LOCAL_MASTER = re.compile(r"local(?:\[(\*|\d+)(?:,\d+)?\])?")


def local_cores(master: str | None) -> int | None:
    """The worker threads of a ``local``, ``local[N]``, ``local[*]`` or ``local[N,F]`` master, else ``None``."""
    found = _LOCAL_MASTER.fullmatch(master.strip()) if isinstance(master, str) else None
    if found is None:
        return None
    count = found.group(1)
    return 1 if count is None else (os.cpu_count() or 1) if count == "*" else int(count)


def _local_defaults(builder: SparkSession.Builder) -> None:
    """Shuffle partitions as many as a local master's cores, unless the builder sets them or a
    session runs already (whose settings are its owner's)."""
    options = getattr(builder, "_options", None)
    if not isinstance(options, dict) or _SHUFFLE_PARTITIONS in options:
        return
    from pyspark import SparkContext

    cores = local_cores(options.get("spark.master"))
    if cores is not None and SparkContext._active_spark_context is None:
        builder.config(_SHUFFLE_PARTITIONS, str(cores))


def _quiet_state_server(session: SparkSession) -> None:
    """In local mode the state server runs in this JVM: keep its per-new-key warning out of the log."""
    try:
        context = session.sparkContext
        if local_cores(context.master) is None:
            return
        jvm: Any = context._jvm
        log4j = jvm.org.apache.logging.log4j
        log4j.core.config.Configurator.setLevel(STATE_SERVER_LOGGER, log4j.Level.ERROR)
    except Exception:  # noqa: BLE001 - a session without a JVM here (Spark Connect), or another logging back-end
        pass


def configure(builder: SparkSession.Builder, *, python: str | None = sys.executable) -> SparkSession.Builder:
    """The settings this module needs, on a session builder, which is returned.

    It selects the RocksDB state store, and runs the Python workers on ``python``:
    by default this interpreter, which is right in local mode (Spark would otherwise
    start ``python3`` from ``PATH``, which fails with ``PYTHON_VERSION_MISMATCH`` inside
    a venv of another Python version). It sets ``spark.pyspark.python`` and, for the
    worker Spark starts on the driver, the environment variable ``PYSPARK_PYTHON``, so
    call it before the session starts. On a cluster, pass ``python=None`` and point
    ``spark.pyspark.python`` at the executors' interpreter where tarvo is installed.

    With a local master (``local``, ``local[N]``, ``local[*]``), set on the builder before or
    after this call, the session it starts also gets:

    - ``spark.sql.shuffle.partitions`` equal to the master's cores, unless the builder sets it:
      Spark's default of 200 runs 200 tasks per micro-batch, each loading and saving the state of
      its share of the keys, which on a few cores costs far more than the learning;
    - Spark's warning "Value state model doesn't contain a value", which its state server logs
      for every new key, silenced (its logger, :data:`STATE_SERVER_LOGGER`, logs errors only).
      The JVM exists only once the session starts, so this is done by the builder's
      ``getOrCreate``.
    """
    builder = builder.config(_PROVIDER_CONF, ROCKSDB_PROVIDER)
    if python is not None:
        # The executors' workers follow the setting; the worker that starts a stateful query on the
        # driver follows the environment variable, read when the SparkContext starts.
        os.environ["PYSPARK_PYTHON"] = python
        builder = builder.config("spark.pyspark.python", python).config("spark.pyspark.driver.python", python)
    start = builder.getOrCreate  # each SparkSession.builder is a builder of its own

    def get_or_create() -> SparkSession:
        _local_defaults(builder)  # the builder's final master, which may be set after this call
        session = start()
        _quiet_state_server(session)
        return session

    builder.getOrCreate = get_or_create  # type: ignore[method-assign]
    return builder


# ---------------------------------------------------------------- checks on the driver


def _column(df: DataFrame, name: Any, what: str) -> T.StructField:
    if not isinstance(name, str):
        raise TypeError(f"{what} must be a column name, not {type(name).__name__}")
    if name.startswith(_PREFIX):
        raise ValueError(f"{what}: column names starting with {_PREFIX!r} are reserved")
    fields = {f.name: f for f in df.schema.fields}
    if name not in fields:
        raise ValueError(f"{what}: the DataFrame has no column {name!r} (it has {', '.join(map(repr, fields))})")
    return fields[name]


def _feature_fields(df: DataFrame, features: Any) -> list[T.StructField]:
    if isinstance(features, (str, bytes)) or not isinstance(features, Sequence):
        raise TypeError("features must be a sequence of column names")
    if not features:
        raise ValueError("features: name at least one column")
    fields = [_column(df, name, "features") for name in features]
    seen: set[str] = set()
    for f in fields:
        if f.name in seen:
            raise ValueError(f"features: the column {f.name!r} appears more than once")
        seen.add(f.name)
        if not isinstance(f.dataType, (*_NUMERIC, T.StringType)):
            raise TypeError(f"features: column {f.name!r} holds {f.dataType.simpleString()} values; every feature "
                            "must be numeric or a string")
    return fields


def _feature_column(df: DataFrame, field: T.StructField, alias: str) -> Any:
    """A feature as the workers read it: a double (a null is a missing feature), or a string column
    as it is (a text feature: see :func:`tarvo.stream.encode_row`)."""
    column = df[field.name] if isinstance(field.dataType, T.StringType) else df[field.name].cast("double")
    return column.alias(alias)


def _feature_table(features: tuple[str, ...], columns: list[np.ndarray]) -> tuple[Any, dict[str, Any]]:
    """A key's feature columns as :mod:`tarvo.batch` takes them, with the keywords naming them: a
    float64 array, or a frame when a string column makes text features."""
    if any(c.dtype.kind == "O" for c in columns):
        return pd.DataFrame({name: (c if c.dtype.kind == "O" else c.astype(np.float64, copy=False))
                             for name, c in zip(features, columns)}), {}
    return np.column_stack([c.astype(np.float64, copy=False) for c in columns]), {"columns": features}


def _sort_keys(columns: list[np.ndarray]) -> list[np.ndarray]:
    """The feature columns as numbers that sort as their values do (strings by their text, a null last)."""
    keys = []
    for c in columns:
        if c.dtype.kind == "O":
            keys.append(pd.Series(c, dtype=object).rank(method="dense", na_option="bottom").to_numpy())
        else:
            keys.append(c.astype(np.float64, copy=False))
    return keys


def _check_target(field: T.StructField, task: str) -> None:
    """A classifier's labels come from number, boolean or string columns (each key's labels read
    by the label rule, row by row); a regressor's targets from number columns."""
    dtype = field.dataType
    if isinstance(dtype, _NUMERIC):
        return
    if task == "classification":
        if isinstance(dtype, T.StringType):
            return
        raise TypeError(
            f"target: column {field.name!r} holds {dtype.simpleString()} values, which cannot be a classifier's "
            "labels (numbers, booleans or strings)")
    raise TypeError(
        f"target: column {field.name!r} holds {dtype.simpleString()} values; a regressor's targets must be numbers")


def _prediction_type(dtype: T.DataType, task: str) -> T.DataType:
    """The type of the predictions for a target of type ``dtype``: the labels' own type (integers as
    longs), doubles for a regressor."""
    if task == "regression":
        return T.DoubleType()
    if isinstance(dtype, _INTEGRAL) and not isinstance(dtype, T.BooleanType):
        return T.LongType()
    if isinstance(dtype, (T.FloatType, T.DoubleType)):
        return T.DoubleType()
    return dtype  # strings, booleans, decimals


def _labels_type(model: Any) -> T.DataType:
    """The type of a frozen classifier's predictions, by the labels its numbering holds."""
    numbering = batch.class_labels(model)
    if numbering is None:
        return T.LongType()
    kinds = {type(name) for name in numbering.names.values()}
    for types, spark_type in (((str,), T.StringType()), ((bool,), T.BooleanType()), ((int,), T.LongType()),
                              ((float, int), T.DoubleType())):
        if kinds and kinds <= set(types):
            return spark_type
    raise TypeError(f"models: the labels of a model are {', '.join(sorted(k.__name__ for k in kinds))} values, "
                    "which have no Spark type here")


def _is_learner(obj: Any) -> bool:
    return isinstance(obj, (core.IClassifier, core.IRegressor))


def _check_pickles(obj: Any, what: str) -> bytes:
    try:
        data = pickle.dumps(obj)
        pickle.loads(data)
    except Exception as exc:
        raise TypeError(
            f"{what}: {type(obj).__name__} does not pickle ({type(exc).__name__}: {exc}); "
            "each key's state is kept pickled in Spark's state store") from exc
    return data


def _model_source(model: Any) -> tuple[str, bytes | None, Callable[[], Any] | None]:
    """The task, and the pickled prototype or the factory."""
    if _is_learner(model):
        return task_of(model), _check_pickles(model, "model"), None
    if isinstance(model, core.ITransformer):
        raise TypeError(f"model: {type(model).__name__} is a transformer, not a learner")
    if not callable(model):
        raise TypeError(f"model must be a tarvo learner or a function returning one, not {type(model).__name__}")
    sample = model()
    if not _is_learner(sample):
        raise TypeError(f"model: the factory returned {type(sample).__name__}, not a tarvo learner")
    _check_pickles(sample, "model")
    try:
        cloudpickle.dumps(model)
    except Exception as exc:
        raise TypeError(f"model: the factory cannot be sent to Spark's workers ({type(exc).__name__}: {exc})") from exc
    return task_of(sample), None, model


def _ttl_ms(idle_timeout: Any) -> int | None:
    if idle_timeout is None:
        return None
    if isinstance(idle_timeout, datetime.timedelta):
        seconds = idle_timeout.total_seconds()
    elif isinstance(idle_timeout, (int, float)) and not isinstance(idle_timeout, bool):
        seconds = float(idle_timeout)
    else:
        raise TypeError(f"idle_timeout must be seconds or a datetime.timedelta, not {type(idle_timeout).__name__}")
    if not math.isfinite(seconds) or seconds <= 0:
        raise ValueError(f"idle_timeout must be a positive duration, got {idle_timeout!r}")
    return max(1, round(seconds * 1000))


def _check_state_store(df: DataFrame) -> None:
    if not df.isStreaming:
        return
    provider = df.sparkSession.conf.get(_PROVIDER_CONF, None)
    if provider != ROCKSDB_PROVIDER:
        raise ValueError(
            f"Spark's state store must be RocksDB for keyed models: set {_PROVIDER_CONF} to {ROCKSDB_PROVIDER} "
            "(tarvo.spark.configure does) before the first query")


# ---------------------------------------------------------------- the work on the workers


@dataclass(frozen=True)
class _Plan:
    """Everything a worker needs to learn one key's rows; sent to the workers pickled."""

    key: str
    order: str
    target: str
    features: tuple[str, ...]
    columns: tuple[str, ...]  # the features' internal names (cast to double)
    task: str
    prototype: bytes | None
    factory: Callable[[], Any] | None
    metrics: bytes | None  # pickled mapping of metric prototypes, or None without `every`
    metric_names: tuple[str, ...]
    every: int | None
    # After the target, a flag column per floating key or target: which of its missing values are NaN.
    nan_flags: tuple[str, ...] = ()

    def new_model(self) -> Any:
        if self.prototype is not None:
            return pickle.loads(self.prototype)
        assert self.factory is not None
        return self.factory()

    def labels(self, values: np.ndarray, key: Any, nan: np.ndarray | None = None) -> np.ndarray:
        """The target column as float64 targets, or a classifier's labels as they come (read by the
        label rule in :func:`tarvo.batch.prequential`), each value checked for a null (``nan``: where
        the target is NaN rather than null, for a floating column)."""
        missing = pd.isna(values)
        if missing.any():
            first = int(np.flatnonzero(missing)[0])
            what = "NaN" if nan is not None and bool(nan[first]) else "null"
            raise ValueError(f"target: column {self.target!r} is {what} in a row of key {key!r}; every row needs one")
        if self.task == "regression":
            arr = values if values.dtype.kind in "fiub" else values.astype(np.float64)  # booleans or decimals
            return arr.astype(np.float64)
        return values

    def refused(self, exc: LabelError, key: Any) -> ValueError:
        """The error for a label the rule refuses, naming the target column and the key."""
        return ValueError(f"target: column {self.target!r} holds {exc.label!r} for key {key!r}, which cannot be "
                          f"a class label ({exc.reason})")

    @staticmethod
    def rank(y: np.ndarray) -> np.ndarray:
        """The labels as numbers that sort as they do (for the order of rows with equal order values)."""
        if y.dtype.kind in "iufb":
            return y
        try:
            return np.unique(y, return_inverse=True)[1].reshape(-1)
        except TypeError:  # labels of several kinds, which the label rule refuses by name
            return np.zeros(len(y), dtype=np.int64)

    def learn(self, key: tuple[Any, ...], frames: Iterator[pd.DataFrame], state: Any) -> Iterator[pd.DataFrame]:
        """Test-then-train over one key's rows of one micro-batch, in the order of the order column."""
        # The columns come in the order they were selected (Spark may rename them): key, order,
        # the features, the target, then the NaN flags.
        columns = _columns(frames)
        width = len(self.columns)
        flags = dict(zip(self.nan_flags, columns[3 + width:]))
        value = _key_value(key, self.key, flags.get("key"))
        keys, order, target = columns[0], columns[1], columns[2 + width]
        features = columns[2:2 + width]
        if pd.isna(order).any():
            raise ValueError(f"order: column {self.order!r} is null in a row of key {value!r}")
        y = self.labels(target, value, flags.get("target"))
        # Equal order values are taken in the order of the features and target, never in the order
        # the rows arrived, so that a replayed micro-batch learns its rows in the same order (NaN last).
        rank = order if order.dtype.kind in "iufbmM" else np.unique(order, return_inverse=True)[1]
        sequence = np.lexsort((self.rank(y), *reversed(_sort_keys(features)), rank))
        keys, order, y, target = keys[sequence], order[sequence], y[sequence], target[sequence]
        X, named = _feature_table(self.features, [c[sequence] for c in features])
        saved = state.get()  # one call to Spark's state server: None for a new key
        if saved is not None:
            model_bytes, metrics_bytes, seen = saved
            model = pickle.loads(model_bytes)
            metrics = pickle.loads(metrics_bytes) if self.metrics is not None else None
        else:
            model = self.new_model()
            metrics = pickle.loads(self.metrics) if self.metrics is not None else None
            seen = 0
        n = len(y)
        parts: list[np.ndarray] = []  # the predictions, in the labels' type
        reported: list[tuple[int, int, list[float]]] = []  # (row, rows learnt, metric values)
        start = 0
        while start < n:
            # A segment ends where the key's row count reaches a multiple of `every`.
            stop = n if self.every is None else min(n, start + self.every - seen % self.every)
            rows = X.iloc[start:stop] if isinstance(X, pd.DataFrame) else X[start:stop]
            try:
                result, out = batch.prequential(
                    model, rows, y[start:stop], **named, metrics=metrics,
                    every=stop - start, detector=None, predictions=True, threads=1)
            except LabelError as exc:
                raise self.refused(exc, value) from None
            parts.append(out)
            seen += stop - start
            if self.every is not None and seen % self.every == 0:
                reported.append((stop - 1, seen, [float(result.final[m]) for m in self.metric_names]))
            start = stop
        predictions = _joined(parts, self.task)
        state.update((pickle.dumps(model), pickle.dumps(metrics) if metrics is not None else None, seen))
        # A prediction row has 0 in the rows column; a metrics row the key's row count, and the
        # key, order, prediction and target of the row where it was taken.
        yield _frame([keys, order, predictions, target, np.zeros(n, dtype=np.int64),
                      *(np.full(n, np.nan) for _ in self.metric_names)])
        if reported:
            at = np.array([row for row, _, _ in reported])
            yield _frame([keys[at], order[at], predictions[at], target[at],
                          np.array([rows for _, rows, _ in reported], dtype=np.int64),
                          *(np.array([values[j] for _, _, values in reported], dtype=np.float64)
                            for j in range(len(self.metric_names)))])


def _joined(parts: list[np.ndarray], task: str) -> np.ndarray:
    """One key's predictions, segment after segment (labels of one type: texts, bools, numbers or
    ``None`` for no label, which Spark writes as null)."""
    if not parts:
        return np.empty(0, dtype=np.int64 if task == "classification" else np.float64)
    kinds = {part.dtype.kind for part in parts}
    if len(kinds) > 1:  # a segment with no label among bools or integers: as objects
        parts = [part.astype(object) for part in parts]
    return np.concatenate(parts)


def _key_value(key: tuple[Any, ...], name: str, nan: np.ndarray | None = None) -> Any:
    """The grouping key's value; a null or NaN key is an error naming the column (``nan``: the
    flags of a floating key column, true where the key is NaN; a group's rows share its key)."""
    value = key[0]
    if value is None or (isinstance(value, float) and math.isnan(value)):
        what = "NaN" if nan is not None and len(nan) and bool(nan[0]) else "null"
        raise ValueError(f"key: a row's {name!r} is {what}; every row needs a key")
    return value


_FLOATING = (T.FloatType, T.DoubleType)


def _nan_flags(df: DataFrame, fields: Sequence[tuple[str, T.StructField]]) -> tuple[tuple[str, ...], list[Any]]:
    """For each ``(role, field)`` of a floating type, a column true where its value is NaN: pandas
    reads a null in such a column as NaN, so only this column tells the two apart in an error."""
    roles = [(role, f) for role, f in fields if isinstance(f.dataType, _FLOATING)]
    return tuple(role for role, _ in roles), [F.isnan(df[f.name]).alias(f"{_PREFIX}nan_{role}") for role, f in roles]


def _columns(frames: Iterator[pd.DataFrame]) -> list[np.ndarray]:
    """The columns of the frames Spark passes for one key, joined, as arrays."""
    parts = [[series.to_numpy() for _, series in frame.items()] for frame in frames]
    if len(parts) == 1:
        return parts[0]
    return [np.concatenate([part[j] for part in parts]) for j in range(len(parts[0]))]


def _frame(columns: list[np.ndarray]) -> pd.DataFrame:
    """An output frame whose columns Spark takes by position (integer labels build faster than names)."""
    return pd.DataFrame(dict(enumerate(columns)), copy=False)


def _metric_column(j: int) -> str:
    return f"{_PREFIX}m{j}"


class _Learner(StatefulProcessor):
    """Each key's model and metrics in one state value, learnt test-then-train."""

    def __init__(self, plan: _Plan, ttl_ms: int | None) -> None:
        self._plan = plan
        self._ttl_ms = ttl_ms

    def init(self, handle: StatefulProcessorHandle) -> None:
        self._state = handle.getValueState(STATE_NAME, _STATE_SCHEMA, self._ttl_ms)

    def handleInputRows(self, key: Any, rows: Any, timerValues: TimerValues) -> Iterator[pd.DataFrame]:
        yield from self._plan.learn(key, rows, self._state)

    def close(self) -> None:
        pass


# ---------------------------------------------------------------- public functions


def prequential_by_key(
    df: DataFrame,
    *,
    key: str,
    order: str,
    features: Sequence[str],
    target: str,
    model: Any,
    metrics: Mapping[str, Any] | Sequence[Any] | None = None,
    every: int | None = None,
    idle_timeout: float | datetime.timedelta | None = None,
) -> KeyedOutput:
    """One model per value of ``key``, learnt test-then-train over a streaming or static DataFrame.

    ``model`` is a learner, copied (through pickle) for each new key, or a function of no
    argument returning a new learner. In each micro-batch, each key's rows are taken in the
    order of the ``order`` column (rows with equal order values in the order of their
    features and target) and run through :func:`tarvo.batch.prequential`: each row is
    predicted, then learnt, the first row of a key included (the untrained model's answer).
    A row arriving after rows with greater order values is learnt when it arrives.

    Features are read as doubles (a null is a missing feature); a string column is a text
    feature, one-hot over the categories the key's model has learnt (saved with the model; see
    :func:`tarvo.stream.encode_row`), as on every other path. A classifier's target holds
    numbers, booleans or strings, each key's read by the label rule of
    :class:`tarvo.stream.ClassLabels` (integers within 32 bits keep their values; strings,
    and integers beyond 32 bits, are numbered by the key's model in order of first appearance,
    a numbering that is saved with the model); the ``prediction`` column has the target's type
    (longs for integers, doubles for floats), null for an untrained model's answer where labels
    are numbered. A regressor's target holds any numbers. A null target, a label the rule
    refuses (a fractional one, a string after numbers), a null key or a null order value stops
    the query with an error naming the column (a NaN key or target is called NaN there, a null
    one null).

    ``every`` reports ``metrics`` (default: :func:`tarvo.evaluate.default_metrics` of the
    model's task, copied per key) each time a key has learnt a multiple of ``every`` rows,
    in :attr:`KeyedOutput.metrics`. ``idle_timeout`` (seconds or a ``timedelta``) drops the
    state of a key not seen for that long, by processing time: its next row starts a new model.
    Spark then also runs micro-batches without new data, to drop idle keys, so that a query with
    ``trigger(availableNow=True)`` ends only with ``spark.sql.streaming.noDataMicroBatches.enabled``
    set to false.

    Returns a :class:`KeyedOutput`; with a streaming ``df``, its DataFrames are streaming
    DataFrames for ``outputMode("append")``.
    """
    if not isinstance(df, DataFrame):
        raise TypeError(f"df must be a Spark DataFrame, not {type(df).__name__}")
    key_field = _column(df, key, "key")
    order_field = _column(df, order, "order")
    target_field = _column(df, target, "target")
    if len({key, order, target}) < 3:
        raise ValueError(f"key, order and target must be three different columns, got {key!r}, {order!r}, {target!r}")
    if PREDICTION in (key, order, target):
        raise ValueError(f"the column {PREDICTION!r} is the output's prediction; rename the input column")
    feature_fields = _feature_fields(df, features)
    for name, what in ((key, "key"), (target, "target")):
        if any(f.name == name for f in feature_fields):
            raise ValueError(f"features: the {what} column {name!r} cannot also be a feature")
    if not isinstance(order_field.dataType, _ORDERABLE):
        raise TypeError(f"order: column {order!r} holds {order_field.dataType.simpleString()} values, "
                        "which have no order; use numbers, timestamps, dates or strings")
    task, prototype, factory = _model_source(model)
    _check_target(target_field, task)
    if every is not None and (isinstance(every, bool) or not isinstance(every, int) or every < 1):
        raise ValueError(f"every must be a whole number of at least 1, got {every!r}")
    if every is None and metrics is not None:
        raise ValueError("metrics: the running metrics are reported every `every` rows; give every as well")
    metric_names: tuple[str, ...] = ()
    metrics_bytes = None
    if every is not None:
        chosen = default_metrics(task) if metrics is None else metrics
        if isinstance(chosen, (str, bytes)) or not isinstance(chosen, (Mapping, Sequence)):
            raise TypeError("metrics must be a mapping of names to metric objects, or a sequence of them")
        metric_names = tuple(name for name, _ in bind_metrics(chosen)[0])
        for name in metric_names:
            if name in (key, order, "rows") or name.startswith(_PREFIX):
                raise ValueError(f"metrics: the name {name!r} is taken by another column of the metrics output")
        metrics_bytes = _check_pickles(chosen if isinstance(chosen, Mapping) else dict(zip(metric_names, chosen)),
                                       "metrics")
    ttl_ms = _ttl_ms(idle_timeout)
    _check_state_store(df)

    columns = tuple(f"{_PREFIX}f{j}" for j in range(len(feature_fields)))
    nan_roles, nan_columns = _nan_flags(df, [("key", key_field), ("target", target_field)])
    plan = _Plan(key=key, order=order, target=target, features=tuple(f.name for f in feature_fields),
                 columns=columns, task=task, prototype=prototype, factory=factory, metrics=metrics_bytes,
                 metric_names=metric_names, every=every, nan_flags=nan_roles)
    selected = df.select(
        df[key].alias(key), df[order].alias(order),
        *[_feature_column(df, f, c) for f, c in zip(feature_fields, columns)],
        df[target].alias(target), *nan_columns)
    prediction_type = _prediction_type(target_field.dataType, task)
    schema = T.StructType([
        T.StructField(key, key_field.dataType),
        T.StructField(order, order_field.dataType),
        T.StructField(PREDICTION, prediction_type),
        T.StructField(target, target_field.dataType),
        T.StructField(_ROWS, T.LongType()),
        *[T.StructField(_metric_column(j), T.DoubleType()) for j in range(len(metric_names))],
    ])
    out = selected.groupBy(key).transformWithStateInPandas(
        _Learner(plan, ttl_ms), schema, "Append", "None" if ttl_ms is None else "ProcessingTime")
    predictions = out.where(F.col(_ROWS) == 0).select(key, order, PREDICTION, target)
    metric_frame = None
    if every is not None:
        metric_frame = out.where(F.col(_ROWS) > 0).select(
            key, order, F.col(_ROWS).alias("rows"),
            *[F.col(_metric_column(j)).alias(name) for j, name in enumerate(metric_names)])
    return KeyedOutput(predictions, metric_frame)


@dataclass(frozen=True)
class _ScorePlan:
    key: str
    features: tuple[str, ...]
    columns: tuple[str, ...]
    outputs: tuple[str, ...]  # the input columns, then the prediction
    task: str
    nan_flags: tuple[str, ...] = ()  # after the features: the key's NaN flags, for a floating key

    def score(self, key: tuple[Any, ...], frames: Iterator[pd.DataFrame], state: Any) -> Iterator[pd.DataFrame]:
        # As selected: the input columns, the features as doubles, then the NaN flags.
        columns = _columns(frames)
        inputs = len(self.outputs) - 1
        flags = dict(zip(self.nan_flags, columns[inputs + len(self.columns):]))
        value = _key_value(key, self.key, flags.get("key"))
        n = len(columns[0])
        saved = state.get()
        if saved is not None:
            model = pickle.loads(saved[0])
            if not _is_learner(model) or task_of(model) != self.task:
                raise TypeError(f"models: the model of key {value!r} is {type(model).__name__}, "
                                f"not a {self.task} learner like the others")
            X, named = _feature_table(self.features, columns[inputs:inputs + len(self.columns)])
            predictions = batch.predict_many(model, X, **named)
        else:
            predictions = np.full(n, None, dtype=object)  # null: the key has no model
        yield _frame([*columns[:inputs], predictions])


class _Scorer(StatefulProcessor):
    """Each key's frozen model, loaded from the models table, answering its rows."""

    def __init__(self, plan: _ScorePlan) -> None:
        self._plan = plan

    def init(self, handle: StatefulProcessorHandle) -> None:
        self._state = handle.getValueState(STATE_NAME, _MODEL_SCHEMA)

    def handleInitialState(self, key: Any, initialState: Any, timerValues: TimerValues) -> None:
        models = initialState[_MODEL]
        if len(models) != 1:
            raise ValueError(f"models: key {key[0]!r} has {len(models)} models; give each key one")
        self._state.update((models.iloc[0],))

    def handleInputRows(self, key: Any, rows: Any, timerValues: TimerValues) -> Iterator[pd.DataFrame]:
        yield from self._plan.score(key, rows, self._state)

    def close(self) -> None:
        pass


def predict_by_key(df: DataFrame, *, key: str, features: Sequence[str], models: DataFrame) -> DataFrame:
    """Each row of ``df`` answered by the frozen model of its key.

    ``models`` is a static DataFrame with the column ``key`` and a binary column ``model``
    of pickled learners (what :func:`export_models` returns), one row per key. Returns
    ``df``'s columns and ``prediction`` (null for a key without a model). The models are
    read into the query's state when it starts; a streaming ``df`` needs a checkpoint.
    """
    if not isinstance(df, DataFrame):
        raise TypeError(f"df must be a Spark DataFrame, not {type(df).__name__}")
    if not isinstance(models, DataFrame) or models.isStreaming:
        raise TypeError("models must be a static Spark DataFrame of (key, model) rows")
    key_field = _column(df, key, "key")
    feature_fields = _feature_fields(df, features)
    if any(f.name == PREDICTION for f in df.schema.fields):
        raise ValueError(f"df: the column {PREDICTION!r} is the output's prediction; rename the input column")
    if key not in models.columns or _MODEL not in models.columns:
        raise ValueError(f"models must have the columns {key!r} and {_MODEL!r}, it has {models.columns}")
    if not isinstance(models.schema[_MODEL].dataType, T.BinaryType):
        raise TypeError(f"models: column {_MODEL!r} must hold the pickled models' bytes")
    first = models.where(F.col(_MODEL).isNotNull()).select(_MODEL).limit(1).collect()
    if not first:
        raise ValueError("models holds no model")
    sample = pickle.loads(first[0][0])
    if not _is_learner(sample):
        raise TypeError(f"models: a model is {type(sample).__name__}, not a tarvo learner")
    task = task_of(sample)
    prediction_type = _labels_type(sample) if task == "classification" else T.DoubleType()
    _check_state_store(df)
    columns = tuple(f"{_PREFIX}f{j}" for j in range(len(feature_fields)))
    nan_roles, nan_columns = _nan_flags(df, [("key", key_field)])
    plan = _ScorePlan(key=key, features=tuple(f.name for f in feature_fields), columns=columns,
                      outputs=(*df.columns, PREDICTION), task=task, nan_flags=nan_roles)
    selected = df.select("*", *[_feature_column(df, f, c) for f, c in zip(feature_fields, columns)],
                         *nan_columns)
    initial = models.select(models[key].cast(key_field.dataType).alias(key), models[_MODEL]).groupBy(key)
    schema = T.StructType([*df.schema.fields, T.StructField(PREDICTION, prediction_type)])
    return selected.groupBy(key).transformWithStateInPandas(
        _Scorer(plan), schema, "Append", "None", initialState=initial)


def export_models(checkpoint: str, *, spark: SparkSession | None = None, batch_id: int | None = None) -> DataFrame:
    """The per-key models of a query of :func:`prequential_by_key`, read from its checkpoint.

    Returns a static DataFrame of the key column and ``model``, the pickled model's bytes
    (``pickle.loads`` reads each back), as the state stood after the last committed
    micro-batch, or after micro-batch ``batch_id``. It reads the state through Spark's state
    reader (``format("statestore")``), so the query needs no extra output; write the table
    anywhere (``.write.parquet(path)``) and pass it to :func:`predict_by_key`.
    """
    session = spark if spark is not None else SparkSession.active()
    reader = session.read.format("statestore").option("stateVarName", STATE_NAME)
    if batch_id is not None:
        reader = reader.option("batchId", batch_id)
    state = reader.load(checkpoint)
    key_names = state.schema["key"].dataType.fieldNames()  # type: ignore[attr-defined]
    value_names = state.schema["value"].dataType.fieldNames()  # type: ignore[attr-defined]
    # With a time-to-live, the reader nests the value beside its expiry time.
    model = "value.model" if _MODEL in value_names else "value.value.model"
    return state.select(*[F.col(f"key.`{name}`").alias(name) for name in key_names], F.col(model).alias(_MODEL))
