"""The scikit-learn estimators' own cost: ``partial_fit`` + ``predict`` of a tarvo.sklearn wrapper
against ``tarvo.batch.learn_many`` + ``predict_many`` on the bare model (the floor), over the same
10,000-row arrays. The wrapper adds scikit-learn's input checks and the label mapping; the ratio
should stay at most 1.2.
"""

from __future__ import annotations

import numpy as np
from harness import Row, per_run_us

import _tarvo_core as core
from tarvo import batch

N_ROWS = 10_000
N_FEATURES = 10


def arrays(seed: int = 1) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Features, class labels 0 to 2 and a regression target."""
    rng = np.random.default_rng(seed)
    y = rng.integers(0, 3, N_ROWS)
    centres = rng.uniform(-1.0, 1.0, size=(3, N_FEATURES))
    X = centres[y] + rng.normal(size=(N_ROWS, N_FEATURES))
    target = X @ rng.uniform(-2.0, 2.0, N_FEATURES) + rng.normal(0.0, 0.1, N_ROWS)
    return X, y, target


def run(quick: bool) -> list[Row]:
    try:
        from tarvo.sklearn import OnlineClassifier, OnlineRegressor
    except ImportError:
        return []
    X, y, target = arrays()
    text = np.array(["high", "low", "mid"])[y]
    backend = "native batch" if batch.native is not None else "Python fallback batch"
    repeat = 3 if quick else 9
    cases = [
        ("NaiveBayes", core.NaiveBayes, OnlineClassifier, y, y, "int labels"),
        ("NaiveBayes", core.NaiveBayes, OnlineClassifier, text, y, "text labels"),
        ("HoeffdingTreeClassifier", core.HoeffdingTreeClassifier, OnlineClassifier, y, y, "int labels"),
        ("LinearRegression", core.LinearRegression, OnlineRegressor, target, target, "float targets"),
    ]
    rows = []
    for name, make, wrapper, labels, codes, what in cases:

        def ours(make=make, wrapper=wrapper, labels=labels) -> int:
            est = wrapper(make()).partial_fit(X, labels)
            est.predict(X)
            return N_ROWS

        def floor(make=make, codes=codes) -> int:
            model = make()
            batch.learn_many(model, X, codes)
            batch.predict_many(model, X)
            return N_ROWS

        # Alternated, best of each: a shared machine's load then weighs on both alike.
        us, floor_us = float("inf"), float("inf")
        for _ in range(repeat):
            us = min(us, per_run_us(ours, 1))
            floor_us = min(floor_us, per_run_us(floor, 1))
        rows.append(Row(f"{name} (sklearn.{wrapper.__name__})", f"partial_fit + predict, {N_ROWS:,} rows",
                        us, floor_us,
                        notes=f"floor: batch.learn_many + predict_many on the bare model; {N_FEATURES} features, "
                        f"{what}; {backend}; target ratio at most 1.2"))
    return rows
