"""NaiveBayes learn_one + predict_one per sample, against the floor and GaussianNB.partial_fit."""

from __future__ import annotations

import warnings

import _tarvo_core as core
from harness import Row, floor_predict_then_learn, per_item_us, per_sample_us, predict_then_learn
from streams import classification


def run(quick: bool) -> list[Row]:
    samples = classification(20_000 if quick else 100_000)

    ours = per_sample_us(core.NaiveBayes, predict_then_learn, samples)
    floor = per_item_us(floor_predict_then_learn, samples)
    row = Row("NaiveBayes", "predict_one + learn_one", ours, floor)

    try:
        import numpy as np
        from sklearn.naive_bayes import GaussianNB
    except ImportError:
        row.notes = "scikit-learn not installed: no peer"
        return [row]

    names = sorted(samples[0][0])
    n_peer = 1_000 if quick else 3_000
    rows = [(np.array([[x[k] for k in names]]), np.array([y])) for x, y in samples[:n_peer]]
    classes = np.array([0, 1, 2])

    def peer_step(model, item):
        xa, ya = item
        if hasattr(model, "classes_"):
            model.predict(xa)
        model.partial_fit(xa, ya, classes=classes)

    row.peer = "sklearn GaussianNB.partial_fit + predict"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the peer warns about zero variances on its first samples
        row.peer_us = per_sample_us(GaussianNB, peer_step, rows, repeat=2)
    row.notes = f"10 features, 3 classes; peer on its first {n_peer} samples"
    return [row]
