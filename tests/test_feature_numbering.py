"""The feature numbering: numbers in order of first appearance, a bound, roll-back, and the table order and
saved bytes of a table keyed by the name and filled alike."""

from __future__ import annotations

import random

import pytest

import _tarvo_probe as probe

FULL = "full"  # the probe's message for the bound


class Reference:
    """What the numbering answers, kept in a dict."""

    def __init__(self, bound: int) -> None:
        self.bound = bound
        self.numbers: dict[str, int] = {}

    def apply(self, op: str, name: str, count: int):
        if op == "add":
            if name not in self.numbers and len(self.numbers) >= self.bound:
                return FULL
            return self.numbers.setdefault(name, len(self.numbers))
        if op == "find":
            return self.numbers.get(name)
        if op == "truncate":
            self.numbers = {n: i for n, i in self.numbers.items() if i < count}
        elif op == "clear":
            self.numbers = {}
        return None

    def names(self) -> list[str]:
        return sorted(self.numbers, key=self.numbers.__getitem__)


def replay(ops, bound):
    answers, names, first_difference = probe.feature_numbering_replay(ops, bound)
    ref = Reference(bound)
    assert answers == [ref.apply(*op) for op in ops]
    assert names == ref.names()
    assert first_difference is None, f"the numbering left the name-keyed table at step {first_difference}"
    return answers


def add(name):
    return ("add", name, 0)


def find(name):
    return ("find", name, 0)


def truncate(count):
    return ("truncate", "", count)


RELOAD = ("reload", "", 0)
CLEAR = ("clear", "", 0)


def test_worked_example():
    ops = [add("b"), add("a"), add("b"), find("z"), add("c"),
           add("d"),  # beyond the bound: nothing changes
           truncate(1), find("a"), add("c"), RELOAD, find("c"), CLEAR, add("c")]
    assert replay(ops, bound=3) == [0, 1, 0, None, 2, FULL, None, None, 1, None, 1, None, 0]


@pytest.mark.parametrize("seed", range(12))
def test_random_operations_match_a_dict_and_a_name_keyed_table(seed):
    rng = random.Random(seed)
    # Short names and long ones (kept outside the string), from a pool small enough to repeat.
    pool = [f"f{i}" for i in range(40)] + [f"a feature with a long name {i}" for i in range(40)]
    bound = rng.choice([1, 5, 30, 2**32 - 1])
    ops = []
    for _ in range(300):
        roll = rng.random()
        if roll < 0.6:
            ops.append(add(rng.choice(pool)))
        elif roll < 0.8:
            ops.append(find(rng.choice(pool)))
        elif roll < 0.9:
            ops.append(truncate(rng.randrange(0, 60)))
        else:
            ops.append(RELOAD if roll < 0.97 else CLEAR)
    replay(ops, bound)


@pytest.mark.parametrize(
    "entries, bound, names",
    [
        ([("b", 1), ("a", 0), ("c", 2)], 10, ["a", "b", "c"]),
        ([], 10, []),
        ([("a", 0), ("b", 2)], 10, "not 0, 1, 2"),
        ([("a", 1), ("b", 1)], 10, "not 0, 1, 2"),
        ([("a", 2**32), ("b", 0)], 10, "not 0, 1, 2"),  # beyond the number's width
        ([("a", 0), ("b", 1)], 1, FULL),
    ],
)
def test_loading_checks_the_numbers(entries, bound, names):
    if isinstance(names, list):
        assert probe.feature_numbering_load(entries, bound) == names
    else:
        with pytest.raises(ValueError, match=names):
            probe.feature_numbering_load(entries, bound)
