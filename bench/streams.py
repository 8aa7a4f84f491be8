"""Seeded synthetic samples for the benchmarks (prebuilt, so that building them is not timed)."""

from __future__ import annotations

import random


def classification(n: int, n_features: int = 10, n_classes: int = 3, seed: int = 1):
    """``n`` samples of ``n_classes`` Gaussian classes over ``n_features`` features."""
    rng = random.Random(seed)
    names = [f"f{j}" for j in range(n_features)]
    centres = [[rng.uniform(-1, 1) for _ in names] for _ in range(n_classes)]
    out = []
    for _ in range(n):
        y = rng.randrange(n_classes)
        out.append(({k: rng.gauss(c, 1.0) for k, c in zip(names, centres[y])}, y))
    return out


def regression(n: int, n_features: int = 10, seed: int = 1):
    """``n`` samples of a noisy linear target over ``n_features`` features."""
    rng = random.Random(seed)
    names = [f"f{j}" for j in range(n_features)]
    weights = [rng.uniform(-2, 2) for _ in names]
    out = []
    for _ in range(n):
        x = {k: rng.uniform(0, 1) for k in names}
        out.append((x, sum(w * x[k] for w, k in zip(weights, names)) + rng.gauss(0, 0.1)))
    return out
