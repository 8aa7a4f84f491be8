"""The learners the toolkit offers by name, and the task of a learner.

Every learner class exported by :mod:`tarvo` that can be built from keywords
alone is offered: the command line's ``--model NAME`` picks one of them.
Pipelines and the target wrapper ``ScaledTargetRegressor`` are built around
other objects and are left out (the command line's ``--scale`` and
``--scale-target`` build them).
"""

from __future__ import annotations

import tarvo
from tarvo import IClassifier, IRegressor, _signature


def _from_keywords(cls: type) -> bool:
    """Whether ``cls()`` needs no argument (``True`` when its constructor cannot be read)."""
    params = _signature.parameters(cls)
    return params is None or all(p.default is not _signature.NO_DEFAULT for p in params)


#: Learner classes by name, in the order of ``tarvo.__all__``.
LEARNERS: dict[str, type] = {
    name: cls
    for name in tarvo.__all__
    if isinstance(cls := getattr(tarvo, name), type)
    and issubclass(cls, (IClassifier, IRegressor))
    and cls not in (IClassifier, IRegressor)
    and _from_keywords(cls)
}


def task_of_class(cls: type) -> str:
    """``"classification"``, ``"regression"`` or ``"anomaly"`` (an anomaly detector: ``score_one``
    and no ``predict_one``): by the native interface, else by duck typing."""
    if issubclass(cls, IClassifier):
        return "classification"
    if issubclass(cls, IRegressor):
        return "regression"
    if hasattr(cls, "score_one") and not hasattr(cls, "predict_one"):
        return "anomaly"
    return "classification" if hasattr(cls, "predict_proba_one") else "regression"


def task_of(model: object) -> str:
    """The task of a learner instance (see :func:`task_of_class`)."""
    return task_of_class(type(model))


def learner_names(task: str | None = None) -> list[str]:
    """Names of the offered learners, sorted, optionally of one task only."""
    return sorted(name for name, cls in LEARNERS.items() if task is None or task_of_class(cls) == task)
