"""Saving and restoring: size of a saved model after a whole stream, and dump / load throughput.

Per row: the saved size, MB/s for pickle.dumps and pickle.loads, and the size beside the
memory the model holds (the growth of the C heap while it was built and learnt: what its
native structures occupy, measured with mallinfo2, unlike the process's resident set which
freed memory of earlier rows can hide).
Stream: ../shared/datasets/elec.csv when present, else a synthetic classification stream.
"""

from __future__ import annotations

import csv
import ctypes
import os
import pickle
import time

import _tarvo_core as core
from harness import Row
from streams import classification

ELEC = os.path.join(os.path.dirname(__file__), "..", "..", "shared", "datasets", "elec.csv")


def _stream(quick: bool):
    if os.path.exists(ELEC):
        with open(ELEC, newline="") as fh:
            rows = list(csv.DictReader(fh))
        target = list(rows[0])[-1]
        out = []
        for r in rows[: 10_000 if quick else None]:
            y = r.pop(target)
            out.append(({k: float(v) for k, v in r.items()}, 1 if y.strip().upper() in ("UP", "1") else 0))
        return out, "elec"
    return classification(10_000 if quick else 45_000), "synthetic"


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


def _heap_bytes() -> int:
    """Bytes the C allocator has handed out and not taken back (small blocks and mapped ones)."""
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    info = libc.mallinfo2()
    return int(info.uordblks + info.hblkhd)


def _best(fn, repeat: int = 5) -> float:
    best = float("inf")
    for _ in range(repeat):
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def run(quick: bool) -> list[Row]:
    samples, source = _stream(quick)
    models = {
        "ARFClassifier": lambda: core.ARFClassifier(seed=1),
        "SRPClassifier": lambda: core.SRPClassifier(seed=1),
        "HoeffdingAdaptiveTreeClassifier": core.HoeffdingAdaptiveTreeClassifier,
        "SGBTClassifier": core.SGBTClassifier,
        "ClassificationPipeline": lambda: core.ClassificationPipeline(
            [core.StandardScaler(), core.SelectKBest(k=5)], core.HoeffdingTreeClassifier()),
    }
    rows = []
    for name, make in models.items():
        before = _heap_bytes()
        model = make()
        for x, y in samples:
            model.learn_one(x, y)
        resident_kb = max((_heap_bytes() - before) / 1024, 1.0)
        blob = pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL)
        mb = len(blob) / 1e6
        dump_s = _best(lambda: pickle.dumps(model, protocol=pickle.HIGHEST_PROTOCOL))
        load_s = _best(lambda: pickle.loads(blob))
        row = Row(name, "pickle.dumps + pickle.loads", (dump_s + load_s) * 1e6, 1.0)
        row.notes = (f"{source}, {len(samples)} samples: {len(blob) / 1024:.0f} KiB saved, "
                     f"dump {mb / dump_s:.0f} MB/s, load {mb / load_s:.0f} MB/s, "
                     f"saved / in memory {len(blob) / 1024 / resident_kb:.2f}")
        row.extra = {"bytes": len(blob), "dump_mb_s": mb / dump_s, "load_mb_s": mb / load_s,
                     "heap_kb": resident_kb}
        rows.append(row)
        del model, blob  # freed before the next model's heap is measured
    return rows


if __name__ == "__main__":
    for r in run(quick=False):
        print(r.component, r.notes)
