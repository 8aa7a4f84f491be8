"""Every class's answers (of _tarvo_core and _tarvo_extra) and saved bytes on fixed seeded streams equal the committed golden
digests (tests/golden/digests.json), so a change that moved the per-sample and the batch
paths alike is still caught. A mismatch names the class, the stream and the first step that
differs."""

from __future__ import annotations

import json

import pytest

import _tarvo_core as core
import _tarvo_extra as extra
import golden

EXPECTED = json.loads(golden.FIXTURE.read_text())
CASES = [(name, stream) for name in golden.MAKE for stream in golden.streams_of(golden.kind_of(golden.MAKE[name]()))]


def test_every_class_has_digests():
    classes = {n for module in (core, extra) for n in dir(module)
               if not n.startswith("_") and n not in ("IClassifier", "IRegressor", "ITransformer")}
    assert set(golden.MAKE) == classes == set(EXPECTED)


@pytest.mark.parametrize("name, stream", CASES, ids=[f"{n}-{s}" for n, s in CASES])
def test_answers_and_saved_bytes_equal_the_golden_digests(name, stream):
    got, want = golden.run(name, stream), EXPECTED[name][stream]
    if got["steps"] != want["steps"]:
        first = next(i for i in range(0, max(len(got["steps"]), len(want["steps"])), 4)
                     if got["steps"][i:i + 4] != want["steps"][i:i + 4])
        pytest.fail(f"{name} on the {stream} stream answers differently from step {first // 4 + 1} on")
    assert got["answers"] == want["answers"], f"{name} on the {stream} stream: the answers differ"
    assert got["state"] == want["state"], f"{name} on the {stream} stream: the saved bytes differ at the end"
