"""Synthetic generators: determinism, the published concept functions, drift and noise."""

from __future__ import annotations

import itertools
import math

import pytest

from tarvo.stream import (
    AGRAWAL_FEATURES,
    GENERATORS,
    SEA,
    Agrawal,
    Friedman,
    Hyperplane,
    RandomRBF,
    agrawal_concept,
    friedman1,
    sea_concept,
)


def take(stream, n=None):
    return list(itertools.islice(stream, n)) if n is not None else list(stream)


@pytest.mark.parametrize("name", sorted(GENERATORS))
def test_seeded_streams_replay_exactly_and_have_a_length(name):
    cls = GENERATORS[name]
    a, b, other = cls(1500, seed=5), cls(1500, seed=5), cls(1500, seed=6)
    first = take(a)
    assert len(a) == len(first) == 1500
    assert take(a) == first  # iterating again replays the stream
    assert take(b) == first
    assert take(other) != first
    x, y = first[0]
    assert tuple(x) == a.feature_names
    assert all(type(v) is float for v in x.values())
    assert type(y) is (int if cls.task == "classification" else float)


@pytest.mark.parametrize("name", sorted(GENERATORS))
def test_empty_stream(name):
    assert take(GENERATORS[name](0)) == []


@pytest.mark.parametrize(
    ("concept", "x0", "x1", "label"),
    [(1, 4.0, 4.0, True), (1, 4.0, 4.01, False), (2, 4.5, 4.5, True), (2, 9.0, 0.01, False),
     (3, 3.5, 3.5, True), (3, 0.0, 7.2, False), (4, 5.0, 4.5, True), (4, 9.6, 0.0, False)],
)
def test_sea_label_rule_on_known_points(concept, x0, x1, label):
    assert sea_concept(concept, {"x0": x0, "x1": x1, "x2": 9.9}) is label


# A hand-checked record: salary 60k, commission 20k, age 30, elevel 1, hvalue 300k, 25 years, loan 150k.
RECORD = {"salary": 60e3, "commission": 20e3, "age": 30.0, "elevel": 1.0, "car": 5.0, "zipcode": 2.0,
          "hvalue": 300e3, "hyears": 25.0, "loan": 150e3}


@pytest.mark.parametrize(
    ("function", "changes", "group_a"),
    [
        (1, {}, True),                                     # age < 40
        (1, {"age": 45.0}, False),                         # 40 <= age < 60
        (2, {}, True),                                     # young: 50k <= 60k <= 100k
        (2, {"age": 65.0}, True),                          # old: 25k <= 60k <= 75k
        (2, {"age": 45.0}, False),                         # middle: 60k < 75k
        (3, {}, True),                                     # young: elevel in 0..1
        (3, {"elevel": 2.0}, False),
        (4, {}, True),                                     # young, elevel 0..1: 25k <= 60k <= 75k
        (4, {"salary": 90e3}, False),                      # ... 90k > 75k
        (4, {"salary": 90e3, "elevel": 3.0}, True),        # young, elevel 2..4: 50k <= 90k <= 100k
        (5, {}, True),                                     # young, salary 50k..100k: 100k <= loan <= 300k
        (5, {"salary": 120e3}, False),                     # salary outside: loan must be 200k..400k
        (5, {"salary": 120e3, "loan": 250e3}, True),
        (6, {}, True),                                     # young: 50k <= 80k total <= 100k
        (6, {"commission": 50e3}, False),                  # 110k total
        (7, {}, True),                                     # 53.6k - 30k - 20k = 3.6k > 0
        (8, {"elevel": 4.0}, True),                        # 53.6k - 20k - 20k = 13.6k > 0
        (8, {"salary": 20e3, "commission": 10e3}, False),  # 20.1k - 5k - 20k < 0
        (9, {}, True),                                     # 53.6k - 5k - 30k - 10k = 8.6k > 0
        (9, {"loan": 200e3}, False),                       # 53.6k - 5k - 40k - 10k < 0
        (10, {}, True),                                    # equity 150k: 53.6k - 5k + 30k - 10k > 0
    ],
)
def test_agrawal_functions_on_a_hand_checked_record(function, changes, group_a):
    assert bool(agrawal_concept(function, {**RECORD, **changes})) is group_a


def test_agrawal_disposable_income_boundaries():
    # Function 7: 0.67 * (salary + commission) - 0.2 * loan - 20k > 0; exactly zero is group B.
    x = {**RECORD, "salary": 100e3, "commission": 0.0, "loan": 235e3}
    assert 0.67 * 100e3 - 0.2 * 235e3 - 20e3 == pytest.approx(0.0)
    assert bool(agrawal_concept(7, {**x, "loan": 234e3})) is True
    assert bool(agrawal_concept(7, {**x, "loan": 236e3})) is False
    # Function 10: no equity below 20 years in the house.
    young_house = {**RECORD, "salary": 20e3, "commission": 0.0, "elevel": 4.0, "hyears": 19.0}
    assert bool(agrawal_concept(10, young_house)) is False  # 13.4k - 20k - 10k < 0
    assert bool(agrawal_concept(10, {**young_house, "hyears": 30.0})) is True  # + 0.2 * 300k


def test_agrawal_function_number_is_checked():
    with pytest.raises(ValueError, match="1 to 10"):
        agrawal_concept(11, RECORD)


def test_generated_labels_follow_the_concept_in_force():
    sea = SEA(3000, concepts=(1, 4, 3), drift_at=(1000, 2000), noise=0.0, seed=1)
    assert sea.drift_points == (1000, 2000)
    for t, (x, y) in enumerate(sea):
        assert y == int(sea_concept(1 if t < 1000 else 4 if t < 2000 else 3, x))
        assert all(0.0 <= v < 10.0 for v in x.values())
    agrawal = Agrawal(2000, concepts=(2, 9), noise=0.0, seed=1)  # switch at 1000
    for t, (x, y) in enumerate(agrawal):
        assert y == int(agrawal_concept(2 if t < 1000 else 9, x))
        assert x["commission"] == 0.0 if x["salary"] >= 75e3 else 10e3 <= x["commission"] < 75e3
        assert x["age"].is_integer() and 20 <= x["age"] <= 80
        k = x["zipcode"] + 1
        assert 0.5 * k * 100e3 <= x["hvalue"] < 1.5 * k * 100e3


def test_friedman_targets_follow_the_formula():
    stream = Friedman(400, concepts=(1, 2, 3), drift_at=(100, 250), noise=0.0)
    for t, (x, y) in enumerate(stream):
        a, b, c, d, e = ((x["x0"], x["x1"], x["x2"], x["x3"], x["x4"]) if t < 100 else
                         (x["x3"], x["x4"], x["x1"], x["x0"], x["x2"]) if t < 250 else
                         (x["x1"], x["x4"], x["x3"], x["x2"], x["x0"]))
        assert y == pytest.approx(10 * math.sin(math.pi * a * b) + 20 * (c - 0.5) ** 2 + 10 * d + 5 * e, abs=1e-12)


def test_friedman_formula_on_a_known_point():
    x = {f"x{i}": v for i, v in enumerate([0.5, 1.0, 0.0, 0.2, 0.4, 0.9, 0.9, 0.9, 0.9, 0.9])}
    assert friedman1(1, x) == pytest.approx(10.0 + 5.0 + 2.0 + 2.0)


@pytest.mark.parametrize(("cls", "concept"), [(SEA, sea_concept), (Agrawal, agrawal_concept)])
def test_label_noise_flips_about_that_share(cls, concept):
    stream = cls(20_000, concepts=(1,), noise=0.2, seed=3)
    flipped = sum(y != int(concept(1, x)) for x, y in stream) / len(stream)
    assert flipped == pytest.approx(0.2, abs=0.015)


def test_agrawal_perturbation_moves_numeric_attributes_within_their_ranges():
    rows = [x for x, _ in Agrawal(3000, perturbation=0.1, seed=2)]
    assert any(not x["age"].is_integer() for x in rows)
    assert all(x["elevel"].is_integer() and x["car"].is_integer() for x in rows)
    assert all(20.0 <= x["age"] <= 80.0 and 0.0 <= x["loan"] <= 500e3 for x in rows)


def test_hyperplane_without_drift_is_a_monotone_threshold():
    # The weights start non-negative, so a sample dominating another cannot have a lower label.
    rows = take(Hyperplane(600, n_features=2, n_drift_features=0, noise=0.0, seed=4))
    for (xa, ya), (xb, yb) in itertools.combinations(rows, 2):
        if xa["x0"] <= xb["x0"] and xa["x1"] <= xb["x1"]:
            assert ya <= yb
    assert 0.35 < sum(y for _, y in rows) / len(rows) < 0.65


def test_hyperplane_rotates_towards_the_drifting_weight():
    # x1's weight grows by 0.01 per sample and never turns: late samples are labelled by x1 >= 0.5.
    stream = Hyperplane(6000, n_features=2, n_drift_features=2, mag_change=0.01, sigma=0.0, noise=0.0,
                        seed=4)
    late = take(stream)[-1000:]
    agree = sum(y == int(x["x0"] + x["x1"] >= 1.0) for x, y in late) / len(late)
    assert agree > 0.97


def test_hyperplane_direction_reversals():
    # Reversing after every sample, x0's weight alternates between w0 and w0 + 100: the odd
    # samples are labelled by x0 >= 0.5 (nearly), the even ones by the initial hyperplane.
    rows = take(Hyperplane(4000, n_features=2, n_drift_features=1, mag_change=100.0, sigma=1.0, noise=0.0,
                           seed=4))
    odd = [int(x["x0"] >= 0.5) == y for x, y in rows[1::2]]
    even = [int(x["x0"] >= 0.5) == y for x, y in rows[0::2]]
    assert sum(odd) / len(odd) > 0.98
    assert sum(even) / len(even) < 0.95


def test_rbf_labels_come_from_centroids_and_noise_changes_them():
    clean = take(RandomRBF(500, n_centroids=1, n_classes=3, noise=0.0, seed=8))
    labels = {y for _, y in clean}
    assert len(labels) == 1
    noisy = take(RandomRBF(500, n_centroids=1, n_classes=3, noise=1.0, seed=8))
    assert labels.isdisjoint({y for _, y in noisy})
    assert {y for _, y in noisy} <= {0, 1, 2}


def test_rbf_moving_centroid_carries_its_samples():
    def steps(speed):
        rows = take(RandomRBF(4000, n_features=2, n_centroids=1, speed=speed, seed=9))
        means = [[sum(x[f"x{j}"] for x, _ in rows[i : i + 500]) / 500 for j in range(2)] for i in range(0, 4000, 500)]
        return [math.dist(a, b) for a, b in zip(means, means[1:])]

    assert max(steps(0.0)) < 0.1
    assert max(steps(1e-3)) > 0.25  # 0.5 per block of 500 samples, less any bounce inside the block


def test_evenly_spaced_drifts_and_params_round_trip():
    stream = Agrawal(1000, concepts=(1, 2, 3, 4), seed=3)
    assert stream.drift_points == (250, 500, 750)
    again = Agrawal(**{k: v for k, v in stream.params().items()})
    assert take(again, 20) == take(stream, 20)
    assert repr(stream).startswith("Agrawal(n_samples=1000, seed=3, concepts=[1, 2, 3, 4]")
    assert set(AGRAWAL_FEATURES) == set(take(stream, 1)[0][0])


@pytest.mark.parametrize(
    ("name", "first_values", "first_y", "sum_y"),
    [
        ("agrawal", [120614.28631227523, 0.0, 32.0], 1, 662),
        ("friedman", [0.7739560485559633, 0.4388784397520523, 0.8585979199113825], 16.891195393981516, 14149.799135),
        ("hyperplane", [0.37079802423258124, 0.9267649888486018, 0.6438651200806645], 0, 481),
        ("rbf", [0.20809582713531066, 0.7786343768478995, 0.2911379664608335], 0, 488),
        ("sea", [7.739560485559633, 4.388784397520523, 8.585979199113824], 0, 372),
    ],
)
def test_a_seed_fixes_the_stream_on_every_machine(name, first_values, first_y, sum_y):
    # Published results are reproduced from the seed alone: these are the streams of seed 42.
    rows = take(GENERATORS[name](1000, seed=42))
    x, y = rows[0]
    assert list(x.values())[:3] == first_values
    assert y == pytest.approx(first_y, rel=1e-12)
    assert sum(y for _, y in rows) == pytest.approx(sum_y, rel=1e-9)
