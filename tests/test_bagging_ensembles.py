"""SRP and leveraging bagging classifiers and regressors: patches, weights, votes, drift, reproducibility."""

from __future__ import annotations

import math
import pickle
import random

import pytest

from _tarvo_core import (
    ADWIN,
    FIMTDDRegressor,
    HoeffdingTreeClassifier,
    IClassifier,
    IRegressor,
    LeveragingBaggingClassifier,
    LeveragingBaggingRegressor,
    SRPClassifier,
    SRPRegressor,
)

import random_reference as ref
from conftest import assert_reset_replays_fresh
from ensemble_streams import answers, linear_stream, prequential_pairs, threshold_stream, windowed_accuracy

NAN, INF = float("nan"), float("inf")

SRP_CLASSIFIER_ARGS = dict(n_models=10, seed=0, lambda_value=6.0, drift_delta=0.001, warning_delta=0.01,
                           grace_period=50, max_depth=20, split_confidence=0.01, subspace_fraction=0.6,
                           training_method="patches")
SRP_REGRESSOR_ARGS = dict(n_models=10, seed=0, lambda_value=6.0, drift_delta=0.001, warning_delta=0.01,
                          grace_period=200, max_depth=20, learning_rate=0.01, subspace_fraction=0.6,
                          training_method="patches")
LB_CLASSIFIER_ARGS = dict(n_models=10, seed=0, lambda_value=6.0, drift_delta=0.002, grace_period=50,
                          max_depth=20, split_confidence=0.01)
LB_REGRESSOR_ARGS = dict(n_models=10, seed=0, lambda_value=6.0, drift_delta=0.002, grace_period=50,
                         max_depth=20, split_confidence=0.01, leaf_prediction="adaptive")

ENSEMBLES = [
    pytest.param(SRPClassifier, SRP_CLASSIFIER_ARGS, threshold_stream, id="srp-classifier"),
    pytest.param(SRPRegressor, SRP_REGRESSOR_ARGS, linear_stream, id="srp-regressor"),
    pytest.param(LeveragingBaggingClassifier, LB_CLASSIFIER_ARGS, threshold_stream, id="lb-classifier"),
    pytest.param(LeveragingBaggingRegressor, LB_REGRESSOR_ARGS, linear_stream, id="lb-regressor"),
]
CLASSES = [p.values[0] for p in ENSEMBLES]


def members(probe, model):
    return {
        SRPClassifier: probe.srp_classifier_members,
        SRPRegressor: probe.srp_regressor_members,
        LeveragingBaggingClassifier: probe.lb_classifier_members,
        LeveragingBaggingRegressor: probe.lb_regressor_members,
    }[type(model)](model)


def is_regressor(cls):
    return issubclass(cls, IRegressor)


def reference_patch(seed, index, names, fraction):
    """A member's patch, from the seeded draws written out in Python."""
    gen = ref.MT19937((seed + 7919 * (index + 1)) % 2**32)
    n = len(names)
    product = fraction * n
    k = math.floor(abs(product) + 0.5) * (1 if product >= 0 else -1) if math.isfinite(product) else product
    k = 0 if not k > 0 else k
    k = max(min(k, n), 1)
    names = sorted(names)
    ref.shuffle(gen, names)
    names = (names + [""] * k)[:k]
    return sorted(names)


# --- shared surface ---------------------------------------------------------

@pytest.mark.parametrize("cls, defaults, stream_of", ENSEMBLES)
def test_constructor_keywords_defaults_and_properties(cls, defaults, stream_of):
    stream = stream_of(600, seed=1)
    changed = {k: (v + 1 if isinstance(v, int) else v / 2 if isinstance(v, float) else "subspaces")
               for k, v in defaults.items()}
    want = answers(cls(**changed), stream)
    assert answers(cls(*changed.values()), stream) == want
    assert answers(cls(*defaults.values()), stream) == answers(cls(), stream)
    model = cls()
    assert (model.n_models, model.seed) == (10, 0)
    exposed = {"n_models", "seed"} | ({"lambda_value"} if cls is LeveragingBaggingRegressor else set())
    for hidden in set(defaults) - exposed:
        assert not hasattr(model, hidden)
    model.seed = -7
    assert model.seed == -7
    with pytest.raises(TypeError):
        cls(seed=1.0)


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("x", [{"a": 1.0}, {}])
def test_untrained_answers(cls, x):
    model = cls()
    if is_regressor(cls):
        assert model.predict_one(x) == 0.0
    else:
        assert model.predict_one(x) == 0
        assert model.predict_proba_one(x) == {}


@pytest.mark.parametrize("cls, defaults, stream_of", ENSEMBLES)
def test_n_models_and_seed_take_effect_at_reset(probe, cls, defaults, stream_of):
    stream = stream_of(400, seed=4)
    model = cls(n_models=4, seed=1, grace_period=20)
    model.n_models = 2
    assert answers(model, stream) == answers(cls(n_models=4, seed=1, grace_period=20), stream)
    assert len(members(probe, model)) == 4
    model.seed = 9
    model.reset()
    assert len(members(probe, model)) == 2
    assert answers(model, stream) == answers(cls(n_models=2, seed=9, grace_period=20), stream)


@pytest.mark.parametrize("cls, stream_of", [(p.values[0], p.values[2]) for p in ENSEMBLES])
@pytest.mark.parametrize("n", [0, -5])
def test_fewer_than_one_member(probe, cls, stream_of, n):
    stream = stream_of(400, seed=4)
    if cls is not LeveragingBaggingRegressor:
        assert len(members(probe, cls(n_models=n))) == 1
        assert answers(cls(n_models=n, grace_period=20), stream) == answers(cls(n_models=1, grace_period=20), stream)
    elif n == 0:
        model = cls(n_models=0)
        assert members(probe, model) == []
        assert answers(model, stream) == [0.0] * len(stream)
        assert probe.lb_regressor_targets(model)[0] == len(stream)
    else:
        with pytest.raises(ValueError, match=f"n_models must be at least 0, got {n}"):
            cls(n_models=n)
        model = cls(n_models=2)
        answers(model, stream)
        saved = pickle.dumps(model)
        model.n_models = n  # the setter stores any value, as every setter does
        with pytest.raises(ValueError, match="n_models"):
            model.reset()
        # The refused reset changed nothing.
        model.n_models = 2
        assert pickle.dumps(model) == saved and len(members(probe, model)) == 2


@pytest.mark.parametrize("cls", CLASSES)
def test_member_count_is_bounded(cls):
    with pytest.raises(ValueError, match="n_models"):
        cls(n_models=100_001)
    model = cls(n_models=2)
    model.learn_one({"a": 1.0}, 1)
    before = model.predict_one({"a": 1.0})
    model.n_models = 2**31 - 1
    with pytest.raises(ValueError, match="n_models"):
        model.reset()
    assert model.predict_one({"a": 1.0}) == before


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("lam", [NAN, INF, -INF])
def test_non_finite_lambda_is_refused_before_anything_changes(probe, cls, lam):
    model = cls(n_models=2, lambda_value=lam)
    fresh = members(probe, model)
    with pytest.raises(ValueError, match="lambda_value"):
        model.learn_one({"a": 1.0, "b": 2.0}, 1)
    assert members(probe, model) == fresh


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("lam", [0.0, -2.5])
def test_without_training_weight_trees_never_learn(cls, lam):
    model = cls(n_models=3, lambda_value=lam)
    for x, y in threshold_stream(200, seed=5):
        model.learn_one(x, float(y) + 5.0 if is_regressor(cls) else y)
    if is_regressor(cls):
        assert model.predict_one(x) == 0.0
    else:
        assert model.predict_proba_one(x) == {} and model.predict_one(x) == 0


@pytest.mark.parametrize("cls, defaults, stream_of", ENSEMBLES)
def test_equal_ensembles_agree_and_reset_replays_a_fresh_one(cls, defaults, stream_of):
    kind = "change_at" if is_regressor(cls) else "flip_at"
    stream = stream_of(3000, seed=8, n_features=6, **{kind: 1500})
    used = cls(n_models=4, seed=3, grace_period=30)
    first = answers(used, stream)
    assert answers(cls(n_models=4, seed=3, grace_period=30), stream) == first
    used.reset()
    assert answers(used, stream) == first
    assert answers(cls(n_models=4, seed=4, grace_period=30), stream) != first


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_non_finite_values_keep_the_ensembles_answering(cls, bad):
    model = cls(n_models=3, grace_period=10)
    for i, (x, y) in enumerate(threshold_stream(400, seed=11, flip_at=200)):
        if i % 5 == 0:
            x["f0"] = bad
        if is_regressor(cls):
            model.learn_one(x, bad if i % 7 == 0 else float(y))
            assert isinstance(model.predict_one(x), float)
        else:
            model.learn_one(x, y)
            assert model.predict_one(x) in (0, 1)


# --- streaming random patches -----------------------------------------------

SRP = [SRPClassifier, SRPRegressor]


def srp_members(probe, model):
    return probe.srp_classifier_members(model) if isinstance(model, SRPClassifier) else probe.srp_regressor_members(model)


@pytest.mark.parametrize("cls", SRP)
@pytest.mark.parametrize("fraction, n_features, kept", [
    (0.6, 10, 6), (0.6, 3, 2), (0.6, 1, 1), (0.25, 2, 1), (0.6, 0, 1),
    (0.0, 5, 1), (-3.0, 5, 1), (NAN, 5, 1), (1.0, 5, 5), (7.5, 5, 5), (INF, 5, 5), (0.5, 5, 3),
])
def test_patch_sizes(probe, cls, fraction, n_features, kept):
    model = cls(n_models=3, subspace_fraction=fraction)
    model.learn_one({f"f{j}": float(j) for j in range(n_features)}, 1)
    got = [m["features"] for m in srp_members(probe, model)]
    assert [len(f) for f in got] == [kept] * 3
    assert all(f == sorted(f) for f in got)
    if kept == n_features:
        assert got == [sorted(f"f{j}" for j in range(n_features))] * 3


@pytest.mark.parametrize("seed", [0, 5, 2**31 - 1, -(2**31)])
@pytest.mark.parametrize("method", ["patches", "subspaces", "anything"])
def test_patches_are_drawn_per_member_from_seed_and_position(probe, seed, method):
    names = ["zeta", "alpha", "Beta", "b", "é", "a b", "mid", "k9", "k10"]
    x = {name: float(i) for i, name in enumerate(names)}
    want = [reference_patch(seed, i, names, 0.6) for i in range(5)]
    assert [probe.draw_patch(seed, i, x, 0.6) for i in range(5)] == want
    model = SRPClassifier(n_models=5, seed=seed, training_method=method, lambda_value=3.0)
    model.learn_one(x, 0)
    assert [m["features"] for m in probe.srp_classifier_members(model)] == want
    # Another member count, lambda or sample order draws the same patches; later samples keep them.
    other = SRPRegressor(n_models=2, seed=seed, training_method=method, lambda_value=9.0)
    other.learn_one(dict(reversed(list(x.items()))), 1.0)
    other.learn_one({"new": 1.0}, 2.0)
    assert [m["features"] for m in probe.srp_regressor_members(other)] == want[:2]
    # The seed in force when a patch is drawn is the one it is drawn from.
    late = SRPClassifier(n_models=2, seed=seed ^ 1, training_method=method)
    late.seed = seed
    late.learn_one(x, 0)
    assert [m["features"] for m in probe.srp_classifier_members(late)] == want[:2]


def test_patch_of_an_empty_first_sample_is_one_empty_name(probe):
    assert probe.draw_patch(0, 0, {}, 0.6) == [""]
    model = SRPClassifier(n_models=2, grace_period=10)
    model.learn_one({}, 1)
    assert [m["features"] for m in probe.srp_classifier_members(model)] == [[""], [""]]
    # Such members see no feature: they behave as if every sample were empty.
    blind = SRPClassifier(n_models=2, grace_period=10)
    blind.learn_one({}, 1)
    for x, y in threshold_stream(300, seed=12):
        model.learn_one(x, y)
        blind.learn_one({}, y)
    assert model.predict_proba_one({"f0": 0.9, "f1": 0.9}) == blind.predict_proba_one({})
    # Unless a feature is named with the empty string.
    assert model.predict_proba_one({"": 5.0}) == blind.predict_proba_one({"": 5.0})
    model.reset()
    model.learn_one({"a": 1.0, "b": 2.0}, 1)
    assert [len(m["features"]) for m in probe.srp_classifier_members(model)] == [1, 1]


@pytest.mark.parametrize("cls, stream_of", [(SRPClassifier, threshold_stream), (SRPRegressor, linear_stream)])
def test_subspaces_never_draw_weights(cls, stream_of):
    stream = stream_of(1500, seed=13, n_features=5)
    want = answers(cls(n_models=3, training_method="subspaces", lambda_value=6.0, grace_period=20), stream)
    for lam in (1.0, 0.0, NAN):
        assert answers(cls(n_models=3, training_method="subspaces", lambda_value=lam, grace_period=20), stream) == want
    assert answers(cls(n_models=3, training_method="patches", grace_period=20), stream) != want


@pytest.mark.parametrize("cls, stream_of", [(SRPClassifier, threshold_stream), (SRPRegressor, linear_stream)])
def test_resampling_sees_every_feature(probe, cls, stream_of):
    stream = stream_of(1000, seed=14, n_features=5)
    model = cls(n_models=3, training_method="resampling", subspace_fraction=0.2, grace_period=20)
    want = answers(model, stream)
    assert [m["features"] for m in srp_members(probe, model)] == [[]] * 3
    # The fraction is never read.
    assert answers(cls(n_models=3, training_method="resampling", subspace_fraction=0.9, grace_period=20), stream) == want


@pytest.mark.parametrize("cls, stream_of", [(SRPClassifier, threshold_stream), (SRPRegressor, linear_stream)])
@pytest.mark.parametrize("method", ["", "Patches", "subspace", "resampling ", "patches\0x"])
def test_unknown_training_method_behaves_as_patches(cls, stream_of, method):
    stream = stream_of(800, seed=15, n_features=5)
    assert answers(cls(n_models=3, training_method=method, grace_period=20), stream) == \
        answers(cls(n_models=3, grace_period=20), stream)


def test_regressor_averages_only_members_with_a_tree(probe):
    model = SRPRegressor(n_models=3, grace_period=20)
    model.n_models = 5
    for x, y in linear_stream(300, seed=16):
        model.learn_one(x, y)
    model_x = {"f0": 0.5, "f1": 0.1, "f2": 0.0, "f3": 0.3}
    prediction = model.predict_one(model_x)
    model.reset()  # five members now, none with a tree
    assert model.predict_one(model_x) == 0.0
    assert prediction != 0.0


def test_srp_recovers_from_abrupt_change_and_beats_a_single_tree():
    stream = threshold_stream(9000, seed=9, flip_at=6000)
    got = {name: prequential_pairs(model, stream) for name, model in (
        ("srp", SRPClassifier(n_models=5, seed=1)),
        ("lb", LeveragingBaggingClassifier(n_models=5, seed=1)),
        ("tree", HoeffdingTreeClassifier(grace_period=50)),
    )}
    tree_after = windowed_accuracy(got["tree"], 7000, 9000)
    # Two of the four features decide the label; a patch of two holds both for one member in six.
    for name, settled in (("srp", 0.8), ("lb", 0.85)):
        before = windowed_accuracy(got[name], 5000, 6000)
        after = windowed_accuracy(got[name], 7000, 9000)
        assert before > settled, (name, before)
        assert after > before - 0.04, (name, before, after)
        assert after - tree_after > 0.3, (name, after, tree_after)
        assert windowed_accuracy(got[name], 0, 9000) - windowed_accuracy(got["tree"], 0, 9000) > 0.1


def test_srp_regressor_follows_a_changed_target():
    stream = linear_stream(6000, seed=10, change_at=3000)
    # Patches of every feature: both deciding features reach every member.
    model = SRPRegressor(n_models=5, grace_period=50, subspace_fraction=1.0)
    errors = []
    for x, y in stream:
        errors.append(abs(model.predict_one(x) - y))
        model.learn_one(x, y)
    spread = sum(abs(y) for _, y in stream[5000:]) / 1000
    assert sum(errors[5000:]) / 1000 < 0.25 * spread


# --- leveraging bagging -------------------------------------------------------

def test_leveraging_bagging_votes_without_weights(probe):
    model = LeveragingBaggingClassifier(n_models=4, seed=2, grace_period=20)
    stream = threshold_stream(400, seed=17, n_features=3)
    for x, y in stream[:300]:
        model.learn_one(x, y)
    for x, _ in stream[300:]:
        member_probas = probe.lb_member_probas(model, x)
        want = {}
        for p in member_probas:
            s = sum(p.values())
            for label, v in p.items():
                want[label] = want.get(label, 0.0) + v / s
        total = sum(want.values())
        assert model.predict_proba_one(x) == pytest.approx({k: v / total for k, v in want.items()}, rel=1e-12)
    # Members that were wrong weigh as much as members that were right.
    assert len({tuple(sorted(p.items())) for p in member_probas}) > 1


def test_leveraging_bagging_drift_replaces_the_tree_and_its_detector(probe):
    model = LeveragingBaggingClassifier(n_models=3, seed=1, grace_period=20)
    replaced = set()
    for step, (x, y) in enumerate(threshold_stream(4000, seed=18, flip_at=2000)):
        model.learn_one(x, y)
        for i, m in enumerate(probe.lb_classifier_members(model)):
            if m["detector_width"] == 0.0:
                assert m["classes"] == []  # a fresh tree beside a fresh detector
                replaced.add(i)
                assert step >= 2000
    assert replaced == {0, 1, 2}


def test_leveraging_bagging_regressor_scales_errors_by_the_target_spread(probe):
    # lambda 0: the trees never learn and predict 0.0, so each detector sees |y| / scale.
    model = LeveragingBaggingRegressor(n_models=2, lambda_value=0.0)
    model.learn_one({"a": 1.0}, 1.0)
    assert probe.lb_regressor_targets(model) == (1.0, 1.0, 1.0, 1.0)
    model.learn_one({"a": 2.0}, 3.0)
    assert probe.lb_regressor_targets(model) == (2.0, 4.0, 10.0, 1.0)  # population variance 1
    model.learn_one({"a": 3.0}, -4.0)  # targets 1, 3, -4: variance 26/3
    assert probe.lb_regressor_targets(model)[3] == math.sqrt(26.0 / 3.0)
    want = 1.0 / 1.0 + 3.0 / 1.0 + 4.0 / math.sqrt(26.0 / 3.0)
    assert [m["detector_total"] for m in probe.lb_regressor_members(model)] == [pytest.approx(want, rel=1e-12)] * 2
    assert all(m["learnt"] == 0.0 for m in probe.lb_regressor_members(model))

    constant = LeveragingBaggingRegressor(n_models=1, lambda_value=0.0)
    for _ in range(5):
        constant.learn_one({"a": 1.0}, 7.0)
        assert probe.lb_regressor_targets(constant)[3] == 1.0
    assert probe.lb_regressor_members(constant)[0]["detector_total"] == 35.0


def test_leveraging_bagging_regressor_lambda_property_reaches_the_next_sample(probe):
    model = LeveragingBaggingRegressor(n_models=3, grace_period=20)
    stream = linear_stream(60, seed=19)
    for x, y in stream[:50]:
        model.learn_one(x, y)
    learnt = [m["learnt"] for m in probe.lb_regressor_members(model)]
    model.lambda_value = 0.0
    assert model.lambda_value == 0.0
    model.learn_one(*stream[50])
    assert [m["learnt"] for m in probe.lb_regressor_members(model)] == learnt
    model.lambda_value = 40.0
    model.learn_one(*stream[51])
    grown = [m["learnt"] - before for m, before in zip(probe.lb_regressor_members(model), learnt)]
    assert sum(grown) > 3 * 20  # Poisson(40) weights, well above the default mean of 6
    model.lambda_value = NAN
    with pytest.raises(ValueError, match="lambda_value"):
        model.learn_one(*stream[52])


@pytest.mark.parametrize("seed", [0, 2**31 - 2])
def test_leveraging_bagging_regressor_replaces_member_i_by_a_fresh_member_i(probe, seed):
    model = LeveragingBaggingRegressor(n_models=3, seed=seed, grace_period=20)
    fresh = probe.lb_regressor_members(LeveragingBaggingRegressor(n_models=3, seed=seed, grace_period=20))
    # Member i's tree is seeded seed + i, wrapping at 32 bits.
    assert [m["tree_seed"] for m in fresh] == [(seed + i + 2**31) % 2**32 - 2**31 for i in range(3)]
    assert all(m["fresh_generator"] and not m["has_root"] for m in fresh)
    replaced = set()
    for step, (x, y) in enumerate(linear_stream(4000, seed=20, change_at=2000)):
        model.learn_one(x, 10.0 * y)
        for i, m in enumerate(probe.lb_regressor_members(model)):
            if m["detector_width"] == 0.0:
                assert m == fresh[i], (step, i)
                replaced.add(i)
    assert replaced == {0, 1, 2}


def test_leveraging_bagging_regressor_reset_replays_and_leaf_option_reaches_members():
    stream = linear_stream(1500, seed=21, change_at=700)
    assert_reset_replays_fresh(lambda: LeveragingBaggingRegressor(n_models=3, seed=5, grace_period=20),
                               stream, answer="predict_one")
    mean = answers(LeveragingBaggingRegressor(n_models=3, grace_period=20, leaf_prediction="mean"), stream)
    assert mean != answers(LeveragingBaggingRegressor(n_models=3, grace_period=20), stream)
    assert answers(LeveragingBaggingRegressor(n_models=3, grace_period=20, leaf_prediction="other"), stream) == \
        answers(LeveragingBaggingRegressor(n_models=3, grace_period=20), stream)


LB = [LeveragingBaggingClassifier, LeveragingBaggingRegressor]


def prequential_error(model, stream, after_learning=lambda: None):
    """Mean test-then-train error: 0/1 for a classifier, absolute for a regressor."""
    error = 0.0
    for x, y in stream:
        answer = model.predict_one(x)
        error += answer != y if isinstance(model, IClassifier) else abs(answer - y)
        model.learn_one(x, y)
        after_learning()
    return error / len(stream)


@pytest.mark.parametrize("cls", LB)
def test_leveraging_bagging_acts_only_on_a_rising_error(probe, cls):
    # lambda 0: the trees never learn and always answer 0, so every detector is fed a known
    # error (the label itself, or |y| / scale), replayed here through ADWIN. Errors rise at
    # 1500 and fall at 3000: only the rise replaces the members.
    rng = random.Random(23)
    model = cls(n_models=2, lambda_value=0.0)
    twin, any_change = ADWIN(0.002), ADWIN(0.002)
    want, falls = [], []
    for step in range(4500):
        label = int(rng.random() < (0.9 if 1500 <= step < 3000 else 0.1))
        y = label if cls is LeveragingBaggingClassifier else 3.0 * label + rng.random()
        model.learn_one({"a": rng.random()}, y)
        error = float(y) if cls is LeveragingBaggingClassifier else abs(y) / probe.lb_regressor_targets(model)[3]
        before = twin.estimation
        twin.update(error)
        if twin.drift_detected and twin.estimation > before:
            want.append(step)
            twin = ADWIN(0.002)
        any_before = any_change.estimation
        any_change.update(error)
        if any_change.drift_detected:
            falls += [step] if any_change.estimation < any_before else []
            any_change = ADWIN(0.002)
        got = [i for i, m in enumerate(members(probe, model)) if m["detector_width"] == 0.0]
        assert got == ([0, 1] if want and want[-1] == step else []), step
    assert want and all(1500 <= s < 3000 for s in want)
    # Acting on every change would also have replaced the members after the fall.
    assert any(s >= 3000 for s in falls)


@pytest.mark.parametrize("cls", LB)
def test_leveraging_bagging_keeps_improving_trees_on_a_stationary_stream(probe, cls):
    # Acting on any change replaced members here 185 (classifier) and 261 (regressor)
    # times, and left the classifier ten points below a single tree.
    if cls is LeveragingBaggingClassifier:
        from tarvo.stream import Agrawal

        stream = list(Agrawal(15_000, concepts=(3,), seed=1))
        single = HoeffdingTreeClassifier(grace_period=50, split_confidence=0.01, tie_threshold=0.05,
                                         nb_threshold=0, max_depth=20, split_criterion="info_gain")
    else:
        stream = linear_stream(10_000, seed=1)
        single = FIMTDDRegressor(grace_period=50, split_confidence=0.01, tie_threshold=0.05, max_depth=20,
                                 leaf_prediction="adaptive")
    model = cls()
    replaced = []
    error = prequential_error(model, stream, lambda: replaced.extend(
        m for m in members(probe, model) if m["detector_width"] == 0.0))
    assert replaced == []
    # Within a point of the single tree's accuracy, or better; for the regressor no larger an error.
    assert error <= prequential_error(single, stream) + (0.01 if cls is LeveragingBaggingClassifier else 0.0)
