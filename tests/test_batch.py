"""tarvo.batch against the per-sample loop: every learner, transformer and pipeline, on a
drifting stream with missing cells, must end with the same saved bytes and give the same
outputs bit for bit; bad input is refused before the model changes; one object takes one
batch at a time; Ctrl-C stops a batch between rows."""

from __future__ import annotations

import math
import os
import pickle
import re
import signal
import threading
import time

import numpy as np
import pytest

import _tarvo_core as core
import _tarvo_extra as extra
from tarvo import batch
from tarvo.evaluate import default_metrics
from tarvo.evaluate import prequential as python_prequential

pytestmark = pytest.mark.skipif(batch.native is None, reason="the batch module is not built")

N_ROWS = 600
NAMES = ["a", "b", "c", "d"]

CLASSIFIERS = {
    "NaiveBayes": lambda: core.NaiveBayes(),
    "Perceptron": lambda: core.Perceptron(),
    "LogisticRegressionClassifier": lambda: core.LogisticRegressionClassifier(learning_rate=0.1),
    "PassiveAggressiveClassifier": lambda: core.PassiveAggressiveClassifier(),
    "SoftmaxRegression": lambda: core.SoftmaxRegression(),
    "KNNClassifier": lambda: core.KNNClassifier(window_size=50),
    "HoeffdingTreeClassifier": lambda: core.HoeffdingTreeClassifier(grace_period=20),
    "EFDTClassifier": lambda: core.EFDTClassifier(grace_period=20),
    "SGTClassifier": lambda: core.SGTClassifier(),
    "HoeffdingAdaptiveTreeClassifier": lambda: core.HoeffdingAdaptiveTreeClassifier(grace_period=20),
    "ARFClassifier": lambda: core.ARFClassifier(n_models=3, seed=1, grace_period=20),
    "SRPClassifier": lambda: core.SRPClassifier(n_models=3, seed=1, grace_period=20),
    "LeveragingBaggingClassifier": lambda: core.LeveragingBaggingClassifier(n_models=3, seed=1, grace_period=20),
    "SGBTClassifier": lambda: core.SGBTClassifier(n_models=3),
    "ClassificationPipeline": lambda: core.ClassificationPipeline(
        [core.StandardScaler(), core.SelectKBest(k=2, use_abs=True)], core.HoeffdingTreeClassifier(grace_period=20)),
    "NoChangeClassifier": lambda: extra.NoChangeClassifier(),
    "MajorityClassClassifier": lambda: extra.MajorityClassClassifier(),
}
REGRESSORS = {
    "LinearRegression": lambda: core.LinearRegression(),
    "BayesianLinearRegression": lambda: core.BayesianLinearRegression(),
    "PassiveAggressiveRegressor": lambda: core.PassiveAggressiveRegressor(),
    "KNNRegressor": lambda: core.KNNRegressor(window_size=50),
    "HoeffdingTreeRegressor": lambda: core.HoeffdingTreeRegressor(grace_period=20),
    "FIMTDDRegressor": lambda: core.FIMTDDRegressor(grace_period=20),
    "ARFRegressor": lambda: core.ARFRegressor(n_models=3, seed=1, grace_period=20),
    "SRPRegressor": lambda: core.SRPRegressor(n_models=3, seed=1, grace_period=20),
    "LeveragingBaggingRegressor": lambda: core.LeveragingBaggingRegressor(n_models=3, seed=1, grace_period=20),
    "SGBRRegressor": lambda: core.SGBRRegressor(n_models=3),
    "RegressionPipeline": lambda: core.RegressionPipeline([core.MinMaxScaler()], core.LinearRegression()),
    "ScaledTargetRegressor": lambda: extra.ScaledTargetRegressor(
        core.RegressionPipeline([core.StandardScaler()], core.LinearRegression())),
    "ScaledTargetRegressor around a forest": lambda: extra.ScaledTargetRegressor(
        core.ARFRegressor(n_models=3, seed=1, grace_period=20)),
    "MeanRegressor": lambda: extra.MeanRegressor(),
}
TRANSFORMERS = {
    "StandardScaler": lambda: core.StandardScaler(),
    "MinMaxScaler": lambda: core.MinMaxScaler(),
    "MaxAbsScaler": lambda: core.MaxAbsScaler(),
    "VarianceThreshold": lambda: core.VarianceThreshold(threshold=0.01),
    "SelectKBest": lambda: core.SelectKBest(k=2),
}


def stream(seed: int = 3) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Features with missing cells, labels whose concept flips half-way, and a target."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(N_ROWS, len(NAMES))) * [1.0, 10.0, 0.1, 3.0]
    labels = (X[:, 0] + X[:, 3] / 3 > 0).astype(np.int64)
    labels[N_ROWS // 2:] = 1 - labels[N_ROWS // 2:]
    labels[::7] = 2
    target = X[:, 0] * 2.0 - X[:, 1] * 0.3 + np.where(np.arange(N_ROWS) < N_ROWS // 2, 0.0, 5.0)
    X[rng.random(X.shape) < 0.05] = np.nan
    return X, labels, target


def rows(X: np.ndarray) -> list[dict[str, float]]:
    return [{n: float(v) for n, v in zip(NAMES, row) if not math.isnan(v)} for row in X]


def state(model) -> bytes:
    return pickle.dumps(model)


def test_every_class_is_in_a_table():
    tabled = set(CLASSIFIERS) | set(REGRESSORS) | set(TRANSFORMERS)
    classes = {name for module in (core, extra) for name, c in vars(module).items() if isinstance(c, type) and issubclass(c, (core.IClassifier, core.IRegressor, core.ITransformer)) and name[:1] != "I"}
    tabled = {name.split(" ")[0] for name in tabled}
    assert classes == tabled


LEARNERS = [(name, make, "classification") for name, make in CLASSIFIERS.items()] + [
    (name, make, "regression") for name, make in REGRESSORS.items()
]


@pytest.mark.parametrize("name, make, task", LEARNERS, ids=[n for n, _, _ in LEARNERS])
def test_learner_batches_equal_the_per_sample_loop(name, make, task):
    X, labels, target = stream()
    y = labels if task == "classification" else target
    half = N_ROWS // 2
    fast, slow = make(), make()
    batch.learn_many(fast, X[:half], y[:half], columns=NAMES)
    for x, t in zip(rows(X[:half]), y[:half].tolist()):
        slow.learn_one(x, t)
    assert state(fast) == state(slow)
    predicted = batch.predict_many(fast, X[half:], columns=NAMES)
    assert predicted.tolist() == [slow.predict_one(x) for x in rows(X[half:])]
    if task == "classification":
        labels_seen, P = batch.predict_proba_many(fast, X[half:], columns=NAMES)
        for r, x in enumerate(rows(X[half:])):
            answer = slow.predict_proba_one(x)
            assert {lab: P[r, j] for j, lab in enumerate(labels_seen) if lab in answer} == answer
            assert all(P[r, j] == 0.0 for j, lab in enumerate(labels_seen) if lab not in answer)
    assert state(fast) == state(slow)


@pytest.mark.parametrize("name, make, task", LEARNERS, ids=[n for n, _, _ in LEARNERS])
def test_prequential_equals_the_python_loop(name, make, task):
    X, labels, target = stream(5)
    y = labels if task == "classification" else target
    fast, slow = make(), make()
    result, predictions = batch.prequential(fast, X, y, columns=NAMES, every=97, predictions=True)
    expected = python_prequential(slow, list(zip(rows(X), y.tolist())), default_metrics(task), every=97,
                                  detector=core.ADWIN(0.002), progress=False)
    assert (result.steps, result.curve, result.final, result.drifts, result.first_scored, result.n_samples) == (
        expected.steps, expected.curve, expected.final, expected.drifts, expected.first_scored, expected.n_samples)
    assert state(fast) == state(slow)
    again = make()
    first = [again.predict_one(rows(X[:1])[0])]
    assert predictions[0] == first[0]


@pytest.mark.parametrize("name", TRANSFORMERS)
def test_transformer_batches_equal_the_per_sample_loop(name):
    X, _, target = stream(7)
    fast, slow = TRANSFORMERS[name](), TRANSFORMERS[name]()
    needs_y = name == "SelectKBest"
    batch.learn_many(fast, X, target if needs_y else None, columns=NAMES)
    for x, t in zip(rows(X), target.tolist()):
        slow.learn_one(x, t) if needs_y else slow.learn_one(x)
    assert state(fast) == state(slow)
    out_names, Z = batch.transform_many(fast, X[:50], columns=NAMES)
    for r, x in enumerate(rows(X[:50])):
        answer = slow.transform_one(x)
        assert {n: Z[r, j] for j, n in enumerate(out_names) if not math.isnan(Z[r, j])} == answer


def test_each_row_reaches_the_model_as_the_dict_binding_builds_it(probe):
    """The same buckets and iteration order as the map built from the row's dict (sums over the
    features and ties follow it), for rows of more and of fewer than 20 present features."""
    rng = np.random.default_rng(11)
    names = [f"f{j}" if j % 3 else f"feature_{j}" for j in range(27)]
    X = rng.normal(size=(60, len(names)))
    X[rng.random(X.shape) < 0.25] = np.nan
    recorder = probe.RecordingTransformer()
    batch.learn_many(recorder, X, columns=names)
    sizes = set()
    for (x, _), row in zip(recorder.learnt, X):
        as_dict = {n: float(v) for n, v in zip(names, row) if not math.isnan(v)}
        assert list(x.items()) == [(n, as_dict[n]) for n in probe.feature_map_order(as_dict)]
        sizes.add(len(x) > 20)
    assert sizes == {True, False}


def test_frames_and_array_layouts_read_the_same_rows():
    pd = pytest.importorskip("pandas", reason="pandas is not installed")
    X, labels, _ = stream(11)
    reference = core.NaiveBayes()
    batch.learn_many(reference, X, labels, columns=NAMES)
    frame = pd.DataFrame(X, columns=NAMES)
    frame["b"] = frame["b"].astype("Float64")  # nullable, missing cells as NA
    as_int = pd.DataFrame({"a": np.arange(N_ROWS)}).astype("Int64")
    layouts = {
        "frame": frame,
        "fortran": np.asfortranarray(X),
        "readonly": np.require(X, requirements="C").copy(),
        "strided": np.repeat(X, 2, axis=1)[:, ::2],
    }
    layouts["readonly"].setflags(write=False)
    for label, data in layouts.items():
        model = core.NaiveBayes()
        batch.learn_many(model, data, labels, columns=None if label == "frame" else NAMES)
        assert state(model) == state(reference), label
    ints = core.NaiveBayes()
    batch.learn_many(ints, as_int, labels)
    check = core.NaiveBayes()
    for v, t in zip(range(N_ROWS), labels.tolist()):
        check.learn_one({"a": float(v)}, t)
    assert state(ints) == state(check)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda m: batch.learn_many(m, np.zeros(3), [0, 1, 0]), ValueError, "2-D"),
        (lambda m: batch.learn_many(m, np.array([[np.datetime64("2024-01-01")]]), [0]), TypeError, "numeric or text"),
        (lambda m: batch.learn_many(m, np.zeros((2, 1), dtype=complex), [0, 1]), TypeError, "numeric"),
        (lambda m: batch.learn_many(m, np.zeros((3, 2)), [0, 1]), ValueError, "y has 2 values for 3 rows"),
        (lambda m: batch.learn_many(m, np.zeros((2, 2)), [0, 1], columns=["a"]), ValueError, "columns"),
        (lambda m: batch.learn_many(m, np.zeros((2, 2)), [0, 1], columns=["a", "a"]), ValueError, "more than once"),
        (lambda m: batch.learn_many(m, np.zeros((2, 2)), [0, 1.5]), ValueError, r"y: row 1: .*not a whole number"),
        (lambda m: batch.learn_many(m, np.zeros((2, 2)), [0, 2**31]), ValueError, "y: row 1: .*32-bit"),
        (lambda m: batch.learn_many(m, np.zeros((2, 2))), TypeError, "needs the targets"),
        (lambda m: batch.transform_many(m, np.zeros((2, 2))), TypeError, "not a transformer"),
        (lambda m: batch.learn_many(core.StandardScaler(), np.zeros((2, 2)), [0, 1]), TypeError, "leave y out"),
        (lambda m: batch.learn_many(object(), np.zeros((2, 2)), [0, 1]), TypeError, "model must be"),
        (lambda m: batch.learn_many(m, np.zeros((2, 2)), [0, 1], threads=0), ValueError, "threads"),
    ],
)
def test_bad_input_is_refused_before_the_model_changes(call, error, message):
    model = core.NaiveBayes()
    before = state(model)
    with pytest.raises(error, match=message):
        call(model)
    assert state(model) == before


class NoMetric:
    """Has neither update nor get."""


def _native_session(model, *args):
    with batch.native.Session(model, *args):
        pass


NAN_TARGET = np.array([1.0, 2.0, np.nan, 4.0])
X4 = np.arange(8.0).reshape(4, 2)


# Reviewed arguments: each is refused before the model changes, naming what is wrong.
# (model, call, error, message)
REFUSED_ARGUMENTS = [
    (core.NaiveBayes, lambda m: batch.prequential(m, X4, [0, 1, 0, 1], detector=object()), TypeError,
     r"detector \(of type object\) is not a drift detector"),
    (core.NaiveBayes, lambda m: batch.prequential(m, X4, [0, 1, 0, 1], metrics=[core.Accuracy(), object()]),
     TypeError, r"metrics\[1\] \(of type object\) is not a metric"),
    (core.NaiveBayes, lambda m: batch.prequential(m, X4, [0, 1, 0, 1], metrics={"acc": NoMetric()}), TypeError,
     r"metrics\['acc'\] \(of type NoMetric\)"),
    (core.LinearRegression, lambda m: batch.prequential(m, X4, [0.0, 1.0, 0.0, 1.0], detector=core.EDDM()), TypeError,
     "EDDM watches a classifier's 0/1 errors"),
    (core.HoeffdingTreeRegressor, lambda m: batch.learn_many(m, X4, NAN_TARGET), ValueError,
     r"y: row 2 has no target \(NaN\)"),
    (core.ARFRegressor, lambda m: batch.prequential(m, X4, NAN_TARGET), ValueError, "y: row 2 has no target"),
    (core.LinearRegression, lambda m: batch.learn_many(m, X4, [1.0, -np.inf, 0.0, 1.0]), ValueError,
     "y: row 1 has the target -inf"),
    (core.LinearRegression, lambda m: batch.learn_many(m, X4, [1.0, 2.0, None, 1.0]), ValueError, "y: row 2 has no target"),
    (core.SelectKBest, lambda m: batch.learn_many(m, X4, NAN_TARGET), ValueError, "y: row 2"),
    (core.NaiveBayes, lambda m: batch.learn_many(m, [[1.0, 2.0], [3.0]], [0, 1]), ValueError,
     "X: the rows have different lengths"),
    (core.NaiveBayes, lambda m: _native_session(m.__class__.__new__(m.__class__)), TypeError,
     "this NaiveBayes object was never constructed"),
    (core.NaiveBayes, lambda m: _native_session(m, [core.Accuracy(), core.MAE()]), TypeError,
     r"metrics\[1\] \(of type MAE\) is not a native metric of classification"),
    (core.NaiveBayes, lambda m: _native_session(m, [a := core.Accuracy(), a]), ValueError, r"metrics\[1\].*given twice"),
    (core.NaiveBayes, lambda m: _native_session(m, [], core.EDDM()), TypeError, r"detector \(of type EDDM\) is not an ADWIN"),
    (core.NaiveBayes, lambda m: _native_session(object()), TypeError, r"model \(of type object\) is not a learner"),
    (core.NaiveBayes, lambda m: batch.native.Session(m).learn(["a", "a"], [X4[:, 0], X4[:, 1]], np.zeros(4, np.int32), 0, 4),
     ValueError, "the column name 'a' appears more than once"),
    (core.NaiveBayes, lambda m: batch.learn_many(m, X4, [0, 1, 0, 1], threads=np.float64(2)), ValueError, "threads"),
]


@pytest.mark.parametrize("make, call, error, message", REFUSED_ARGUMENTS)
def test_reviewed_arguments_are_refused_before_the_model_changes(make, call, error, message):
    model = make()
    before = state(model)
    with pytest.raises(error, match=message):
        call(model)
    assert state(model) == before


def test_pandas_missing_targets_are_refused():
    pd = pytest.importorskip("pandas", reason="pandas is not installed")
    for y in (pd.Series([1.0, pd.NA, 3.0, 4.0], dtype="Float64"), pd.Series([1.0, None, 3.0, 4.0], dtype=object)):
        model = core.HoeffdingTreeRegressor()
        with pytest.raises(ValueError, match="y: row 1 has no target"):
            batch.learn_many(model, X4, y)
        assert state(model) == state(core.HoeffdingTreeRegressor())


def test_numpy_whole_numbers_are_counts_and_eddm_watches_every_path():
    """NumPy integers are taken wherever a count is; EDDM, fed the int 0/1 error it takes,
    gives the same drifts on the array and the dict paths."""
    X, labels, _ = stream(17)
    fast, slow = core.HoeffdingTreeClassifier(grace_period=20), core.HoeffdingTreeClassifier(grace_period=20)
    a = batch.prequential(fast, X, labels, columns=NAMES, every=np.int64(50), threads=np.int64(2),
                          detector=core.EDDM())
    b = python_prequential(slow, list(zip(rows(X), labels.tolist())), default_metrics("classification"),
                           every=np.int32(50), detector=core.EDDM(), progress=False)
    assert (a.steps, a.curve, a.drifts) == (b.steps, b.curve, b.drifts)
    assert state(fast) == state(slow)


def test_big_endian_columns_read_as_their_values():
    X, labels, _ = stream(19)
    native_order, swapped = core.NaiveBayes(), core.NaiveBayes()
    cols = [np.ascontiguousarray(X[:, j]) for j in range(X.shape[1])]
    with batch.native.Session(native_order) as session:
        session.learn(NAMES, cols, labels.astype(np.int32), 0, N_ROWS)
    with batch.native.Session(swapped) as session:
        session.learn(NAMES, [c.astype(c.dtype.newbyteorder(">")) for c in cols], labels.astype(np.int32), 0, N_ROWS)
    assert state(swapped) == state(native_order)


def wait_until_busy(model, worker: threading.Thread) -> bool:
    """True once a call on `model` is refused because a batch holds it."""
    while worker.is_alive():
        try:
            model.predict_one({"x0": 1.0})
        except RuntimeError:
            return True
    return False


def test_an_object_in_a_running_batch_refuses_other_threads():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300_000, 8))
    y = (X[:, 0] > 0).astype(np.int64)
    scaler, tree = core.StandardScaler(), core.HoeffdingTreeClassifier()
    model = core.ClassificationPipeline([scaler], tree)
    worker = threading.Thread(target=batch.learn_many, args=(model, X, y))
    worker.start()
    assert wait_until_busy(model, worker)
    for call in (lambda: model.predict_one({"x0": 1.0}), lambda: scaler.transform_one({"x0": 1.0}),
                 lambda: batch.learn_many(model, X[:2], y[:2]), lambda: pickle.dumps(scaler),
                 lambda: setattr(tree, "grace_period", 5)):
        with pytest.raises(RuntimeError, match="another thread"):
            call()
    worker.join()
    model.predict_one({"x0": 1.0})  # usable again once the batch has returned


def interrupt_once_busy(model, refused: list[str] | None = None) -> threading.Thread:
    """A started thread that waits until a batch holds ``model`` (noting the refusal in
    ``refused``), then sends Ctrl-C to this thread once the first chunk of rows is done."""
    main = threading.get_ident()

    def wait_then_interrupt() -> None:
        while True:
            try:
                model.predict_one({"x0": 1.0})
            except RuntimeError as exc:
                if refused is not None:
                    refused.append(str(exc))
                break
        time.sleep(0.2)  # past the first chunk of rows: a signal before it stops at row 0
        signal.pthread_kill(main, signal.SIGINT)

    helper = threading.Thread(target=wait_then_interrupt)
    helper.start()
    return helper


def test_ctrl_c_stops_a_batch_between_rows_and_says_how_far_it_got():
    rng = np.random.default_rng(1)
    n = 2_000_000
    X = rng.normal(size=(n, 4))
    y = (X[:, 0] > 0).astype(np.int64)
    model = core.HoeffdingTreeClassifier()
    helper = interrupt_once_busy(model)
    with pytest.raises(KeyboardInterrupt, match=rf"stopped after \d+ of {n} rows") as info:
        batch.learn_many(model, X, y)
    helper.join()
    done = int(re.search(r"after (\d+)", str(info.value)).group(1))
    assert 0 < done < n
    check = core.HoeffdingTreeClassifier()
    batch.learn_many(check, X[:done], y[:done])
    assert state(model) == state(check)


@pytest.mark.parametrize("total, align", [(20_000, 1000), (5_000, 7), (999, 1000), (3, 1), (10_000, 1 << 30)])
def test_native_calls_cover_the_rows_and_end_on_curve_points(total, align, monkeypatch):
    """The rows go to the native loop in calls that cover them once, in order, and that end
    at multiples of ``align`` (where prequential reads its curve) once they are that long, so
    that no call leaves a short piece for the forests' members to learn alone."""
    monkeypatch.setattr(batch, "_CHECK_SECONDS", 1e9)  # calls only grow
    calls = []
    batch._run_chunks(total, lambda a, b: calls.append((a, b)), align=align)
    assert [a for a, _ in calls] == [0] + [b for _, b in calls[:-1]]
    assert calls[-1][1] == total
    for a, b in calls[:-1]:
        assert b % align == 0 or b - a < align


def test_the_toolkit_takes_the_native_loop_with_the_same_result(tmp_path, monkeypatch):
    """A stream that gives arrays (synthetic streams, CSV files in the CLI) runs natively with
    the result of the Python loop over its rows."""
    import json

    from tarvo import cli
    from tarvo.evaluate import prequential
    from tarvo.stream import SEA, Friedman

    for make, rows_of in [(lambda: core.HoeffdingTreeClassifier(), SEA(3000, noise=0.1, seed=2)),
                         (lambda: core.ClassificationPipeline([core.StandardScaler()], core.Perceptron()), SEA(2000)),
                         (lambda: core.HoeffdingTreeRegressor(), Friedman(2000, seed=4))]:
        task = "classification" if isinstance(make(), core.IClassifier) else "regression"
        fast, slow = make(), make()
        a = prequential(fast, rows_of, default_metrics(task), every=250, detector=core.ADWIN(), progress=False)
        b = prequential(slow, iter(rows_of), default_metrics(task), every=250, detector=core.ADWIN(), progress=False)
        assert (a.curve, a.drifts, a.first_scored, a.n_samples) == (b.curve, b.drifts, b.first_scored, b.n_samples)
        assert state(fast) == state(slow)

    X, labels, _ = stream(13)
    path = tmp_path / "rows.csv"
    with open(path, "w") as fh:
        fh.write("a,b,c,d,label\n")
        for row, label in zip(X, labels):
            fh.write(",".join("" if math.isnan(v) else repr(float(v)) for v in row) + f",{label}\n")
    reports = []
    for native in (batch.native, None):
        monkeypatch.setattr(batch, "native", native)
        out = tmp_path / f"out-{native is None}.json"
        assert cli.main(["evaluate", "--model", "NaiveBayes", "--model", "HoeffdingTreeClassifier", "--data", str(path),
                         "--target", "label", "--json", str(out), "--no-progress"]) == 0
        reports.append(json.loads(out.read_text()))
    for report in reports:
        for run in report.get("results", report.get("runs", [])):
            run.pop("elapsed_s", None), run.pop("samples_per_second", None)
    assert reports[0] == reports[1]
