"""Runs every ``bench/bench_*.py`` and writes the report under ``bench/results/``.

Each benchmark module defines ``run(quick: bool) -> list[Row]``. The report is
one markdown table (``bench/results/latest.md``) and the same figures as JSON
(``bench/results/latest.json``). With ``--merge``, the named modules' rows replace
their own rows of the existing report and every other row stays.
"""

from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import platform
import re
import sys
import time
import traceback

from harness import Row

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"
BUDGET_S = 1200  # `make bench` must finish within twenty minutes (the soak takes about ten)


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
        f"| {fmt(r.peer_ratio, 1 if r.peer_ratio < 10 else 0) + '×' if r.peer_ratio else ''} | {r.notes} |"
        for r in rows
    ]
    return head + "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="shorter streams, for a smoke run")
    parser.add_argument("--merge", action="store_true",
                        help="put the named modules' rows into the existing report instead of writing a new one")
    parser.add_argument("only", nargs="*", help="names of benchmark modules to run (default: all)")
    args = parser.parse_args(argv)
    if args.merge and not args.only:
        parser.error("--merge needs the names of the modules to run")

    sys.path.insert(0, str(HERE))
    names = args.only or sorted(p.stem for p in HERE.glob("bench_*.py"))
    rows: list[Row] = []
    timings: list[tuple[str, float, str]] = []
    started = time.perf_counter()
    for name in names:
        module_name = name if name.startswith("bench_") else f"bench_{name}"
        print(f"== {module_name}", flush=True)
        begun = time.perf_counter()
        try:
            new_rows = importlib.import_module(module_name).run(args.quick)
        except Exception as exc:  # one broken benchmark must not lose the others' figures
            traceback.print_exc()
            timings.append((module_name, time.perf_counter() - begun, f"failed: {type(exc).__name__}: {exc}"))
            continue
        timings.append((module_name, time.perf_counter() - begun, ""))
        print(table(new_rows), flush=True)
        for row in new_rows:
            row.module = module_name
        rows.extend(new_rows)
    elapsed = time.perf_counter() - started

    RESULTS.mkdir(exist_ok=True)
    now = time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())
    when = f"{now}; run took {elapsed:.0f} s"
    if args.merge:
        rows, timings, when = merged(rows, timings, when)
    header = (
        f"# Benchmark report\n\nMachine: {platform.machine()}, {platform.processor() or 'cpu'}; "
        f"Python {platform.python_version()}; {when}.\n\nµs per sample from Python; the floor is a native call "
        "converting the same arguments and doing nothing; the peer column is how many times "
        "slower the peer is per sample.\n\n"
    )
    missing = unmeasured(rows)
    report = header + table(rows) + "\n" + modules_table(timings)
    if missing and (args.merge or not args.only):
        report += "\nBuilt classes with no figure in this report: " + ", ".join(f"`{n}`" for n in missing) + ".\n"
    (RESULTS / "latest.md").write_text(report)
    (RESULTS / "latest.json").write_text(json.dumps([r.to_dict() for r in rows], indent=2))
    print(f"wrote {RESULTS / 'latest.md'} ({elapsed:.0f} s)")
    if elapsed > BUDGET_S:
        print(f"warning: the run took {elapsed:.0f} s, over the {BUDGET_S} s budget of `make bench`", file=sys.stderr)
    return 1 if any(note for _, _, note in timings) else 0


def merged(rows: list[Row], timings: list[tuple[str, float, str]], when: str
           ) -> tuple[list[Row], list[tuple[str, float, str]], str]:
    """The existing report with the rows and timings of the modules just run in place of their
    own (a module new to the report goes at the end), and the header's account of when."""
    ran = {name for name, _, _ in timings}
    old_json = RESULTS / "latest.json"
    old_rows = [Row.from_dict(d) for d in json.loads(old_json.read_text())] if old_json.is_file() else []
    out: list[Row] = []
    placed = False
    for row in old_rows:
        if row.module in ran:
            if not placed:
                out.extend(rows)
                placed = True
        else:
            out.append(row)
    if not placed:
        out.extend(rows)

    old_md = RESULTS / "latest.md"
    text = old_md.read_text() if old_md.is_file() else ""
    old_timings = [(name, float(seconds), "" if note == "ok" else note)
                   for name, seconds, note in re.findall(r"^\| (bench_\w+) \| ([\d.]+) \| (.*) \|$", text, re.M)]
    new = {name: (name, seconds, note) for name, seconds, note in timings}
    all_timings = [new.pop(name, (name, seconds, note)) for name, seconds, note in old_timings] + list(new.values())
    full = re.search(r"; (\d{4}-\d\d-\d\d \d\d:\d\d UTC); run took (\d+) s", text)
    names = ", ".join(sorted(ran))
    if full:
        when = f"{full.group(1)}; run took {full.group(2)} s; rows of {names} from a run on {when.replace('; run took', ', which took')}"
    return out, all_timings, when


def unmeasured(rows: list[Row]) -> list[str]:
    """Classes of the native modules (interfaces aside) that no row names as its component."""
    import _tarvo_core
    import _tarvo_extra

    measured = {r.component.split(".")[0].split(" ")[0] for r in rows}
    interfaces = {"IClassifier", "IRegressor", "ITransformer"}
    return [
        name
        for module in (_tarvo_core, _tarvo_extra)
        for name in dir(module)
        if isinstance(getattr(module, name), type) and not name.startswith("_")
        and name not in interfaces and name not in measured
    ]


def modules_table(timings: list[tuple[str, float, str]]) -> str:
    lines = ["| benchmark module | seconds | status |", "|---|---:|---|"]
    lines += [f"| {name} | {seconds:.1f} | {note or 'ok'} |" for name, seconds, note in timings]
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    sys.exit(main())
