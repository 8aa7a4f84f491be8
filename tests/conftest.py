"""Shared fixtures: the native module, the test-only probe module and sample streams."""

from __future__ import annotations

import os
import random

import pytest
from hypothesis import HealthCheck, settings

import _tarvo_core
import _tarvo_probe

# Hypothesis profiles, chosen by TARVO_HYPOTHESIS_PROFILE: "default" keeps `make test` fast,
# "ci" is a fixed-seed subset sized for the CI machine, "deep" is for long local runs
# (`make fuzz`). Tests that set their own max_examples keep it.
_SLOW = [HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much]
settings.register_profile("default", max_examples=4, deadline=None, suppress_health_check=_SLOW)
settings.register_profile(
    "ci", max_examples=30, deadline=None, derandomize=True, database=None, suppress_health_check=_SLOW
)
settings.register_profile("deep", max_examples=1000, deadline=None, suppress_health_check=_SLOW)
settings.load_profile(os.environ.get("TARVO_HYPOTHESIS_PROFILE", "default"))
if os.environ.get("TARVO_HYPOTHESIS_EXAMPLES"):  # a profile with another example count
    settings.register_profile(
        "chosen", settings(), max_examples=int(os.environ["TARVO_HYPOTHESIS_EXAMPLES"])
    )
    settings.load_profile("chosen")


@pytest.fixture(scope="session")
def core():
    return _tarvo_core


@pytest.fixture(scope="session")
def probe():
    return _tarvo_probe


def gaussian_stream(n: int, seed: int, n_classes: int = 3, n_features: int = 4):
    """Labelled samples from well-separated Gaussian classes."""
    rng = random.Random(seed)
    for _ in range(n):
        y = rng.randrange(n_classes)
        x = {f"f{j}": rng.gauss(2.0 * y + j, 1.0) for j in range(n_features)}
        yield x, y


def assert_reset_replays_fresh(make, stream, answer: str = "predict_proba_one") -> None:
    """A used model after ``reset`` answers and learns exactly as a fresh one, bit for bit."""
    used, fresh = make(), make()
    for x, y in stream:
        used.learn_one(x, y)
    used.reset()
    for x, y in stream:
        assert getattr(used, answer)(x) == getattr(fresh, answer)(x)
        used.learn_one(x, y)
        fresh.learn_one(x, y)
