"""Streaming gradient boosting: SGBTClassifier and SGBRRegressor over one booster engine."""

from __future__ import annotations

import math
import pickle
import random
import signal
import sys
import time

import pytest

from _tarvo_core import FIMTDDRegressor, IClassifier, IRegressor, SGBRRegressor, SGBTClassifier
from conftest import assert_reset_replays_fresh


def regression_stream(n: int, seed: int, n_features: int = 5):
    rng = random.Random(seed)
    for _ in range(n):
        x = {f"x{j}": rng.random() for j in range(n_features)}
        yield x, 3.0 * x["x0"] - 2.0 * x["x1"] + rng.gauss(0.0, 0.05)


def class_stream(n: int, seed: int, labels=(0, 1, 2)):
    rng = random.Random(seed)
    for _ in range(n):
        y = rng.choice(labels)
        yield {"a": rng.gauss(float(labels.index(y)), 0.3), "b": rng.random()}, y


@pytest.mark.parametrize("percentage, n, k", [(75, 1, 1), (75, 2, 2), (75, 3, 2), (75, 4, 3), (75, 10, 8),
                                              (10, 5, 2), (75, 0, 1), (0, 5, 1), (-50, 5, 1), (200, 5, 5)])
def test_stage_size(probe, percentage, n, k):
    assert probe.booster_stage_size(percentage, n) == k


def test_stages_are_sorted_subsets_continuing_one_permutation(probe):
    model = SGBRRegressor(n_models=6, bag_size=1, percentage_of_features=50)
    model.learn_one({f"f{j}": float(j) for j in range(10)}, 1.0)
    stages = probe.sgbr_stage_features(model)
    assert len(stages) == 6
    for names in stages:
        assert len(names) == 5 and names == sorted(names) and len(set(names)) == 5
    assert len({tuple(s) for s in stages}) > 1


def test_empty_first_sample_gives_stages_without_features(probe):
    model = SGBRRegressor(n_models=3, bag_size=2)
    model.learn_one({}, 2.0)
    assert probe.sgbr_stage_features(model) == [[], [], []]
    assert math.isfinite(model.predict_one({"a": 1.0}))
    model.learn_one({"a": 1.0}, 2.0)


def test_regressor_untrained_and_after_reset_predicts_zero():
    model = SGBRRegressor()
    assert isinstance(model, IRegressor)
    assert model.predict_one({"a": 1.0}) == 0.0
    for x, y in regression_stream(50, seed=1):
        model.learn_one(x, y)
    assert model.predict_one({"x0": 0.5}) != 0.0
    model.reset()
    assert model.predict_one({"x0": 0.5}) == 0.0


def test_one_stage_one_tree_is_a_fimtdd_tree_on_the_newton_target():
    # Squared loss from F = 0: the first stage learns (y - 0) / 1 = y itself.
    model = SGBRRegressor(n_models=1, bag_size=1, percentage_of_features=100, grace_period=25,
                          split_confidence=0.05)
    tree = FIMTDDRegressor(grace_period=25, split_confidence=0.05, leaf_prediction="mean")
    for x, y in regression_stream(600, seed=2):
        assert model.predict_one(x) == tree.predict_one(x)
        model.learn_one(x, y)
        tree.learn_one(x, y)


def test_regressor_learns_the_target():
    model = SGBRRegressor(n_models=5, bag_size=3)
    errors = []
    for i, (x, y) in enumerate(regression_stream(3000, seed=3)):
        if i >= 2000:
            errors.append(abs(model.predict_one(x) - y))
        model.learn_one(x, y)
    assert sum(errors) / len(errors) < 0.3


def test_skip_training_two_drops_about_half():
    kept, dropped = SGBRRegressor(n_models=1, bag_size=1), SGBRRegressor(n_models=1, bag_size=1, skip_training=2)
    stream = list(regression_stream(400, seed=4))
    for x, y in stream:
        kept.learn_one(x, y)
        dropped.learn_one(x, y)
    # Fewer samples seen: the dropped model's single leaf mean differs from the full one.
    assert kept.predict_one(stream[0][0]) != dropped.predict_one(stream[0][0])


def test_classifier_untrained_and_single_label():
    model = SGBTClassifier()
    assert isinstance(model, IClassifier)
    assert model.predict_proba_one({"a": 1.0}) == {}
    assert model.predict_one({"a": 1.0}) == 0
    model.learn_one({"a": 1.0}, 7)
    assert model.predict_proba_one({"a": 1.0}) == {7: 1.0}
    assert model.predict_one({"a": 3.0}) == 7


def test_untrained_boosters_share_evenly_and_stay_aligned_with_labels():
    # Seed 9's first three draws of {0, 1} are all 0: with skip_training=2 each booster's
    # first samples are dropped, so every booster below is untrained and gives 1 - sigma(0).
    model = SGBTClassifier(n_models=3, skip_training=2, seed=9)
    for label in (0, 2, 1):  # label 1 arrives late and takes the middle position
        model.learn_one({"a": float(label)}, label)
    assert model.predict_proba_one({"a": 0.0}) == {0: 1 / 3, 1: 1 / 3, 2: 1 / 3}
    assert model.predict_one({"a": 2.0}) == 0  # ties go to the smallest label


@pytest.mark.parametrize("n_classes", [0, 2])
def test_classifier_learns_and_probabilities_sum_to_one(n_classes):
    labels = (0, 1, 2) if n_classes != 2 else (-4, 9)
    model = SGBTClassifier(n_models=10, n_classes=n_classes, learning_rate=0.5)
    correct = 0
    for i, (x, y) in enumerate(class_stream(2000, seed=6, labels=labels)):
        if i >= 1000:
            proba = model.predict_proba_one(x)
            assert set(proba) == set(labels) and math.fsum(proba.values()) == pytest.approx(1.0)
            correct += model.predict_one(x) == y
        model.learn_one(x, y)
    assert correct / 1000 > 0.8


@pytest.mark.parametrize("order", [(0, 2), (2, 0)])
def test_switching_modes_after_learning_never_crashes(order):
    model = SGBTClassifier(n_models=3, n_classes=order[0])
    stream = list(class_stream(300, seed=7, labels=(0, 1, 2, 3)))
    for i, (x, y) in enumerate(stream):
        if i == 150:
            model.n_classes = order[1]
        model.learn_one(x, y)
        proba = model.predict_proba_one(x)
        assert all(0.0 <= p <= 1.0 for p in proba.values())
        total = math.fsum(proba.values())
        assert total == pytest.approx(1.0) or total == 0.0
        assert model.predict_one(x) in (0, 1, 2, 3)


def test_scale_prediction_by_lr_scales_the_raw_score():
    plain = SGBTClassifier(n_models=4, n_classes=2, learning_rate=0.5)
    scaled = SGBTClassifier(n_models=4, n_classes=2, learning_rate=0.5, scale_prediction_by_lr=True)
    for x, y in class_stream(300, seed=8, labels=(0, 1)):
        plain.learn_one(x, y)
        scaled.learn_one(x, y)
    x = {"a": 0.1, "b": 0.5}
    p, q = plain.predict_proba_one(x)[0], scaled.predict_proba_one(x)[0]
    assert math.log(q / (1 - q)) == pytest.approx(0.5 * math.log(p / (1 - p)), rel=1e-9)


@pytest.mark.parametrize("make", [lambda: SGBTClassifier(n_models=5, bag_size=3, skip_training=3),
                                  lambda: SGBRRegressor(n_models=4, bag_size=3, skip_training=2)])
def test_reset_replays_a_fresh_model(make):
    model = make()
    stream = list(class_stream(400, seed=9)) if isinstance(model, IClassifier) else list(regression_stream(400, seed=9))
    answer = "predict_proba_one" if isinstance(model, IClassifier) else "predict_one"
    assert_reset_replays_fresh(make, stream, answer)


def test_property_writes_reach_boosters_created_later(probe):
    model = SGBRRegressor(n_models=2)
    model.learn_one({"a": 1.0, "b": 2.0}, 1.0)
    model.n_models = 4
    model.learn_one({"a": 1.0, "b": 2.0}, 1.0)
    assert len(probe.sgbr_stage_features(model)) == 2
    model.reset()
    model.learn_one({"a": 1.0, "b": 2.0}, 1.0)
    assert len(probe.sgbr_stage_features(model)) == 4


@pytest.mark.parametrize("make", [lambda: SGBTClassifier(n_models=2**31 - 1),
                                  lambda: SGBRRegressor(n_models=1000, bag_size=1000)])
def test_too_many_trees_are_refused_before_anything_changes(make):
    model = make()
    with pytest.raises(ValueError, match="n_models"):
        model.learn_one({"a": 1.0}, 1)
    assert model.predict_one({"a": 1.0}) == 0


def test_hessian_repetitions_are_interruptible_and_hostile_settings_safe():
    # One sample repeated by every tree of 200 stages for about half a second: a signal whose
    # handler raises (as Ctrl-C's does), sent by the kernel while the call holds the GIL, stops it.
    model = SGBRRegressor(n_models=200, bag_size=10, multiply_hessian_by=1000)
    x = {"a": 1.0, "b": 2.0}

    def interrupt(signum: int, frame: object) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.02)
        began = time.perf_counter()
        with pytest.raises(KeyboardInterrupt):
            model.learn_one(x, 3.0)
        assert time.perf_counter() - began < 0.2  # within milliseconds of the signal
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert math.isfinite(model.predict_one(x))  # the steps taken, and a usable model
    assert pickle.loads(pickle.dumps(model)).predict_one(x) == model.predict_one(x)
    # A NaN learning rate gives NaN scores, never a failure.
    hostile = SGBRRegressor(n_models=2, bag_size=2, multiply_hessian_by=3, learning_rate=float("nan"))
    answers = []
    for x, y in regression_stream(100, seed=10):
        hostile.learn_one(x, y)
        answers.append(hostile.predict_one(x))
    assert all(math.isnan(a) for a in answers)


# --- one-against-the-rest probabilities when every share rounds to 0 ----------

def _sigmoid(f: float) -> float:
    return 1.0 / (1.0 + math.exp(-f)) if f >= 0.0 else math.exp(f) / (1.0 + math.exp(f))


def _softplus(s: float) -> float:
    return s + math.log1p(math.exp(-s)) if s > 0.0 else math.log1p(math.exp(s))


def reference_shares(scores: list[float]) -> tuple[list[float], str]:
    """One-against-the-rest probabilities from the boosters' scores, and which rule gave them."""
    shares = [1.0 - _sigmoid(s) for s in scores]
    total = 0.0
    for c in shares:
        total += c
    if total >= sys.float_info.min:
        return [c / total for c in shares], "linear"
    if math.isnan(total) or all(s == math.inf for s in scores):
        return [0.0] * len(scores), "none"
    logs = [-_softplus(s) for s in scores]
    top = max(logs)
    terms = [math.exp(v - top) for v in logs]
    z = 0.0
    for t in terms:
        z += t
    return [t / z for t in terms], "log"


def uniform_label_stream(n: int, seed: int):
    """Four uniform features; the label is int(3 a)."""
    rng = random.Random(seed)
    for _ in range(n):
        x = {name: rng.random() for name in "abcd"}
        yield x, int(x["a"] * 3)


@pytest.mark.parametrize("settings, want_rules", [
    # The defaults: the scores grow past sigmoid's rounding to 1 within a few dozen samples.
    ({}, {"linear", "log"}),
    # Squared loss, many stages, a tiny learning rate: scores near 100 x the target.
    (dict(use_squared_loss=True, n_models=100, learning_rate=1e-6), {"linear", "log"}),
    (dict(n_models=5, learning_rate=0.5), {"linear"}),
    # NaN scores: every label keeps 0.0.
    (dict(n_models=3, scale_prediction_by_lr=True, learning_rate=float("nan")), {"none"}),
])
def test_one_against_the_rest_shares_follow_the_log_space_rule(probe, settings, want_rules):
    model = SGBTClassifier(**settings)
    rules = set()
    seen = set()
    for i, (x, y) in enumerate(uniform_label_stream(300, seed=0)):
        model.learn_one(x, y)
        seen.add(y)
        if len(seen) < 2:
            continue
        scores = probe.sgbt_raw_scores(model, x)
        if settings.get("scale_prediction_by_lr"):
            scores = [s * settings["learning_rate"] for s in scores]
        want, rule = reference_shares(scores)
        rules.add(rule)
        proba = model.predict_proba_one(x)
        labels = sorted(seen)  # booster i belongs to the i-th smallest label
        assert sorted(proba) == labels and len(scores) == len(labels)
        assert [proba[label].hex() for label in labels] == [p.hex() for p in want], (i, rule)
        if rule != "none":
            assert math.fsum(proba.values()) == pytest.approx(1.0)
            assert model.predict_one(x) == labels[max(range(len(labels)), key=lambda k: (want[k], -k))]
    assert rules == want_rules


def test_large_scores_still_rank_the_labels():
    # The reproducer: at defaults every share rounds to 0 after a few dozen samples; the
    # log-space rule keeps a distribution that still tells the labels apart.
    model = SGBTClassifier()
    stream = list(uniform_label_stream(600, seed=4))
    for x, y in stream[:300]:
        model.learn_one(x, y)
    correct = 0
    for x, y in stream[300:]:
        proba = model.predict_proba_one(x)
        assert max(proba.values()) > 0.0
        correct += model.predict_one(x) == y
        model.learn_one(x, y)
    assert correct / 300 > 0.6
