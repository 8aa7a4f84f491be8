"""The forests' members, and the boosters' stages, on several threads: the same model and answers
as one sample at a time."""

from __future__ import annotations

import contextlib
import io
import math
import os
import pickle
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings
from pathlib import Path

import numpy as np
import pytest

import _tarvo_core as core
from tarvo import batch

from test_batch import interrupt_once_busy
from test_forest_family import FORESTS

N_ROWS = 1500


def stream(classifier: bool, seed: int = 5) -> tuple[np.ndarray, np.ndarray]:
    """Five features with 5 % missing cells; the concept flips half-way, so detectors fire."""
    rng = np.random.default_rng(seed)
    X = rng.random((N_ROWS, 5))
    flipped = np.arange(N_ROWS) >= N_ROWS // 2
    if classifier:
        y = ((X[:, 0] + X[:, 1] > 1.0) ^ flipped).astype(np.int64)
    else:
        y = np.where(flipped, -1.0, 1.0) * (3.0 * X[:, 0] - 2.0 * X[:, 1]) + rng.normal(0, 0.1, N_ROWS)
    X[rng.random(X.shape) < 0.05] = np.nan
    return X, y


def electricity_like(classifier: bool, seed: int = 7) -> tuple[np.ndarray, np.ndarray]:
    """Eight features in [0, 1] shaped like half-hourly market records (day, period, prices,
    demands, transfer); the label says whether the price rose above its recent mean, the target
    of the regressor is the demand."""
    rng = np.random.default_rng(seed)
    t = np.arange(N_ROWS)
    period = (t % 48) / 47.0
    day = ((t // 48) % 7) / 6.0
    demand = 0.4 + 0.25 * np.sin(2 * np.pi * period) + 0.05 * day + rng.normal(0, 0.05, N_ROWS)
    price = 0.05 + 0.5 * demand * rng.random(N_ROWS) ** 0.5
    recent = np.convolve(price, np.ones(24) / 24, mode="same")
    X = np.column_stack([t / N_ROWS, day, period, price, demand, price * rng.random(N_ROWS),
                         demand + rng.normal(0, 0.1, N_ROWS), rng.random(N_ROWS) * 0.2 + 0.4])
    if classifier:
        return X, (price > recent).astype(np.int64)
    return np.delete(X, 4, axis=1), demand


def late_labels(classifier: bool, seed: int = 9) -> tuple[np.ndarray, np.ndarray]:
    """Six features, labels 3 and 7 at first; 5 joins part-way through the first chunk of rows and
    1 (below the others, so its booster goes first) in the second."""
    rng = np.random.default_rng(seed)
    X = rng.random((N_ROWS, 6))
    y = np.where(X[:, 0] > 0.5, 7, 3)
    y[300:][X[300:, 1] > 0.6] = 5
    y[1100:][X[1100:, 2] < 0.3] = 1
    X[rng.random(X.shape) < 0.03] = np.nan
    return X, y


STREAMS = {"flip": stream, "electricity": electricity_like, "late labels": late_labels}

# The forests on the drifting stream, and the boosters: one booster per label with new labels
# mid-chunk, two-class mode, bagged stages with dropped samples, repeated Newton steps.
CHUNK_LEARNERS = [(cls, settings, "flip") for cls, settings in FORESTS] + [
    (core.SGBTClassifier, dict(n_models=12), "electricity"),
    (core.SGBTClassifier, dict(n_models=8, bag_size=3, skip_training=2, multiply_hessian_by=3), "late labels"),
    (core.SGBTClassifier, dict(n_models=10, n_classes=2, scale_prediction_by_lr=True), "late labels"),
    (core.SGBTClassifier, dict(n_models=6, learning_rate=0.5, use_squared_loss=True), "flip"),
    (core.SGBRRegressor, dict(n_models=6, bag_size=10, skip_training=2), "flip"),
    (core.SGBRRegressor, dict(n_models=5, bag_size=2, multiply_hessian_by=3), "electricity"),
]


def rows(X: np.ndarray) -> list[dict[str, float]]:
    return [{f"x{j}": float(v) for j, v in enumerate(row) if not math.isnan(v)} for row in X]


def per_sample(model, X: np.ndarray, y: np.ndarray) -> list:
    """Test-then-train one sample at a time; the answers before each step."""
    out = []
    for x, target in zip(rows(X), y.tolist()):
        out.append(model.predict_one(x))
        model.learn_one(x, target)
    return out


@pytest.mark.parametrize("cls, settings, data", CHUNK_LEARNERS,
                         ids=[f"{c.__name__}-{i}-{d}" for i, (c, _, d) in enumerate(CHUNK_LEARNERS)])
def test_every_thread_count_gives_the_per_sample_model_and_answers(cls, settings, data):
    classifier = issubclass(cls, core.IClassifier)
    X, y = STREAMS[data](classifier)
    reference = cls(**settings)
    answers = per_sample(reference, X, y)
    # A booster's prediction leaves the sample in its stages' views, which are saved: learning
    # without predictions is compared with learn_one alone.
    unscored = cls(**settings)
    for x, target in zip(rows(X), y.tolist()):
        unscored.learn_one(x, target)
    first = None
    for threads in (1, 2, 3, 8):
        model = cls(**settings)
        result, predictions = batch.prequential(model, X, y, predictions=True, threads=threads)
        assert predictions.tolist() == answers, threads
        assert model.__getstate__() == reference.__getstate__(), threads
        summary = (result.curve, result.drifts, result.first_scored)
        assert summary == (first or summary), threads
        first = summary
        learnt = cls(**settings)
        batch.learn_many(learnt, X, y, threads=threads)
        assert learnt.__getstate__() == unscored.__getstate__(), threads


@pytest.mark.parametrize("n_classes", [0, 2])
def test_a_booster_that_cannot_be_made_ends_the_chunk_before_its_sample(n_classes):
    # One booster per label: the one of the label first seen at row `cut`. Two-class mode, after
    # a reset: the single booster, at the first row.
    X, y = late_labels(True)
    model, reference = (core.SGBTClassifier(n_models=4, n_classes=n_classes) for _ in range(2))
    batch.learn_many(model, X[:200], y[:200], threads=2)
    per_sample(reference, X[:200], y[:200])
    for m in (model, reference):
        m.n_models = 200_000  # too many trees for a new booster
        if n_classes == 2:
            m.reset()
    cut = 200 if n_classes == 2 else 300 + int(np.argmax(y[300:] == 5))
    with pytest.raises(ValueError, match="n_models"):
        batch.learn_many(model, X[200:], y[200:], threads=2)
    per_sample(reference, X[200:cut], y[200:cut])
    assert model.__getstate__() == reference.__getstate__()


def test_the_drifting_stream_replaces_members(probe):
    # The table's first forest has detectors sensitive enough that members start background
    # trees and swap them in, so the comparisons above cover replacements.
    cls, settings = FORESTS[0]
    X, y = stream(True)
    model = cls(**settings)
    batch.learn_many(model, X, y, threads=2)
    members = probe.arf_classifier_members(model)
    first_seeds = [probe.member_seed(settings["seed"], 1000, i, 0.0) for i in range(len(members))]
    assert [m["tree_seed"] for m in members] != first_seeds


@pytest.mark.parametrize("threads", [0, -1, True, 2.5, "2"])
def test_threads_must_be_a_whole_number_of_at_least_one(threads):
    X, y = stream(True)
    with pytest.raises(ValueError, match="threads"):
        batch.learn_many(core.ARFClassifier(n_models=2), X, y, threads=threads)


def test_the_environment_sets_the_default_and_other_models_ignore_threads(monkeypatch):
    monkeypatch.setenv("TARVO_NUM_THREADS", "3")
    assert batch.default_threads() == 3
    monkeypatch.setenv("TARVO_NUM_THREADS", "many")
    with pytest.raises(ValueError, match="TARVO_NUM_THREADS"):
        batch.default_threads()
    monkeypatch.delenv("TARVO_NUM_THREADS")
    assert batch.default_threads() == (os.cpu_count() or 1)
    X, y = stream(True)
    for make in (core.NaiveBayes, lambda: core.ClassificationPipeline([core.StandardScaler()],
                                                                      core.ARFClassifier(n_models=2))):
        one, many = make(), make()
        batch.learn_many(one, X, y, threads=1)
        batch.learn_many(many, X, y, threads=4)
        assert pickle.dumps(one) == pickle.dumps(many)


def test_a_row_that_cannot_begin_changes_nothing():
    X, y = stream(False)
    model = core.LeveragingBaggingRegressor(n_models=3)
    batch.learn_many(model, X[:200], y[:200], threads=2)
    model.lambda_value = math.inf
    before = model.__getstate__()
    with pytest.raises(ValueError, match="lambda_value"):
        batch.learn_many(model, X, y, threads=2)
    assert model.__getstate__() == before


def test_two_python_threads_share_the_pool():
    X, y = stream(True)
    reference = core.SRPClassifier(n_models=5)
    batch.learn_many(reference, X, y, threads=1)
    models = [core.SRPClassifier(n_models=5) for _ in range(2)]
    start = threading.Barrier(2)

    def train(model) -> None:
        start.wait()
        for _ in range(3):  # several chunks each, interleaved with the other thread's
            batch.learn_many(model, X[:500], y[:500], threads=2)
            model.reset()
        batch.learn_many(model, X, y, threads=2)

    workers = [threading.Thread(target=train, args=(m,)) for m in models]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    for model in models:
        assert model.__getstate__() == reference.__getstate__()


def test_a_forest_on_threads_refuses_other_threads_and_stops_on_ctrl_c():
    rng = np.random.default_rng(1)
    n = 400_000
    X = rng.random((n, 4))
    y = (X[:, 0] > 0.5).astype(np.int64)
    model = core.ARFClassifier(n_models=4)
    refused: list[str] = []
    helper = interrupt_once_busy(model, refused)
    with pytest.raises(KeyboardInterrupt, match=rf"stopped after \d+ of {n} rows") as info:
        batch.learn_many(model, X, y, threads=2)
    helper.join()
    assert "another thread" in refused[0]
    done = int(re.search(r"after (\d+)", str(info.value)).group(1))
    assert 0 < done < n
    check = core.ARFClassifier(n_models=4)
    batch.learn_many(check, X[:done], y[:done], threads=1)
    assert model.__getstate__() == check.__getstate__()


def test_the_child_of_a_fork_makes_its_own_workers():
    X, y = stream(True)
    reference = core.ARFClassifier(n_models=4)
    batch.learn_many(reference, X, y, threads=1)
    batch.learn_many(core.ARFClassifier(n_models=4), X, y, threads=2)  # the parent's workers exist
    read, write = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking a process with threads
        pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        try:
            model = core.ARFClassifier(n_models=4)
            batch.learn_many(model, X, y, threads=2)
            os.write(write, b"same" if model.__getstate__() == reference.__getstate__() else b"different")
        finally:
            os._exit(0)
    os.close(write)
    deadline = time.monotonic() + 120
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            pytest.fail("the forked child hung")
        time.sleep(0.05)
    assert os.read(read, 16) == b"same"
    os.close(read)


def test_the_interpreter_exits_while_a_daemon_thread_runs_a_forest():
    script = textwrap.dedent("""
        import threading, time, numpy as np, _tarvo_core as core
        from tarvo import batch
        X = np.random.default_rng(0).random((200_000, 4)); y = (X[:, 0] > 0.5).astype(int)
        threading.Thread(target=batch.learn_many, args=(core.ARFClassifier(), X, y),
                         kwargs={"threads": 2}, daemon=True).start()
        time.sleep(0.5)
        print("leaving")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "leaving"


def test_the_readme_examples_of_arrays_and_forests_run():
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Arrays and frames", 1)[1].split("\n## ", 1)[0]
    namespace: dict = {}
    with contextlib.redirect_stdout(io.StringIO()):
        for code in re.findall(r"```python\n(.*?)```", section, flags=re.S):
            exec(compile(code, "README.md", "exec"), namespace)
    assert namespace["result"].n_samples == 50_000 and namespace["result"].final["accuracy"] > 0.9
