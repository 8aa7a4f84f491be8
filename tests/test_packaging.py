"""What the package tells users to install: third-party packages, the checkout or the wheel, never an index name of ours.

The package index holds an unrelated project under the import name, so `pip install tarvo` (with or
without an extra) installs that project; our own distribution is not on the index yet.
"""

from __future__ import annotations

import importlib
import re
import shlex
import sys
import tomllib
from pathlib import Path

import pytest

import tarvo

ROOT = Path(__file__).resolve().parents[1]
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]

# An argument of `pip install` that names our package on the index: the import name or the
# distribution name, bare, with an extra or with a version (a path like dist/tarvo_stream-....whl is not).
OURS = re.compile(r"^tarvo(?:[-_.]stream)?(?:\[[^\]]*\])?(?:[<>=!~;].*)?$", re.IGNORECASE)
PIP_INSTALL = re.compile(r"pip3?(?:\.\d+)? install\b([^`\n)]*)")
# An extra spelled with the import name, wherever it appears ("'tarvo[plot]'").
OLD_EXTRA = re.compile(r"\btarvo\[[a-z,\s]+\]")


def _texts():
    """Every text a user reads: sources and docstrings of the package and the bindings, the docs, the build files."""
    patterns = ["python/**/*.py", "python/*.pyi", "bindings/**/*.[ch]pp", "src/**/*.[ch]pp", "tools/*.py",
                "tools/*.sh", "tests/*.py", "README.md", "CHANGELOG.md", "Makefile", "pyproject.toml", ".ci/run"]
    for pattern in patterns:
        for path in sorted(ROOT.glob(pattern)):
            if path.is_file() and path.resolve() != Path(__file__).resolve():
                yield path.relative_to(ROOT), path.read_text(encoding="utf-8")


def _index_installs(text):
    """(line, argument) for each `pip install` argument that names our package on the index."""
    found = []
    for number, line in enumerate(text.splitlines(), 1):
        for match in PIP_INSTALL.finditer(line):
            try:
                words = shlex.split(match.group(1))
            except ValueError:
                words = match.group(1).split()
            found += [(number, w) for w in words if not w.startswith("-") and OURS.match(w.strip("'\""))]
    return found


def test_nothing_tells_the_user_to_install_our_package_from_the_index():
    bad = []
    for path, text in _texts():
        bad += [f"{path}:{line}: pip install {word}" for line, word in _index_installs(text)]
        bad += [f"{path}: {m.group(0)}" for m in OLD_EXTRA.finditer(text)]
    assert not bad, "\n".join(bad)


@pytest.mark.parametrize("line, flagged", [
    ("pip install 'tarvo[plot]'", ["tarvo[plot]"]),
    ("python3.12 -m pip install -U tarvo", ["tarvo"]),
    ("`pip install tarvo-stream[sklearn]`", ["tarvo-stream[sklearn]"]),
    ("pip install 'tarvo_stream>=0.1'", ["tarvo_stream>=0.1"]),
    ("pip install '.[sklearn]'", []),
    ("pip install 'dist/tarvo_stream-0.1.0-cp312-cp312-manylinux_2_34_x86_64.whl[sklearn]'", []),
    ("pip install matplotlib (plots)", []),
    ("pip install tarvoise", []),
])
def test_the_check_tells_index_names_from_paths_and_third_party_packages(line, flagged):
    assert [word.strip("'\"") for _, word in _index_installs(line)] == flagged


@pytest.mark.parametrize("extra, missing, load", [
    ("sklearn", "sklearn", lambda: importlib.import_module("tarvo.sklearn")),
    ("spark", "pyspark", lambda: importlib.import_module("tarvo.spark")),
    ("plot", "matplotlib", lambda: importlib.import_module("tarvo.plot").require_matplotlib()),
    ("serve", "uvicorn", lambda: importlib.import_module("tarvo.serve")),
])
def test_a_missing_extra_names_the_packages_to_install(monkeypatch, extra, missing, load):
    """The ImportError quotes `pip install` with each requirement the extra lists in pyproject.toml."""
    for name in [missing, *(n for n in sys.modules if n.startswith(missing + "."))]:
        monkeypatch.setitem(sys.modules, name, None)  # as if it were not installed
    for name in [n for n in sys.modules if n == f"tarvo.{extra}" or n.startswith(f"tarvo.{extra}.")]:
        monkeypatch.delitem(sys.modules, name)
    with pytest.raises(ImportError) as info:
        load()
    message = str(info.value)
    command = message[message.index("pip install "):]
    assert shlex.split(command)[2:] == PROJECT["optional-dependencies"][extra], message
    assert not _index_installs(message)


def test_the_distribution_name_and_version_are_the_projects():
    assert (tarvo.__distribution__, tarvo.__version__) == (PROJECT["name"], PROJECT["version"])
    assert tarvo.__distribution__ != "tarvo"  # the index's "tarvo" is another project
    assert PROJECT["scripts"] == {"tarvo": "tarvo.cli:console_main"}
    assert (ROOT / "LICENSE").read_text(encoding="utf-8").startswith(f"{PROJECT['license']} License")
