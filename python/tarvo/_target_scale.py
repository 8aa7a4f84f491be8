"""The warning given when a linear regressor meets a target far beyond its error clip.

``LinearRegression`` and ``BayesianLinearRegression`` clip their error to [-10, 10] and
``PassiveAggressiveRegressor`` moves its bias by at most ``C`` a step, so on a target in the
thousands they learn next to nothing, and say nothing about it. ``tarvo.batch``,
``tarvo.evaluate`` and the command line look at the spread of the first :data:`ROWS` targets
such a learner meets (directly, or as the learner of a regression pipeline at any depth) and
warn once when its standard deviation is above :data:`LIMIT`, pointing at
``ScaledTargetRegressor`` and ``--scale-target``. A learner behind a ``ScaledTargetRegressor``
already learns a standardised target and is left alone.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterable, Iterator
from typing import Any

import numpy as np

import _tarvo_core as core

#: The classes whose learning a large target defeats.
LINEAR_REGRESSORS: tuple[type, ...] = (core.LinearRegression, core.BayesianLinearRegression,
                                       core.PassiveAggressiveRegressor)
#: How many targets the spread is measured over, from the first.
ROWS = 1000
#: The standard deviation above which the warning is given: the linear models' error clip.
LIMIT = 10.0


class TargetScaleWarning(UserWarning):
    """A linear regressor meets a target whose spread is far beyond its error clip."""


def linear_learner(model: Any) -> str | None:
    """The class name of the linear regressor that learns the raw target in ``model`` (the model
    itself, or the learner of its regression pipelines at any depth); ``None`` when there is none,
    or when a ``ScaledTargetRegressor`` stands on the way."""
    for _ in range(256):  # pipelines nest at most 100 deep
        if isinstance(model, LINEAR_REGRESSORS):
            return type(model).__name__
        if not isinstance(model, core.RegressionPipeline):
            return None
        try:
            model = model.__getstate__()[2]  # (record, steps, learner)
        except (RuntimeError, TypeError):  # busy in another thread, or never constructed: the call says so
            return None
    return None


def spread(targets: Any) -> float | None:
    """The population standard deviation of the first :data:`ROWS` targets; ``None`` when there are
    none, or when one of them is not a finite number (the caller refuses those itself)."""
    try:
        first = np.asarray(targets[:ROWS] if not isinstance(targets, Iterator) else list(targets),
                           dtype=np.float64)
    except (TypeError, ValueError):
        return None
    if first.size == 0 or not np.isfinite(first).all():
        return None
    with np.errstate(over="ignore", invalid="ignore"):
        sd = float(first.std())
    return sd if math.isfinite(sd) else None


#: What the warning advises, from Python.
ADVICE = "wrap it in ScaledTargetRegressor (on the command line: --scale-target)"


def message(learner: str, sd: float, count: int, advice: str = ADVICE) -> str:
    """The one-line warning for ``learner`` and the spread ``sd`` of its first ``count`` targets."""
    return (f"{learner} meets a target whose standard deviation over the first {count:,} rows is {sd:,.4g}, far "
            f"beyond the [-10, 10] its error is clipped to, so it will learn next to nothing: {advice}")


def problem(model: Any, targets: Any, advice: str = ADVICE) -> str | None:
    """The warning ``model`` deserves on ``targets`` (a sequence or array), or ``None``."""
    learner = linear_learner(model)
    if learner is None:
        return None
    sd = spread(targets)
    if sd is None or not sd > LIMIT:
        return None
    return message(learner, sd, min(len(targets), ROWS), advice)


def warn(model: Any, targets: Any, stacklevel: int = 2) -> None:
    """Warn (:class:`TargetScaleWarning`) when ``model`` is a linear regressor meeting large ``targets``."""
    text = problem(model, targets)
    if text is not None:
        warnings.warn(text, TargetScaleWarning, stacklevel=stacklevel + 1)


def watched(model: Any, stream: Iterable[tuple[Any, Any]], stacklevel: int = 2) -> Iterable[tuple[Any, Any]]:
    """``stream`` unchanged; when ``model`` is a linear regressor, its first :data:`ROWS` targets are
    looked at as they pass, and :func:`warn` runs after them (or at the end of a shorter stream)."""
    if linear_learner(model) is None:
        return stream
    return _watch(model, stream, stacklevel)


def _watch(model: Any, stream: Iterable[tuple[Any, Any]], stacklevel: int) -> Iterator[tuple[Any, Any]]:
    seen: list[Any] = []
    checked = False
    for x, y in stream:
        if not checked:
            seen.append(y)
            if len(seen) == ROWS:
                checked = True
                warn(model, seen, stacklevel + 1)
        yield x, y
    if not checked:
        warn(model, seen, stacklevel + 1)
