"""A real `tarvo serve` process on 127.0.0.1 for the serving tests, and the replay of its trace."""

from __future__ import annotations

import json
import os
import pickle
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

for _module in ("starlette", "uvicorn", "prometheus_client", "httpx"):
    pytest.importorskip(_module, reason="the serve extra is not installed (pip install uvicorn starlette prometheus_client httpx)")

import httpx  # noqa: E402

from tarvo.serve.state import read_snapshot  # noqa: E402
from tarvo.stream import encode_row  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
START_SECONDS = 60.0  # a loaded machine may take long to import everything


class Server:
    """``python -m tarvo serve ... --port 0`` in a subprocess, its address read from its first line."""

    def __init__(self, state_dir: Path, *args: str, env: dict[str, str] | None = None) -> None:
        self.state_dir = state_dir
        self.out = state_dir.parent / f"{state_dir.name}-out-{time.monotonic_ns()}.txt"
        self.err = self.out.with_suffix(".err")
        environ = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), **(env or {})}
        with open(self.out, "w") as out, open(self.err, "w") as err:
            self.proc = subprocess.Popen(
                [sys.executable, "-m", "tarvo", "serve", "--state-dir", str(state_dir), "--port", "0", *args],
                stdout=out, stderr=err, env=environ, cwd=ROOT)
        self.url = self._address()
        self.client = httpx.Client(base_url=self.url, timeout=30.0)
        self._wait_healthy()

    def _address(self) -> str:
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            match = re.search(r"on (http://127\.0\.0\.1:\d+)", self.out.read_text())
            if match:
                return match.group(1)
            if self.proc.poll() is not None:
                raise AssertionError(f"the server ended ({self.proc.returncode}): {self.err.read_text()}")
            time.sleep(0.05)
        self.kill()
        raise AssertionError("the server did not start")

    def _wait_healthy(self) -> None:
        deadline = time.monotonic() + START_SECONDS
        while time.monotonic() < deadline:
            try:
                if self.client.get("/health").status_code == 200:
                    return
            except httpx.TransportError:
                pass
            time.sleep(0.05)
        raise AssertionError("the server never became healthy")

    def post(self, path: str, body: object, **kwargs: object) -> httpx.Response:
        return self.client.post(path, json=body, **kwargs)

    def stop(self, sig: int = signal.SIGTERM) -> int:
        """End the server with ``sig``; returns its exit status."""
        self.client.close()
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise

    def kill(self) -> None:
        self.stop(signal.SIGKILL)

    def model_bytes(self) -> bytes:
        """The model's saved bytes, through a snapshot written now."""
        assert self.client.post("/snapshot").status_code == 200
        return read_snapshot(str(self.state_dir))["model"]


def replay(trace: Path, model: object) -> object:
    """Replays a trace single-threaded on ``model`` (a fresh copy of the seed), checking every
    recorded answer; returns the model."""
    for line in trace.read_text().splitlines():
        op = json.loads(line)
        if op["op"] == "start":
            assert op["rows_learnt"] == 0
        elif op["op"] == "learn":
            for x, y in zip(op["rows"], op["labels"]):
                model.learn_one(encode_row(model, x, learn=True), y)
        else:
            rows = [encode_row(model, x, learn=False) for x in op["rows"]]
            assert [model.predict_one(x) for x in rows] == op["predictions"]
            if op["probabilities"]:
                # repr: a NaN probability (of a row beyond the float range's square) equals itself
                assert repr([sorted(model.predict_proba_one(x).items()) for x in rows]) == \
                    repr([sorted(tuple(p) for p in answer) for answer in op["probabilities"]])
    return model


def saved(model: object) -> bytes:
    return pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
