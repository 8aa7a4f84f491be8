"""Gaussian statistics, the threshold grid, side weights, merits and the Hoeffding bound."""

from __future__ import annotations

import math
import statistics

import pytest

NEG_INF = -math.inf


@pytest.mark.parametrize("values", [[3.0], [1.0, 2.0, 4.0, 8.0], [5.0, 5.0, 5.0], [-1e9, 1e9 + 3, 7.0]])
def test_gaussian_stats_fold(probe, values):
    n, mean, m2, lo, hi = probe.gaussian_stats(values)
    assert (n, lo, hi) == (len(values), min(values), max(values))
    assert mean == pytest.approx(statistics.fmean(values), rel=1e-12)
    if len(values) > 1:
        assert m2 / (n - 1) == pytest.approx(statistics.variance(values), rel=1e-9)


@pytest.mark.parametrize(
    "values, t, expected",
    [([2.0], 2.0, 0.0), ([2.0, 2.0], 2.0, 1.0), ([2.0, 2.0], 2.5, 0.0),
     ([0.0, 2.0], 1.0, 1 / math.sqrt(2 * math.pi * 2.0)),
     ([0.0, 2.0], 3.0, math.exp(-4.0 / 4.0) / math.sqrt(2 * math.pi * 2.0))],
)
def test_density(probe, values, t, expected):
    assert probe.gaussian_density(values, t) == pytest.approx(expected, rel=1e-14)


def test_normal_cdf(probe):
    assert probe.normal_cdf(0.0) == 0.5
    assert probe.normal_cdf(1.0) == pytest.approx(0.8413447460685429, rel=1e-14)
    assert probe.normal_cdf(-40.0) == 0.0


@pytest.mark.parametrize(
    "lo, hi, n, expected",
    [(0.0, 11.0, 10, [float(i) for i in range(1, 11)]), (0.0, 1.0, 0, []), (0.0, 1.0, -2, []),
     (3.0, 3.0, 10, []), (5.0, 3.0, 10, []), (0.0, 2.0, 1, [1.0]),
     (1.0, math.nextafter(1.0, 2.0), 10, []), (-math.inf, 1.0, 10, []), (0.0, math.inf, 5, [])],
)
def test_threshold_grid(probe, lo, hi, n, expected):
    assert probe.threshold_grid(lo, hi, n) == expected


def test_grid_drops_duplicates_and_endpoints(probe):
    lo = 1.0
    hi = lo + 4 * math.ulp(lo)
    grid = probe.threshold_grid(lo, hi, 10)
    assert grid == sorted(set(grid)) and all(lo < t < hi for t in grid) and len(grid) == 3


def test_grid_range_over_classes_with_statistics(probe):
    assert probe.observer_range([[], [4.0, -2.0], [], [9.0]]) == (-2.0, 9.0)
    assert probe.observer_range([[], []]) is None


def test_constant_feature_has_no_candidate(probe):
    assert probe.best_threshold([[2.5, 2.5], [2.5]], [2.0, 1.0], 3.0, "info_gain", 10) is None
    assert probe.best_threshold([[], []], [2.0, 1.0], 3.0, "gini", 10) is None


@pytest.mark.parametrize("t, left, right", [(4.9, [0.0], [1.0]), (5.0, [1.0], [0.0]), (7.0, [1.0], [0.0])])
def test_single_value_class_goes_whole_to_one_side(probe, t, left, right):
    assert probe.split_weights([[5.0]], t) == (left, right)


def test_gaussian_share_inside_the_range(probe):
    values = [0.0, 1.0, 2.0, 3.0]
    left, right = probe.split_weights([values, []], 1.5)
    n, mean, m2, _, _ = probe.gaussian_stats(values)
    sd = math.sqrt(m2 / (n - 1))
    eq = n * probe.gaussian_density(values, 1.5)
    lt = n * probe.normal_cdf((1.5 - mean) / sd) - eq
    assert left == [eq + lt, 0.0] and right == [max(0.0, n - eq - lt), 0.0]


def test_best_threshold_takes_first_of_equal_merits(probe):
    # Two single-valued classes: every threshold between them splits perfectly.
    best = probe.best_threshold([[0.0] * 4, [11.0] * 4], [4.0, 4.0], 8.0, "info_gain", 10)
    assert best["threshold"] == 1.0 and best["merit"] == 1.0
    assert best["left"] == [4.0, 0.0] and best["right"] == [0.0, 4.0]


def test_best_threshold_with_no_valid_merit_is_still_a_candidate(probe):
    # Under information gain every threshold leaves one side below 1% of the weight.
    best = probe.best_threshold([[0.0] * 999 + [10.0]], [1000.0], 1000.0, "info_gain", 10)
    assert best == {"threshold": 0.0, "merit": NEG_INF, "left": [], "right": [],
                    "left_total": 0.0, "right_total": 0.0}


@pytest.mark.parametrize(
    "criterion, branches, expected",
    [("gini", [[10.0, 0.0], [0.0, 10.0]], 1.0), ("gini", [[5.0, 5.0], [5.0, 5.0]], 0.5),
     ("gini", [], 0.0), ("gini", [[0.0, 0.0], [0.0, 0.0]], 0.0), ("gini", [[4.0, 6.0]], 0.52),
     ("info_gain", [[10.0, 0.0], [0.0, 10.0]], 1.0), ("info_gain", [[5.0, 5.0], [5.0, 5.0]], 0.0),
     ("info_gain", [[199.0, 0.0], [0.0, 1.0]], NEG_INF), ("info_gain", [[10.0, 10.0]], NEG_INF),
     ("info_gain", [], NEG_INF), ("other", [[0.0, 0.0], [0.0, 0.0]], NEG_INF)],
)
def test_merits(probe, criterion, branches, expected):
    pre = [sum(col) for col in zip(*branches)] or [10.0, 10.0]
    assert probe.merit(criterion, pre, sum(pre), branches) == pytest.approx(expected, abs=1e-15)


def test_info_gain_uses_the_leaf_total_as_pre_split_weight(probe):
    # Class 2 (weight 4) has no statistics: the pre-split entropy still counts it.
    pre, branches = [3.0, 3.0, 4.0], [[3.0, 0.0, 0.0], [0.0, 3.0, 0.0]]
    h_pre = -sum(w / 10 * math.log2(w / 10) for w in pre)
    assert probe.merit("info_gain", pre, 10.0, branches) == pytest.approx(h_pre)


@pytest.mark.parametrize("criterion, n, expected", [("gini", 7, 1.0), ("info_gain", 2, 1.0), ("x", 8, 3.0)])
def test_criterion_range(probe, criterion, n, expected):
    assert probe.criterion_range(criterion, n) == expected


def test_hoeffding_bound(probe):
    assert probe.hoeffding_bound(1.0, 1e-7, 200.0) == math.sqrt(math.log(1e7) / 400.0)
    assert probe.hoeffding_bound(2.0, 1.0, 50.0) == 0.0
    assert probe.hoeffding_bound(1.0, 0.0, 50.0) == math.inf
    assert math.isnan(probe.hoeffding_bound(1.0, 2.0, 50.0))
