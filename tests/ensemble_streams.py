"""Seeded streams and test-then-train helpers shared by the ensemble tests."""

from __future__ import annotations

import random

from _tarvo_core import IClassifier


def threshold_stream(n, seed, n_features=4, flip_at=None, noise=0.05):
    """Label 1 when f0 + f1 > 1 (uniform features); labels flip from ``flip_at`` on."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        x = {f"f{j}": rng.random() for j in range(n_features)}
        y = int(x["f0"] + x["f1"] > 1.0)
        if rng.random() < noise:
            y = 1 - y
        if flip_at is not None and i >= flip_at:
            y = 1 - y
        out.append((x, y))
    return out


def linear_stream(n, seed, n_features=4, change_at=None):
    """Target 3 f0 - 2 f1 + noise; its sign flips from ``change_at`` on."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        x = {f"f{j}": rng.random() for j in range(n_features)}
        y = 3.0 * x["f0"] - 2.0 * x["f1"] + rng.gauss(0.0, 0.1)
        out.append((x, -y if change_at is not None and i >= change_at else y))
    return out


def answers(model, stream):
    """Test-then-train over the stream; every answer before each learning step."""
    out = []
    for x, y in stream:
        if isinstance(model, IClassifier):
            out.append((model.predict_one(x), sorted(model.predict_proba_one(x).items())))
        else:
            out.append(model.predict_one(x))
        model.learn_one(x, y)
    return out


def prequential_pairs(model, stream):
    """(prediction, label) for every sample, predicted before learning it."""
    pairs = []
    for x, y in stream:
        pairs.append((model.predict_one(x), y))
        model.learn_one(x, y)
    return pairs


def windowed_accuracy(pairs, start, stop):
    return sum(p == y for p, y in pairs[start:stop]) / (stop - start)
