"""Runs every ``bench/bench_*.py`` and writes the report under ``bench/results/``.

Each benchmark module defines ``run(quick: bool) -> list[Row]``. The report is
one markdown table (``bench/results/latest.md``) and the same figures as JSON
(``bench/results/latest.json``).
"""

from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import platform
import sys
import time

from harness import Row

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"


def fmt(v: float | None, digits: int = 2) -> str:
    return "" if v is None else f"{v:.{digits}f}"


def table(rows: list[Row]) -> str:
    head = (
        "| component | operation | µs/sample | floor µs | ratio to floor | native ns/sample "
        "| peer | peer µs/sample | peer slower by | notes |\n"
        "|---|---|---:|---:|---:|---:|---|---:|---:|---|\n"
    )
    lines = [
        f"| {r.component} | {r.operation} | {fmt(r.us_per_sample, 3)} | {fmt(r.floor_us, 3)} "
        f"| {fmt(r.ratio)}× | {fmt(r.native_ns, 1)} | {r.peer or ''} | {fmt(r.peer_us, 1)} "
        f"| {fmt(r.peer_ratio, 0) + '×' if r.peer_ratio else ''} | {r.notes} |"
        for r in rows
    ]
    return head + "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="shorter streams, for a smoke run")
    parser.add_argument("only", nargs="*", help="names of benchmark modules to run (default: all)")
    args = parser.parse_args(argv)

    sys.path.insert(0, str(HERE))
    names = args.only or sorted(p.stem for p in HERE.glob("bench_*.py"))
    rows: list[Row] = []
    started = time.perf_counter()
    for name in names:
        module = importlib.import_module(name if name.startswith("bench_") else f"bench_{name}")
        print(f"== {module.__name__}", flush=True)
        new_rows = module.run(args.quick)
        print(table(new_rows), flush=True)
        rows.extend(new_rows)
    elapsed = time.perf_counter() - started

    RESULTS.mkdir(exist_ok=True)
    header = (
        f"# Benchmark report\n\nMachine: {platform.machine()}, {platform.processor() or 'cpu'}; "
        f"Python {platform.python_version()}; {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}; "
        f"run took {elapsed:.0f} s.\n\nµs per sample from Python; the floor is a native call "
        "converting the same arguments and doing nothing; the peer column is how many times "
        "slower the peer is per sample.\n\n"
    )
    (RESULTS / "latest.md").write_text(header + table(rows))
    (RESULTS / "latest.json").write_text(json.dumps([r.to_dict() for r in rows], indent=2))
    print(f"wrote {RESULTS / 'latest.md'} ({elapsed:.0f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
