"""Tarvo: streaming (online) machine learning with a C++ core.

Every class of the native module ``_tarvo_core``, and of ``_tarvo_extra`` (the
classes beyond the core: the target wrapper ``ScaledTargetRegressor``, more drift
detectors, baselines and anomaly detection, also grouped in :mod:`tarvo.drift`,
:mod:`tarvo.baselines` and :mod:`tarvo.anomaly`), is re-exported here, so ``from tarvo import NaiveBayes`` and ``from _tarvo_core
import NaiveBayes`` name the same class. Learners are fed one sample at a time: a mapping from
feature name to number, with an ``int`` label or a ``float`` target.
"""

# Interfaces.
from _tarvo_core import ITransformer
from _tarvo_core import IClassifier
from _tarvo_core import IRegressor

# Linear and probabilistic learners.
from _tarvo_core import NaiveBayes
from _tarvo_core import Perceptron
from _tarvo_core import LogisticRegressionClassifier
from _tarvo_core import PassiveAggressiveClassifier
from _tarvo_core import SoftmaxRegression
from _tarvo_core import LinearRegression
from _tarvo_core import BayesianLinearRegression
from _tarvo_core import PassiveAggressiveRegressor

# Nearest-neighbour learners.
from _tarvo_core import KNNClassifier
from _tarvo_core import KNNRegressor

# Trees.
from _tarvo_core import HoeffdingTreeClassifier
from _tarvo_core import EFDTClassifier
from _tarvo_core import SGTClassifier
from _tarvo_core import HoeffdingAdaptiveTreeClassifier
from _tarvo_core import HoeffdingTreeRegressor
from _tarvo_core import FIMTDDRegressor

# Ensembles.
from _tarvo_core import ARFClassifier
from _tarvo_core import ARFRegressor
from _tarvo_core import SRPClassifier
from _tarvo_core import SRPRegressor
from _tarvo_core import LeveragingBaggingClassifier
from _tarvo_core import LeveragingBaggingRegressor
from _tarvo_core import SGBTClassifier
from _tarvo_core import SGBRRegressor

# Preprocessing.
from _tarvo_core import StandardScaler
from _tarvo_core import MinMaxScaler
from _tarvo_core import MaxAbsScaler
from _tarvo_core import VarianceThreshold
from _tarvo_core import SelectKBest

# Pipelines.
from _tarvo_core import ClassificationPipeline
from _tarvo_core import RegressionPipeline

# Metrics.
from _tarvo_core import Accuracy
from _tarvo_core import MacroPrecision
from _tarvo_core import MacroRecall
from _tarvo_core import MacroF1
from _tarvo_core import MAE
from _tarvo_core import RMSE
from _tarvo_core import WindowMetric
from _tarvo_core import WindowRegressionMetric
from _tarvo_core import R2

# Drift detectors.
from _tarvo_core import ADWIN
from _tarvo_core import EDDM

# Beyond the core: wrappers.
from _tarvo_extra import ScaledTargetRegressor

# Beyond the core: drift detectors (also in tarvo.drift).
from _tarvo_extra import DDM
from _tarvo_extra import HDDM_A
from _tarvo_extra import HDDM_W
from _tarvo_extra import PageHinkley
from _tarvo_extra import KSWIN

# Beyond the core: baselines (also in tarvo.baselines).
from _tarvo_extra import NoChangeClassifier
from _tarvo_extra import MajorityClassClassifier
from _tarvo_extra import MeanRegressor

# Beyond the core: anomaly detection (also in tarvo.anomaly).
from _tarvo_extra import HalfSpaceTrees
from _tarvo_extra import ROCAUC

__all__ = [
    # interfaces
    "ITransformer",
    "IClassifier",
    "IRegressor",
    # linear and probabilistic learners
    "NaiveBayes",
    # nearest-neighbour learners
    "KNNClassifier",
    "KNNRegressor",
    "Perceptron",
    "LogisticRegressionClassifier",
    "PassiveAggressiveClassifier",
    "SoftmaxRegression",
    "LinearRegression",
    "BayesianLinearRegression",
    "PassiveAggressiveRegressor",
    # trees
    "HoeffdingTreeClassifier",
    "EFDTClassifier",
    "SGTClassifier",
    "HoeffdingAdaptiveTreeClassifier",
    "HoeffdingTreeRegressor",
    "FIMTDDRegressor",
    # ensembles
    "ARFClassifier",
    "ARFRegressor",
    # preprocessing
    "StandardScaler",
    "MinMaxScaler",
    "MaxAbsScaler",
    "VarianceThreshold",
    "SelectKBest",
    # pipelines
    "ClassificationPipeline",
    "RegressionPipeline",
    "SRPClassifier",
    "SRPRegressor",
    "LeveragingBaggingClassifier",
    "LeveragingBaggingRegressor",
    "SGBTClassifier",
    "SGBRRegressor",
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
    # beyond the core: wrappers
    "ScaledTargetRegressor",
    # beyond the core: drift detectors
    "DDM",
    "HDDM_A",
    "HDDM_W",
    "PageHinkley",
    "KSWIN",
    # beyond the core: baselines
    "NoChangeClassifier",
    "MajorityClassClassifier",
    "MeanRegressor",
    # beyond the core: anomaly detection
    "HalfSpaceTrees",
    "ROCAUC",
]

__version__ = "0.1.0"
# The name this package is installed under (the import name is tarvo).
__distribution__ = "tarvo-stream"

# Pickle and copy carry the state the Python layers keep beside a native object (the
# numbering of class labels that are no 32-bit integers): see tarvo._model_state.
from tarvo import _model_state as _model_state  # noqa: E402

