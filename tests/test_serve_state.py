"""No acknowledged row is lost: the log's damaged tail, damaged snapshots, SIGTERM, and a server
killed with SIGKILL under load, restarted, and retried."""

from __future__ import annotations

import copy
import os
import random
import signal
import subprocess
import sys
import threading
import time

import pytest

from serve_support import ROOT, Server, saved

import httpx  # noqa: E402  (after serve_support, which skips without the extra)

from tarvo import HoeffdingTreeClassifier
from tarvo.serve import ServedModel, ServeSettings, StateError
from tarvo.serve import state as durable
from tarvo.serve.wire import LearnRequest


def batches(seed: int, count: int) -> list[tuple[list[dict[str, float]], list[int]]]:
    rng = random.Random(seed)
    out = []
    for _ in range(count):
        rows = [{"a": rng.gauss(0, 1), "b": rng.gauss(0, 1)} for _ in range(rng.randrange(1, 30))]
        out.append((rows, [int(r["a"] > r["b"]) for r in rows]))
    return out


def learnt(pairs: list[tuple[list[dict[str, float]], list[int]]]) -> HoeffdingTreeClassifier:
    model = HoeffdingTreeClassifier(grace_period=30)
    for rows, labels in pairs:
        for x, y in zip(rows, labels):
            model.learn_one(x, y)
    return model


def crashed(directory, pairs) -> str:
    """A state directory whose server learnt ``pairs`` (one record each) and then died: its
    snapshot is the seed, its log holds the records. Returns the log's path."""
    served = ServedModel.open(str(directory), HoeffdingTreeClassifier(grace_period=30))
    for k, (rows, labels) in enumerate(pairs):
        assert served.learn(LearnRequest(labels, rows=rows, request_id=f"r{k}"))[0] == 200
    served._release()  # no last snapshot: as a kill leaves it
    return served.log.path


def reopened(directory) -> ServedModel:
    served = ServedModel.open(str(directory), None, ServeSettings())
    served.close(snapshot=False)
    return served


def test_a_cut_or_damaged_log_tail_is_dropped_to_the_last_complete_record(tmp_path):
    pairs = batches(1, 6)
    path = crashed(tmp_path / "whole", pairs)
    data = open(path, "rb").read()
    records, end, problem = durable.read_log(path, 1)
    assert len(records) == 6 and end == len(data) and problem is None
    last = len(data) - len(records[-1]) - 8
    middle = last - len(records[-2]) - 8
    # (how the file is damaged, records kept)
    cases = [(data[:cut], 5) for cut in (last + 1, last + 7, last + 8, last + 9, len(data) - 1)]
    cases += [(data[:last], 5), (data[:middle + 3], 4)]
    cases += [(data[:-3] + bytes([data[-3] ^ 0x10]) + data[-2:], 5), (data[:middle + 12] + b"\x00" + data[middle + 13:], 4)]
    cases += [(data[:10], 0)]  # the header itself cut short
    for k, (damaged, kept) in enumerate(cases):
        directory = tmp_path / f"case{k}"
        crashed(directory, [])
        (log,) = durable.log_files(str(directory)).values()
        with open(log, "wb") as fh:
            fh.write(damaged)
        served = ServedModel.open(str(directory), None)
        clean = len(damaged) == last  # cut at a record's end: nothing to drop
        assert (served.notice is None) if clean else ("dropped" in served.notice), k
        assert served.stats.rows_learnt == sum(len(rows) for rows, _ in pairs[:kept])
        assert saved(served.model) == saved(learnt(pairs[:kept])), k
        more = batches(2, 1)[0]
        served.learn(LearnRequest(more[1], rows=more[0], request_id="after"))  # the log goes on
        served._release()
        again = reopened(directory)
        assert again.notice is None and saved(again.model) == saved(learnt(pairs[:kept] + [more])), k


def test_a_damaged_snapshot_is_refused_never_loaded_in_part(tmp_path):
    directory = tmp_path / "state"
    crashed(directory, batches(3, 2))
    snapshot = durable.snapshot_path(str(directory))
    data = open(snapshot, "rb").read()
    for damaged, words in [(data[:-1], "damaged"), (data[:-40] + bytes([data[-40] ^ 1]) + data[-39:], "checksum"),
                           (data[:20], "cut short"), (b"not a snapshot at all", "not a Tarvo snapshot")]:
        with open(snapshot, "wb") as fh:
            fh.write(damaged)
        with pytest.raises(StateError, match=words):
            ServedModel.open(str(directory), HoeffdingTreeClassifier())
    done = subprocess.run([sys.executable, "-m", "tarvo", "serve", "--state-dir", str(directory), "--port", "0"],
                          capture_output=True, text=True, cwd=ROOT, timeout=120,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert done.returncode == 1 and done.stderr.count("\n") == 1 and "refusing to load it" in done.stderr
    empty = subprocess.run([sys.executable, "-m", "tarvo", "serve", "--state-dir", str(tmp_path / "new")],
                           capture_output=True, text=True, cwd=ROOT, timeout=120,
                           env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert empty.returncode == 1 and "holds no state; give a model" in empty.stderr


def test_sigterm_writes_a_snapshot_and_the_state_wins_over_another_seed(tmp_path):
    state = tmp_path / "state"
    server = Server(state, "--model", "HoeffdingTreeClassifier", "--param", "grace_period=30")
    pairs = batches(4, 5)
    for rows, labels in pairs:
        assert server.post("/learn", {"rows": rows, "labels": labels}).status_code == 200
    assert server.stop(signal.SIGTERM) == -signal.SIGTERM  # after a clean shutdown, uvicorn re-raises the signal
    (log,) = durable.log_files(str(state)).values()
    assert durable.read_log(log, 2) == ([], os.path.getsize(log), None)  # the snapshot holds every row
    assert durable.read_snapshot(str(state))["model"] == saved(learnt(pairs))
    again = Server(state, "--model", "NaiveBayes")
    try:
        assert "the model given (NaiveBayes()) is ignored and the state used" in again.err.read_text()
        described = again.client.get("/model").json()
        assert described["class"] == "HoeffdingTreeClassifier"
        assert described["rows_learnt"] == sum(len(rows) for rows, _ in pairs)
        answers = again.post("/predict", {"rows": pairs[0][0][:3]}).json()["predictions"]
    finally:
        again.stop()
    third = Server(state)  # the predictions made (with nothing learnt since) were saved on SIGTERM
    try:
        ids = [a["id"] for a in answers]
        assert third.post("/learn", {"ids": ids, "labels": [0, 1, 1]}).json() == {"learnt": 3, "missing": []}
    finally:
        third.stop()


def test_sigkill_under_load_loses_no_acknowledged_row(tmp_path):
    """Kill the server at random points while one client learns (with request_ids) and another
    predicts; restart it. Its model equals a fresh one that learnt the acknowledged requests in
    order, plus perhaps the one in flight; retrying that one learns it exactly once."""
    rng = random.Random(11)
    state = tmp_path / "state"
    args = ["--model", "HoeffdingTreeClassifier", "--param", "grace_period=30", "--snapshot-rows", "300"]
    reference = learnt([])
    total = 0
    inflight = None
    pairs = iter(batches(5, 100_000))
    for round_ in range(5):
        server = Server(state, *args)
        try:
            if inflight is not None:
                maybe = copy.deepcopy(reference)
                for x, y in zip(inflight["rows"], inflight["labels"]):
                    maybe.learn_one(x, y)
                now = server.model_bytes()
                assert now in (saved(reference), saved(maybe)), round_
                reply = server.post("/learn", inflight)  # the retry
                assert reply.status_code == 200 and reply.json()["learnt"] == len(inflight["rows"])
                reference, total = maybe, total + len(inflight["rows"])
                inflight = None
            assert server.model_bytes() == saved(reference), round_
            assert server.client.get("/model").json()["rows_learnt"] == total

            stop = threading.Event()
            lost: list[dict] = []

            def learn(count: int) -> None:
                with httpx.Client(base_url=server.url, timeout=30.0) as client:
                    for k in range(count):
                        rows, labels = next(pairs)
                        body = {"rows": rows, "labels": labels, "request_id": f"round{round_}-{k}"}
                        try:
                            reply = client.post("/learn", json=body)
                        except httpx.TransportError:
                            lost.append(body)
                            return
                        if reply.status_code != 200:
                            lost.append({"unexpected": reply.text})
                            return
                        acknowledged.append(body)

            def predict() -> None:
                with httpx.Client(base_url=server.url, timeout=30.0) as client:
                    while not stop.is_set():
                        try:
                            client.post("/predict", json={"rows": [{"a": 0.1, "b": 0.2}] * 20})
                        except httpx.TransportError:
                            return

            acknowledged: list[dict] = []
            threads = [threading.Thread(target=learn, args=(5000,)), threading.Thread(target=predict)]
            for thread in threads:
                thread.start()
            time.sleep(rng.uniform(0.3, 1.5))
            server.kill()
            stop.set()
            for thread in threads:
                thread.join(timeout=60)
            assert acknowledged, "no request was acknowledged before the kill"
            assert all("unexpected" not in body for body in lost), lost
            for body in acknowledged:
                for x, y in zip(body["rows"], body["labels"]):
                    reference.learn_one(x, y)
                total += len(body["rows"])
            inflight = lost[0] if lost else None
        finally:
            if server.proc.poll() is None:
                server.kill()
    server = Server(state, *args)
    try:
        if inflight is not None:
            server.post("/learn", inflight)
            for x, y in zip(inflight["rows"], inflight["labels"]):
                reference.learn_one(x, y)
            total += len(inflight["rows"])
        assert server.model_bytes() == saved(reference)
        assert server.client.get("/model").json()["rows_learnt"] == total
    finally:
        server.stop()
