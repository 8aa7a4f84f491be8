"""The batch functions of ``tarvo.batch`` against the per-sample loop and against native code.

For NaiveBayes, HoeffdingTreeClassifier, the seven linear models and the three
scalers, on a 10-feature synthetic stream and on the electricity stream (when
``shared/datasets/elec.csv`` is at hand; the regressors predict ``nswdemand``
from the other five features), each row gives the cost per row of

- ``learn_many`` + ``predict_many`` (scalers: ``learn_many`` + ``transform_many``),
  or of ``prequential`` with the default metrics and ADWIN,

beside two references measured in the same run, interleaved with it:

- (a) the peer column: the Python loop, ``predict_one`` + ``learn_one`` per sample
  (scalers: ``learn_one`` + ``transform_one``) on the same rows already as dicts;
- (b) the floor column (and native ns/sample): the same calls made natively by the
  test-only probe module on samples already converted to feature maps.

``learn_many`` + ``predict_many`` predicts each row after learning them all, where
(a) and (b) predict before learning each; ``prequential`` does exactly their work,
plus scoring.

"ratio to floor" is batch / (b), row conversion included (target at most 1.5);
"peer slower by" is (a) / batch; the notes give both to two places. The
ensembles (three members each) are held to the Python loop (target: no
slower). The last rows run the electricity CSV file end to end (see
``csv_rows``).

Every figure here is CPU time of the benchmark's thread (the batch functions
run their rows in the calling thread with the GIL released; for (b) see
``native``), the best of several rounds in which all the measures of a row take turns: on a
machine shared with other work, wall-clock time counts the time other
processes hold the core, and even CPU time varies by up to 2× from round to
round, so single rounds mean little.
"""

from __future__ import annotations

import gc
import math
import time
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from bench_forests import elec_path, read_elec
from harness import Row
from streams import classification, regression

import _tarvo_core as core
from tarvo import batch
from tarvo.evaluate import default_metrics
from tarvo.evaluate import prequential as python_prequential

CLASSIFIERS = (
    core.NaiveBayes,
    core.HoeffdingTreeClassifier,
    core.Perceptron,
    core.LogisticRegressionClassifier,
    core.PassiveAggressiveClassifier,
    core.SoftmaxRegression,
)
REGRESSORS = (core.LinearRegression, core.BayesianLinearRegression, core.PassiveAggressiveRegressor)
SCALERS = (core.StandardScaler, core.MinMaxScaler, core.MaxAbsScaler)
ENSEMBLE_MEMBERS = 3
ENSEMBLES = (core.ARFClassifier, core.SRPClassifier, core.LeveragingBaggingClassifier)

PYTHON_LOOP = "Python loop: predict_one + learn_one on dicts"
PYTHON_SCALER_LOOP = "Python loop: learn_one + transform_one on dicts"
TARGET = 1.5

Sample = tuple[dict[str, float], Any]


class Stream:
    """One stream as dict samples and as the arrays the batch functions take."""

    def __init__(self, label: str, samples: list[Sample], classifier: bool) -> None:
        self.label = label
        self.samples = samples
        self.classifier = classifier
        self.names = list(samples[0][0])
        self.X = np.array([[x[k] for k in self.names] for x, _ in samples], dtype=np.float64)
        self.y = np.array([y for _, y in samples], dtype=np.int64 if classifier else np.float64)
        self.rows = [x for x, _ in samples]

    def __len__(self) -> int:
        return len(self.samples)


def cpu_ns(run: Callable[[], object]) -> int:
    """CPU nanoseconds of this thread spent in ``run()`` (the batch functions run their rows in
    the calling thread), with the collector off."""
    gc.collect()
    gc.disable()
    try:
        start = time.thread_time_ns()
        run()
        return time.thread_time_ns() - start
    finally:
        gc.enable()


def per_row_us(run: Callable[[], int]) -> float:
    """CPU microseconds per item of one ``run()``, which returns how many items it handled."""
    count = [0]

    def counted() -> None:
        count[0] = run()

    elapsed = cpu_ns(counted)
    return elapsed / max(1, count[0]) / 1000.0


def interleaved(measures: dict[str, Callable[[], float]], repeat: int) -> dict[str, float]:
    """The best of ``repeat`` rounds of each measure (µs per row), the measures taking turns
    within each round so that a change of load on the machine touches them alike."""
    best = {name: math.inf for name in measures}
    for _ in range(repeat):
        for name, measure in measures.items():
            best[name] = min(best[name], measure())
    return best


# ---------------------------------------------------------------- the work timed


def learn_predict(make: Callable[[], Any], s: Stream) -> Callable[[], float]:
    def run() -> int:
        model = make()
        batch.learn_many(model, s.X, s.y, columns=s.names)
        batch.predict_many(model, s.X, columns=s.names)
        return len(s)

    return lambda: per_row_us(run)


def learn_transform(make: Callable[[], Any], s: Stream) -> Callable[[], float]:
    def run() -> int:
        model = make()
        batch.learn_many(model, s.X, columns=s.names)
        batch.transform_many(model, s.X, columns=s.names)
        return len(s)

    return lambda: per_row_us(run)


def batch_prequential(make: Callable[[], Any], s: Stream, bare: bool = False) -> Callable[[], float]:
    def run() -> int:
        model = make()
        if bare:
            batch.prequential(model, s.X, s.y, columns=s.names, metrics=None, detector=False)
        else:
            batch.prequential(model, s.X, s.y, columns=s.names)
        return len(s)

    return lambda: per_row_us(run)


def python_loop(make: Callable[[], Any], s: Stream) -> Callable[[], float]:
    def run() -> int:
        model = make()
        predict, learn = model.predict_one, model.learn_one
        for x, y in s.samples:
            predict(x)
            learn(x, y)
        return len(s)

    return lambda: per_row_us(run)


def python_scaler_loop(make: Callable[[], Any], s: Stream) -> Callable[[], float]:
    def run() -> int:
        model = make()
        learn, transform = model.learn_one, model.transform_one
        for x in s.rows:
            learn(x)
            transform(x)
        return len(s)

    return lambda: per_row_us(run)


def native(make: Callable[[], Any], s: Stream) -> dict[str, Callable[[], float]]:
    """(b): predict_one + learn_one (scalers: learn_one + transform_one) natively on samples
    already converted, as two measures: the probe's call, which converts the samples and
    then times its loop by the wall clock (returned by ``b_call`` through ``loop_us``), and a
    call converting the same samples and doing next to nothing (a forest probe run zero
    times; for the scalers, an untrained NaiveBayes's predict_one, a few ns a sample).
    ``timed`` takes the loop's CPU time as the best call less the best conversion, or the
    best wall-clock figure of the loop when that is lower (the difference of two noisy
    figures can come out too low only when the conversion's best is unusually slow)."""
    import _tarvo_probe as probe

    if isinstance(make(), core.ITransformer):

        def work(model: Any) -> tuple[float, float]:
            return probe.transformer_stream_ns(model, s.rows)

        def convert() -> object:
            return probe.classifier_predict_ns(core.NaiveBayes(), s.rows)
    else:
        run = probe.classifier_stream_ns if s.classifier else probe.regressor_stream_ns
        idle = probe.arf_classifier_stream_ns if s.classifier else probe.arf_regressor_stream_ns

        def work(model: Any) -> tuple[float, float]:
            return run(model, s.samples)

        def convert() -> object:
            return idle(s.samples, 0)

    loop_us: list[float] = []

    def call() -> float:
        model = make()
        result: list[tuple[float, float]] = []
        elapsed = cpu_ns(lambda: result.append(work(model)))
        loop_us.append(result[0][0] / 1000.0)
        return elapsed / len(s) / 1000.0

    call.loop_us = loop_us  # type: ignore[attr-defined]
    return {"b_call": call, "b_convert": lambda: cpu_ns(convert) / len(s) / 1000.0}


def timed(measures: dict[str, Callable[[], float]], make: Callable[[], Any], s: Stream, repeat: int) -> dict[str, float]:
    """``interleaved``, with (b) among the measures (see ``native``); (b), the difference
    of two figures, gets as many rounds again on its own."""
    b = native(make, s)
    t = interleaved({**measures, **b}, repeat)
    for name, best in interleaved(b, repeat).items():
        t[name] = min(t[name], best)
    t["b_loop_wall"] = min(b["b_call"].loop_us)  # type: ignore[attr-defined]
    by_cpu = t["b_call"] - t["b_convert"]
    t["b"] = min(by_cpu, t["b_loop_wall"]) if by_cpu > 0 else t["b_loop_wall"]
    return t


# ---------------------------------------------------------------- rows


def ratios_note(us: float, a: float, b: float | None, what: str) -> str:
    parts = [f"(a)/batch {a / us:.2f}×"]
    if b is not None:
        parts.append(f"batch/(b) {us / b:.2f}× (target ≤ {TARGET}×: {'met' if us / b <= TARGET else 'missed'})")
    return f"{what}; " + "; ".join(parts)


def learner_rows(make: Callable[[], Any], s: Stream, repeat: int) -> list[Row]:
    t = timed({
        "many": learn_predict(make, s),
        "prequential": batch_prequential(make, s),
        "bare": batch_prequential(make, s, bare=True),
        "a": python_loop(make, s),
    }, make, s, repeat)
    name = make.__name__
    shared = dict(peer=PYTHON_LOOP, peer_us=t["a"], native_ns=t["b"] * 1000.0)
    rows = [
        Row(name, f"{s.label}: learn_many + predict_many, per row", t["many"], t["b"], **shared,
            notes=ratios_note(t["many"], t["a"], t["b"], f"{len(s):,} rows, CPU time; floor: (b) native")),
        Row(name, f"{s.label}: batch.prequential (default metrics, ADWIN), per row", t["prequential"], t["b"],
            **shared,
            notes=ratios_note(t["prequential"], t["a"], t["b"], "CPU time; floor: (b) native, which scores nothing")
            + f"; without metrics and detector {t['bare']:.3f} µs = {t['bare'] / t['b']:.2f}× (b)"),
    ]
    for row in rows:
        row.extra = {"stream": s.label, "rows": len(s), **{f"{k}_us": v for k, v in t.items()},
                     "prequential_bare_us": t["bare"]}
    return rows


def scaler_row(make: Callable[[], Any], s: Stream, repeat: int) -> Row:
    t = timed({"many": learn_transform(make, s), "a": python_scaler_loop(make, s)}, make, s, repeat)
    row = Row(make.__name__, f"{s.label}: learn_many + transform_many, per row", t["many"], t["b"],
              native_ns=t["b"] * 1000.0, peer=PYTHON_SCALER_LOOP, peer_us=t["a"],
              notes=ratios_note(t["many"], t["a"], t["b"], f"{len(s):,} rows, CPU time; floor: (b) native"))
    row.extra = {"stream": s.label, "rows": len(s), **{f"{k}_us": v for k, v in t.items()}}
    return row


def ensemble_rows(cls: type, s: Stream, repeat: int) -> list[Row]:
    def make() -> Any:
        return cls(n_models=ENSEMBLE_MEMBERS)

    t = timed({
        "many": learn_predict(make, s),
        "prequential": batch_prequential(make, s),
        "a": python_loop(make, s),
    }, make, s, repeat)
    rows = []
    for key, what in (("many", "learn_many + predict_many"), ("prequential", "batch.prequential (default metrics, ADWIN)")):
        verdict = "met" if t[key] <= t["a"] else "missed"
        row = Row(f"{cls.__name__}", f"{s.label}, n_models={ENSEMBLE_MEMBERS}: {what}, per row", t[key], t["b"],
                  native_ns=t["b"] * 1000.0, peer=PYTHON_LOOP, peer_us=t["a"],
                  notes=f"{len(s):,} rows, CPU time; floor: (b) native; (a)/batch {t['a'] / t[key]:.2f}× "
                  f"(target: no slower than (a): {verdict})")
        row.extra = {"stream": s.label, "rows": len(s), **{f"{k}_us": v for k, v in t.items()}}
        rows.append(row)
    return rows


def csv_rows(path: Any, repeat: int) -> list[Row]:
    """The electricity file end to end with NaiveBayes, the default metrics and ADWIN(0.002):
    the command line's reading (``iter_csv``, then arrays built from its rows) with
    ``prequential``, and ``numpy.loadtxt`` with ``prequential``, against ``iter_csv`` with
    ``tarvo.evaluate.prequential``'s Python loop (the command line's path before the batch
    loop). The command line reports samples per second of the loop alone, after reading."""
    from tarvo.stream import iter_csv

    def python_run() -> int:
        result = python_prequential(core.NaiveBayes(), iter_csv(path, "class"), default_metrics("classification"),
                                    progress=False, detector=core.ADWIN(0.002))
        return result.n_samples

    def read_iter_csv() -> tuple[list[str], np.ndarray, np.ndarray]:
        # As the command line reads a file for the batch loop: rows from the reader, then arrays.
        rows = list(iter_csv(path, "class"))
        names = list(rows[0][0])
        index = {name: j for j, name in enumerate(names)}
        X = np.full((len(rows), len(names)), np.nan)
        for r, (x, _) in enumerate(rows):
            for name, v in x.items():
                X[r, index[name]] = v
        return names, X, np.array([y for _, y in rows], dtype=np.int64)

    def read_loadtxt() -> tuple[list[str], np.ndarray, np.ndarray]:
        with open(path) as fh:
            header = fh.readline().strip().split(",")
        data = np.loadtxt(path, delimiter=",", skiprows=1)
        target = header.index("class")
        keep = [j for j in range(len(header)) if j != target]
        return [header[j] for j in keep], data[:, keep], data[:, target].astype(np.int64)

    def batch_run(read: Callable[[], tuple[list[str], np.ndarray, np.ndarray]]) -> Callable[[], int]:
        def run() -> int:
            names, X, y = read()
            batch.prequential(core.NaiveBayes(), X, y, columns=names)
            return len(y)

        return run

    def read_only(read: Callable[[], tuple[list[str], np.ndarray, np.ndarray]]) -> Callable[[], int]:
        return lambda: len(read()[2])

    t = interleaved({
        "python": lambda: per_row_us(python_run),
        "iter_csv": lambda: per_row_us(batch_run(read_iter_csv)),
        "iter_csv read": lambda: per_row_us(read_only(read_iter_csv)),
        "loadtxt": lambda: per_row_us(batch_run(read_loadtxt)),
        "loadtxt read": lambda: per_row_us(read_only(read_loadtxt)),
    }, repeat)
    rows = []
    for key, what in (("iter_csv", "iter_csv into arrays (as the command line reads it)"),
                      ("loadtxt", "numpy.loadtxt")):
        rows.append(Row("NaiveBayes", f"electricity CSV file end to end: {what} + batch.prequential, per row",
                        t[key], t["python"], peer="iter_csv + evaluate.prequential's Python loop", peer_us=t["python"],
                        notes=f"CPU time; floor: the peer; {1e6 / t[key]:,.0f} rows/s against "
                        f"{1e6 / t['python']:,.0f} rows/s; reading alone {t[key + ' read']:.3f} µs a row"))
        rows[-1].extra = {f"{k.replace(' ', '_')}_us": v for k, v in t.items()}
    return rows


# ---------------------------------------------------------------- streams


def synthetic(n: int) -> tuple[Stream, Stream]:
    return (Stream("10 features, 3 classes", classification(n), True),
            Stream("10 features, linear target", regression(n), False))


def electricity(limit: int | None) -> tuple[Stream, Stream] | None:
    path = elec_path()
    if path is None:
        return None
    samples = read_elec(path)[:limit]
    demand = [({k: v for k, v in x.items() if k != "nswdemand"}, x["nswdemand"]) for x, _ in samples]
    return Stream("elec", samples, True), Stream("elec nswdemand", demand, False)


def rows_for(streams: Sequence[Stream], n_ensemble: int, repeat: int, ensemble_repeat: int) -> list[Row]:
    classes, targets = streams
    rows: list[Row] = []
    for make in CLASSIFIERS:
        rows += learner_rows(make, classes, repeat)
    for make in REGRESSORS:
        rows += learner_rows(make, targets, repeat)
    for make in SCALERS:
        rows.append(scaler_row(make, classes, repeat))
    head = Stream(classes.label, classes.samples[:n_ensemble], True)
    for cls in ENSEMBLES:
        rows += ensemble_rows(cls, head, ensemble_repeat)
    return rows


def run(quick: bool) -> list[Row]:
    if batch.native is None:
        return []
    # An ensemble's rows differ by less than the noise of one round: they get more rounds.
    repeat, ensemble_repeat = (2, 2) if quick else (6, 6)
    n = 5_000 if quick else 20_000
    n_ensemble = 1_000 if quick else 3_000
    rows = rows_for(synthetic(n), n_ensemble, repeat, ensemble_repeat)
    elec = electricity(5_000 if quick else None)
    if elec is not None:
        rows += rows_for(elec, n_ensemble, repeat, ensemble_repeat)
        rows += csv_rows(elec_path(), repeat)
    return rows
