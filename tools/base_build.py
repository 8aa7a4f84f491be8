"""Builds the native modules of a git revision, with the test-only module, into a cache directory.

``python tools/base_build.py REV OUT`` exports REV (``git archive``) into a temporary directory,
configures it with CMake (Release, ``TARVO_BUILD_PROBE=ON``, the compiler cache when one is on
PATH) and copies the built extension modules into OUT, with ``REV`` in ``OUT/revision``. A cache
that already holds REV's modules is kept as it is. ``bench/bench_base.py`` times the learners of
that build beside this checkout's, in one run (``make base-build`` then ``make bench``).
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def built(out: Path, rev: str) -> bool:
    stamp = out / "revision"
    return stamp.is_file() and stamp.read_text().strip() == rev and any(out.glob("_tarvo_probe*.so"))


def build(rev: str, out: Path) -> None:
    full = subprocess.run(["git", "rev-parse", rev], cwd=ROOT, check=True, capture_output=True, text=True).stdout.strip()
    if built(out, full):
        print(f"{out} already holds {rev} ({full[:10]})")
        return
    import pybind11

    with tempfile.TemporaryDirectory(prefix="tarvo-base-") as tmp:
        src, bld = Path(tmp) / "src", Path(tmp) / "build"
        src.mkdir()
        archive = subprocess.run(["git", "archive", full], cwd=ROOT, check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", str(src)], input=archive, check=True)
        args = ["cmake", "-S", str(src), "-B", str(bld), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                "-DTARVO_BUILD_PROBE=ON", f"-DPython_EXECUTABLE={sys.executable}",
                f"-Dpybind11_DIR={pybind11.get_cmake_dir()}"]
        if shutil.which("ccache"):
            args.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        bin_dir = Path(sys.executable).parent
        env = {"PATH": f"{bin_dir}:{Path('/usr/bin')}:{Path('/bin')}"}
        subprocess.run(args, check=True, env={**env, "HOME": str(Path.home())})
        subprocess.run(["cmake", "--build", str(bld), "-j2"], check=True, env={**env, "HOME": str(Path.home())})
        out.mkdir(parents=True, exist_ok=True)
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        for module in bld.glob(f"_tarvo_*{suffix}"):
            shutil.copy2(module, out / module.name)
    (out / "revision").write_text(full + "\n")
    print(f"built {rev} ({full[:10]}) into {out}")


def main(argv: list[str]) -> int:
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    build(argv[0], Path(argv[1]).resolve())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
