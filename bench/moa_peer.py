"""The one way the benchmarks reach MOA (through capymoa), an optional peer of the benchmarks only.

capymoa and its Java 17 never enter the project's venv: the MOA side runs in a subprocess,
``bench/peer/moa_worker.py``, under the Python named by the environment variable ``TARVO_MOA_PYTHON``,
or ``/work/moa-venv/bin/python`` when that variable is unset and that file exists. That Python
needs capymoa (``pip install capymoa``, which brings JPype and the MOA jar) and a JDK 17 on the
PATH (java, and javac for the loop timed inside Java). Set ``TARVO_MOA_PYTHON=`` (empty) to leave
the peer out. When it is absent or broken, :func:`unavailable` gives the one-line reason the
benchmarks print as they skip it.

Arrays go to the worker and back as ``.npz`` files in a temporary directory, with the task and its
settings as JSON; see the worker's docstring for the tasks.
"""

from __future__ import annotations

import functools
import json
import os
import pathlib
import subprocess
import tempfile
from typing import Any

import numpy as np

ENV = "TARVO_MOA_PYTHON"
DEFAULT_PYTHON = pathlib.Path("/work/moa-venv/bin/python")
WORKER = pathlib.Path(__file__).resolve().parent / "peer" / "moa_worker.py"
TIMEOUT_S = 900


class PeerError(RuntimeError):
    """The peer's worker failed; the message ends with the last line it wrote to stderr."""


def python() -> str | None:
    """The Python that runs the MOA side, or None when none is configured."""
    if ENV in os.environ:
        return os.environ[ENV] or None
    return str(DEFAULT_PYTHON) if DEFAULT_PYTHON.is_file() else None


def call(task: str, params: dict[str, Any] | None = None, arrays: dict[str, np.ndarray] | None = None,
         timeout: float = TIMEOUT_S) -> tuple[dict[str, Any], dict[str, np.ndarray]]:
    """Runs one task of the worker; returns its JSON answer and its arrays."""
    exe = python()
    if exe is None:
        raise PeerError(f"no Python with capymoa: set {ENV}")
    with tempfile.TemporaryDirectory(prefix="tarvo-moa-") as tmp:
        folder = pathlib.Path(tmp)
        (folder / "request.json").write_text(json.dumps({"task": task, "params": params or {}}))
        if arrays:
            np.savez(folder / "in.npz", **arrays)
        env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "PYTHONHOME")}
        done = subprocess.run([exe, str(WORKER), str(folder)], capture_output=True, text=True, timeout=timeout,
                              env=env)
        if done.returncode != 0:
            lines = [line for line in done.stderr.strip().splitlines() if line.strip()]
            raise PeerError(f"MOA worker failed ({task}): {lines[-1] if lines else f'exit {done.returncode}'}")
        info = json.loads((folder / "out.json").read_text())
        with np.load(folder / "out.npz") as out:
            return info, dict(out)


@functools.cache
def versions() -> dict[str, Any]:
    """capymoa's, Java's and the MOA jar's versions (raises PeerError when the peer cannot run)."""
    return call("probe", timeout=300)[0]


def unavailable() -> str | None:
    """None when the peer runs here, else the one-line reason it does not."""
    if python() is None:
        why = f"{ENV} is empty" if ENV in os.environ else f"{ENV} unset and {DEFAULT_PYTHON} absent"
        return f"MOA peer skipped: no Python with capymoa ({why})"
    if not pathlib.Path(python() or "").is_file():
        return f"MOA peer skipped: {ENV}={python()} is not a file"
    try:
        versions()
    except (PeerError, OSError, subprocess.TimeoutExpired) as exc:
        return f"MOA peer skipped: {exc}"
    return None


def describe() -> str:
    """One line naming the peer's versions, for the reports."""
    v = versions()
    return f"capymoa {v['capymoa']} ({', '.join(v['jars'])}) on Java {v['java']}"
