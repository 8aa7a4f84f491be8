"""Soak: a long stream through the heavier learners, with resident memory along the way.

Each learner runs in a fresh process, so that its resident set is its own: the
stream is generated in chunks of 10 000 samples (a chunk is freed before the
next one is made), each chunk is fed test-then-train, and the resident set is
read every tenth of the stream. The stream changes concept every 100 000
samples (Agrawal functions 1, 5, 2, 8, ... for the classifiers; Friedman
concepts 1, 2, 3 for the regressor), so drift detectors fire and members are
replaced all along, as in a long-running deployment.

Writes ``results/soak.md`` (the resident set per class at every reading) and,
when matplotlib is present, ``results/soak.png``. The allocator keeps freed
memory for reuse rather than returning it, so a reading is close to the
largest the learner has been so far. What growth to expect, and what 10^6
samples showed:

- ``ARFClassifier``, ``SRPClassifier``, ``LeveragingBaggingRegressor``: their
  trees grow between drifts and are replaced on a drift (Hoeffding trees have
  no size bound by default, so without drifts they grow with the stream).
  ARF and the leveraging bagging stayed flat after the first concept; SRP
  grew once, by 31 MB, on the one concept (Agrawal function 7) whose trees
  grew larger before they were replaced, and stayed flat again after it.
- ``SGBTClassifier``: every stage is a tree that splits until ``max_depth``
  (20 by default): up to 2^20 leaves, so it grows with the stream for a long
  time (+110 MB from the reading at 200 000 samples, 84 MB of it on Agrawal function 7,
  flat on most other concepts). A smaller ``max_depth`` bounds it: a single
  tree of depth 6 stops growing within 10 000 samples.
- The pipeline (scaler, selector, Hoeffding tree): the transformers hold a
  fixed amount per feature and the tree grows slowly: +0.4 MB.

``--quick`` runs a tenth of the stream.
"""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
import time

from harness import Row, per_item_us

HERE = pathlib.Path(__file__).resolve().parent
CHUNK = 10_000
CONCEPT_LENGTH = 100_000
AGRAWAL_CYCLE = (1, 5, 2, 8, 3, 6, 4, 9, 7, 10)
FRIEDMAN_CYCLE = (1, 2, 3)

# name -> (task, constructor expression evaluated against the module's namespace, note)
CASES: dict[str, tuple[str, str, str]] = {
    "ARFClassifier": ("classification", "ARFClassifier(seed=1)", "10 trees"),
    "SRPClassifier": ("classification", "SRPClassifier(seed=1)", "10 members"),
    "LeveragingBaggingRegressor": ("regression", "LeveragingBaggingRegressor(seed=1)", "10 FIMTDD members"),
    "SGBTClassifier": ("classification", "SGBTClassifier(n_models=5)", "5 stages instead of 100, to keep the run short"),
    "ClassificationPipeline": (
        "classification",
        "ClassificationPipeline([StandardScaler(), SelectKBest(k=5)], HoeffdingTreeClassifier())",
        "StandardScaler → SelectKBest(k=5) → HoeffdingTreeClassifier",
    ),
}


def _rss_kb() -> int:
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)


def _chunks(task: str, n: int):
    """The stream in chunks of CHUNK samples, changing concept every CONCEPT_LENGTH samples."""
    from tarvo.stream import Agrawal, Friedman

    done = 0
    while done < n:
        block = min(CONCEPT_LENGTH, n - done)
        k = done // CONCEPT_LENGTH
        if task == "classification":
            stream = Agrawal(block, concepts=(AGRAWAL_CYCLE[k % len(AGRAWAL_CYCLE)],), perturbation=0.05, seed=k + 1)
        else:
            stream = Friedman(block, concepts=(FRIEDMAN_CYCLE[k % len(FRIEDMAN_CYCLE)],), seed=k + 1)
        it = iter(stream)
        left = block
        while left > 0:
            size = min(CHUNK, left)
            yield [next(it) for _ in range(size)]
            left -= size
        done += block


def child(name: str, n: int) -> None:
    """Runs one learner over n samples and prints a JSON line per reading."""
    import _tarvo_core

    task, expression, _ = CASES[name]
    model = eval(expression, vars(_tarvo_core))  # noqa: S307 - a fixed expression from CASES
    every = max(CHUNK, n // 10)
    print(json.dumps({"step": 0, "rss_kb": _rss_kb(), "seconds": 0.0}), flush=True)
    seen, busy = 0, 0.0
    for chunk in _chunks(task, n):
        predict, learn = model.predict_one, model.learn_one
        started = time.perf_counter()
        for x, y in chunk:
            predict(x)
            learn(x, y)
        busy += time.perf_counter() - started
        seen += len(chunk)
        del chunk
        if seen % every == 0 or seen == n:
            print(json.dumps({"step": seen, "rss_kb": _rss_kb(), "seconds": busy}), flush=True)


def _run_child(name: str, n: int) -> list[dict[str, float]]:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run(
        [sys.executable, __file__, "--child", name, str(n)], capture_output=True, text=True, env=env, check=True
    )
    return [json.loads(line) for line in done.stdout.splitlines() if line.startswith("{")]


def _report(n: int, readings: dict[str, list[dict[str, float]]]) -> str:
    steps = [int(r["step"]) for r in next(iter(readings.values()))]
    head = "| class | " + " | ".join(f"{s:,}" for s in steps) + " | after warm-up |\n"
    head += "|---|" + "---:|" * (len(steps) + 1) + "\n"
    lines = []
    for name, rows in readings.items():
        mb = [r["rss_kb"] / 1024 for r in rows]
        warm = mb[2] if len(mb) > 2 else mb[-1]
        lines.append(f"| {name} | " + " | ".join(f"{v:.1f}" for v in mb) + f" | {mb[-1] - warm:+.1f} MB |")
    return (
        f"# Soak: resident memory (MB) over {n:,} samples\n\n"
        "Each learner in its own process; readings every tenth of the stream; the concept changes every "
        f"{CONCEPT_LENGTH:,} samples. \"After warm-up\" is the growth from the reading at 200,000 samples to the last.\n\n"
        + head + "\n".join(lines) + "\n"
    )


def _plot(n: int, readings: dict[str, list[dict[str, float]]], path: pathlib.Path) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, ax = plt.subplots(figsize=(8, 4.5))
    for name, rows in readings.items():
        ax.plot([r["step"] for r in rows], [r["rss_kb"] / 1024 for r in rows], marker="o", label=name)
    ax.set_xlabel("samples")
    ax.set_ylabel("resident memory (MB)")
    ax.set_title(f"Soak over {n:,} samples")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def run(quick: bool) -> list[Row]:
    n = 100_000 if quick else 1_000_000
    readings = {name: _run_child(name, n) for name in CASES}
    results = HERE / "results"
    results.mkdir(exist_ok=True)
    (results / "soak.md").write_text(_report(n, readings))
    _plot(n, readings, results / "soak.png")
    import _tarvo_probe as probe

    floors = {}
    for task in ("classification", "regression"):
        chunk = next(_chunks(task, CHUNK))
        predict = probe.floor_predict if task == "classification" else probe.floor_predict_target
        learn = probe.floor_learn if task == "classification" else probe.floor_learn_target
        floors[task] = per_item_us(lambda item, p=predict, lr=learn: (p(item[0]), lr(item[0], item[1])), chunk)
    rows = []
    for name, series in readings.items():
        first, warm, last = series[0], series[min(2, len(series) - 1)], series[-1]
        rows.append(
            Row(
                name,
                f"soak: predict_one + learn_one over {n:.0e} samples",
                last["seconds"] / n * 1e6,
                floors[CASES[name][0]],
                notes=(
                    f"{CASES[name][2]}; RSS {first['rss_kb'] / 1024:.0f} → {warm['rss_kb'] / 1024:.0f} MB at "
                    f"{int(warm['step']):,} → {last['rss_kb'] / 1024:.0f} MB at {int(last['step']):,} (results/soak.md)"
                ),
            )
        )
    return rows


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]))
    else:
        sys.path.insert(0, str(HERE))
        for row in run("--quick" in sys.argv):
            print(row.component, f"{row.us_per_sample:.1f} µs/sample;", row.notes)
