"""HoeffdingTreeRegressor predict_one + learn_one per sample, against the floor and
SGDRegressor.partial_fit, with the prequential MAE of both on the same stream."""

from __future__ import annotations

import random
import warnings

import _tarvo_core as core
import _tarvo_probe as probe
from harness import Row, per_sample_us, test_then_train_us
from streams import regression


def piecewise(n: int, n_features: int = 10, seed: int = 2):
    """A target that is linear within regions of the first two features and jumps between them."""
    rng = random.Random(seed)
    names = [f"f{j}" for j in range(n_features)]
    out = []
    for _ in range(n):
        x = {k: rng.uniform(0, 1) for k in names}
        a, b = x["f0"], x["f1"]
        y = (4 * a if a < 0.5 else 6 - 3 * a) + (2 * b if b < 0.3 else -b) + rng.gauss(0, 0.1)
        out.append((x, y))
    return out


def prequential_mae(predict, learn, samples) -> float:
    total = 0.0
    for x, y in samples:
        total += abs(y - predict(x))
        learn(x, y)
    return total / len(samples)


def running_mean_mae(samples) -> float:
    mean, total = 0.0, 0.0
    for n, (_, y) in enumerate(samples, 1):
        total += abs(y - mean)
        mean += (y - mean) / n
    return total / len(samples)


def native_ns(samples) -> float:
    return min(probe.tree_regressor_native_ns(core.HoeffdingTreeRegressor(), samples)[0] for _ in range(3))


def peer(row: Row, samples, quick: bool) -> None:
    try:
        import numpy as np
        from sklearn.linear_model import SGDRegressor
    except ImportError:
        row.notes += "; scikit-learn not installed: no peer"
        return

    names = sorted(samples[0][0])
    rows = [(np.array([[x[k] for k in names]]), np.array([y])) for x, y in samples]

    def peer_step(model, item):
        xa, ya = item
        if hasattr(model, "coef_"):
            model.predict(xa)
        model.partial_fit(xa, ya)

    n_peer = 1_000 if quick else 3_000
    row.peer = "sklearn SGDRegressor.partial_fit + predict"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        row.peer_us = per_sample_us(SGDRegressor, peer_step, rows[:n_peer], repeat=2)
        model = SGDRegressor()
        total = 0.0
        for xa, ya in rows:
            if hasattr(model, "coef_"):
                total += abs(float(ya[0]) - float(model.predict(xa)[0]))
            else:
                total += abs(float(ya[0]))
            model.partial_fit(xa, ya)
    row.extra["peer_mae"] = total / len(rows)
    row.notes += f"; MAE peer {row.extra['peer_mae']:.4f}; peer timed on its first {n_peer} samples"


def bench_stream(name: str, samples, quick: bool) -> Row:
    ours, floor = test_then_train_us(core.HoeffdingTreeRegressor, samples, classifier=False)
    row = Row("HoeffdingTreeRegressor", "predict_one + learn_one", ours, floor, native_ns=native_ns(samples))

    tree = core.HoeffdingTreeRegressor()
    mae = prequential_mae(tree.predict_one, tree.learn_one, samples)
    nodes, leaves, depth = probe.tree_regressor_shape(tree)
    row.extra.update(mae=mae, running_mean_mae=running_mean_mae(samples), leaves=leaves, depth=depth)
    row.notes = (
        f"{name}, {len(samples)} samples, 10 features, defaults ({leaves} leaves, depth {depth}); "
        f"MAE tree {mae:.4f}, running mean {row.extra['running_mean_mae']:.4f}"
    )
    peer(row, samples, quick)
    return row


def run(quick: bool) -> list[Row]:
    n = 20_000 if quick else 50_000
    return [
        bench_stream("linear target", regression(n), quick),
        bench_stream("piecewise-linear target", piecewise(n), quick),
    ]
