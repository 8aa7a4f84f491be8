"""Native per-row cost of this build against an earlier revision's, timed in one run.

The earlier build is the cache ``make base-build`` writes (``tools/base_build.py``: ``BASE``,
32fbdda by default, into ``build/base``; ``TARVO_BASE_BUILD`` names another directory). Each
build's test-only module times ``predict_one`` + ``learn_one`` natively over the same samples,
already converted to feature maps, in a process of its own (one Python cannot load two builds of
one module); the processes alternate, and each figure is the best of its rounds. Both builds must
also predict the same: the sum of the predictions is compared, so a speed-up that moved a result
shows as a failure.

Rows: each learner's per-row cost in this build, with the earlier build's as the floor, so the
ratio column is "this build's time over the base's" (below 1: faster). The targets for the work
on rows compiled once: linear models 2× faster, the Hoeffding tree 1.4×, the boosters 1.35×, the
forests 1.15×. Skipped, with one line, when the cache is missing.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
from pathlib import Path

from harness import Row

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

# (name, constructor keywords, classifier?, target speed-up)
LEARNERS: list[tuple[str, dict[str, object], bool, float]] = [
    ("LogisticRegressionClassifier", {}, True, 2.0),
    ("Perceptron", {}, True, 2.0),
    ("LinearRegression", {}, False, 2.0),
    ("NaiveBayes", {}, True, 1.0),
    ("HoeffdingTreeClassifier", {}, True, 1.4),
    ("SGBTClassifier", {"n_models": 5}, True, 1.35),
    ("ARFClassifier", {"n_models": 5}, True, 1.15),
]

WORKER = """
import csv, json, sys
import _tarvo_core as core, _tarvo_probe as probe
path, n, repeat = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
learners = json.loads(sys.argv[4])
rows = []
with open(path, newline="") as f:
    for record in csv.DictReader(f):
        y = int(record.pop("class"))
        rows.append(({k: float(v) for k, v in record.items()}, y))
rows = rows[:n]
targets = [({k: v for k, v in x.items() if k != "nswdemand"}, x["nswdemand"]) for x, _ in rows]
out = {}
for name, params, classifier in learners:
    best, checksum = float("inf"), None
    for _ in range(repeat):
        model = getattr(core, name)(**params)
        if classifier:
            ns, total = probe.classifier_stream_ns(model, rows)
        else:
            ns, total = probe.regressor_stream_ns(model, targets)
        best, checksum = min(best, ns), total
    out[name] = [best, checksum]
print(json.dumps(out))
"""


def base_dir() -> Path:
    return Path(os.environ.get("TARVO_BASE_BUILD") or ROOT / "build" / "base")


def current_dir() -> Path | None:
    for entry in os.environ.get("PYTHONPATH", "").split(os.pathsep):
        if entry and any(Path(entry).glob("_tarvo_probe*.so")):
            return Path(entry).resolve()
    return None


def measure(build: Path, data: Path, n: int, repeat: int) -> dict[str, list[float]]:
    learners = json.dumps([[name, params, classifier] for name, params, classifier, _ in LEARNERS])
    env = {**os.environ, "PYTHONPATH": str(build)}
    done = subprocess.run([sys.executable, "-c", WORKER, str(data), str(n), str(repeat), learners], env=env,
                          check=True, capture_output=True, text=True)
    return json.loads(done.stdout)


def run(quick: bool) -> list[Row]:
    from bench_forests import elec_path

    base, current, data = base_dir(), current_dir(), elec_path()
    revision = (base / "revision").read_text().strip()[:7] if (base / "revision").is_file() else None
    reason = None
    if revision is None or not any(base.glob("_tarvo_probe*.so")):
        reason = f"no base build in {base} (make base-build)"
    elif current is None:
        reason = "this build's test-only module is not on PYTHONPATH"
    elif data is None:
        reason = "shared/datasets/elec.csv is not at hand"
    if reason is not None:
        print(f"bench_base skipped: {reason}")
        return []
    n, rounds, repeat = (3_000, 1, 2) if quick else (20_000, 3, 2)
    best: dict[str, dict[str, list[float]]] = {"base": {}, "current": {}}
    for _ in range(rounds):
        for side, build in (("base", base), ("current", current)):
            for name, (ns, checksum) in measure(build, data, n, repeat).items():
                old = best[side].get(name)
                best[side][name] = [min(ns, old[0]) if old else ns, checksum]
    rows = []
    for name, _, _, target in LEARNERS:
        (ns_base, sum_base), (ns_now, sum_now) = best["base"][name], best["current"][name]
        speedup = ns_base / ns_now
        same = "same predictions" if sum_base == sum_now else f"PREDICTIONS DIFFER ({sum_now} against {sum_base})"
        verdict = "" if target <= 1.0 else f" (target {target:g}×: {'met' if speedup >= target else 'missed'})"
        row = Row(name, f"native predict_one + learn_one against {revision}, electricity ({n:,} rows)",
                  ns_now / 1000.0, ns_base / 1000.0, native_ns=ns_now,
                  notes=f"floor: the {revision} build's native time; {speedup:.2f}× faster{verdict}; {same}")
        row.extra = {"base_revision": revision, "base_ns": ns_base, "ns": ns_now, "same_predictions": sum_base == sum_now}
        rows.append(row)
    return rows


if __name__ == "__main__":
    for row in run("--quick" in sys.argv):
        print(f"{row.component:30} {row.native_ns:10.1f} ns  base {row.floor_us * 1000:10.1f} ns  {row.notes}")
