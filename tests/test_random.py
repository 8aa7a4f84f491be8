"""Seeded draws: exact raw-output streams, consumption per draw and the Poisson distributions."""

from __future__ import annotations

import math
import statistics

import pytest

import random_reference as ref

SEEDS = [0, 1, 42, -1, 5489, 2**31 - 1, -(2**31)]


def test_mt19937_check_values(probe):
    assert probe.mt_raw(5489, 1) == [3499211612]
    # The 10000th output of the default-seeded engine, fixed by the C++ standard.
    assert probe.mt_raw(5489, 10000)[-1] == 4123659995
    g = ref.MT19937(5489)
    assert [g.raw() for _ in range(10000)][-1] == 4123659995


@pytest.mark.parametrize("seed", SEEDS)
def test_raw_stream_and_signed_seed_wraparound(probe, seed):
    g = ref.MT19937(seed & 0xFFFFFFFF)
    assert probe.mt_raw(seed, 1300) == [g.raw() for _ in range(1300)]


def test_uniform01_from_two_raw_outputs(probe):
    raw = probe.mt_raw(7, 6)
    values, consumed = probe.uniform01_draws(7, 3)
    assert consumed == 6
    # Low word first, rounded once.
    assert values == [float(raw[i] + raw[i + 1] * 2**32) / 2**64 for i in (0, 2, 4)]


@pytest.mark.parametrize("seed", SEEDS)
def test_uniform01_matches_model(probe, seed):
    g = ref.MT19937(seed)
    values, consumed = probe.uniform01_draws(seed, 500)
    assert values == [ref.uniform01(g) for _ in range(500)]
    assert consumed == 1000
    assert all(0.0 <= v <= 1.0 for v in values)


@pytest.mark.parametrize(
    "a, b, width",
    [(0, 1, 32), (0, 2, 32), (-3, 7, 32), (10, 17, 32), (0, 2**31 - 1, 32), (0, 4, 64),
     (-(2**40), -(2**40) + 99, 64), (0, 2**32 - 1, 64), (0, 6, 0), (0, 2**33, 64)],
)
def test_uniform_int_matches_model(probe, a, b, width):
    g = ref.MT19937(3)
    values, consumed = probe.uniform_int_draws(3, a, b, 400, width)
    assert values == [ref.uniform_int(g, a, b) for _ in range(400)]
    assert consumed == g.consumed
    assert all(a <= v <= b for v in values)


def test_uniform_int_full_32_bit_range_takes_one_raw_output_each(probe):
    raw = probe.mt_raw(9, 5)
    values, consumed = probe.uniform_int_draws(9, -(2**31), 2**31 - 1, 5)
    assert consumed == 5
    assert values == [r - 2**31 for r in raw]


def test_uniform_int_rejects_by_mask(probe):
    # Range 3 keeps the low 2 bits and rejects 3.
    raw = probe.mt_raw(11, 40)
    low = [r & 3 for r in raw]
    values, consumed = probe.uniform_int_draws(11, 0, 2, 10)
    assert values == [v for v in low if v < 3][:10]
    assert consumed == [i for i, v in enumerate(low) if v < 3][9] + 1


@pytest.mark.parametrize("width", [32, 64, 0])
def test_single_value_range_draws_nothing(probe, width):
    assert probe.uniform_int_draws(5, 5, 5, 3, width) == ([5, 5, 5], 0)


@pytest.mark.parametrize("mean", [0.0, -3.0, -1e300])
def test_poisson_non_positive_mean_gives_zero_from_one_uniform(probe, mean):
    assert probe.poisson_draws(4, mean, 1) == ([0], 2)


def test_poisson_infinite_mean_becomes_largest_double(probe):
    for mean in (math.inf, -math.inf):
        params = probe.poisson_params(mean)
        assert params["mean"] == 1.7976931348623157e308 and not params["multiplication"]
        values, _ = probe.poisson_draws(4, mean, 3)
        assert values == [2147483647] * 3


def test_poisson_nan_mean_draws_as_zero_mean(probe):
    # The PD method could never accept with a NaN mean; it is drawn as mean 0.
    assert probe.poisson_draws(4, math.nan, 2) == ([0, 0], 4)


def test_poisson_params_switch_at_ten(probe):
    small = probe.poisson_params(9.999)
    assert small["multiplication"] and small["L"] == math.exp(-9.999) and small["s"] == 0.0
    big = probe.poisson_params(10.0)
    assert not big["multiplication"]
    assert big["L"] == 8.0 and big["s"] == math.sqrt(10.0) and big["d"] == 600.0
    assert big["omega"] == 0.3989423 / math.sqrt(10.0) and big["c"] == 0.1069 / 10.0


def test_poisson_small_mean_consumes_k_plus_one_uniforms(probe):
    values, consumed = probe.poisson_draws(21, 6.0, 300)
    assert consumed == 2 * sum(k + 1 for k in values)


@pytest.mark.parametrize("mean", [0.5, 6.0, 9.99, 10.0, 10.5, 23.7, 50.0, 1000.0, 1e6, 3e9, 1e18])
@pytest.mark.parametrize("seed", [0, 17, -5])
def test_poisson_matches_model(probe, mean, seed):
    g = ref.MT19937(seed)
    values, consumed = probe.poisson_draws(seed, mean, 300)
    assert values == [ref.poisson(g, mean) for _ in range(300)]
    assert consumed == g.consumed


@pytest.mark.parametrize("mean", [10.0, 50.0, 1e6])
def test_pd_method_mean_and_variance(probe, mean):
    n = 40_000
    values, _ = probe.poisson_draws(123, mean, n, count_raw=False)
    m = statistics.fmean(values)
    v = statistics.pvariance(values, m)
    assert abs(m - mean) < 5 * math.sqrt(mean / n)
    assert abs(v / mean - 1.0) < 5 * math.sqrt(2.0 / n) + 0.01


def test_normal_and_exponential_match_model(probe):
    g = ref.MT19937(8)
    normals, consumed = probe.standard_normal_draws(8, 200)
    assert normals == [ref.standard_normal(g) for _ in range(200)]
    assert consumed == g.consumed and consumed % 4 == 0
    g = ref.MT19937(8)
    exps, consumed = probe.exponential_draws(8, 200)
    assert exps == [ref.exponential(g) for _ in range(200)] and consumed == 400


@pytest.mark.parametrize("names", [[], ["only"]])
def test_shuffle_of_fewer_than_two_draws_nothing(probe, names):
    assert probe.shuffle_names(1, names) == (names, 0)


def test_shuffle_matches_model(probe):
    names = [f"f{i}" for i in range(12)]
    g = ref.MT19937(99)
    expected = list(names)
    ref.shuffle(g, expected)
    assert probe.shuffle_names(99, names) == (expected, g.consumed)


def test_sort_names_is_bytewise(probe):
    names = ["b", "a", "B", "é", "ab", "", "Z", "\x7f", "zz", "a\x00"]
    assert probe.sort_names(names) == sorted(names, key=lambda s: s.encode())


def test_select_subspace_on_empty_sample_draws_nothing(probe):
    assert probe.select_subspace(5, {}, 3) == ([], 0, 0)


@pytest.mark.parametrize("k", [0, 1, 3, 6, 10])
def test_select_subspace_sorts_shuffles_all_then_cuts(probe, k):
    x = {name: float(i) for i, name in enumerate(["e", "b", "f", "a", "d", "c"])}
    g = ref.MT19937(31)
    expected = sorted(x)
    ref.shuffle(g, expected)
    names, consumed, seen_n = probe.select_subspace(31, x, k)
    assert names == expected[:k] and consumed == g.consumed and seen_n == 6


@pytest.mark.parametrize(
    "names, expected",
    [([], {"a": 1.0, "b": 2.0, "c": 3.0}), (["z", "y"], {}), (["c", "a", "q"], {"c": 3.0, "a": 1.0})],
)
def test_project_features(probe, names, expected):
    out = probe.project_features({"a": 1.0, "b": 2.0, "c": 3.0}, names)
    assert out == expected
