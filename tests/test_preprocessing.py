"""Scalers and feature selectors: worked examples, untrained answers, copies, resets and odd input."""

from __future__ import annotations

import math
import random

import numpy as np
import pytest

import _tarvo_core as core
import _tarvo_probe as probe

SCALERS = [core.StandardScaler, core.MinMaxScaler, core.MaxAbsScaler]
SELECTORS = [core.VarianceThreshold, core.SelectKBest]


def learn(transformer, samples):
    """Feeds (x, y) pairs; y is given only to the transformer that needs it."""
    for x, y in samples:
        if isinstance(transformer, core.SelectKBest):
            transformer.learn_one(x, y)
        else:
            transformer.learn_one(x)
    return transformer


def stream(n=60, seed=3):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        y = rng.gauss(0, 1)
        x = {"a": 2 * y + rng.gauss(0, 0.3), "b": rng.uniform(-5, 5), "c": -y + rng.gauss(0, 1)}
        if rng.random() < 0.3:
            del x["b"]
        out.append((x, y))
    return out


ALL = [
    lambda: core.StandardScaler(),
    lambda: core.StandardScaler(with_std=False),
    core.MinMaxScaler,
    core.MaxAbsScaler,
    lambda: core.VarianceThreshold(threshold=2.0),
    lambda: core.SelectKBest(k=2),
]
ALL_IDS = ["standard", "standard-no-std", "minmax", "maxabs", "variance", "kbest"]


@pytest.mark.parametrize(
    "make, learnt, sample, expected",
    [
        (core.StandardScaler, [1, 3], 4, 2.0),
        (lambda: core.StandardScaler(with_std=False), [1, 3], 4, 2.0),
        (core.StandardScaler, [5], 9, 0.0),
        (core.StandardScaler, [2, 4, 4, 4, 5, 5, 7, 9], 9, 2.0),  # mean 5, population std 2
        (core.MinMaxScaler, [2, 6], 4, 0.5),
        (core.MinMaxScaler, [2, 6], 10, 2.0),
        (core.MinMaxScaler, [2, 6], 0, -0.5),
        (core.MinMaxScaler, [3], 7, 0.0),
        (core.MaxAbsScaler, [-4, 2], 2, 0.5),
        (core.MaxAbsScaler, [-4, 2], -8, -2.0),
        (core.MaxAbsScaler, [0, 0], 5, 0.0),
    ],
)
def test_scaler_worked_examples(make, learnt, sample, expected):
    scaler = make()
    for v in learnt:
        scaler.learn_one({"a": v})
    assert scaler.transform_one({"a": sample}) == {"a": expected}


@pytest.mark.parametrize(
    "make, expected",
    [
        (core.StandardScaler, {"a": 0.0, "b": 0.0}),
        (lambda: core.StandardScaler(with_std=False), {"a": 3.0, "b": -2.0}),
        (core.MinMaxScaler, {"a": 0.0, "b": 0.0}),
        (core.MaxAbsScaler, {"a": 0.0, "b": 0.0}),
        (core.VarianceThreshold, {"a": 3.0, "b": -2.0}),
        (core.SelectKBest, {"a": 3.0, "b": -2.0}),
    ],
)
def test_untrained_answers(make, expected):
    assert make().transform_one({"a": 3, "b": -2}) == expected


@pytest.mark.parametrize("make", SCALERS)
def test_scalers_map_unseen_features_and_add_none(make):
    scaler = make()
    scaler.learn_one({"a": 1.0, "z": 4.0})
    scaler.learn_one({"a": 3.0, "z": 8.0})
    out = scaler.transform_one({"a": 3.0, "new": 7.0})
    assert set(out) == {"a", "new"} and out["new"] == 0.0 and out["a"] != 0.0


@pytest.mark.parametrize("cls", SCALERS + SELECTORS)
def test_interface_queries(cls):
    t = cls()
    assert isinstance(t, core.ITransformer)
    assert not isinstance(t, (core.IClassifier, core.IRegressor))
    assert hasattr(t, "set_feature_order") == (cls is core.SelectKBest)
    with pytest.raises(TypeError):
        t.learn_one(x={"a": 1.0})


def test_learn_signatures():
    with pytest.raises(TypeError):
        core.StandardScaler().learn_one({"a": 1.0}, 2.0)
    with pytest.raises(TypeError):
        core.SelectKBest().learn_one({"a": 1.0})


def test_standard_scaler_agrees_with_closed_form():
    rng = random.Random(11)
    values = [rng.gauss(1e6, 3.0) for _ in range(500)]
    scaler = core.StandardScaler()
    centred = core.StandardScaler(with_std=False)
    for v in values:
        scaler.learn_one({"a": v})
        centred.learn_one({"a": v})
    mean, std = np.mean(values), np.std(values)
    assert scaler.transform_one({"a": 1e6 + 7})["a"] == pytest.approx((1e6 + 7 - mean) / std, rel=1e-9)
    assert centred.transform_one({"a": 1e6 + 7})["a"] == pytest.approx(1e6 + 7 - mean, rel=1e-9)


def test_standard_scaler_variance_moves_only_with_std():
    scaler = core.StandardScaler(with_std=False)
    scaler.learn_one({"a": 1.0})
    scaler.learn_one({"a": 3.0})
    scaler.with_std = True
    assert scaler.transform_one({"a": 4.0}) == {"a": 0.0}  # variance still 0
    # n = 3, delta = 4, mean 10/3, variance (0 + 4 * (6 - 10/3) - 0) / 3 = 32/9
    scaler.learn_one({"a": 6.0})
    assert scaler.transform_one({"a": 5.0})["a"] == pytest.approx(5 / (4 * math.sqrt(2)), abs=1e-15)


@pytest.mark.parametrize("make", ALL, ids=ALL_IDS)
def test_transform_one_returns_a_new_dict_and_keeps_the_argument(make):
    t = learn(make(), stream())
    x = {"a": 1.5, "b": -2.0, "c": 0.25, "unseen": 9.0}
    before = dict(x)
    out = t.transform_one(x)
    assert x == before and out is not x
    assert t.transform_one(x) == out  # transforming learns nothing


@pytest.mark.parametrize("make", ALL, ids=ALL_IDS)
def test_clone_state_is_independent_both_ways(make):
    data = stream()
    probe_x = {"a": 0.5, "b": 1.0, "c": -0.5}
    source = learn(make(), data[:30])
    clone = source.clone_state()
    assert type(clone) is type(source) and clone is not source
    assert clone.transform_one(probe_x) == source.transform_one(probe_x)

    learn(source, data[30:])  # the clone keeps its statistics
    assert clone.transform_one(probe_x) == learn(make(), data[:30]).transform_one(probe_x)
    assert source.transform_one(probe_x) == learn(make(), data).transform_one(probe_x)

    learn(clone, [({"a": 100.0, "b": -100.0, "c": 7.0}, 50.0)] * 3)  # and the source its own
    assert source.transform_one(probe_x) == learn(make(), data).transform_one(probe_x)


@pytest.mark.parametrize(
    "make, attrs",
    [
        (core.StandardScaler, {"with_std": False}),
        (core.MinMaxScaler, {}),
        (core.MaxAbsScaler, {}),
        (core.VarianceThreshold, {"threshold": 0.75, "min_samples": 3}),
        (core.SelectKBest, {"k": 1, "use_abs": True}),
    ],
)
def test_reset_restores_untrained_behaviour_and_keeps_parameters(make, attrs):
    t = make()
    for name, value in attrs.items():
        setattr(t, name, value)
    data = stream()
    learn(t, data)
    t.reset()
    assert {name: getattr(t, name) for name in attrs} == attrs
    fresh = make(**attrs)
    probe_x = {"a": 0.5, "b": 1.0, "c": -0.5}
    assert t.transform_one(probe_x) == fresh.transform_one(probe_x)
    assert learn(t, data).transform_one(probe_x) == learn(fresh, data).transform_one(probe_x)


# ---- VarianceThreshold ------------------------------------------------------------------------

VT_SAMPLES = [{"a": 1, "b": 5}, {"a": 2, "b": 5}]


@pytest.mark.parametrize(
    "kwargs, n_learnt, expected",
    [
        ({}, 2, {"a": 7.0, "c": 7.0}),  # b has variance 0; c never learnt
        ({}, 1, {"a": 7.0, "b": 7.0, "c": 7.0}),  # count 1 < min_samples 2
        ({"threshold": 0.5}, 2, {"c": 7.0}),  # 0.5 is not greater than 0.5
        ({"threshold": 0.49}, 2, {"a": 7.0, "c": 7.0}),
        ({"min_samples": 3}, 2, {"a": 7.0, "b": 7.0, "c": 7.0}),
        ({"min_samples": -1}, 1, {"c": 7.0}),  # one value: variance 0.0
    ],
)
def test_variance_threshold_worked_examples(kwargs, n_learnt, expected):
    vt = core.VarianceThreshold(**kwargs)
    for x in VT_SAMPLES[:n_learnt]:
        vt.learn_one(x)
    assert vt.transform_one({"a": 7, "b": 7, "c": 7}) == expected


@pytest.mark.parametrize("bad", [math.nan, math.inf])
def test_variance_threshold_drops_a_feature_with_nan_variance(bad):
    vt = core.VarianceThreshold(threshold=-math.inf)
    vt.learn_one({"a": bad, "b": 1.0})
    vt.learn_one({"a": 1.0, "b": 2.0})
    assert vt.transform_one({"a": 1.0, "b": 1.0}) == {"b": 1.0}


# ---- SelectKBest ------------------------------------------------------------------------------

KB_STREAM = [({"a": 1, "b": 1}, 1), ({"a": 2, "b": 3}, 2), ({"a": 3, "b": 2}, 3)]


def test_select_k_best_worked_example():
    kb = core.SelectKBest(k=1)
    assert kb.transform_one({"a": 9, "z": 1}) == {"a": 9.0, "z": 1.0}  # nothing learnt yet
    learn(kb, KB_STREAM)
    assert probe.select_k_best_scores(kb) == pytest.approx({"a": 1.0, "b": 0.5}, abs=1e-15)
    assert kb.transform_one({"a": 9, "b": 9, "c": 9}) == {"a": 9.0}
    kb.k = 5  # more than learnt: every learnt feature, never an unlearnt one
    kb.learn_one({}, 0.0)
    assert kb.transform_one({"a": 9, "b": 9, "c": 9}) == {"a": 9.0, "b": 9.0}


@pytest.mark.parametrize("use_abs, score, kept", [(False, -1.0, {"p"}), (True, 1.0, {"n"})])
def test_select_k_best_anti_correlated_feature(use_abs, score, kept):
    # p correlates at 0.5, n at -1.0
    kb = core.SelectKBest(k=1, use_abs=use_abs)
    learn(kb, [({"n": -x["a"], "p": x["b"]}, y) for x, y in KB_STREAM])
    assert probe.select_k_best_scores(kb)["n"] == pytest.approx(score, abs=1e-15)
    assert set(kb.transform_one({"n": 1, "p": 1})) == kept


def test_select_k_best_degenerate_scores_are_zero():
    kb = core.SelectKBest()
    kb.learn_one({"once": 4.0, "flat": 2.0}, 1.0)
    kb.learn_one({"flat": 2.0, "moves": 1.0}, 5.0)
    kb.learn_one({"flat": 2.0, "moves": 2.0}, 5.0)  # moves: its targets have no spread
    assert probe.select_k_best_scores(kb) == {"once": 0.0, "flat": 0.0, "moves": 0.0}


@pytest.mark.parametrize("k", [0, -3])
def test_select_k_best_non_positive_k_keeps_nothing(k):
    kb = learn(core.SelectKBest(k=k), KB_STREAM)
    assert kb.transform_one({"a": 1, "b": 2, "c": 3}) == {}


def tied(names):
    """Samples over which every name scores exactly 1.0."""
    return [({n: float(v) for n in names}, float(v)) for v in (1, 2, 3)]


def test_select_k_best_ties_follow_the_feature_order():
    first_learnt = learn(core.SelectKBest(k=1), [({"a": 0.0}, 0.0), ({"b": 0.0}, 0.0)] + tied("ab"))
    assert first_learnt.transform_one({"a": 1, "b": 1}) == {"a": 1.0}

    ordered = core.SelectKBest(k=1)
    ordered.set_feature_order(["b", "a"])
    learn(ordered, tied("ab"))
    assert ordered.transform_one({"a": 1, "b": 1}) == {"b": 1.0}
    ordered.set_feature_order(["a", "c", "b"])  # ids already given are kept
    assert ordered.transform_one({"a": 1, "b": 1}) == {"b": 1.0}


def test_select_k_best_reset_keeps_the_ids():
    # b is learnt first, so it holds the smaller id; after reset a is met first,
    # yet b still wins the tie.
    kb = learn(core.SelectKBest(k=1), [({"b": 0.0}, 0.0), ({"a": 0.0}, 0.0)])
    kb.reset()
    assert kb.transform_one({"a": 1, "b": 1}) == {"a": 1.0, "b": 1.0}
    learn(kb, [({"a": 0.0}, 0.0), ({"b": 0.0}, 0.0)] + tied("ab"))
    assert kb.transform_one({"a": 1, "b": 1}) == {"b": 1.0}


def test_select_k_best_recomputes_only_after_a_change():
    kb = learn(core.SelectKBest(k=1), KB_STREAM)
    assert kb.transform_one({"a": 1, "b": 1}) == {"a": 1.0}
    kb.k = 2  # not a change of the selection by itself
    assert kb.transform_one({"a": 1, "b": 1}) == {"a": 1.0}
    kb.set_feature_order([])
    assert kb.transform_one({"a": 1, "b": 1}) == {"a": 1.0, "b": 1.0}


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_select_k_best_ranks_nan_scores_last(bad):
    kb = core.SelectKBest(k=2)
    kb.set_feature_order(["n1", "n2", "neg", "pos"])
    for v in (1.0, 2.0, 3.0, 4.0):
        kb.learn_one({"n1": bad if v == 2.0 else v, "n2": v, "neg": -v, "pos": v * v}, v)
    kb.learn_one({"n2": 1.0}, bad)  # a non-finite target spoils n2 only
    scores = probe.select_k_best_scores(kb)
    assert math.isnan(scores["n1"]) and math.isnan(scores["n2"])
    assert kb.transform_one({"n1": 0, "n2": 0, "neg": 0, "pos": 0}) == {"neg": 0.0, "pos": 0.0}
    kb.k = 3
    kb.set_feature_order([])
    assert set(kb.transform_one({"n1": 0, "n2": 0, "neg": 0, "pos": 0})) == {"n1", "neg", "pos"}


def test_select_k_best_many_features_matches_a_full_sort():
    rng = random.Random(5)
    names = [f"f{i}" for i in range(200)]
    kb = core.SelectKBest(k=17, use_abs=True)
    kb.set_feature_order(names)
    for _ in range(30):
        y = rng.gauss(0, 1)
        kb.learn_one({n: (y if i % 7 == 0 else rng.gauss(0, 1)) for i, n in enumerate(names)}, y)
    scores = probe.select_k_best_scores(kb)
    expected = sorted(names, key=lambda n: (-scores[n], names.index(n)))[:17]
    assert set(kb.transform_one(dict.fromkeys(names, 1.0))) == set(expected)
