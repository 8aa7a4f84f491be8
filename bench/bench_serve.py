"""``tarvo serve`` over HTTP on 127.0.0.1 against calling the model in-process.

For a ``HoeffdingTreeClassifier`` and an ``ARFClassifier(n_models=10)``, each first taught 20,000
rows through /learn, one httpx client (keep-alive, one request at a time) measures:

- /predict with 1 row and with 100 rows: requests per second and p50 / p99 latency, idle and while
  a second client learns continuously (requests of 100 rows, one after another);
- the longest a prediction waited while a single /learn of 10,000 rows ran (the bound on how long
  learning stalls predictions: one chunk of about ``--chunk-ms`` plus the predictions queued ahead);
- /learn rows per second, with requests of 100 and of 1,000 rows: each reply waits for its rows'
  fsync (one fsync per request, shared by requests waiting at the same time: group commit);
- the same calls in-process (``predict_one`` + ``predict_proba_one`` per row, ``learn_one``), so
  the HTTP overhead is visible.

Writes ``bench/results/serve.md`` beside the report rows. The client runs in this process and
shares the two cores with the server, so the figures include the client's own cost. Skipped (no
rows) without the serve extra and httpx.
"""

from __future__ import annotations

import os
import pathlib
import pickle
import random
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from typing import Any

from harness import Row

import _tarvo_core as core

HERE = pathlib.Path(__file__).resolve().parent
MODELS = {
    "HoeffdingTreeClassifier": ([], core.HoeffdingTreeClassifier),
    "ARFClassifier(n_models=10)": (["--param", "n_models=10", "--param", "seed=1"],
                                   lambda: core.ARFClassifier(n_models=10, seed=1)),
}


def available() -> str | None:
    """None when the extra and httpx are installed, else the reason to skip."""
    for module in ("uvicorn", "starlette", "prometheus_client", "httpx"):
        try:
            __import__(module)
        except ImportError:
            return f"{module} is not installed (pip install uvicorn starlette prometheus_client httpx)"
    return None


def rows(rng: random.Random, n: int) -> tuple[list[dict[str, float]], list[int]]:
    xs = [{f"f{j}": rng.gauss(0, 1) for j in range(6)} for _ in range(n)]
    return xs, [int(x["f0"] + 0.5 * x["f1"] - 0.3 * x["f2"] > 0) for x in xs]


class Server:
    def __init__(self, state: pathlib.Path, model: str, params: list[str]) -> None:
        env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
        self.out = state.parent / f"{state.name}.out"
        with open(self.out, "w") as out:
            self.proc = subprocess.Popen([sys.executable, "-m", "tarvo", "serve", "--model", model, *params,
                                          "--state-dir", str(state), "--port", "0"],
                                         stdout=out, stderr=subprocess.STDOUT, env=env)
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline:
            found = re.search(r"on (http://127\.0\.0\.1:\d+)", self.out.read_text())
            if found:
                self.url = found.group(1)
                break
            if self.proc.poll() is not None:
                raise RuntimeError(self.out.read_text())
            time.sleep(0.05)
        else:
            self.proc.kill()
            raise RuntimeError("the server did not start")
        import httpx

        self.client = httpx.Client(base_url=self.url, timeout=120.0)
        while self.client.get("/health").status_code != 200:
            time.sleep(0.05)

    def stop(self) -> None:
        self.client.close()
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=120)


def timed(send: Any, seconds: float, most: int) -> tuple[float, list[float]]:
    """Requests per second and each request's latency (s), sending for ``seconds`` or ``most`` requests."""
    latencies: list[float] = []
    began = time.perf_counter()
    while len(latencies) < most and time.perf_counter() - began < seconds:
        t = time.perf_counter()
        send()
        latencies.append(time.perf_counter() - t)
    return len(latencies) / (time.perf_counter() - began), latencies


def pct(values: list[float], q: float) -> float:
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def in_process_us(make: Any, train: tuple[list, list], queries: list[dict[str, float]]) -> tuple[float, float]:
    """Microseconds per row of predict_one + predict_proba_one, and of learn_one, on the model
    taught ``train``: the best of five rounds (the machine's other load varies between rounds)."""
    model = make()
    for x, y in zip(*train):
        model.learn_one(x, y)
    saved = pickle.dumps(model)
    predict = learn = float("inf")
    extra = rows(random.Random(5), 2000)
    for _ in range(5):
        t = time.perf_counter()
        for _ in range(10):
            for x in queries:
                model.predict_one(x)
                model.predict_proba_one(x)
        predict = min(predict, (time.perf_counter() - t) / (10 * len(queries)) * 1e6)
        fresh = pickle.loads(saved)
        t = time.perf_counter()
        for x, y in zip(*extra):
            fresh.learn_one(x, y)
        learn = min(learn, (time.perf_counter() - t) / len(extra[0]) * 1e6)
    return predict, learn


def run(quick: bool) -> list[Row]:
    reason = available()
    if reason is not None or os.environ.get("TARVO_SANITIZED") == "1":
        print(f"  skipped: {reason or 'a sanitized build'}", flush=True)
        return []
    import httpx

    seconds = 1.0 if quick else 4.0
    rng = random.Random(7)
    train = rows(rng, 20_000)
    queries, _ = rows(rng, 100)
    out: list[Row] = []
    lines: list[str] = []
    work = pathlib.Path(tempfile.mkdtemp(prefix="tarvo-bench-serve-"))
    for name, (params, make) in MODELS.items():
        server = Server(work / name.split("(")[0], name.split("(")[0], params)
        try:
            for start in range(0, len(train[0]), 1000):
                server.client.post("/learn", json={"rows": train[0][start:start + 1000],
                                                   "labels": train[1][start:start + 1000]})
            one = {"rows": queries[:1]}
            hundred = {"rows": queries}
            figures: dict[str, tuple[float, list[float]]] = {}
            for load in ("idle", "learning"):
                stop = threading.Event()
                learner = None
                if load == "learning":
                    def learn_forever() -> None:
                        local = random.Random(3)
                        with httpx.Client(base_url=server.url, timeout=120.0) as client:
                            while not stop.is_set():
                                xs, ys = rows(local, 100)
                                client.post("/learn", json={"rows": xs, "labels": ys})

                    learner = threading.Thread(target=learn_forever)
                    learner.start()
                    time.sleep(0.2)
                try:
                    for label, body in (("1 row", one), ("100 rows", hundred)):
                        figures[f"{label}, {load}"] = timed(lambda b=body: server.client.post("/predict", json=b),
                                                            seconds, 20_000)
                finally:
                    stop.set()
                    if learner is not None:
                        learner.join()
            # The longest wait of a prediction while one large /learn runs.
            big = rows(random.Random(11), 10_000 if not quick else 2_000)
            waits: list[float] = []
            done = threading.Event()

            def big_learn() -> None:
                with httpx.Client(base_url=server.url, timeout=300.0) as client:
                    client.post("/learn", json={"rows": big[0], "labels": big[1]})
                done.set()

            thread = threading.Thread(target=big_learn)
            began = time.perf_counter()
            thread.start()
            time.sleep(0.05)
            while not done.is_set():
                t = time.perf_counter()
                server.client.post("/predict", json=one)
                waits.append(time.perf_counter() - t)
            thread.join()
            big_seconds = time.perf_counter() - began
            from tarvo.serve.metrics import parse

            longest_chunk = parse(server.client.get("/metrics").text)["tarvo_learn_chunk_longest_seconds"]
            learn_rates = {}
            for size in (100, 1000):
                batches = [rows(random.Random(size + k), size) for k in range(max(3, int(20_000 / size / 4)))]
                t = time.perf_counter()
                for xs, ys in batches:
                    server.client.post("/learn", json={"rows": xs, "labels": ys})
                learn_rates[size] = len(batches) * size / (time.perf_counter() - t)
        finally:
            server.stop()
        predict_us, learn_us = in_process_us(make, train, queries)
        lines.append(f"\n### `{name}` (taught 20,000 rows first)\n")
        lines.append("| request | load | requests/s | rows/s | p50 ms | p99 ms | in-process µs per row |")
        lines.append("|---|---|---:|---:|---:|---:|---:|")
        for key, (rate, lat) in figures.items():
            label, load = key.split(", ")
            per = 1 if label == "1 row" else 100
            lines.append(f"| /predict, {label} | {'idle' if load == 'idle' else 'another client learning'} | "
                         f"{rate:,.0f} | {rate * per:,.0f} | {pct(lat, 0.5) * 1e3:.2f} | {pct(lat, 0.99) * 1e3:.2f} | "
                         f"{predict_us:.1f} |")
            out.append(Row(f"serve ({name})", f"/predict {label}, {'idle' if load == 'idle' else 'while learning'}",
                           pct(lat, 0.5) * 1e6 / per, predict_us,
                           notes=f"{rate:,.0f} requests/s, p50 {pct(lat, 0.5) * 1e3:.2f} ms, "
                                 f"p99 {pct(lat, 0.99) * 1e3:.2f} ms; floor: predict_one + predict_proba_one in-process",
                           extra={"requests_per_s": rate, "p50_ms": pct(lat, 0.5) * 1e3,
                                  "p99_ms": pct(lat, 0.99) * 1e3}))
        for size, rate in learn_rates.items():
            lines.append(f"| /learn, {size:,} rows | fsync per request | {rate / size:,.1f} | {rate:,.0f} | | | "
                         f"{learn_us:.1f} |")
            out.append(Row(f"serve ({name})", f"/learn {size} rows, fsync'ed before the reply", 1e6 / rate, learn_us,
                           notes=f"{rate:,.0f} rows/s; floor: learn_one in-process", extra={"rows_per_s": rate}))
        lines.append(f"\nWhile one /learn of {len(big[0]):,} rows ran ({big_seconds:.2f} s), {len(waits)} predictions "
                     f"of one row were answered: median {statistics.median(waits) * 1e3:.2f} ms, longest "
                     f"{max(waits) * 1e3:.2f} ms. The longest learning held the model's lock at a time (any "
                     f"/learn of the run, from /metrics): {longest_chunk * 1e3:.1f} ms.")
        out.append(Row(f"serve ({name})", f"/predict 1 row during a /learn of {len(big[0]):,} rows (longest wait)",
                       max(waits) * 1e6, predict_us,
                       notes=f"{len(waits)} predictions during {big_seconds:.2f} s, median "
                             f"{statistics.median(waits) * 1e3:.2f} ms; the model's lock held at most "
                             f"{longest_chunk * 1e3:.1f} ms at a time"))
    if not quick:
        now = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
        load = os.getloadavg()[0]
        text = ("# Serving over HTTP\n\n"
                f"`PYTHONPATH=build/release:python:bench python bench/run.py serve`, {now}, on the shared two-core "
                f"machine (load average {load:.1f} when it ended: other work ran beside it). One httpx client in the "
                "benchmark's process, keep-alive, one request at a time, against `tarvo serve` on 127.0.0.1 "
                "(uvicorn, one worker process). The in-process column is the same model called directly from "
                "Python (`predict_one` + `predict_proba_one` per row, `learn_one` per row).\n\n"
                "Flush policy: each /learn reply waits until its rows are in the log and the log is fsync'ed; "
                "requests waiting at the same time share one fsync (group commit). Learning holds the model's "
                "lock for chunks of about 5 ms (`--chunk-ms`), handing it to waiting predictions in between.\n"
                + "\n".join(lines) + "\n")
        (HERE / "results" / "serve.md").write_text(text)
    return out
