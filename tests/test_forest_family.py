"""What the six forests share: one member loop whose ensemble-level draws are separable from the members' steps."""

from __future__ import annotations

import pytest

from _tarvo_core import (
    ARFClassifier,
    ARFRegressor,
    IClassifier,
    LeveragingBaggingClassifier,
    LeveragingBaggingRegressor,
    SRPClassifier,
    SRPRegressor,
)

from ensemble_streams import linear_stream, threshold_stream

# Small forests with sensitive detectors, so that members are replaced and background trees grow.
FORESTS = [
    (ARFClassifier, dict(n_models=4, seed=3, grace_period=20, drift_delta=0.05, warning_delta=0.2)),
    (ARFClassifier, dict(n_models=3, subspace_size=1, lambda_value=2.0)),
    (ARFRegressor, dict(n_models=4, seed=3, grace_period=20, drift_delta=0.05, warning_delta=0.2)),
    (SRPClassifier, dict(n_models=4, seed=3, grace_period=20, drift_delta=0.05, warning_delta=0.2)),
    (SRPClassifier, dict(n_models=3, training_method="subspaces", subspace_fraction=0.3)),
    (SRPRegressor, dict(n_models=4, seed=3, grace_period=20, drift_delta=0.05, warning_delta=0.2)),
    (SRPRegressor, dict(n_models=3, training_method="resampling", grace_period=20)),
    (LeveragingBaggingClassifier, dict(n_models=4, seed=3, grace_period=20, drift_delta=0.05)),
    (LeveragingBaggingRegressor, dict(n_models=4, seed=3, grace_period=20, drift_delta=0.05)),
    (LeveragingBaggingRegressor, dict(n_models=0)),
]


@pytest.mark.parametrize("cls, settings", FORESTS, ids=[f"{c.__name__}-{i}" for i, (c, _) in enumerate(FORESTS)])
def test_draws_first_then_members_in_any_order_equals_learn_one(probe, cls, settings):
    # The members' steps read the row and the settings and change only their own member, and
    # the forest's generator serves only the draws: taking every draw of a row first and running
    # the steps backwards leaves the same forest, answer for answer and byte for byte.
    classifier = issubclass(cls, IClassifier)
    stream = (threshold_stream(2000, seed=31, n_features=5, flip_at=1000) if classifier
              else linear_stream(2000, seed=31, n_features=5, change_at=1000))
    plain, split = cls(**settings), cls(**settings)
    for x, y in stream:
        if classifier:
            assert split.predict_proba_one(x) == plain.predict_proba_one(x)
        assert split.predict_one(x) == plain.predict_one(x)
        plain.learn_one(x, y)
        probe.forest_learn_draws_first(split, x, y)
    assert split.__getstate__() == plain.__getstate__()
