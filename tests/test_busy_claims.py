"""What a batch holds, no other thread touches: a pipeline whose step or learner (at any
depth) a batch is using refuses every guarded call, naming the part; an evaluation claims
its model, metrics and detector whichever loop runs it, and admits only its own thread."""

from __future__ import annotations

import copy
import os
import pickle
import sys
import threading
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

import numpy as np
import pytest

import _tarvo_core as core
import _tarvo_extra as extra
from tarvo import batch
from tarvo import evaluate

pytestmark = pytest.mark.skipif(batch.native is None, reason="the batch module is not built")

X1 = {"a": 1.0, "b": -2.0}


@contextmanager
def held_by_another_thread(*objects: Any) -> Iterator[None]:
    """The objects claimed, as a running batch claims them, by a thread that keeps the claim
    until the block ends."""
    claimed, release = threading.Event(), threading.Event()
    failure: list[BaseException] = []

    def hold() -> None:
        try:
            with batch.native.Claim(objects[0], list(objects[1:])):
                claimed.set()
                release.wait(30)
        except BaseException as exc:  # noqa: BLE001 - reported to the test below
            failure.append(exc)
            claimed.set()

    worker = threading.Thread(target=hold)
    worker.start()
    claimed.wait(30)
    try:
        assert not failure, failure
        yield
    finally:
        release.set()
        worker.join()


def classifier_pipeline(part: Any) -> Any:
    if isinstance(part, core.ITransformer):
        return core.ClassificationPipeline([core.MinMaxScaler(), part], core.NaiveBayes())
    return core.ClassificationPipeline([core.StandardScaler()], part)


# (the busy part, the pipeline built around it, the part's path in the message)
PIPELINES: list[tuple[str, Callable[[], tuple[Any, Any]], str]] = [
    ("tree", lambda: (t := core.HoeffdingTreeClassifier(), classifier_pipeline(t)), "learner (HoeffdingTreeClassifier)"),
    ("forest", lambda: (f := core.ARFClassifier(n_models=2), classifier_pipeline(f)), "learner (ARFClassifier)"),
    ("scaler", lambda: (s := core.StandardScaler(), classifier_pipeline(s)), "steps[1] (StandardScaler)"),
    ("regressor's scaler", lambda: (s := core.StandardScaler(),
                                    core.RegressionPipeline([s], core.LinearRegression())), "steps[0] (StandardScaler)"),
    ("nested scaler", lambda: (s := core.MaxAbsScaler(), core.ClassificationPipeline(
        [core.StandardScaler()], classifier_pipeline(s))), "learner.steps[1] (MaxAbsScaler)"),
    ("nested tree", lambda: (t := core.HoeffdingTreeClassifier(), core.ClassificationPipeline(
        [], core.ClassificationPipeline([core.StandardScaler()], t))), "learner.learner (HoeffdingTreeClassifier)"),
]

CALLS: list[tuple[str, Callable[[Any], Any]]] = [
    ("learn_one", lambda p: p.learn_one(X1, 1)),
    ("predict_one", lambda p: p.predict_one(X1)),
    ("predict_proba_one", lambda p: p.predict_proba_one(X1) if isinstance(p, core.IClassifier) else p.predict_one(X1)),
    ("reset", lambda p: p.reset()),
    ("set_feature_order", lambda p: p.set_feature_order(["b", "a"])),
    ("copy", copy.copy),
    ("deepcopy", copy.deepcopy),
    ("pickle", pickle.dumps),
    ("repr", repr),
]


@pytest.mark.parametrize("build, path", [(b, p) for _, b, p in PIPELINES], ids=[n for n, _, _ in PIPELINES])
def test_a_pipeline_refuses_every_call_while_a_batch_holds_one_of_its_parts(build, path):
    part, pipe = build()
    pipe.learn_one(X1, 1)
    before = pickle.dumps(pipe)
    with held_by_another_thread(part):
        for name, call in CALLS:
            with pytest.raises(RuntimeError, match=r"in use by a batch running in another thread") as info:
                call(pipe)
            assert f"{type(pipe).__name__}'s {path}" in str(info.value), name
    assert pickle.dumps(pipe) == before  # nothing reached the part
    pipe.learn_one(X1, 1)  # usable again once the batch has returned


# (the busy part, the target wrapper or pipeline around it, the part's path in the message)
WRAPPERS: list[tuple[str, Callable[[], tuple[Any, Any]], str]] = [
    ("regressor", lambda: (r := core.LinearRegression(), extra.ScaledTargetRegressor(r)),
     "ScaledTargetRegressor's regressor (LinearRegression)"),
    ("pipeline's learner", lambda: (r := core.KNNRegressor(), extra.ScaledTargetRegressor(
        core.RegressionPipeline([core.StandardScaler()], r))), "ScaledTargetRegressor's regressor.learner (KNNRegressor)"),
    ("pipeline's step", lambda: (s := core.MinMaxScaler(), extra.ScaledTargetRegressor(
        core.RegressionPipeline([s], core.LinearRegression()))), "ScaledTargetRegressor's regressor.steps[0] (MinMaxScaler)"),
    ("the wrapper in a pipeline", lambda: (r := core.HoeffdingTreeRegressor(), core.RegressionPipeline(
        [core.StandardScaler()], extra.ScaledTargetRegressor(r))), "RegressionPipeline's learner.regressor (HoeffdingTreeRegressor)"),
    ("wrapped twice", lambda: (r := core.LinearRegression(), extra.ScaledTargetRegressor(
        extra.ScaledTargetRegressor(r))), "ScaledTargetRegressor's regressor.regressor (LinearRegression)"),
]

WRAPPER_CALLS: list[tuple[str, Callable[[Any], Any]]] = [
    ("learn_one", lambda w: w.learn_one(X1, 2.5)),
    ("predict_one", lambda w: w.predict_one(X1)),
    ("reset", lambda w: w.reset()),
    ("copy", copy.copy),
    ("deepcopy", copy.deepcopy),
    ("pickle", pickle.dumps),
    ("repr", repr),
]


@pytest.mark.parametrize("build, path", [(b, p) for _, b, p in WRAPPERS], ids=[n for n, _, _ in WRAPPERS])
def test_a_target_wrapper_refuses_every_call_while_a_batch_holds_its_regressor(build, path):
    part, outer = build()
    outer.learn_one(X1, 1.0)
    outer.learn_one({"a": 3.0}, 7.0)
    before = pickle.dumps(outer)
    with held_by_another_thread(part):
        for name, call in WRAPPER_CALLS:
            with pytest.raises(RuntimeError, match=r"in use by a batch running in another thread") as info:
                call(outer)
            assert path in str(info.value), name
    assert pickle.dumps(outer) == before  # nothing reached the part
    outer.learn_one(X1, 1.0)


@pytest.mark.parametrize("build", [b for _, b, _ in WRAPPERS], ids=[n for n, _, _ in WRAPPERS])
def test_a_batch_on_a_target_wrapper_claims_its_regressor_at_any_depth(build):
    part, outer = build()
    with held_by_another_thread(outer):
        with pytest.raises(RuntimeError, match="in use by a batch running in another thread"):
            part.predict_one(X1) if not isinstance(part, core.ITransformer) else part.transform_one(X1)
        with pytest.raises(RuntimeError, match="in use by"):
            batch.learn_many(part, np.ones((2, 2)), np.ones(2) if not isinstance(part, core.ITransformer) else None)
    part.predict_one(X1) if not isinstance(part, core.ITransformer) else part.transform_one(X1)


def test_a_batch_learning_a_pipelines_part_races_with_nothing():
    """The reproducer: a batch learns a scaler in one thread while another thread drives the
    pipeline around it; every pipeline call made meanwhile is refused, none changes the scaler."""
    rng = np.random.default_rng(0)
    X = rng.normal(size=(400_000, 4))
    scaler = core.StandardScaler()
    pipe = core.ClassificationPipeline([scaler], core.HoeffdingTreeClassifier())
    worker = threading.Thread(target=batch.learn_many, args=(scaler, X))
    worker.start()
    refused = 0
    while worker.is_alive():
        try:
            pipe.learn_one({"x0": 1.0, "x1": 2.0}, 1)
            pickle.dumps(pipe)
        except RuntimeError as exc:
            assert "steps[0] (StandardScaler)" in str(exc)
            refused += 1
    worker.join()
    assert refused > 0


# ---------------------------------------------------------------- evaluations claim their objects


class Pause:
    """Called in the evaluation's thread at some point of the run: signals that the run is
    there and waits until the test lets it go on."""

    def __init__(self) -> None:
        self.reached, self.resume = threading.Event(), threading.Event()

    def __call__(self) -> None:
        if not self.reached.is_set():
            self.reached.set()
            self.resume.wait(30)


class PythonMetric:
    """A metric written in Python (the evaluation takes its Python loop), pausing at row 50."""

    def __init__(self, pause: Pause | None = None) -> None:
        self.n, self.pause = 0, pause

    def update(self, y_true: Any, y_pred: Any) -> None:
        self.n += 1
        if self.n == 50 and self.pause is not None:
            self.pause()

    def get(self) -> float:
        return float(self.n)


class PausingCancel:
    """A ``cancel`` event whose check between chunks of a native run pauses the run once."""

    def __init__(self, pause: Pause | None) -> None:
        self.pause, self.calls = pause, 0

    def is_set(self) -> bool:
        self.calls += 1
        if self.calls == 2 and self.pause is not None:
            self.pause()
        return False


def _rows(n: int = 3000) -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(3)
    X = rng.normal(size=(n, 3))
    return X, (X[:, 0] > 0).astype(np.int64)


def _dicts(pause: Pause | None) -> Iterator[tuple[dict[str, float], int]]:
    for r, (x, y) in enumerate(zip(*_rows())):
        if r == 50 and pause is not None:
            pause()
        yield dict(zip(("x0", "x1", "x2"), map(float, x))), int(y)


# Each evaluation, pausing once at `pause` (None: not at all): the native loop, and the
# Python loop that metrics or detectors written in Python (or EDDM) take.
EVALUATIONS: list[tuple[str, Callable[[Any, Pause | None], Any]]] = [
    ("native metrics", lambda m, p: batch.prequential(m, *_rows(), metrics=[core.Accuracy()], every=100,
                                                      cancel=PausingCancel(p))),
    ("python metric", lambda m, p: batch.prequential(m, *_rows(), metrics=[PythonMetric(p)], every=100)),
    ("python detector", lambda m, p: batch.prequential(m, *_rows(), metrics=[PythonMetric(p)],
                                                       detector=core.ADWIN(), every=100)),
    ("EDDM", lambda m, p: batch.prequential(m, *_rows(), metrics=[PythonMetric(p)], detector=core.EDDM(),
                                            every=100)),
    ("dict stream", lambda m, p: evaluate.prequential(m, _dicts(p), [core.Accuracy()], every=100, progress=False)),
    ("DDM", lambda m, p: batch.prequential(m, *_rows(), metrics=[PythonMetric(p)], detector=extra.DDM(), every=100)),
    ("KSWIN on dicts", lambda m, p: evaluate.prequential(m, _dicts(p), [core.Accuracy()], detector=extra.KSWIN(),
                                                         every=100, progress=False)),
]

@pytest.mark.parametrize("run", [r for _, r in EVALUATIONS], ids=[n for n, _ in EVALUATIONS])
def test_an_evaluation_refuses_other_threads_whichever_loop_runs_it(run):
    """While an evaluation runs, another thread's calls on its model or the model's parts are
    refused with the same message whichever loop the evaluation took, and none of them
    reaches the model: it ends as a model evaluated alone."""
    scaler, learner = core.StandardScaler(), core.NaiveBayes()
    model = core.ClassificationPipeline([scaler], learner)
    alone = core.ClassificationPipeline([core.StandardScaler()], core.NaiveBayes())
    run(alone, None)
    pause = Pause()
    worker = threading.Thread(target=run, args=(model, pause))
    worker.start()
    try:
        assert pause.reached.wait(30), "the evaluation never paused"
        for target in (model, scaler, learner):
            for intrude in (lambda m: m.learn_one({"x0": 1.0}, 5) if not isinstance(m, core.ITransformer)
                            else m.learn_one({"x0": 1.0}), lambda m: m.reset(), pickle.dumps):
                with pytest.raises(RuntimeError, match="in use by a batch running in another thread"):
                    intrude(target)
    finally:
        pause.resume.set()
        worker.join()
    assert pickle.dumps(model) == pickle.dumps(alone)


@pytest.mark.parametrize("detector", [extra.DDM(), extra.HDDM_A(), extra.HDDM_W(), extra.PageHinkley(), extra.KSWIN()],
                         ids=lambda d: type(d).__name__)
def test_an_evaluation_claims_its_detector(detector):
    pause = Pause()
    worker = threading.Thread(target=lambda: batch.prequential(core.NaiveBayes(), *_rows(), detector=detector,
                                                               metrics=[PythonMetric(pause)], every=100))
    worker.start()
    try:
        assert pause.reached.wait(30), "the evaluation never paused"
        for intrude in (lambda d: d.update(0.0), lambda d: d.drift_detected, lambda d: d.reset(), pickle.dumps):
            with pytest.raises(RuntimeError, match="in use by a batch running in another thread"):
                intrude(detector)
    finally:
        pause.resume.set()
        worker.join()
    detector.update(0.0)


def test_an_anomaly_detector_in_a_batch_refuses_other_threads():
    model = extra.HalfSpaceTrees(window_size=50)
    with held_by_another_thread(model):
        for call in (lambda m: m.score_one(X1), lambda m: m.learn_one(X1), lambda m: m.reset(), lambda m: m.ranges,
                     copy.deepcopy, pickle.dumps, repr):
            with pytest.raises(RuntimeError, match="this HalfSpaceTrees object is in use by a batch"):
                call(model)
        with pytest.raises(RuntimeError, match="this HalfSpaceTrees object is in use by a batch"):
            batch.score_many(model, np.ones((3, 2)))
    rng = np.random.default_rng(1)
    X = rng.normal(size=(300_000, 2))
    worker = threading.Thread(target=batch.score_many, args=(model, X))
    worker.start()
    refused = 0
    while worker.is_alive():
        try:
            model.learn_one({"x0": 1.0})
        except RuntimeError as exc:
            assert "in use by a batch" in str(exc)
            refused += 1
    worker.join()
    assert refused > 0


def test_the_thread_running_a_python_loop_may_call_its_model():
    """A metric written in Python that reads the model (in the evaluation's own thread) is admitted."""
    model = core.NaiveBayes()

    class Peeking(PythonMetric):
        def update(self, y_true: Any, y_pred: Any) -> None:
            super().update(y_true, y_pred)
            model.predict_proba_one({"x0": 0.0})

    result = batch.prequential(model, *_rows(500), metrics=[Peeking()], every=100)
    assert result.final["Peeking"] == 499


@pytest.mark.skipif(sys.platform != "linux", reason="fork is tested on Linux")
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_child_forked_during_a_batch_is_told_so():
    model = core.NaiveBayes()
    with held_by_another_thread(model):
        pid = os.fork()
        if pid == 0:  # the child: the batch's thread is gone
            try:
                model.predict_one(X1)
                os._exit(1)
            except RuntimeError as exc:
                os._exit(0 if "forked" in str(exc) else 2)
            except BaseException:  # noqa: BLE001
                os._exit(3)
        _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    model.predict_one(X1)
