"""Samples with hundreds of features: naive Bayes products underflow in linear space, yet
every classifier that uses them keeps answering with a proper distribution."""

from __future__ import annotations

import math
import random

import pytest

import _tarvo_core as core


def wide_stream(n: int, seed: int, n_features: int = 300, n_classes: int = 3):
    """Classes whose means differ by 1.5 on every feature, spread 4: a density of about 0.06
    per feature, so a class's product of 300 densities is far below the smallest double."""
    rng = random.Random(seed)
    for _ in range(n):
        y = rng.randrange(n_classes)
        yield {f"f{j}": rng.gauss(1.5 * y, 4.0) for j in range(n_features)}, y


LEARNERS = {
    "NaiveBayes": lambda: core.NaiveBayes(),
    "HoeffdingTreeClassifier": lambda: core.HoeffdingTreeClassifier(grace_period=50),
    "HoeffdingAdaptiveTreeClassifier": lambda: core.HoeffdingAdaptiveTreeClassifier(grace_period=50),
    "ARFClassifier": lambda: core.ARFClassifier(n_models=3, seed=2, lambda_value=1.0),
}


@pytest.mark.parametrize("name", LEARNERS)
def test_wide_samples_give_proper_distributions_and_right_labels(name):
    model = LEARNERS[name]()
    if name == "HoeffdingTreeClassifier":
        model.leaf_prediction = "nb"
    correct = 0
    for i, (x, y) in enumerate(wide_stream(700, seed=1)):
        if i >= 300:
            proba = model.predict_proba_one(x)
            assert set(proba) == {0, 1, 2}
            assert math.fsum(proba.values()) == pytest.approx(1.0, abs=1e-12)
            assert all(0.0 <= p <= 1.0 for p in proba.values())
            label = model.predict_one(x)
            if name != "ARFClassifier":  # a forest's vote may rank differently from one leaf
                assert proba[label] == max(proba.values())
            correct += label == y
        model.learn_one(x, y)
    assert correct / 400 > 0.95, correct


def test_ordinary_products_are_divided_by_their_sum_exactly():
    nb = core.NaiveBayes()
    nb.learn_one({"a": 0.0}, 0)
    nb.learn_one({"a": 2.0}, 0)
    nb.learn_one({"a": 1.0}, 1)
    nb.learn_one({"a": 3.0}, 1)
    proba = nb.predict_proba_one({"a": 1.5})
    # Both classes: variance 2, distance 0.5 from the mean: equal terms, split evenly.
    assert proba == {0: 0.5, 1: 0.5}
