"""Processor time of a clean build of the package, whole and per translation unit.

``python tools/build_cpu.py REV [REV ...]`` exports each git revision (``WORKTREE`` for the
files as they are) into a temporary directory and builds its wheel from scratch, one after the
other in this one run, with ``pip wheel --no-build-isolation`` (the build ``pip install .``
runs, without fetching the build tools): CMake's configure step, the compiles, the links and
the packing. It reports the user+system seconds of the whole build (every process it waited
for) and of each compile and link, read by ``/usr/bin/time`` around each compiler call, so the
figures hold on a machine whose other load varies. The compiler cache is off (``CCACHE_DISABLE``).

A revision named twice is built twice (``REV1 REV2 REV1 REV2`` alternates them, so that a change
in the machine's load shows as a difference between rounds). ``--budget SECONDS`` fails (exit
status 1) when a source file of the last build takes more, ``--unity-budget SECONDS`` when one
of its unity files does, ``--total-budget SECONDS`` when that whole build does. The output is the markdown that ``bench/results/build.md`` quotes.
"""

from __future__ import annotations

import argparse
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]

# Wraps each compiler and linker call: appends "user system output" to $TARVO_TU_LOG.
LAUNCHER = """#!/bin/sh
out=?
prev=
for arg in "$@"; do
    if [ "$prev" = "-o" ]; then out=$arg; fi
    prev=$arg
done
exec /usr/bin/time -a -o "$TARVO_TU_LOG" -f "%U %S $out" "$@"
"""


@dataclass
class Build:
    rev: str
    cpu: float = 0.0
    wall: float = 0.0
    steps: dict[str, float] = field(default_factory=dict)  # output file -> user+system seconds

    def compiles(self) -> dict[str, float]:
        return {k: v for k, v in self.steps.items() if not k.startswith("link ")}

    def links(self) -> dict[str, float]:
        return {k: v for k, v in self.steps.items() if k.startswith("link ")}


def short_name(output: str) -> str:
    """The step's name: the source it compiles, the unity file with its module, the precompiled
    header with its target, or the module it links.

    ``CMakeFiles/_tarvo_core.dir/bindings/bind_tree.cpp.o`` -> ``bindings/bind_tree.cpp``;
    ``CMakeFiles/_tarvo_core.dir/Unity/unity_main_cxx.cxx.o`` -> ``_tarvo_core unity file main``.
    """
    if ".dir/" in output:
        target, rest = output.split(".dir/", 1)
        target = Path(target).name
        if rest.startswith("Unity/unity_"):
            return f"{target} unity file {rest[len('Unity/unity_'):].split('_cxx')[0]}"
        if rest.startswith("cmake_pch"):
            return f"{target} precompiled header"
        if rest.endswith(".o"):
            return rest[: -len(".o")]
    return "link " + Path(output).name


def export(rev: str, into: Path) -> None:
    into.mkdir(parents=True)
    if rev == "WORKTREE":
        files = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                               check=True, capture_output=True).stdout.decode().split("\0")
        for name in filter(None, files):
            src = ROOT / name
            if src.is_file():
                (into / name).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy2(src, into / name)
        return
    archive = subprocess.run(["git", "archive", "--format=tar", rev], cwd=ROOT, check=True, capture_output=True)
    subprocess.run(["tar", "-x", "-C", str(into)], input=archive.stdout, check=True)


def build(rev: str, work: Path, jobs: int) -> Build:
    src, wheels, log = work / "src", work / "wheel", work / "steps.log"
    export(rev, src)
    launcher = work / "timed.sh"
    launcher.write_text(LAUNCHER)
    launcher.chmod(0o755)
    env = {**os.environ, "CCACHE_DISABLE": "1", "TARVO_TU_LOG": str(log), "CMAKE_BUILD_PARALLEL_LEVEL": str(jobs)}
    cmd = [sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "--quiet", "-w", str(wheels),
           f"--config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER={launcher}",
           f"--config-settings=cmake.define.CMAKE_CXX_LINKER_LAUNCHER={launcher}",
           f"--config-settings=build-dir={work / 'build'}", str(src)]
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(cmd, env=env, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    result = Build(rev, cpu=(after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime), wall=wall)
    for line in log.read_text().splitlines():
        user, system, output = line.split(" ", 2)
        name = short_name(output)
        result.steps[name] = result.steps.get(name, 0.0) + float(user) + float(system)
    return result


def report(builds: list[Build], top: int) -> str:
    lines = ["| build | whole build CPU s | compiles CPU s | links CPU s | translation units | wall s (-j2, shared) |",
             "|---|---:|---:|---:|---:|---:|"]
    for b in builds:
        lines.append(f"| {b.rev} | {b.cpu:.1f} | {sum(b.compiles().values()):.1f} | {sum(b.links().values()):.1f} "
                     f"| {len(b.compiles())} | {b.wall:.0f} |")
    for b in builds:
        lines += ["", f"Slowest steps of {b.rev} (user+system seconds):", "", "| step | CPU s |", "|---|---:|"]
        for name, seconds in sorted(b.steps.items(), key=lambda kv: -kv[1])[:top]:
            lines.append(f"| {name} | {seconds:.1f} |")
    return "\n".join(lines) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("revs", nargs="+", help="git revisions to build, or WORKTREE")
    parser.add_argument("--jobs", type=int, default=2, help="parallel compiles (default 2)")
    parser.add_argument("--top", type=int, default=8, help="how many of the slowest steps to list (default 8)")
    parser.add_argument("--budget", type=float, help="most CPU seconds one source file of the last build may take")
    parser.add_argument("--unity-budget", type=float, help="most CPU seconds one unity file of the last build may take")
    parser.add_argument("--total-budget", type=float, help="most CPU seconds the last whole build may take")
    parser.add_argument("--keep", action="store_true", help="keep the temporary build directories")
    args = parser.parse_args(argv)
    if not Path("/usr/bin/time").exists():
        parser.error("needs /usr/bin/time (apt-get install time)")

    work = Path(tempfile.mkdtemp(prefix="tarvo-build-cpu-"))
    builds = []
    try:
        for i, rev in enumerate(args.revs):
            print(f"building {rev} ...", file=sys.stderr, flush=True)
            builds.append(build(rev, work / f"{i}", args.jobs))
            if args.revs.count(rev) > 1:
                builds[-1].rev += f" (round {args.revs[: i + 1].count(rev)})"
    finally:
        if args.keep:
            print(f"kept {work}", file=sys.stderr)
        else:
            shutil.rmtree(work, ignore_errors=True)
    print(report(builds, args.top), end="")

    last, status = builds[-1], 0
    for name, seconds in last.compiles().items():
        budget = args.unity_budget if " unity file " in name else args.budget
        if budget is not None and seconds > budget:
            print(f"over budget: {name} took {seconds:.1f} CPU s (budget {budget:g})", file=sys.stderr)
            status = 1
    if args.total_budget is not None and last.cpu > args.total_budget:
        print(f"over budget: the build took {last.cpu:.1f} CPU s (budget {args.total_budget:g})", file=sys.stderr)
        status = 1
    return status


if __name__ == "__main__":
    sys.exit(main())
