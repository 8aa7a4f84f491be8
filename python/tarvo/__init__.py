"""Tarvo: streaming (online) machine learning with a C++ core.

Every class of the native module ``_tarvo_core`` is re-exported here, so
``from tarvo import NaiveBayes`` and ``from _tarvo_core import NaiveBayes``
name the same class. Learners are fed one sample at a time: a mapping from
feature name to number, with an ``int`` label or a ``float`` target.
"""

from __future__ import annotations

# Interfaces.
from _tarvo_core import IClassifier, IRegressor, ITransformer

# Linear and probabilistic learners.
from _tarvo_core import NaiveBayes

# Trees.
from _tarvo_core import HoeffdingTreeRegressor
from _tarvo_core import EFDTClassifier, HoeffdingTreeClassifier
from _tarvo_core import EFDTClassifier, HoeffdingAdaptiveTreeClassifier, HoeffdingTreeClassifier

# Ensembles.

# Metrics.
from _tarvo_core import (
    MAE,
    R2,
    RMSE,
    Accuracy,
    MacroF1,
    MacroPrecision,
    MacroRecall,
    WindowMetric,
    WindowRegressionMetric,
)

# Drift detectors.
from _tarvo_core import ADWIN, EDDM

__all__ = [
    # interfaces
    "ITransformer",
    "IClassifier",
    "IRegressor",
    # linear and probabilistic learners
    "NaiveBayes",
    # trees
    "HoeffdingTreeRegressor",

    "HoeffdingTreeClassifier",
    "EFDTClassifier",
    "HoeffdingAdaptiveTreeClassifier",
    # ensembles

    # metrics
    "Accuracy",
    "MacroPrecision",
    "MacroRecall",
    "MacroF1",
    "MAE",
    "RMSE",
    "WindowMetric",
    "WindowRegressionMetric",
    "R2",

    # drift detectors
    "ADWIN",
    "EDDM",

]

__version__ = "0.1.0"
