"""ARFClassifier and ARFRegressor: members, subspaces, seeds, votes, drift and reproducibility."""

from __future__ import annotations

import random

import pytest

from _tarvo_core import ARFClassifier, ARFRegressor, HoeffdingTreeClassifier

import random_reference as ref
from ensemble_streams import answers, linear_stream, threshold_stream, windowed_accuracy

NAN, INF = float("nan"), float("inf")


CLASSIFIER_ARGS = dict(n_models=10, seed=0, lambda_value=6.0, drift_delta=0.001, warning_delta=0.01,
                       grace_period=50, max_depth=20, split_confidence=0.01, subspace_size=-1)
REGRESSOR_ARGS = dict(n_models=10, seed=0, lambda_value=6.0, drift_delta=0.001, warning_delta=0.01,
                      grace_period=200, max_depth=20, learning_rate=0.01)
FORESTS = [
    pytest.param(ARFClassifier, CLASSIFIER_ARGS, threshold_stream, id="classifier"),
    pytest.param(ARFRegressor, REGRESSOR_ARGS, linear_stream, id="regressor"),
]


@pytest.mark.parametrize("cls, defaults, stream_of", FORESTS)
def test_constructor_keywords_defaults_and_properties(cls, defaults, stream_of):
    stream = stream_of(600, seed=1)
    changed = {k: (v + 1 if isinstance(v, int) else v / 2) for k, v in defaults.items()}
    want = answers(cls(**changed), stream)
    assert answers(cls(*changed.values()), stream) == want
    assert answers(cls(*defaults.values()), stream) == answers(cls(), stream)
    forest = cls()
    assert (forest.n_models, forest.seed) == (10, 0)
    for hidden in set(defaults) - {"n_models", "seed"}:
        assert not hasattr(forest, hidden)
    forest.seed = -7
    assert forest.seed == -7
    with pytest.raises(TypeError):
        cls(seed=1.0)


def test_untrained_answers():
    forest = ARFClassifier()
    assert forest.predict_one({"a": 1.0}) == 0
    assert forest.predict_proba_one({"a": 1.0}) == {}
    assert ARFRegressor().predict_one({"a": 1.0}) == 0.0


@pytest.mark.parametrize("subspace_size, n_features, per_split", [
    (-1, 9, 4), (-1, 16, 5), (-1, 1, 0), (-1, 0, 0), (-5, 3, 2),
    (0, 9, 0), (9, 9, 0), (20, 9, 0), (3, 9, 3), (1, 2, 1),
])
def test_classifier_subspace_rule_and_first_tree_seeds(probe, subspace_size, n_features, per_split):
    forest = ARFClassifier(n_models=3, seed=5, subspace_size=subspace_size)
    forest.learn_one({f"f{j}": float(j) for j in range(n_features)}, 1)
    members = probe.arf_classifier_members(forest)
    assert [m["tree_subspace"] for m in members] == [per_split] * 3
    assert [m["tree_seed"] for m in members] == [1005, 2005, 3005]


@pytest.mark.parametrize("first, second, same", [(-1, 4, True), (0, 100, True), (0, 4, False)])
def test_subspace_sizes_that_select_the_same_trees_give_the_same_forest(first, second, same):
    stream = threshold_stream(1500, seed=2, n_features=9)
    a = answers(ARFClassifier(n_models=3, subspace_size=first, grace_period=20), stream)
    b = answers(ARFClassifier(n_models=3, subspace_size=second, grace_period=20), stream)
    assert (a == b) is same


@pytest.mark.parametrize("n_features, kept", [(16, 4), (2, 1), (3, 2), (1, 1), (9, 3), (12, 3)])
@pytest.mark.parametrize("seed", [0, -3])
def test_regressor_members_draw_their_features_in_turn(probe, n_features, kept, seed):
    x = {f"f{j:02d}": float(j) for j in reversed(range(n_features))}
    forest = ARFRegressor(n_models=4, seed=seed)
    forest.learn_one(x, 1.0)
    # Each member shuffles the sorted names, then draws its Poisson weight.
    gen, want = ref.MT19937(seed), []
    for _ in range(4):
        names = sorted(x)
        ref.shuffle(gen, names)
        want.append(names[:kept])
        ref.poisson(gen, 6.0)
    assert [m["features"] for m in probe.arf_regressor_members(forest)] == want
    forest.learn_one({"other": 1.0}, 2.0)
    assert [m["features"] for m in probe.arf_regressor_members(forest)] == want


def test_regressor_member_with_an_empty_first_sample_sees_every_feature(probe):
    forest, twin = ARFRegressor(n_models=2, grace_period=20), ARFRegressor(n_models=2, grace_period=20)
    forest.learn_one({}, 0.5)
    assert [m["features"] for m in probe.arf_regressor_members(forest)] == [[], []]
    stream = linear_stream(300, seed=3)
    for x, y in stream:
        forest.learn_one(x, y)
    assert [m["features"] for m in probe.arf_regressor_members(forest)] == [[], []]
    forest.reset()
    answers(forest, stream[:1])
    answers(twin, stream[:1])
    assert probe.arf_regressor_members(forest) == probe.arf_regressor_members(twin)
    assert len(probe.arf_regressor_members(forest)[0]["features"]) == 2


@pytest.mark.parametrize("cls, defaults, stream_of", FORESTS)
def test_n_models_and_seed_take_effect_at_reset(cls, defaults, stream_of):
    stream = stream_of(400, seed=4)
    forest = cls(n_models=4, seed=1, grace_period=20)
    forest.n_models = 2
    assert answers(forest, stream) == answers(cls(n_models=4, seed=1, grace_period=20), stream)
    forest.seed = 9
    forest.reset()
    assert answers(forest, stream) == answers(cls(n_models=2, seed=9, grace_period=20), stream)
    for n in (0, -5):
        assert answers(cls(n_models=n, grace_period=20), stream) == answers(cls(n_models=1, grace_period=20), stream)


@pytest.mark.parametrize("cls", [ARFClassifier, ARFRegressor])
def test_member_count_is_bounded(cls):
    with pytest.raises(ValueError, match="n_models"):
        cls(n_models=100_001)
    forest = cls(n_models=2)
    forest.learn_one({"a": 1.0}, 1)
    before = forest.predict_one({"a": 1.0})
    forest.n_models = 2**31 - 1
    with pytest.raises(ValueError, match="n_models"):
        forest.reset()
    assert forest.predict_one({"a": 1.0}) == before


@pytest.mark.parametrize("lam", [NAN, INF, -INF])
def test_non_finite_lambda_is_refused_before_anything_changes(probe, lam):
    classifier, regressor = ARFClassifier(n_models=2, lambda_value=lam), ARFRegressor(n_models=2, lambda_value=lam)
    for forest in (classifier, regressor):
        with pytest.raises(ValueError, match="lambda_value"):
            forest.learn_one({"a": 1.0, "b": 2.0}, 1)
    assert not any(m["initialised"] for m in probe.arf_classifier_members(classifier))
    assert probe.arf_regressor_members(regressor) == [dict(initialised=False, features=[], has_background=False)] * 2


@pytest.mark.parametrize("lam", [0.0, -2.5])
def test_without_training_weight_trees_never_learn(probe, lam):
    classifier, regressor = ARFClassifier(n_models=3, lambda_value=lam), ARFRegressor(n_models=3, lambda_value=lam)
    for x, y in threshold_stream(200, seed=5):
        classifier.learn_one(x, y)
        regressor.learn_one(x, 5.0 + y)
    assert classifier.predict_proba_one(x) == {} and classifier.predict_one(x) == 0
    assert regressor.predict_one(x) == 0.0
    assert [m["n_seen"] for m in probe.arf_classifier_members(classifier)] == [200.0] * 3


@pytest.mark.parametrize("first_label, proba", [(1, {}), (0, {0: 1.0})])
def test_members_that_were_never_right_are_left_out_of_the_vote(first_label, proba):
    # Untrained members predict 0: a first label of 1 makes every member's accuracy 0.
    forest = ARFClassifier(n_models=3)
    forest.learn_one({"a": 1.0}, first_label)
    assert forest.predict_proba_one({"a": 1.0}) == proba
    assert forest.predict_one({"a": 1.0}) == 0
    forest.learn_one({"a": 1.0}, first_label)  # now right, weight 1/2
    assert forest.predict_proba_one({"a": 1.0}) == {first_label: 1.0}


@pytest.mark.parametrize("index", [0, 1])
@pytest.mark.parametrize("seed", [0, 12345, 2**31 - 1, -(2**31)])
def test_background_tree_seed_counts_the_samples_seen(probe, index, seed):
    forest = ARFClassifier(n_models=2, seed=seed, warning_delta=1e-300, drift_delta=1e-300)
    stream = threshold_stream(57, seed=6, n_features=9)
    for x, y in stream[:56]:
        forest.learn_one(x, y)
    assert not any(m["has_background"] for m in probe.arf_classifier_members(forest))
    probe.arf_prime_warning(forest, index)
    forest.learn_one(*stream[56])
    member = probe.arf_classifier_members(forest)[index]
    wrapped = (seed + 7919 * (index + 1) + 57) % 2**32
    assert member["has_background"] and member["n_seen"] == 57.0
    assert member["background_seed"] == wrapped - (2**32 if wrapped >= 2**31 else 0)
    assert member["background_subspace"] == 4


@pytest.mark.parametrize("seed, step, index, count, want", [
    (0, 7919, 0, 57.0, 7976),
    (2**31 - 1, 7919, 0, 57.0, -(2**31) + 7975),
    (-1, 104729, 2, 2.0**32 + 5.0, 314191),
    (5, 1000, 2**32 - 1, 0.0, 5),
])
def test_member_seed_wraps_in_32_bits(probe, seed, step, index, count, want):
    assert probe.member_seed(seed, step, index, count) == want


def test_cached_projection_matches_a_fresh_one(probe):
    rng = random.Random(7)
    names = ["c", "a", "e"]
    samples = []
    for _ in range(100):
        keys = [k for k in "abcdef" if rng.random() < 0.85]
        rng.shuffle(keys)
        # Runs of samples laid out alike, then a new layout (or missing names).
        samples.extend({k: rng.random() for k in keys} for _ in range(rng.choice([1, 3])))
    for cached, fresh in probe.subspace_projections(names, samples):
        assert cached == fresh


@pytest.mark.parametrize("cls, stream_of", [(ARFClassifier, threshold_stream), (ARFRegressor, linear_stream)])
def test_equal_forests_agree_and_reset_replays_a_fresh_one(probe, cls, stream_of):
    stream = stream_of(3000, seed=8, n_features=6, **{("flip_at" if cls is ARFClassifier else "change_at"): 1500})
    used = cls(n_models=4, seed=3, grace_period=30)
    first = answers(used, stream)
    assert answers(cls(n_models=4, seed=3, grace_period=30), stream) == first
    used.reset()
    assert answers(used, stream) == first
    if cls is ARFClassifier:
        # The stream made members replace their trees: seen counts restarted.
        assert any(m["n_seen"] < len(stream) for m in probe.arf_classifier_members(used))


def test_forest_recovers_from_abrupt_change_and_beats_a_single_tree():
    stream = threshold_stream(9000, seed=9, flip_at=6000)
    got = {}
    for name, model in (("forest", ARFClassifier(n_models=5, seed=1)), ("tree", HoeffdingTreeClassifier(grace_period=50))):
        pairs = []
        for x, y in stream:
            pairs.append((model.predict_one(x), y))
            model.learn_one(x, y)
        got[name] = pairs
    before = windowed_accuracy(got["forest"], 5000, 6000)
    after = windowed_accuracy(got["forest"], 7000, 9000)
    assert before > 0.85
    assert after > before - 0.04, (before, after)
    assert after - windowed_accuracy(got["tree"], 7000, 9000) > 0.3
    overall = {k: windowed_accuracy(v, 0, len(stream)) for k, v in got.items()}
    assert overall["forest"] - overall["tree"] > 0.1, overall


def test_regressor_follows_a_changed_target():
    stream = linear_stream(6000, seed=10, change_at=3000)
    forest = ARFRegressor(n_models=5, grace_period=50)
    errors = []
    for x, y in stream:
        errors.append(abs(forest.predict_one(x) - y))
        forest.learn_one(x, y)
    spread = sum(abs(y) for _, y in stream[5000:]) / 1000
    assert sum(errors[5000:]) / 1000 < 0.5 * spread


@pytest.mark.parametrize("bad", [NAN, INF, -INF])
def test_non_finite_values_keep_the_forests_answering(bad):
    classifier, regressor = ARFClassifier(n_models=3, grace_period=10), ARFRegressor(n_models=3, grace_period=10)
    for i, (x, y) in enumerate(threshold_stream(400, seed=11, flip_at=200)):
        if i % 5 == 0:
            x["f0"] = bad
        classifier.learn_one(x, y)
        regressor.learn_one(x, bad if i % 7 == 0 else float(y))
        assert classifier.predict_one(x) in (0, 1)
        assert isinstance(regressor.predict_one(x), float)
