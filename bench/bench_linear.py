"""The linear classifiers and regressors: predict_one + learn_one per sample against the floor and
natively, and beside the scikit-learn model a user would otherwise feed one sample at a time with
``partial_fit``, with prequential accuracy (or MAE) of both on the same stream. When the electricity
stream is at hand (``shared/datasets/elec.csv``, see bench_forests), the same comparison on it: the
classifiers on its ``class``, the regressors on ``nswdemand`` from the other five features.
"""

from __future__ import annotations

import gc
import time
import warnings

import _tarvo_core as core
from bench_forests import elec_path, read_elec
from harness import Row, native_ns, per_item_us, test_then_train_us
from streams import classification, regression

# Our class, the peer's name, and how to build the peer (scikit-learn imported late).
CLASSIFIERS = (
    (core.Perceptron, "Perceptron", lambda lm: lm.Perceptron()),
    (core.LogisticRegressionClassifier, 'SGDClassifier(loss="log_loss")', lambda lm: lm.SGDClassifier(loss="log_loss")),
    (core.PassiveAggressiveClassifier, "PassiveAggressiveClassifier", lambda lm: passive_aggressive(lm, True)),
    (core.SoftmaxRegression, 'SGDClassifier(loss="log_loss")', lambda lm: lm.SGDClassifier(loss="log_loss")),
)
REGRESSORS = (
    (core.LinearRegression, "SGDRegressor", lambda lm: lm.SGDRegressor()),
    (core.BayesianLinearRegression, "SGDRegressor", lambda lm: lm.SGDRegressor()),
    (core.PassiveAggressiveRegressor, "PassiveAggressiveRegressor", lambda lm: passive_aggressive(lm, False)),
)


def passive_aggressive(lm, classifier: bool):
    """The passive-aggressive peer, or its stated replacement where the class is gone."""
    name = "PassiveAggressiveClassifier" if classifier else "PassiveAggressiveRegressor"
    if hasattr(lm, name):
        return getattr(lm, name)()
    if classifier:
        return lm.SGDClassifier(loss="hinge", penalty=None, learning_rate="pa1", eta0=1.0)
    return lm.SGDRegressor(loss="epsilon_insensitive", penalty=None, learning_rate="pa1", eta0=1.0, epsilon=0.1)


def timed(run) -> tuple[float, float]:
    """(the figure run() returns, seconds it took), with the collector off."""
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        figure = run()
        return figure, time.perf_counter() - start
    finally:
        gc.enable()


def ours_prequential(model, samples, classifier: bool) -> float:
    """Accuracy (or MAE) of predict_one then learn_one over the samples."""
    total = 0.0
    for x, y in samples:
        p = model.predict_one(x)
        total += (p == y) if classifier else abs(p - y)
        model.learn_one(x, y)
    return total / len(samples)


def peer_prequential(model, samples, classifier: bool, classes) -> float:
    """The same for a scikit-learn model fed one row at a time (rows prebuilt)."""
    total = 0.0
    fitted = False
    for xa, ya, y in samples:
        p = model.predict(xa)[0] if fitted else 0
        total += (p == y) if classifier else abs(p - y)
        if classifier:
            model.partial_fit(xa, ya, classes=classes)
        else:
            model.partial_fit(xa, ya)
        fitted = True
    return total / len(samples)


def peer_rows(samples, names):
    import numpy as np

    return [(np.array([[x.get(k, 0.0) for k in names]]), np.array([y]), y) for x, y in samples]


def compare(make, peer_name, make_peer, samples, classifier, label, n_timed, quick):
    """One row: our cost (Python and native) on the samples, the peer's, and both figures."""
    ours, floor = test_then_train_us(make, samples[:n_timed], classifier=classifier, repeat=1 if quick else 3)
    row = Row(make.__name__, f"{label}: predict_one + learn_one (defaults)", ours, floor,
              native_ns(make, samples[:n_timed], classifier=classifier, repeat=1 if quick else 3))
    what = "accuracy" if classifier else "MAE"
    ours_figure = ours_prequential(make(), samples, classifier)
    row.extra = {f"{what}": ours_figure}
    try:
        from sklearn import linear_model as lm
    except ImportError:
        row.notes = f"{what} {ours_figure:.4f} over {len(samples)} samples; scikit-learn not installed: no peer"
        return row
    names = sorted({k for x, _ in samples for k in x})
    classes = sorted({y for _, y in samples}) if classifier else None
    n_peer = min(len(samples), 2_000 if quick else 5_000)
    rows = peer_rows(samples[:n_peer], names)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # deprecation of the passive-aggressive classes
        peer_figure, seconds = timed(lambda: peer_prequential(make_peer(lm), rows, classifier, classes))
    ours_same = ours_prequential(make(), samples[:n_peer], classifier)
    row.peer = f"sklearn {peer_name}.partial_fit + predict"
    row.peer_us = seconds / n_peer * 1e6
    row.extra.update({f"peer_{what}": peer_figure, f"{what}_same_samples": ours_same, "peer_samples": n_peer})
    row.notes = (f"{what} ours {ours_same:.4f} vs peer {peer_figure:.4f} on the first {n_peer} samples; "
                 f"ours {ours_figure:.4f} over all {len(samples)}")
    return row


def run(quick: bool) -> list[Row]:
    n = 20_000 if quick else 50_000
    rows = []
    for make, peer_name, make_peer in CLASSIFIERS:
        rows.append(compare(make, peer_name, make_peer, classification(n), True,
                            "10 features, 3 classes", n, quick))
    for make, peer_name, make_peer in REGRESSORS:
        rows.append(compare(make, peer_name, make_peer, regression(n), False, "10 features", n, quick))

    path = elec_path()
    if path is None:
        return rows
    elec = read_elec(path)
    demand = [({k: v for k, v in x.items() if k != "nswdemand"}, x["nswdemand"]) for x, _ in elec]
    for make, peer_name, make_peer in CLASSIFIERS:
        rows.append(compare(make, peer_name, make_peer, elec, True, "elec", len(elec), quick))
    for make, peer_name, make_peer in REGRESSORS:
        rows.append(compare(make, peer_name, make_peer, demand, False, "elec nswdemand", len(demand), quick))
    return rows
