"""The state directory: the latest snapshot and the append-only log of what was learnt after it.

Layout of a state directory::

    snapshot            the latest snapshot (replaced atomically)
    log-<generation>    the records learnt since that snapshot, in the order they were applied
    lock                held (flock) by the server that uses the directory

Files begin with a 16-byte magic. A snapshot then holds ``<length u64><crc32 u32>`` and a
pickled state; a log ``<generation u64>``, then one record after another, each
``<length u32><crc32 u32>`` and a pickled payload. A snapshot of generation ``g`` holds
everything learnt before ``log-<g>`` was started, so a start loads the snapshot and replays
``log-<g>`` after it. Writing a snapshot: create ``log-<g+1>`` (header, fsync), write
``snapshot.tmp``, fsync, rename it over ``snapshot``, fsync the directory, remove ``log-<g>``;
a kill at any point leaves either the old snapshot with its complete log or the new one with
an empty log.

A log's tail cut short or damaged (as a kill in the middle of a write leaves it) is dropped
up to the last complete record, with a warning. A damaged snapshot is refused: it is never
loaded in part. The files are pickles: only use state directories you trust.
"""

from __future__ import annotations

import contextlib
import fcntl
import os
import pickle
import re
import struct
import threading
import zlib
from collections.abc import Iterator
from typing import Any

SNAPSHOT_MAGIC = b"TARVO-SNAPSHOT\x00\x01"
LOG_MAGIC = b"TARVO-LOG\x00\x00\x00\x00\x00\x00\x01"
_SNAPSHOT_HEAD = struct.Struct("<QI")
_LOG_HEAD = struct.Struct("<Q")
_RECORD_HEAD = struct.Struct("<II")
_LOG_NAME = re.compile(r"log-(\d+)$")
#: The largest record a log may hold: a request's rows at the body limit fit many times over.
MAX_RECORD_BYTES = 1 << 30


class StateError(Exception):
    """A state directory that cannot be used: in use, damaged, or not a state directory."""


def fsync_directory(path: str) -> None:
    """Make a rename or a new file in ``path`` durable."""
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def log_path(directory: str, generation: int) -> str:
    return os.path.join(directory, f"log-{generation:012d}")


def snapshot_path(directory: str) -> str:
    return os.path.join(directory, "snapshot")


def log_files(directory: str) -> dict[int, str]:
    """The logs in ``directory`` by generation."""
    found = {}
    for name in os.listdir(directory):
        match = _LOG_NAME.match(name)
        if match:
            found[int(match.group(1))] = os.path.join(directory, name)
    return found


def lock_directory(directory: str) -> Any:
    """An open file holding the directory's lock; StateError when another process holds it."""
    fh = open(os.path.join(directory, "lock"), "a+")
    try:
        fcntl.flock(fh.fileno(), fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        fh.close()
        raise StateError(f"state dir {directory}: in use by another server (its lock file is held)") from None
    return fh


# ---------------------------------------------------------------- snapshots


def write_snapshot(directory: str, state: dict[str, Any]) -> int:
    """Write ``state`` as the directory's snapshot, atomically; returns its size in bytes."""
    payload = pickle.dumps(state, protocol=pickle.HIGHEST_PROTOCOL)
    tmp = os.path.join(directory, "snapshot.tmp")
    with open(tmp, "wb") as fh:
        fh.write(SNAPSHOT_MAGIC + _SNAPSHOT_HEAD.pack(len(payload), zlib.crc32(payload)))
        fh.write(payload)
        fh.flush()
        os.fsync(fh.fileno())
    os.replace(tmp, snapshot_path(directory))
    fsync_directory(directory)
    return len(payload) + len(SNAPSHOT_MAGIC) + _SNAPSHOT_HEAD.size


def read_snapshot(directory: str) -> dict[str, Any]:
    """The state in the directory's snapshot; StateError when it is damaged or foreign."""
    path = snapshot_path(directory)
    with open(path, "rb") as fh:
        data = fh.read()
    head = len(SNAPSHOT_MAGIC) + _SNAPSHOT_HEAD.size
    if not data.startswith(SNAPSHOT_MAGIC):
        raise StateError(f"{path}: not a Tarvo snapshot (its first bytes are not a snapshot's); refusing to load it")
    if len(data) < head:
        raise StateError(f"{path}: the snapshot is cut short ({len(data)} bytes); refusing to load it")
    length, crc = _SNAPSHOT_HEAD.unpack_from(data, len(SNAPSHOT_MAGIC))
    payload = data[head:]
    if len(payload) != length:
        raise StateError(f"{path}: the snapshot is damaged (it holds {len(payload):,} bytes of state, its header "
                         f"says {length:,}); refusing to load it. Restore it from a backup, or move the state "
                         "directory away to start afresh")
    if zlib.crc32(payload) != crc:
        raise StateError(f"{path}: the snapshot is damaged (checksum mismatch); refusing to load it. Restore it "
                         "from a backup, or move the state directory away to start afresh")
    try:
        state = pickle.loads(payload)
    except Exception as exc:  # a checksum-valid payload that does not unpickle: written by another version
        raise StateError(f"{path}: the snapshot cannot be read ({type(exc).__name__}: {exc})") from exc
    if not isinstance(state, dict) or state.get("format") != 1:
        raise StateError(f"{path}: the snapshot holds no state this version reads")
    return state


# ---------------------------------------------------------------- logs


def read_log(path: str, generation: int) -> tuple[list[bytes], int, str | None]:
    """The complete records of a log, the offset just past the last of them, and a description
    of what was dropped after it (None when the log ends cleanly)."""
    with open(path, "rb") as fh:
        data = fh.read()
    head = len(LOG_MAGIC) + _LOG_HEAD.size
    if len(data) < head:
        if LOG_MAGIC.startswith(data[: len(LOG_MAGIC)]):
            return [], 0, f"the log's header is cut short ({len(data)} bytes)"
        raise StateError(f"{path}: not a Tarvo log")
    if not data.startswith(LOG_MAGIC):
        raise StateError(f"{path}: not a Tarvo log")
    (found,) = _LOG_HEAD.unpack_from(data, len(LOG_MAGIC))
    if found != generation:
        raise StateError(f"{path}: the log belongs to generation {found}, not {generation}")
    records: list[bytes] = []
    pos = head
    while pos < len(data):
        if len(data) - pos < _RECORD_HEAD.size:
            return records, pos, f"{len(data) - pos} bytes of a record header cut short at offset {pos}"
        length, crc = _RECORD_HEAD.unpack_from(data, pos)
        start = pos + _RECORD_HEAD.size
        if length > MAX_RECORD_BYTES or start + length > len(data):
            return records, pos, f"a record cut short at offset {pos} ({len(data) - pos} bytes left)"
        payload = data[start:start + length]
        if zlib.crc32(payload) != crc:
            return records, pos, f"a damaged record (checksum mismatch) at offset {pos}, and the " \
                                 f"{len(data) - pos:,} bytes from there"
        records.append(payload)
        pos = start + length
    return records, pos, None


class Log:
    """An open log, appended to by one writer at a time (the caller serialises appends) and made
    durable by :meth:`sync`, which lets several waiting writers share one fsync (group commit)."""

    def __init__(self, path: str, generation: int, fd: int, end: int) -> None:
        self.path = path
        self.generation = generation
        self._fd = fd
        self.written = end  # the offset just past the last record written
        self._durable = end  # the offset up to which the file is known to be on disk
        self._sync = threading.Lock()
        self._closed = False

    @classmethod
    def create(cls, directory: str, generation: int) -> Log:
        """A new empty log of ``generation``, its header on disk (the directory entry is made
        durable by the snapshot's directory fsync that follows)."""
        path = log_path(directory, generation)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            header = LOG_MAGIC + _LOG_HEAD.pack(generation)
            os.write(fd, header)
            os.fsync(fd)
        except BaseException:
            os.close(fd)
            raise
        return cls(path, generation, fd, len(header))

    @classmethod
    def reopen(cls, path: str, generation: int, end: int) -> Log:
        """The log at ``path`` cut to ``end`` (the last complete record), open for appending."""
        fd = os.open(path, os.O_WRONLY)
        try:
            if end == 0:  # a header cut short: write it again
                os.ftruncate(fd, 0)
                header = LOG_MAGIC + _LOG_HEAD.pack(generation)
                os.pwrite(fd, header, 0)
                end = len(header)
            else:
                os.ftruncate(fd, end)
            os.fsync(fd)
        except BaseException:
            os.close(fd)
            raise
        return cls(path, generation, fd, end)

    def append(self, payload: bytes) -> int:
        """Write one record (not yet durable); returns the offset just past it. On a failed
        write the log is cut back to where it was and the OSError raised."""
        record = _RECORD_HEAD.pack(len(payload), zlib.crc32(payload)) + payload
        start = self.written
        try:
            done = os.pwrite(self._fd, record, start)
            while done < len(record):
                done += os.pwrite(self._fd, record[done:], start + done)
        except OSError:
            with contextlib.suppress(OSError):
                os.ftruncate(self._fd, start)
            raise
        self.written = start + len(record)
        return self.written

    def sync(self, upto: int) -> None:
        """Return once every byte before ``upto`` is on disk. One fsync serves every writer
        waiting at the time; a log closed by a snapshot is durable through that snapshot."""
        with self._sync:
            if self._closed or self._durable >= upto:
                return
            target = self.written
            os.fsync(self._fd)
            self._durable = target

    def close(self) -> None:
        """Close the file: a snapshot now holds what it held."""
        with self._sync:
            if not self._closed:
                self._closed = True
                os.close(self._fd)


def iter_records(records: list[bytes]) -> Iterator[dict[str, Any]]:
    for payload in records:
        yield pickle.loads(payload)
