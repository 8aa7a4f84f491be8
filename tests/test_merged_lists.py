"""The registration lists that branches merge by union keep every entry and comment once."""

from __future__ import annotations

from pathlib import Path

import pytest

import _tarvo_core
import _tarvo_extra
import tarvo

ROOT = Path(__file__).resolve().parents[1]
UNION_MERGED = sorted(
    line.split()[0]
    for line in (ROOT / ".gitattributes").read_text().splitlines()
    if line.strip() and not line.startswith("#") and "merge=union" in line.split()[1:]
)


@pytest.mark.parametrize("name", UNION_MERGED)
def test_no_line_is_repeated(name):
    lines = [line.strip() for line in (ROOT / name).read_text().splitlines()]
    seen: set[str] = set()
    repeated = [line for line in lines if len(line) > 1 and (line in seen or seen.add(line))]
    assert not repeated, f"{name} repeats {repeated} (left by a union merge?)"


def test_package_exports_each_native_class_once():
    assert len(tarvo.__all__) == len(set(tarvo.__all__))
    native = {n: getattr(m, n) for m in (_tarvo_core, _tarvo_extra) for n in dir(m)
              if isinstance(getattr(m, n), type) and not n.startswith("_")}
    assert set(tarvo.__all__) == set(native)
    assert all(getattr(tarvo, n) is cls for n, cls in native.items())
