"""KNNClassifier and KNNRegressor per query over a full window of 1000 samples with 10 features,
against the floor, natively, and beside a vectorised NumPy brute-force k-NN over the same window;
then KNNClassifier test-then-train beside scikit-learn's KNeighborsClassifier refitted on the window
every 100 samples.

The NumPy peer is the honest alternative for a sliding-window k-NN: the window as one array, one
distance vector per query and ``np.argpartition`` for the k smallest. It is handed each query as a
ready NumPy row, so its figure excludes the dict conversion ours includes.
"""

from __future__ import annotations

import _tarvo_core as core
import _tarvo_probe as probe
from harness import Row, per_item_us, per_sample_us, test_then_train_us
from streams import classification, regression

WINDOW = 1000
K = 5


def numpy_peer(names, window, classifier: bool, p: int):
    """(the query rows, one brute-force k-NN step) over the learnt window, or None without NumPy."""
    try:
        import numpy as np
    except ImportError:
        return None
    X = np.array([[x[k] for k in names] for x, _ in window])
    y = np.array([t for _, t in window], dtype=np.int64 if classifier else np.float64)

    def distances(q):
        diff = X - q
        return np.abs(diff).sum(axis=1) if p == 1 else np.sqrt((diff * diff).sum(axis=1))

    if classifier:
        n_classes = int(y.max()) + 1

        def step(q):
            idx = np.argpartition(distances(q), K)[:K]
            return int(np.bincount(y[idx], minlength=n_classes).argmax())
    else:

        def step(q):
            d = distances(q)
            idx = np.argpartition(d, K)[:K]
            dk = d[idx]
            w = np.where(dk > 1e-10, 1.0 / np.maximum(dk, 1e-10), 1e10)
            return float((w * y[idx]).sum() / w.sum())

    return (lambda queries: [np.array([x[k] for k in names]) for x in queries]), step


def query_row(cls, samples, p: int, n_queries: int) -> Row:
    classifier = cls is core.KNNClassifier
    window, queries = samples[:WINDOW], [x for x, _ in samples[WINDOW:WINDOW + n_queries]]
    model = cls(n_neighbors=K, window_size=WINDOW, p=p)
    for x, y in window:
        model.learn_one(x, y)
    ours = per_item_us(model.predict_one, queries)
    floor = per_item_us(probe.floor_predict if classifier else probe.floor_predict_target, queries)
    native_run = probe.classifier_predict_ns if classifier else probe.regressor_predict_ns
    native = min(native_run(model, queries)[0] for _ in range(3))
    row = Row(cls.__name__, f"predict_one, p={p}", ours, floor, native_ns=native)
    row.notes = f"window {WINDOW} full, 10 features, k={K}, {n_queries} queries"
    peer = numpy_peer(sorted(window[0][0]), window, classifier, p)
    if peer is None:
        row.notes += "; NumPy not installed: no peer"
        return row
    as_rows, step = peer
    row.peer = "NumPy brute force (argpartition)"
    row.peer_us = per_item_us(step, as_rows(queries))
    return row


def stream_row(samples, n_peer: int) -> Row:
    ours, floor = test_then_train_us(lambda: core.KNNClassifier(K, WINDOW), samples, classifier=True)
    row = Row("KNNClassifier", "predict_one + learn_one", ours, floor)
    row.notes = f"window {WINDOW}, 10 features, 3 classes, k={K}, {len(samples)} samples"
    try:
        import numpy as np
        from sklearn.neighbors import KNeighborsClassifier
    except ImportError:
        row.notes += "; scikit-learn not installed: no peer"
        return row
    names = sorted(samples[0][0])
    items = [(np.array([[x[k] for k in names]]), y) for x, y in samples[:n_peer]]

    class Refitted:
        """KNeighborsClassifier on a ring buffer of the window, refitted every 100 samples."""

        def __init__(self):
            self.X = np.zeros((WINDOW, len(names)))
            self.y = np.zeros(WINDOW, dtype=np.int64)
            self.n = 0
            self.model = None

        def step(self, item):
            xa, y = item
            if self.model is not None:
                self.model.predict(xa)
            self.X[self.n % WINDOW] = xa[0]
            self.y[self.n % WINDOW] = y
            self.n += 1
            if self.n % 100 == 0 and self.n >= K:
                filled = min(self.n, WINDOW)
                self.model = KNeighborsClassifier(K, algorithm="brute").fit(self.X[:filled], self.y[:filled])

    row.peer = "sklearn KNeighborsClassifier, refitted every 100"
    row.peer_us = per_sample_us(Refitted, lambda peer, item: peer.step(item), items, repeat=1)
    row.notes += f"; peer on the first {n_peer} samples"
    return row


def run(quick: bool) -> list[Row]:
    n_queries = 1_000 if quick else 5_000
    labelled = classification(WINDOW + n_queries)
    targets = regression(WINDOW + n_queries)
    rows = [
        query_row(core.KNNClassifier, labelled, 2, n_queries),
        query_row(core.KNNClassifier, labelled, 1, n_queries),
        query_row(core.KNNRegressor, targets, 2, n_queries),
        query_row(core.KNNRegressor, targets, 1, n_queries),
    ]
    rows.append(stream_row(classification(5_000 if quick else 20_000), 1_000 if quick else 3_000))
    return rows
