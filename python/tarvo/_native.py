"""Run-time lookup of the native classes.

The tooling names learners, metrics and detectors by their class name and
finds them in ``_tarvo_core`` when it runs, so that it works with whichever
classes the installed module provides. ``core`` is the namespace searched; it
is a module attribute so that a test can point it at another namespace.
"""

from __future__ import annotations

from typing import Any

import _tarvo_core

core: Any = _tarvo_core


def find(name: str) -> Any | None:
    """The class ``name`` of the native module, or ``None`` when the module has none."""
    obj = getattr(core, name, None)
    return obj if isinstance(obj, type) else None


def task_of_class(cls: type) -> str:
    """``"classification"`` or ``"regression"``: by the native interface, else by duck typing."""
    for task, base_name in (("classification", "IClassifier"), ("regression", "IRegressor")):
        base = find(base_name)
        if base is not None and issubclass(cls, base):
            return task
    return "classification" if hasattr(cls, "predict_proba_one") else "regression"


def task_of(model: object) -> str:
    """The task of a learner instance (see :func:`task_of_class`)."""
    return task_of_class(type(model))


def learner_names(task: str | None = None) -> list[str]:
    """Names of the learners constructible from keywords alone, optionally of one task only."""
    names = []
    for name in dir(core):
        cls = find(name)
        if cls is None or name.startswith("_") or name.endswith("Pipeline"):
            continue  # pipelines are built from other objects
        if not (hasattr(cls, "learn_one") and hasattr(cls, "predict_one")):
            continue  # interfaces, transformers, metrics, detectors
        if task is None or task_of_class(cls) == task:
            names.append(name)
    return sorted(names)
