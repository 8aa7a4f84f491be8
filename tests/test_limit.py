"""The benchmarks' dense limits compute what the learners compute, so that a learner's cost over its
limit measures only the maps, names and calls around the arithmetic."""

from __future__ import annotations

import numpy as np
import pytest

import _tarvo_core as core

probe = pytest.importorskip("_tarvo_probe", reason="the test-only module is not built")

NAMES = [f"f{j}" for j in range(6)]


def stream(seed: int = 3, n: int = 3000):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 6))
    labels = np.where(X[:, 0] + 0.5 * X[:, 1] > 0.2, 7, 3)
    targets = X @ np.arange(1.0, 7.0) + rng.normal(size=n)
    return X, labels.tolist(), targets.tolist()


def prequential_predictions(model, X, targets):
    out = []
    for row, target in zip(X, targets):
        x = dict(zip(NAMES, row.tolist()))
        out.append(model.predict_one(x))
        model.learn_one(x, target)
    return out


@pytest.mark.parametrize("make, limit, rates", [
    (core.NaiveBayes, "limit_naive_bayes_ns", False),
    (core.LogisticRegressionClassifier, "limit_logistic_ns", True),
])
def test_a_classifier_limit_predicts_the_learners_labels(make, limit, rates):
    """The limit returns the sum of its predicted class numbers (labels numbered in order of first
    appearance; an untrained learner's answer counts as the first label)."""
    X, labels, _ = stream()
    model = make()
    extra = (model.learning_rate, model.l2) if rates else ()
    number = {label: i for i, label in enumerate(dict.fromkeys(labels))}
    expected = sum(number.get(p, 0) for p in prequential_predictions(model, X, labels))
    assert getattr(probe, limit)(X, labels, *extra, repeat=1)[1] == expected


def test_the_linear_regression_limit_predicts_the_learners_targets():
    X, _, targets = stream()
    model = core.LinearRegression()
    expected = sum(prequential_predictions(model, X, targets))
    got = probe.limit_linear_regression_ns(X, targets, model.learning_rate, model.l2, repeat=1)[1]
    assert got == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("args, message", [
    ((np.zeros(3), [0, 1, 0]), "2-D"),
    ((np.zeros((3, 2)), [0, 1]), "numbers of rows"),
    ((np.zeros((3, 2)), [0, 1, 0], 0), "repeat"),
])
def test_the_limits_refuse_bad_shapes(args, message):
    with pytest.raises(ValueError, match=message):
        probe.limit_tree_leaf_ns(*args)
