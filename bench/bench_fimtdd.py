"""FIMTDDRegressor predict_one + learn_one per sample, against the floor and natively, on a
10-feature stream; then prequential MAE and cost side by side with HoeffdingTreeRegressor and
SGDRegressor.partial_fit on the Friedman stream, with and without an abrupt change half-way.

Targets: with "mean" leaves within 3x the cost of HoeffdingTreeRegressor, and a lower MAE than
it on the drifting stream."""

from __future__ import annotations

import warnings

import _tarvo_core as core
from harness import Row, native_ns, per_sample_us, test_then_train_us
from streams import regression
from tarvo.stream import Friedman

MODES = ("adaptive", "mean")


def fimtdd(mode: str):
    return lambda: core.FIMTDDRegressor(leaf_prediction=mode)


def hoeffding_tree(mode: str):
    tree = core.HoeffdingTreeRegressor()
    tree.leaf_prediction = mode
    return tree


def prequential_mae(model, samples) -> float:
    total = 0.0
    for x, y in samples:
        total += abs(y - model.predict_one(x))
        model.learn_one(x, y)
    return total / len(samples)


def friedman(n: int, drift: bool):
    kw = {"concepts": (1, 2), "drift_at": (n // 2,)} if drift else {}
    return [(dict(x), float(y)) for x, y in Friedman(n, seed=7, **kw)]


def sgd_peer(samples, quick: bool) -> tuple[float | None, float | None]:
    """(µs per sample on the first samples, prequential MAE over all) of SGDRegressor."""
    try:
        import numpy as np
        from sklearn.linear_model import SGDRegressor
    except ImportError:
        return None, None
    names = sorted(samples[0][0])
    rows = [(np.array([[x[k] for k in names]]), np.array([y])) for x, y in samples]

    def step(model, item):
        xa, ya = item
        if hasattr(model, "coef_"):
            model.predict(xa)
        model.partial_fit(xa, ya)

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        us = per_sample_us(SGDRegressor, step, rows[: 1_000 if quick else 3_000], repeat=2)
        model, total = SGDRegressor(), 0.0
        for xa, ya in rows:
            total += abs(float(ya[0]) - (float(model.predict(xa)[0]) if hasattr(model, "coef_") else 0.0))
            model.partial_fit(xa, ya)
    return us, total / len(rows)


def cost_rows(quick: bool) -> list[Row]:
    samples = regression(10_000 if quick else 30_000)
    ht_us, _ = test_then_train_us(core.HoeffdingTreeRegressor, samples, classifier=False, repeat=2)
    ht_ns = native_ns(core.HoeffdingTreeRegressor, samples, classifier=False, repeat=2)
    rows = []
    for mode in MODES:
        ours, floor = test_then_train_us(fimtdd(mode), samples, classifier=False, repeat=2)
        ns = native_ns(fimtdd(mode), samples, classifier=False, repeat=2)
        row = Row("FIMTDDRegressor", f"predict_one + learn_one ({mode} leaves)", ours, floor, native_ns=ns)
        row.extra.update(ht_us=ht_us, ht_ns=ht_ns)
        row.notes = (f"linear target, {len(samples)} samples, 10 features; "
                     f"{ours / ht_us:.2f}x HoeffdingTreeRegressor from Python, {ns / ht_ns:.2f}x natively")
        rows.append(row)
    return rows


def friedman_rows(quick: bool) -> list[Row]:
    n = 10_000 if quick else 50_000
    rows = []
    for drift in (False, True):
        samples = friedman(n, drift)
        peer_us, peer_mae = sgd_peer(samples, quick)
        ht = {mode: prequential_mae(hoeffding_tree(mode), samples) for mode in MODES}
        ht_us, _ = test_then_train_us(core.HoeffdingTreeRegressor, samples, classifier=False, repeat=2)
        for mode in MODES:
            ours, floor = test_then_train_us(fimtdd(mode), samples, classifier=False, repeat=2)
            model = fimtdd(mode)()
            mae = prequential_mae(model, samples)
            row = Row("FIMTDDRegressor", f"Friedman{' with drift' if drift else ''}, {mode} leaves",
                      ours, floor, native_ns=native_ns(fimtdd(mode), samples, classifier=False, repeat=1))
            row.extra.update(mae=mae, ht_mae=ht, ht_us=ht_us, peer_mae=peer_mae, splits=model.n_splits())
            change = f"concept 1 to 2 at {n // 2}" if drift else "one concept"
            row.notes = (f"{n} samples, {change}; MAE {mae:.3f}, HoeffdingTreeRegressor {ht[mode]:.3f} "
                         f"({mode} leaves), SGDRegressor "
                         + (f"{peer_mae:.3f}" if peer_mae is not None else "n/a")
                         + f"; cost {ours / ht_us:.2f}x HoeffdingTreeRegressor; {model.n_splits()} splits")
            if peer_us is not None:
                row.peer, row.peer_us = "sklearn SGDRegressor.partial_fit + predict", peer_us
            rows.append(row)
    return rows


def run(quick: bool) -> list[Row]:
    return cost_rows(quick) + friedman_rows(quick)
