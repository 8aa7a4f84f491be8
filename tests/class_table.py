"""One table of every concrete class of _tarvo_core and _tarvo_extra, for the fuzz and determinism
suites.

Each row gives the class's kind (which decides how it is driven), its constructor keywords
with a sensible and a hostile value strategy, and its writable properties. The table must
list every class the modules register (tests/test_fuzz.py checks it against them).
"""

from __future__ import annotations

import dataclasses
import math

from hypothesis import strategies as st

import _tarvo_core
import _tarvo_extra

INT32_MAX = 2**31 - 1
INT32_MIN = -(2**31)

# Values beyond the sensible ranges that every numeric keyword must survive: the call
# either works or raises a clear TypeError / ValueError / OverflowError.
HOSTILE_INTS = st.sampled_from([0, -1, -7, INT32_MIN, INT32_MAX, INT32_MAX - 1, 2**31, 2**63, -(2**40)])
HOSTILE_FLOATS = st.sampled_from(
    [0.0, -0.0, -1.0, math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, 1e-300, 2.0**31, 1e30]
)
HOSTILE_TEXTS = st.sampled_from(["", "unknown", "MC", "gïni ✓", "x" * 300, "\x00"])
HOSTILE_LIMITS = st.sampled_from([
    {}, {"a": (1.0, 0.0)}, {"a": (2.0, 2.0)}, {"a": (math.nan, 1.0)}, {"a": (0.0, math.inf)}, {"a": (0.0, 5e-324)},
    {"a": (-1e308, 1e308)}, {"": (0.0, 1.0), "\x00": (-1.0, 1.0)}, {"a": (0.0,)}, {"a": "01"}, {1: (0.0, 1.0)},
    [("a", (0.0, 1.0))], "a",
])


@dataclasses.dataclass(frozen=True)
class Param:
    """A constructor keyword or writable property: its kind ("int", "float", "bool",
    "text") and the strategy of its sensible values."""

    kind: str
    sensible: st.SearchStrategy

    def hostile(self) -> st.SearchStrategy:
        return {
            "int": HOSTILE_INTS,
            "float": HOSTILE_FLOATS,
            "bool": st.sampled_from([True, False, 0, 1]),
            "text": HOSTILE_TEXTS,
            "limits": HOSTILE_LIMITS,
        }[self.kind]


def i(lo: int, hi: int) -> Param:
    return Param("int", st.integers(lo, hi))


def f(lo: float, hi: float) -> Param:
    return Param("float", st.floats(lo, hi, allow_nan=False))


def b() -> Param:
    return Param("bool", st.booleans())


def t(*options: str) -> Param:
    return Param("text", st.sampled_from(options))


@dataclasses.dataclass(frozen=True)
class Row:
    kind: str  # classifier / regressor / transformer / label_metric / value_metric /
    #            window_metric / detector / pipeline / wrapper (a regressor around a regressor) /
    #            anomaly (score_one, learn_one) / score_metric (update(label, score))
    params: dict[str, Param] = dataclasses.field(default_factory=dict)
    props: dict[str, Param] = dataclasses.field(default_factory=dict)


LR = f(1e-4, 1.0)
SEED = i(0, 1000)
TREE_GRACE = i(1, 40)
DEPTH = i(0, 8)
CONF = f(1e-9, 0.5)
TIE = f(0.0, 1.0)
DELTA = f(1e-6, 0.5)
MODELS = i(1, 4)
LAMBDA = f(0.0, 8.0)
LEAF_CLS = t("mc", "nb", "nba")
LEAF_REG = t("mean", "model", "perceptron", "adaptive")
CRIT = t("gini", "info_gain")
TRAINING = t("patches", "subspaces", "resampling")

_HT = {
    "grace_period": TREE_GRACE,
    "split_confidence": CONF,
    "tie_threshold": TIE,
    "nb_threshold": i(0, 50),
    "max_depth": DEPTH,
}
_HT_PROPS = {
    "grace_period": TREE_GRACE,
    "leaf_prediction": LEAF_CLS,
    "max_depth": DEPTH,
    "n_split_points": i(1, 20),
    "no_pre_prune": b(),
    "split_confidence": CONF,
    "split_criterion": CRIT,
    "tie_threshold": TIE,
}
_FOREST = {
    "n_models": MODELS,
    "seed": SEED,
    "lambda_value": LAMBDA,
    "drift_delta": DELTA,
    "warning_delta": DELTA,
    "grace_period": TREE_GRACE,
    "max_depth": DEPTH,
}
_ENSEMBLE_PROPS = {"n_models": MODELS, "seed": SEED}
_SGB = {
    "n_models": MODELS,
    "learning_rate": LR,
    "percentage_of_features": i(1, 100),
    "multiply_hessian_by": i(1, 3),
    "skip_training": i(1, 3),
}
_KNN = {"n_neighbors": i(0, 6), "window_size": i(1, 30), "p": i(1, 3)}
_KNN_PROPS = {"n_neighbors": i(0, 6), "p": i(1, 3)}

TABLE: dict[str, Row] = {
    "NaiveBayes": Row("classifier"),
    "Perceptron": Row("classifier", {"learning_rate": LR}, {"learning_rate": LR}),
    "LogisticRegressionClassifier": Row(
        "classifier", {"learning_rate": LR, "l2": f(0, 1)}, {"learning_rate": LR, "l2": f(0, 1)}
    ),
    "PassiveAggressiveClassifier": Row("classifier", {"C": f(0, 10)}, {"C": f(0, 10)}),
    "SoftmaxRegression": Row(
        "classifier", {"learning_rate": LR, "l2": f(0, 1)}, {"learning_rate": LR, "l2": f(0, 1)}
    ),
    "KNNClassifier": Row("classifier", _KNN, _KNN_PROPS),
    "HoeffdingTreeClassifier": Row("classifier", {**_HT, "split_criterion": CRIT}, _HT_PROPS),
    "EFDTClassifier": Row("classifier", _HT, _HT_PROPS),
    "SGTClassifier": Row(
        "classifier",
        {"learning_rate": LR, "lambda_": f(0, 1), "grace_period": TREE_GRACE, "max_depth": DEPTH},
        {"learning_rate": LR, "lambda_": f(0, 1), "grace_period": TREE_GRACE, "max_depth": DEPTH},
    ),
    "ARFClassifier": Row(
        "classifier",
        {**_FOREST, "split_confidence": CONF, "subspace_size": i(-1, 6)},
        _ENSEMBLE_PROPS,
    ),
    "SRPClassifier": Row(
        "classifier",
        {**_FOREST, "split_confidence": CONF, "subspace_fraction": f(0, 1), "training_method": TRAINING},
        _ENSEMBLE_PROPS,
    ),
    "LeveragingBaggingClassifier": Row(
        "classifier",
        {k: v for k, v in _FOREST.items() if k != "warning_delta"} | {"split_confidence": CONF},
        _ENSEMBLE_PROPS,
    ),
    "HoeffdingAdaptiveTreeClassifier": Row(
        "classifier",
        {**_HT, "drift_delta": DELTA, "warning_delta": DELTA, "split_criterion": CRIT},
        {"grace_period": TREE_GRACE, "max_depth": DEPTH},
    ),
    "LinearRegression": Row(
        "regressor", {"learning_rate": LR, "l2": f(0, 1)}, {"learning_rate": LR, "l2": f(0, 1)}
    ),
    "BayesianLinearRegression": Row(
        "regressor", {"alpha": f(1e-3, 10), "beta": f(1e-3, 10)}, {"alpha": f(1e-3, 10), "beta": f(1e-3, 10)}
    ),
    "PassiveAggressiveRegressor": Row(
        "regressor", {"C": f(0, 10), "epsilon": f(0, 1)}, {"C": f(0, 10), "epsilon": f(0, 1)}
    ),
    "KNNRegressor": Row("regressor", _KNN, _KNN_PROPS),
    "HoeffdingTreeRegressor": Row(
        "regressor",
        {"grace_period": TREE_GRACE, "split_confidence": CONF, "tie_threshold": TIE, "max_depth": DEPTH,
         "learning_rate": LR},
        {"grace_period": TREE_GRACE, "leaf_prediction": LEAF_REG, "learning_rate": LR, "max_depth": DEPTH,
         "split_confidence": CONF, "tie_threshold": TIE},
    ),
    "ARFRegressor": Row("regressor", {**_FOREST, "learning_rate": LR}, _ENSEMBLE_PROPS),
    "SRPRegressor": Row(
        "regressor",
        {**_FOREST, "learning_rate": LR, "subspace_fraction": f(0, 1), "training_method": TRAINING},
        _ENSEMBLE_PROPS,
    ),
    "FIMTDDRegressor": Row(
        "regressor",
        {
            "grace_period": TREE_GRACE,
            "split_confidence": CONF,
            "tie_threshold": TIE,
            "max_depth": DEPTH,
            "leaf_prediction": LEAF_REG,
            "learning_ratio": f(0, 0.5),
            "learning_rate_decay": f(0, 0.1),
            "learning_ratio_const": b(),
            "page_hinckley_alpha": f(0, 0.1),
            "page_hinckley_threshold": f(0, 100),
            "alternate_tree_fading_factor": f(0.5, 1),
            "alternate_tree_t_min": i(1, 50),
            "alternate_tree_time": i(1, 100),
            "drift_detection": b(),
            "seed": SEED,
        },
        {"drift_detection": b(), "grace_period": TREE_GRACE, "leaf_prediction": LEAF_REG, "seed": SEED,
         "split_confidence": CONF},
    ),
    "LeveragingBaggingRegressor": Row(
        "regressor",
        {k: v for k, v in _FOREST.items() if k != "warning_delta"}
        | {"split_confidence": CONF, "leaf_prediction": LEAF_REG},
        {**_ENSEMBLE_PROPS, "lambda_value": LAMBDA},
    ),
    "SGBTClassifier": Row(
        "classifier",
        {**_SGB, "use_squared_loss": b(), "bag_size": i(1, 3), "n_classes": i(0, 4),
         "scale_prediction_by_lr": b(), "grace_period": TREE_GRACE, "split_confidence": CONF,
         "max_depth": DEPTH, "leaf_prediction": LEAF_REG, "seed": SEED},
        {"learning_rate": LR, "n_classes": i(0, 4), "n_models": MODELS, "seed": SEED},
    ),
    "SGBRRegressor": Row(
        "regressor",
        {**_SGB, "bag_size": i(1, 3), "grace_period": TREE_GRACE, "split_confidence": CONF,
         "max_depth": DEPTH, "leaf_prediction": LEAF_REG, "seed": SEED},
        {"learning_rate": LR, "n_models": MODELS, "seed": SEED},
    ),
    "StandardScaler": Row("transformer", {"with_std": b()}, {"with_std": b()}),
    "MinMaxScaler": Row("transformer"),
    "MaxAbsScaler": Row("transformer"),
    "VarianceThreshold": Row(
        "transformer", {"threshold": f(0, 2), "min_samples": i(0, 5)},
        {"threshold": f(0, 2), "min_samples": i(0, 5)},
    ),
    "SelectKBest": Row("transformer", {"k": i(0, 6), "use_abs": b()}, {"k": i(0, 6), "use_abs": b()}),
    "ClassificationPipeline": Row("pipeline"),
    "RegressionPipeline": Row("pipeline"),
    "Accuracy": Row("label_metric"),
    "MacroPrecision": Row("label_metric"),
    "MacroRecall": Row("label_metric"),
    "MacroF1": Row("label_metric"),
    "MAE": Row("value_metric"),
    "RMSE": Row("value_metric"),
    "R2": Row("value_metric"),
    "WindowMetric": Row("window_metric", {"window_size": i(0, 20)}),
    "WindowRegressionMetric": Row("window_metric", {"window_size": i(0, 20)}),
    "ADWIN": Row(
        "detector",
        {"delta": DELTA, "clock": i(1, 40), "max_buckets": i(1, 8), "min_window_length": i(0, 10),
         "grace_period": i(0, 20)},
        {"delta": DELTA},
    ),
    "EDDM": Row(
        "detector", {"warm_start": i(0, 40), "alpha": f(0.9, 1.0), "beta": f(0.5, 0.9)},
        {"alpha": f(0.9, 1.0), "beta": f(0.5, 0.9), "warm_start": i(0, 40)},
    ),
    "ScaledTargetRegressor": Row("wrapper"),
    "DDM": Row(
        "detector", {"min_num_instances": i(0, 40), "warning_level": f(1.0, 3.0), "out_control_level": f(1.0, 4.0)},
        {"min_num_instances": i(0, 40), "warning_level": f(1.0, 3.0), "out_control_level": f(1.0, 4.0)},
    ),
    "HDDM_A": Row("detector", {"drift_confidence": CONF, "warning_confidence": CONF, "two_sided": b()}),
    "HDDM_W": Row(
        "detector", {"drift_confidence": CONF, "warning_confidence": CONF, "lambda_": f(0.01, 1.0), "two_sided": b()}
    ),
    "PageHinkley": Row(
        "detector", {"min_instances": i(0, 40), "delta": f(0.0, 0.1), "threshold": f(0.0, 60.0), "alpha": f(0.5, 1.0)},
        {"min_instances": i(0, 40), "delta": f(0.0, 0.1), "threshold": f(0.0, 60.0), "alpha": f(0.5, 1.0)},
    ),
    "KSWIN": Row("detector", {"alpha": CONF, "window_size": i(2, 60), "stat_size": i(1, 20), "seed": SEED}),
    "NoChangeClassifier": Row("classifier"),
    "MajorityClassClassifier": Row("classifier"),
    "MeanRegressor": Row("regressor"),
    "HalfSpaceTrees": Row(
        "anomaly",
        {"n_trees": i(1, 4), "height": i(1, 8), "window_size": i(1, 20), "seed": SEED,
         "limits": Param("limits", st.one_of(st.none(), st.just({"a": (-1.0, 1.0), "ä": (0.0, 5.0)})))},
    ),
    "ROCAUC": Row("score_metric", {"window_size": i(0, 12)}),
}

#: The native modules whose classes the table lists, and every class of theirs by name.
MODULES = (_tarvo_core, _tarvo_extra)
CLASSES: dict[str, type] = {n: c for m in MODULES for n, c in vars(m).items() if isinstance(c, type)}

INTERFACES = ("ITransformer", "IClassifier", "IRegressor")
CLASSIFIERS = [n for n, r in TABLE.items() if r.kind == "classifier"]
REGRESSORS = [n for n, r in TABLE.items() if r.kind == "regressor"]
TRANSFORMERS = [n for n, r in TABLE.items() if r.kind == "transformer"]
