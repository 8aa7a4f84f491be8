"""A model served to several threads: predictions and learning interleaved under one lock,
every learnt row durable before it is acknowledged.

Each call into the model takes the model's lock, so the model is only ever used by one
thread at a time (and a :mod:`tarvo.batch` call never finds it claimed by another). The lock
is handed over first come, first served. A /learn request learns its rows in chunks of a few
milliseconds (``chunk_seconds``) and lets go of the lock between chunks, so a prediction
arriving meanwhile waits for at most one chunk. Learning requests run one at a time (in the
order their records are written to the log), so the model applies the log's order.

The order in which the model was called is the order of ``--trace`` (one JSON line per
prediction request and per chunk learnt): replaying it single-threaded gives the same answers
and the same model.
"""

from __future__ import annotations

import json
import logging
import os
import pickle
import threading
import time
from collections import OrderedDict
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from tarvo._prequential import bind_metrics, default_metrics
from tarvo._text_features import encode_row
from tarvo.learners import task_of
from tarvo.serve import state as durable
from tarvo.serve.pending import DEFAULT_MAX_PENDING, DEFAULT_PENDING_TTL, PendingPredictions
from tarvo.serve.wire import (
    DEFAULT_MAX_BODY_BYTES,
    DEFAULT_MAX_ROWS,
    LabelKind,
    LearnRequest,
    RequestError,
    finite_or_none,
)

log = logging.getLogger("tarvo.serve")

#: request_ids remembered by default (the oldest is forgotten past it).
DEFAULT_REQUEST_ID_WINDOW = 100_000


@dataclass
class ServeSettings:
    """What a served model is allowed and how it keeps its state.

    Attributes:
        max_body_bytes: the largest request body (413 past it).
        max_rows: the most rows, ids or labels in one request (413 past it).
        max_pending: predictions kept for their delayed label (the oldest expires past it).
        pending_ttl: seconds a prediction waits for its label.
        request_id_window: the last request_ids remembered, with their replies.
        snapshot_every_seconds: a snapshot when the last is this old and rows were learnt since.
        snapshot_every_rows: a snapshot once this many rows were learnt since the last.
        chunk_seconds: how long learning holds the model's lock at a time.
        token: the bearer token every endpoint but /health requires (None: no token).
        trace: a file that receives every model call, in the order applied (None: none).
    """

    max_body_bytes: int = DEFAULT_MAX_BODY_BYTES
    max_rows: int = DEFAULT_MAX_ROWS
    max_pending: int = DEFAULT_MAX_PENDING
    pending_ttl: float = DEFAULT_PENDING_TTL
    request_id_window: int = DEFAULT_REQUEST_ID_WINDOW
    snapshot_every_seconds: float = 300.0
    snapshot_every_rows: int = 100_000
    chunk_seconds: float = 0.005
    token: str | None = None
    trace: str | None = None

    def public(self) -> dict[str, Any]:
        """The settings /model shows (not the token)."""
        out = {k: v for k, v in self.__dict__.items() if k not in ("token", "trace")}
        out["token_required"] = self.token is not None
        return out


class ModelLock:
    """A lock handed over in the order it was asked for (a ticket lock on a
    :class:`threading.Lock`): a prediction waiting while a chunk is learnt gets the model
    before the next chunk, however many chunks follow."""

    def __init__(self) -> None:
        self._turn = threading.Condition(threading.Lock())
        self._next = 0
        self._serving = 0

    def __enter__(self) -> None:
        with self._turn:
            ticket = self._next
            self._next += 1
            while self._serving != ticket:
                self._turn.wait()

    def __exit__(self, *exc: object) -> None:
        with self._turn:
            self._serving += 1
            self._turn.notify_all()


class ServiceUnavailable(Exception):
    """The server cannot learn any more (its log could not be written): restart it."""


class LearnFailed(Exception):
    """The model raised while learning a row; the rows before it are learnt and logged."""


@dataclass
class Stats:
    """Figures /metrics reports besides the request counters."""

    rows_learnt: int = 0
    rows_predicted: int = 0
    scored: int = 0  # labelled predictions scored by the prequential metrics
    snapshots: int = 0
    last_snapshot: float = field(default_factory=time.time)
    snapshot_bytes: int = 0
    longest_chunk: float = 0.0  # the longest the model's lock was held by learning at a time, in seconds


class ServedModel:
    """A model with its state directory: predict, learn (rows or delayed labels), snapshot."""

    def __init__(self, directory: str, settings: ServeSettings) -> None:
        self.directory = directory
        self.settings = settings
        self.lock = ModelLock()
        self._learning = threading.Lock()  # one learning request, snapshot or replay at a time
        self.model: Any = None
        self.kind = LabelKind(True)
        self.labels: set[int] = set()
        self.pending = PendingPredictions(settings.max_pending, settings.pending_ttl)
        self.request_ids: OrderedDict[str, tuple[int, dict[str, Any]]] = OrderedDict()
        self.stats = Stats()
        self.metrics: dict[str, Any] = {}
        self._getters: list[Any] = []
        self._updaters: list[Any] = []
        self.generation = 0
        self.log: durable.Log | None = None
        self.rows_since_snapshot = 0
        self.failed: str | None = None
        self.ready = False
        self.notice: str | None = None  # what start-up had to say (seed ignored, log tail dropped)
        self._chunk = 16
        self._pending_saved = 0  # the pending predictions' change count in the last snapshot
        self._lockfile: Any = None
        self._trace: Any = None
        self._snapshot_wanted = threading.Event()
        self._closing = threading.Event()
        self._snapshotter: threading.Thread | None = None

    # ------------------------------------------------------------ start and stop

    @classmethod
    def open(cls, directory: str, seed: Any = None, settings: ServeSettings | None = None) -> ServedModel:
        """The state in ``directory`` (created with ``seed`` when empty): the latest snapshot
        loaded and its log replayed. ``seed`` is a learner, used only for an empty directory;
        when it differs from the state found, ``notice`` says so and the state is used."""
        served = cls(directory, settings or ServeSettings())
        try:
            served._open(seed)
        except BaseException:
            served._release()
            raise
        return served

    def _open(self, seed: Any) -> None:
        directory = self.directory
        os.makedirs(directory, exist_ok=True)
        self._lockfile = durable.lock_directory(directory)
        tmp = os.path.join(directory, "snapshot.tmp")
        if os.path.exists(tmp):
            os.remove(tmp)
        logs = durable.log_files(directory)
        if self.settings.trace:
            self._trace = open(self.settings.trace, "a", encoding="utf-8")
        notices = []
        if not os.path.exists(durable.snapshot_path(directory)):
            if logs:
                raise durable.StateError(f"state dir {directory}: holds logs but no snapshot; refusing to start")
            if seed is None:
                raise durable.StateError(f"state dir {directory}: holds no state; give a model to start it with")
            self._set_model(seed)
            self._trace_line({"op": "start", "rows_learnt": 0})
            self._write_snapshot()
        else:
            state = durable.read_snapshot(directory)
            self._restore(state)
            if seed is not None and repr(seed) != state["model_repr"]:
                notices.append(f"state dir {directory} holds {state['model_repr']}; the model given "
                               f"({repr(seed)}) is ignored and the state used")
            self._trace_line({"op": "start", "rows_learnt": self.stats.rows_learnt})
            generation = state["generation"]
            path = logs.pop(generation, None)
            for stale in logs.values():  # a log left by a snapshot interrupted before its rename
                os.remove(stale)
            if path is None:
                self.log = durable.Log.create(directory, generation)
                durable.fsync_directory(directory)
            else:
                records, end, problem = durable.read_log(path, generation)
                if problem is not None:
                    notices.append(f"{path}: dropped {problem}; the {len(records):,} complete records before it "
                                   "are replayed")
                    log.warning(notices[-1])
                for record in durable.iter_records(records):
                    self._apply(record)
                    self.rows_since_snapshot += len(record["labels"])
                self.log = durable.Log.reopen(path, generation, end)
        self.notice = "; ".join(notices) or None
        self.ready = True
        self._snapshotter = threading.Thread(target=self._snapshot_loop, name="tarvo-snapshots", daemon=True)
        self._snapshotter.start()

    def _set_model(self, model: Any) -> None:
        self.model = model
        self.task = task_of(model)
        self.kind = LabelKind(self.task == "classification")
        self.metrics = default_metrics(self.task)
        self._getters, self._updaters = bind_metrics(self.metrics)

    def _restore(self, state: dict[str, Any]) -> None:
        self._set_model(pickle.loads(state["model"]))
        self.metrics = state["metrics"]
        self._getters, self._updaters = bind_metrics(self.metrics)
        self.generation = state["generation"]
        self.labels = set(state["labels"])
        self.request_ids = OrderedDict((rid, (status, reply)) for rid, status, reply in state["request_ids"])
        self.pending.restore(state["pending"])
        self.stats.rows_learnt = state["rows_learnt"]
        self.stats.scored = state["scored"]
        self.stats.last_snapshot = state["time"]
        self._pending_saved = self.pending.changes

    def close(self, snapshot: bool = True) -> None:
        """Stop: a last snapshot (when anything was learnt since the last one), then release
        the directory."""
        self._closing.set()
        self._snapshot_wanted.set()
        if self._snapshotter is not None:
            self._snapshotter.join()
        try:
            changed = self.rows_since_snapshot or self.pending.changes != self._pending_saved
            if snapshot and self.ready and self.failed is None and changed:
                self.snapshot()
        finally:
            self._release()

    def _release(self) -> None:
        self.ready = False
        if self.log is not None:
            self.log.close()
        if self._trace is not None:
            self._trace.close()
            self._trace = None
        if self._lockfile is not None:
            self._lockfile.close()
            self._lockfile = None

    # ------------------------------------------------------------ predictions

    def predict(self, rows: Sequence[dict[str, float]]) -> list[dict[str, Any]]:
        """Each row's answer (``id``, ``prediction``, ``probabilities`` for a classifier), the
        rows kept for their delayed labels."""
        model = self.model
        classifier = self.kind.classification
        with self.lock:
            encoded = []
            for i, x in enumerate(rows):
                try:
                    encoded.append(encode_row(model, x, learn=False))
                except (TypeError, ValueError) as exc:  # a feature that held text given a number, say
                    raise RequestError(400, f"rows[{i}]: {exc}") from None
            predictions = [model.predict_one(x) for x in encoded]
            probas = [model.predict_proba_one(x) for x in encoded] if classifier else []
            if self._trace is not None:
                self._trace_line({"op": "predict", "rows": rows, "predictions": predictions,
                                  "probabilities": [list(p.items()) for p in probas]})
        scored = [bool(p) for p in probas] if classifier else [True] * len(rows)
        ids = self.pending.add(rows, predictions, scored)
        self.stats.rows_predicted += len(rows)
        if classifier:
            return [{"id": pid, "prediction": y, "probabilities": {str(k): finite_or_none(v) for k, v in p.items()}}
                    for pid, y, p in zip(ids, predictions, probas)]
        return [{"id": pid, "prediction": finite_or_none(y)} for pid, y in zip(ids, predictions)]

    # ------------------------------------------------------------ learning

    def learn(self, request: LearnRequest) -> tuple[int, dict[str, Any]]:
        """Learn the request's rows (or the rows kept for its ids) and return ``(status,
        reply)`` once they are durable. A request_id seen before gets its first reply again and
        learns nothing."""
        with self._learning:
            if self.failed is not None:
                raise ServiceUnavailable(self.failed)
            rid = request.request_id
            if rid is not None and rid in self.request_ids:
                status, reply = self.request_ids[rid]
                log_now = self.log
                assert log_now is not None
                record_end = log_now.written  # its record, or the snapshot holding it, is durable by then
                failure = None
            else:
                status, reply, record, taken = self._prepare(request)
                if record is None:
                    return status, reply  # nothing to learn: nothing changes
                log_now = self.log
                assert log_now is not None
                try:
                    record_end = log_now.append(pickle.dumps(record, protocol=pickle.HIGHEST_PROTOCOL))
                except OSError as exc:
                    self.pending.put_back(taken)
                    raise ServiceUnavailable(f"the log could not be written ({exc.strerror or exc}); "
                                             "nothing was learnt") from exc
                failure = self._apply(record)
                self.rows_since_snapshot += len(record["labels"])
                if self.rows_since_snapshot >= self.settings.snapshot_every_rows:
                    self._snapshot_wanted.set()
        try:
            log_now.sync(record_end)  # group commit: one fsync for every request waiting here
        except OSError as exc:
            self.failed = (f"the log could not be made durable ({exc.strerror or exc}); restart the server, "
                           "which resumes from what is on disk")
            raise ServiceUnavailable(self.failed) from exc
        if failure is not None:
            raise LearnFailed(failure)
        return status, reply

    def _prepare(self, request: LearnRequest) -> tuple[int, dict[str, Any], dict[str, Any] | None, list[Any]]:
        """The reply and the log record of a new request (record None: nothing to learn)."""
        if request.rows is not None:
            rows, labels = request.rows, request.labels
            ids: list[str] | None = None
            scores: list[Any] = []
            reply: dict[str, Any] = {"learnt": len(rows), "missing": []}
            taken: list[Any] = []
            status = 200
        else:
            assert request.ids is not None
            taken, missing, expired = self.pending.take(request.ids)
            rows = [item.row for _, _, item in taken]
            labels = [request.labels[i] for i, _, _ in taken]
            ids = [pid for _, pid, _ in taken]
            scores = [(item.prediction if item.scored else None) for _, _, item in taken]
            reply = {"learnt": len(taken), "missing": missing}
            if expired:
                reply["expired"] = expired
            status = 200 if taken else (410 if len(expired) == len(missing) else 404)
        if not rows:
            if request.rows is not None:
                return 200, reply, None, taken  # an empty request: nothing to learn
            wrong = "expired" if status == 410 else "unknown"
            names = ", ".join(repr(pid) for pid in reply["missing"][:5])
            more = f" and {len(reply['missing']) - 5} more" if len(reply["missing"]) > 5 else ""
            reply["error"] = f"ids: no row learnt; {wrong} prediction id(s) {names}{more}"
            return status, reply, None, taken
        record = {"rows": rows, "labels": labels, "ids": ids, "scores": scores, "request_id": request.request_id,
                  "status": status, "reply": reply}
        return status, reply, record, taken

    def _apply(self, record: dict[str, Any]) -> str | None:
        """Learn a record's rows (in chunks under the model's lock), score its labelled
        predictions and remember its request_id: the same for a live request and for a replay
        of the log. Returns what failed, if the model raised on a row (the rows before it are
        learnt, as they are again when the log is replayed)."""
        rows, labels = record["rows"], record["labels"]
        model = self.model
        learn = model.learn_one
        n, done, failure = len(rows), 0, None
        while done < n and failure is None:
            stop = min(n, done + self._chunk)
            with self.lock:
                began = time.perf_counter()
                for r in range(done, stop):
                    try:
                        learn(encode_row(model, rows[r], learn=True), labels[r])
                    except (TypeError, ValueError, OverflowError, RuntimeError) as exc:
                        failure, stop = f"rows[{r}]: the model could not learn the row ({exc})", r
                        break
                took = time.perf_counter() - began
                if self._trace is not None and stop > done:
                    self._trace_line({"op": "learn", "rows": rows[done:stop], "labels": labels[done:stop]})
            self.stats.rows_learnt += stop - done
            self.stats.longest_chunk = max(self.stats.longest_chunk, took)
            done = stop
            time.sleep(0)  # let go of the GIL too, so the threads answering predictions run now
            if took < self.settings.chunk_seconds / 2 and self._chunk < 65_536:
                self._chunk *= 2
            elif took > self.settings.chunk_seconds and self._chunk > 1:
                self._chunk //= 2
        if failure is not None:
            record["reply"]["learnt"] = done  # the request_id's reply says what was learnt
        if self.kind.classification:
            self.labels.update(labels[:done])
        if record["ids"] is not None:
            self.pending.discard(record["ids"])
            for y, y_pred in zip(labels[:done], record["scores"][:done]):
                if y_pred is not None:
                    for update in self._updaters:
                        update(y, y_pred)
                    self.stats.scored += 1
        rid = record["request_id"]
        if rid is not None:
            self.request_ids[rid] = (record["status"], record["reply"])
            self.request_ids.move_to_end(rid)
            while len(self.request_ids) > self.settings.request_id_window:
                self.request_ids.popitem(last=False)
        return failure

    # ------------------------------------------------------------ snapshots

    def snapshot(self) -> int:
        """Write a snapshot now and start a new log; returns the snapshot's size in bytes."""
        with self._learning:
            if self.failed is not None:
                raise ServiceUnavailable(self.failed)
            return self._write_snapshot()

    def _write_snapshot(self) -> int:
        with self.lock:
            model_bytes = pickle.dumps(self.model, protocol=pickle.HIGHEST_PROTOCOL)
            model_repr = repr(self.model)
        now = time.time()
        generation = self.generation + 1
        pending_changes = self.pending.changes
        state = {
            "format": 1,
            "generation": generation,
            "model": model_bytes,
            "model_repr": model_repr,
            "metrics": self.metrics,
            "labels": sorted(self.labels),
            "request_ids": [(rid, status, reply) for rid, (status, reply) in self.request_ids.items()],
            "pending": self.pending.state(),
            "rows_learnt": self.stats.rows_learnt,
            "scored": self.stats.scored,
            "time": now,
        }
        new_log = durable.Log.create(self.directory, generation)
        try:
            size = durable.write_snapshot(self.directory, state)
        except BaseException:
            new_log.close()
            os.remove(new_log.path)
            raise
        old, self.log = self.log, new_log
        self.generation = generation
        if old is not None:
            old.close()
            os.remove(old.path)
        self.rows_since_snapshot = 0
        self._pending_saved = pending_changes
        self.stats.snapshots += 1
        self.stats.last_snapshot = now
        self.stats.snapshot_bytes = size
        return size

    def _snapshot_loop(self) -> None:
        """Snapshots every ``snapshot_every_seconds`` (when rows were learnt since) and when
        ``snapshot_every_rows`` rows were learnt."""
        every = self.settings.snapshot_every_seconds
        while not self._closing.is_set():
            wait = max(0.0, self.stats.last_snapshot + every - time.time())
            self._snapshot_wanted.wait(timeout=min(wait, 60.0) if wait > 0 else 0.5)
            if self._closing.is_set():
                return
            self._snapshot_wanted.clear()
            due_rows = self.rows_since_snapshot >= self.settings.snapshot_every_rows
            due_time = self.rows_since_snapshot > 0 and time.time() - self.stats.last_snapshot >= every
            if (due_rows or due_time) and self.failed is None:
                try:
                    self.snapshot()
                except Exception as exc:  # the log keeps the rows: report, and try again later
                    log.error("snapshot failed: %s", exc)

    # ------------------------------------------------------------ reports

    def describe(self) -> dict[str, Any]:
        """What /model answers."""
        return {
            "repr": repr(self.model),
            "class": type(self.model).__name__,
            "task": self.task,
            "rows_learnt": self.stats.rows_learnt,
            "labels": sorted(self.labels),
            "pending": len(self.pending),
            "generation": self.generation,
            "settings": self.settings.public(),
        }

    def prequential(self) -> dict[str, float]:
        """The prequential metrics over the labelled predictions scored so far."""
        return {name: get() for name, get in self._getters}

    def _trace_line(self, entry: dict[str, Any]) -> None:
        if self._trace is not None:
            self._trace.write(json.dumps(entry) + "\n")
            self._trace.flush()
