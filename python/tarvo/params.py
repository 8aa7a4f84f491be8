"""Every constructor parameter of every class, and every writable setting the constructor does not
take: meaning, default, the values that make sense, and what the class does with the others.

The classes take any value their type allows and act on it in a defined way, however odd (a
``grace_period`` of 0 never splits). This table is the one place that says which values are
sensible: the command line refuses the others (``--param grace_period=0``), ``tarvo list NAME``
explains each parameter from it, and the class docstrings carry the same entries in their
"Parameters" section, rendered by :func:`doc_section` (a test checks that they agree).
"""

from __future__ import annotations

import math
import textwrap
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

#: The default of a parameter that has none (the pipelines' steps and learner).
REQUIRED: Any = object()


@dataclass(frozen=True)
class Param:
    """One constructor keyword of one class."""

    name: str
    kind: str  # "int", "float", "bool", "str", or the type of an object ("list[ITransformer]", ...)
    default: Any
    meaning: str
    low: float | None = None  # the sensible range of a number; None: unbounded on that side
    high: float | None = None
    low_open: bool = False  # whether the bound itself is outside the range
    high_open: bool = False
    choices: tuple[Any, ...] = ()  # the values recognised, the default's meaning first
    outside: str = ""  # what the class does with a value outside the range or choices

    def takes(self) -> str:
        """The values that make sense, in words: ``"an integer, at least 1"``, ``"'gini' or 'info_gain'"``."""
        if self.choices:
            shown = [repr(c) for c in self.choices]
            return shown[0] if len(shown) == 1 else f"{', '.join(shown[:-1])} or {shown[-1]}"
        if self.kind == "bool":
            return "True or False"
        if self.kind not in ("int", "float"):
            return f"a {self.kind}"
        noun = "an integer" if self.kind == "int" else "a number"
        low, high = _number(self.low), _number(self.high)
        if self.low is None and self.high is None:
            return "any 32-bit integer" if self.kind == "int" else "any finite number"
        if self.high is None:
            return f"{noun} above {low}" if self.low_open else f"{noun}, at least {low}"
        if self.low is None:
            return f"{noun} below {high}" if self.high_open else f"{noun}, at most {high}"
        if self.kind == "int" and not self.low_open and not self.high_open:
            return f"{noun} from {low} to {high}"
        return f"{noun} in {'(' if self.low_open else '['}{low}, {high}{')' if self.high_open else ']'}"

    def accepts(self, value: Any) -> bool:
        """Whether ``value`` is among the sensible ones (its type is checked elsewhere)."""
        if self.choices:
            return any(value == c and type(value) is type(c) for c in self.choices)
        if self.kind not in ("int", "float") or isinstance(value, bool) or not isinstance(value, (int, float)):
            return True
        if isinstance(value, float) and math.isnan(value):
            return False
        if self.low is not None and (value <= self.low if self.low_open else value < self.low):
            return False
        if self.high is not None and (value >= self.high if self.high_open else value > self.high):
            return False
        return True

    def range_line(self) -> str:
        """The docstring's line on the valid values and what the others do ("" when every value is valid)."""
        if self.choices:
            return f"Choices: {self.takes()}." + (f" Other values {self.outside}." if self.outside else "")
        if self.kind == "bool" or (self.low is None and self.high is None):
            return f"Range: {self.takes()}." if self.kind == "int" else ""
        return f"Range: {self.takes()}." + (f" Outside it: {self.outside}." if self.outside else "")

    def header(self) -> str:
        """``name : kind, default value`` as a docstring's parameter list writes it."""
        if self.default is REQUIRED:
            return f"{self.name} : {self.kind}"
        return f"{self.name} : {self.kind}, default {self.default!r}"

    def doc(self, width: int = 92) -> str:
        """The entry of this parameter in a class docstring's "Parameters" section."""
        lines = [self.header()]
        for text in (self.meaning, self.range_line()):
            if text:
                lines += textwrap.wrap(text, width, initial_indent="    ", subsequent_indent="    ",
                                       break_on_hyphens=False, break_long_words=False)
        return "\n".join(lines)


def _number(value: float | None) -> str:
    if value is None:
        return ""
    return str(int(value)) if float(value).is_integer() and abs(value) < 1e15 else repr(value)


@dataclass(frozen=True)
class ClassParams:
    """The constructor keywords of one class, in constructor order, and its other settings: writable
    properties the constructor does not take, set after construction."""

    name: str
    params: tuple[Param, ...] = field(default_factory=tuple)
    settings: tuple[Param, ...] = field(default_factory=tuple)

    def __getitem__(self, key: str) -> Param:
        for p in (*self.params, *self.settings):
            if p.name == key:
                return p
        raise KeyError(key)

    def __contains__(self, key: object) -> bool:
        return any(p.name == key for p in (*self.params, *self.settings))

    def is_setting(self, key: str) -> bool:
        """Whether ``key`` is set after construction (a property the constructor does not take)."""
        return any(p.name == key for p in self.settings)


# ---------------------------------------------------------------------------------------------
# Building blocks shared by several classes. Each takes the default and, where the classes
# differ, what the parameter does in that class.

_NO_SPLIT = "0 never attempts a split, and a negative value acts as its magnitude"
_BOUND_BREAKS = "the bound is 0, NaN or infinite, so the test no longer weighs the evidence"
_ADWIN_OUTSIDE = "0 or below never reports a change; above 1 the test no longer bounds false alarms"


def _grace(default: int, meaning: str = "Leaf weight (samples) between two split attempts at a leaf.",
           outside: str = _NO_SPLIT) -> Param:
    return Param("grace_period", "int", default, meaning, low=1, outside=outside)


def _confidence(default: float, meaning: str = "The delta of the Hoeffding bound: the chance allowed of splitting "
                "on the wrong feature; smaller waits for more evidence.", outside: str = _BOUND_BREAKS) -> Param:
    return Param("split_confidence", "float", default, meaning, low=0, high=1, low_open=True, high_open=True,
                 outside=outside)


def _tie(default: float = 0.05, meaning: str = "Split anyway once the Hoeffding bound falls below it: the best "
         "candidates are then too close to tell apart.") -> Param:
    return Param("tie_threshold", "float", default, meaning, low=0, outside="a negative value never breaks a tie")


def _depth(default: int, meaning: str = "Leaves at this depth are not split (the root has depth 0).") -> Param:
    return Param("max_depth", "int", default, meaning, low=1, outside="0 or less keeps the root a leaf")


def _hddm(lambda_: bool = False) -> tuple[Param, ...]:
    """The parameters of HDDM_A and, with ``lambda_``, HDDM_W."""
    average = "weighted average" if lambda_ else "average"
    out = (
        Param("drift_confidence", "float", 0.001, f"The chance allowed of a false drift in one test of the "
              f"{average}: smaller waits for more evidence.", low=0, high=1, low_open=True, high_open=True,
              outside="raises ValueError"),
        Param("warning_confidence", "float", 0.005, "The same for the warning; above drift_confidence, so that "
              "the warning comes first.", low=0, high=1, low_open=True, high_open=True, outside="raises ValueError"),
    )
    if lambda_:
        out += (Param("lambda_", "float", 0.05, "Weight of the newest value in the moving averages: larger "
                      "forgets faster.", low=0, high=1, low_open=True, outside="raises ValueError"),)
    return out + (Param("two_sided", "bool", False, "Also report a fall of the mean; by default only a rise "
                        "(more errors) counts."),)


def _delta(name: str, default: float, meaning: str) -> Param:
    return Param(name, "float", default, meaning, low=0, high=1, low_open=True, high_open=True,
                 outside=_ADWIN_OUTSIDE)


def _rate(default: float, meaning: str, outside: str = "0 never learns, and a negative rate steps the wrong way",
          name: str = "learning_rate") -> Param:
    return Param(name, "float", default, meaning, low=0, low_open=True, outside=outside)


def _l2(default: float = 0.0) -> Param:
    return Param("l2", "float", default, "L2 shrinkage of the weights (not the bias) at every step.", low=0,
                 outside="a negative value makes the weights grow at every step")


def _seed(default: int, meaning: str) -> Param:
    return Param("seed", "int", default, meaning)


def _n_models(default: int, meaning: str, outside: str = "below 1 gives one member; above 100000 raises "
              "ValueError") -> Param:
    return Param("n_models", "int", default, meaning, low=1, high=100_000, outside=outside)


def _lambda_value(default: float = 6.0, extra: str = "") -> Param:
    return Param("lambda_value", "float", default,
                 "Mean of the Poisson number of times each member learns a sample; the cost of learn_one grows "
                 "with it, and it is read afresh at every learn_one." + extra,
                 low=0, high=1000, low_open=True,
                 outside="0 or below stops the members from learning; NaN, infinite or above 1000 makes "
                 "learn_one raise ValueError")


def _leaf_fimtdd(default: str, meaning: str = "What a leaf predicts: its mean target, its perceptron on "
                 "standardised features, or ('adaptive') whichever has erred less so far.") -> Param:
    return Param("leaf_prediction", "str", default, meaning, choices=_first(default, ("adaptive", "mean",
                 "perceptron")), outside="act as 'adaptive'")


def _first(default: Any, choices: tuple[Any, ...]) -> tuple[Any, ...]:
    return (default, *(c for c in choices if c != default))


_TREE_SPLIT_CONFIDENCE = ("The delta of the Hoeffding bound: the chance allowed of splitting on the wrong feature; "
                          "smaller waits for more evidence.")


def _classifier_tree(split_confidence: float, criterion: bool) -> tuple[Param, ...]:
    out: tuple[Param, ...] = (
        _grace(200),
        _confidence(split_confidence, _TREE_SPLIT_CONFIDENCE,
                    "1 gives a bound of 0, so every attempt whose best candidate is a feature splits; above 1, "
                    "0 or a negative value give a NaN or infinite bound, so only a leaf with a single candidate "
                    "can split"),
        _tie(),
        Param("nb_threshold", "int", 0, "Leaf weight below which a leaf predicts its majority class rather "
              "than by naive Bayes (leaf_prediction 'nb' or 'nba').", low=0, outside="a negative value acts as 0"),
        _depth(20),
    )
    if criterion:
        out += (Param("split_criterion", "str", "info_gain", "Merit of a split: information gain or the Gini "
                      "index.", choices=("info_gain", "gini"), outside="act as 'info_gain'"),)
    return out


def _member_trees(grace: int, regression: bool) -> tuple[Param, ...]:
    """grace_period, max_depth and (classifiers) split_confidence handed to every member tree."""
    out: tuple[Param, ...] = (
        _grace(grace, "Split attempts of every member tree: samples of leaf weight between two attempts."),
        _depth(20, "Leaves of every member tree at this depth are not split (the root has depth 0)."),
    )
    if not regression:
        out += (_confidence(0.01, "The delta of the Hoeffding bound of every member tree; smaller waits for "
                            "more evidence before a split."),)
    return out


def _knn(what: str, empty: str) -> tuple[Param, ...]:
    return (
        Param("n_neighbors", "int", 5, f"Number of nearest stored samples {what}.", low=1,
              outside=f"0 answers {empty}; a negative value raises ValueError"),
        Param("window_size", "int", 1000, "Number of most recent learnt samples kept (set at construction "
              "only). Memory: one value per sample and distinct feature name.", low=1,
              outside="below 1 raises ValueError"),
        Param("p", "int", 2, "Order of the Minkowski distance: 1 Manhattan, 2 Euclidean. Distances are raw, "
              "so put a scaler in front when features have different scales.", low=1,
              outside="0 or a negative order is computed by the same power formula but is no distance"),
    )


def _forest_common(regression: bool, drift_default: float, warning: bool, what: str) -> tuple[Param, ...]:
    error = "absolute error" if regression else "0/1 error"
    out: tuple[Param, ...] = (_delta("drift_delta", drift_default,
                  f"The delta of each member's ADWIN drift detector over its {error}: {what}."),)
    if warning:
        out += (_delta("warning_delta", 0.01, f"The delta of each member's ADWIN warning detector over its "
                       f"{error}: an alarm starts a background tree (larger than drift_delta: it warns "
                       "earlier)."),)
    return out


_SUBSPACE_FRACTION = Param(
    "subspace_fraction", "float", 0.6, "Share of the features of a member's first sample that the member sees, "
    "rounded (at least one feature), drawn from seed and the member's position.", low=0, high=1, low_open=True,
    outside="0 or below gives one feature per member, above 1 every feature")
_TRAINING_METHOD = Param(
    "training_method", "str", "patches", "How members differ: 'patches' (a feature subspace and Poisson "
    "weights), 'subspaces' (the subspace only, every sample learnt once) or 'resampling' (the weights only, "
    "every feature).", choices=("patches", "subspaces", "resampling"), outside="act as 'patches'")


def _boosting(n_models: int, learning_rate: float, bag_size: int, grace: int, confidence: float,
              classifier: bool) -> tuple[tuple[Param, ...], tuple[Param, ...], tuple[Param, ...]]:
    """The boosters' settings in three groups, between which the two classes put their own."""
    lr_meaning = ("Shrinkage of each stage's contribution during training (and in prediction with "
                  "scale_prediction_by_lr).") if classifier else (
        "Shrinkage of each stage's contribution during training; predictions sum the stage outputs without it.")
    return (
        _n_models(n_models, "Boosting stages of each booster; reaches boosters created after it is set.",
                  "below 1 acts as 1; n_models x bag_size above 100000 makes learn_one raise ValueError"),
        _rate(learning_rate, lr_meaning + " Reaches boosters created after it is set.",
              "0 or a negative rate stops the stages from correcting each other"),
        Param("percentage_of_features", "int", 75, "Percentage of the features of the first sample that each "
              "stage sees (rounded; at least one, two when there are two or more features).", low=1, high=100,
              outside="0 or below gives one feature per stage, above 100 every feature"),
        Param("multiply_hessian_by", "int", 1, "From 2 on, each tree learns a sample ceil(hessian x this) "
              "times.", low=1, high=1000, outside="below 2 learns each sample once; above 1000 makes learn_one "
              "raise ValueError"),
        Param("skip_training", "int", 1, "From 2 on, one sample in this many, at random, is left out of "
              "training.", low=1, outside="below 1 acts as 1: every sample is learnt"),
    ), (
        Param("bag_size", "int", bag_size, "Trees per stage; from 2 on, each tree learns a sample a "
              "Poisson(1) number of times.", low=1, high=100_000,
              outside="below 1 acts as 1; n_models x bag_size above 100000 makes learn_one raise ValueError"),
    ), (
        _grace(grace, "Split attempts of every tree: samples a leaf learns between two attempts.",
               "0 or less attempts a split at every sample"),
        _confidence(confidence, "The delta of the split test of every tree; smaller waits for more evidence."),
        _depth(20, "Leaves of every tree at this depth are not split (the root has depth 0)."),
        _leaf_fimtdd("mean", "What the leaves of every tree predict: their mean target, their perceptron, or "
                     "('adaptive') whichever has erred less so far."),
        _seed(1, "Seed of every booster created after it is set: its stages' feature subsets, the samples left "
              "out and the bag weights."),
    )


def _sgbt() -> tuple[Param, ...]:
    head, bag, trees = _boosting(100, 0.0125, 1, 25, 0.05, classifier=True)
    return (
        *head,
        Param("use_squared_loss", "bool", False, "Fit the squared loss instead of the logistic loss."),
        *bag,
        Param("n_classes", "int", 0, "Boosters: with 2, one for the smallest label against the others; with 0, "
              "one per label, one against the rest. Read at every call.", choices=(0, 2),
              outside="act as 0"),
        Param("scale_prediction_by_lr", "bool", False, "Multiply the summed stage outputs by learning_rate when "
              "predicting."),
        *trees,
    )


def _sgbr() -> tuple[Param, ...]:
    head, bag, trees = _boosting(10, 1.0, 10, 50, 0.01, classifier=False)
    by_name = {p.name: p for p in trees}
    return (*head, *bag, by_name["grace_period"], by_name["split_confidence"], by_name["max_depth"],
            by_name["leaf_prediction"], by_name["seed"])


_FROZEN_LINEAR = "0 leaves the linear models at 0, and a negative rate steps them the wrong way"
_C = _rate(1.0, "Upper bound of a step (the aggressiveness).", "0 never learns, and a negative C steps the wrong "
          "way", name="C")


def _table() -> dict[str, ClassParams]:
    ht = _classifier_tree(1e-7, criterion=True)
    hat_trees = {p.name: p for p in ht}
    lin_rate = "Step size of the stochastic gradient steps."
    entries: dict[str, tuple[Param, ...]] = {
        "NaiveBayes": (),
        "Perceptron": (_rate(0.01, "Step by which a mistake moves the weights of the true and the predicted "
                             "label."),),
        "LogisticRegressionClassifier": (_rate(0.01, lin_rate), _l2()),
        "PassiveAggressiveClassifier": (_C,),
        "SoftmaxRegression": (_rate(0.01, lin_rate), _l2()),
        "LinearRegression": (_rate(0.01, lin_rate + " The error and every gradient are clipped to [-10, 10]."),
                             _l2()),
        "BayesianLinearRegression": (
            Param("alpha", "float", 1.0, "Prior precision of every weight: larger keeps the weights nearer 0.",
                  low=0, low_open=True, outside="0 or a negative value can divide by zero or reverse updates"),
            Param("beta", "float", 1.0, "Noise precision: how much each sample's residual moves the weights.",
                  low=0, low_open=True, outside="0 makes the bias NaN; a negative value reverses the updates"),
        ),
        "PassiveAggressiveRegressor": (
            _C,
            Param("epsilon", "float", 0.1, "Residuals within epsilon leave the model unchanged.", low=0,
                  outside="a negative value makes every sample move the model, by a larger step"),
        ),
        "KNNClassifier": _knn("that vote", "-1 and {}"),
        "KNNRegressor": _knn("whose targets are averaged (weighted by inverse distance)", "0.0"),
        "HoeffdingTreeClassifier": ht,
        "EFDTClassifier": _classifier_tree(1e-5, criterion=False),
        "SGTClassifier": (
            _rate(0.1, "Step of the leaves' regularised Newton updates of their logits.",
                  "0 leaves the logits where the splits put them, and a negative rate steps them the wrong way"),
            Param("lambda_", "float", 0.1, "L2 regularisation of the leaf logits (added to the hessian sums).",
                  low=0, outside="a negative value can freeze a leaf or divide by nearly zero"),
            _grace(200, "Samples a leaf learns between two split attempts."),
            _depth(6),
        ),
        "HoeffdingAdaptiveTreeClassifier": (
            _grace(200, "Leaf weight between two split attempts; applies to trees built after it is set."),
            hat_trees["split_confidence"],
            hat_trees["tie_threshold"],
            hat_trees["nb_threshold"],
            _depth(20, "Leaves at this depth are not split (the root has depth 0); applies to trees built "
                   "after it is set."),
            _delta("drift_delta", 0.002, "The delta of the ADWIN detector over the tree's 0/1 error whose alarm "
                   "about a rising error replaces the tree (by the background tree when there is one)."),
            _delta("warning_delta", 0.02, "The delta of the ADWIN detector over the tree's 0/1 error whose alarm "
                   "about a rising error starts a background tree (larger than drift_delta: it warns earlier)."),
            hat_trees["split_criterion"],
        ),
        "HoeffdingTreeRegressor": (
            _grace(200, "Samples between two split attempts at a leaf; a leaf predicts its mean until it has "
                   "learnt this many.", _NO_SPLIT + " for split attempts"),
            _confidence(1e-7),
            _tie(0.05, "Split anyway once the Hoeffding bound falls below it while the two best features score "
                 "within it of each other."),
            _depth(20),
            _rate(0.01, "Step of the leaves' linear models on standardised features.", _FROZEN_LINEAR),
        ),
        "FIMTDDRegressor": (
            _grace(200, "Samples a leaf learns between two split attempts.",
                   "0 or less attempts a split at every sample"),
            _confidence(1e-7),
            _tie(0.05, "Split anyway once the bound falls below it."),
            _depth(20),
            _leaf_fimtdd("adaptive"),
            _rate(0.02, "Initial step of the leaf perceptrons.", "0 leaves the perceptrons at their random start, "
                  "and a negative value steps them the wrong way", name="learning_ratio"),
            Param("learning_rate_decay", "float", 0.001, "The step is learning_ratio / (1 + updates x decay).",
                  low=0, outside="a negative decay makes the step grow, blow up and change sign"),
            Param("learning_ratio_const", "bool", False, "Keep the step at learning_ratio, without decay."),
            Param("page_hinckley_alpha", "float", 0.005, "Tolerance of the Page-Hinkley test of every internal "
                  "node on the tree's normalised error.", low=0,
                  outside="a negative value makes the test climb on a steady error: alternates start regularly"),
            Param("page_hinckley_threshold", "float", 50.0, "Detection threshold of the Page-Hinkley test: "
                  "larger starts alternate subtrees later.", low=0, low_open=True,
                  outside="0 or below starts an alternate at almost every rise of the error"),
            Param("alternate_tree_fading_factor", "float", 0.995, "Fading of the squared errors by which a "
                  "subtree and its alternate are compared.", low=0, high=1, low_open=True,
                  outside="0 compares the latest errors only; a negative or above-1 factor makes the comparison "
                  "meaningless"),
            Param("alternate_tree_t_min", "int", 150, "Samples between two comparisons of a subtree with its "
                  "alternate.", low=1, outside="0 or less compares at every sample"),
            Param("alternate_tree_time", "int", 1500, "Samples after which an alternate that has not won is "
                  "dropped.", low=1, outside="0 or less drops it at its first comparison unless it wins"),
            Param("drift_detection", "bool", True, "Watch every internal node with the Page-Hinkley test and grow "
                  "alternate subtrees on a rising error."),
            _seed(1, "Seed of the leaf perceptrons' initial weights; a change takes effect at reset()."),
        ),
        "ARFClassifier": (
            _n_models(10, "Number of member trees; a change takes effect at reset()."),
            _seed(0, "Seed of the Poisson weights (re-seeded at reset()) and base of the seed of every member "
                  "tree built after it is set."),
            _lambda_value(),
            *_forest_common(False, 0.001, True, "an alarm replaces the member's tree by its background tree, or "
                            "by a fresh one"),
            *_member_trees(50, regression=False),
            Param("subspace_size", "int", -1, "Features each member tree evaluates per split attempt, drawn at "
                  "random: a negative value means trunc(sqrt(features)) + 1, and 0 (or a size not below the "
                  "number of features) every feature."),
        ),
        "ARFRegressor": (
            _n_models(10, "Number of member trees; a change takes effect at reset()."),
            _seed(0, "Seed of the member feature subsets and the Poisson weights; a change takes effect at "
                  "reset()."),
            _lambda_value(),
            *_forest_common(True, 0.001, True, "an alarm replaces the member's tree by its background tree, or "
                            "by a fresh one"),
            *_member_trees(200, regression=True),
            _rate(0.01, "Step of the member trees' leaf linear models.", _FROZEN_LINEAR),
        ),
        "SRPClassifier": (
            _n_models(10, "Number of member trees; a change takes effect at reset()."),
            _seed(0, "Seed of the Poisson weights (re-seeded at reset()) and of every member patch drawn after "
                  "it is set."),
            _lambda_value(extra=" Unused by training_method 'subspaces'."),
            *_forest_common(False, 0.001, True, "an alarm replaces the member's tree by its background tree, or "
                            "by a fresh one"),
            *_member_trees(50, regression=False),
            _SUBSPACE_FRACTION,
            _TRAINING_METHOD,
        ),
        "SRPRegressor": (
            _n_models(10, "Number of member trees; a change takes effect at reset()."),
            _seed(0, "Seed of the Poisson weights (re-seeded at reset()) and of every member patch drawn after "
                  "it is set."),
            _lambda_value(extra=" Unused by training_method 'subspaces'."),
            *_forest_common(True, 0.001, True, "an alarm replaces the member's tree by its background tree, or "
                            "by a fresh one"),
            *_member_trees(200, regression=True),
            _rate(0.01, "Step of the member trees' leaf linear models.", _FROZEN_LINEAR),
            _SUBSPACE_FRACTION,
            _TRAINING_METHOD,
        ),
        "LeveragingBaggingClassifier": (
            _n_models(10, "Number of member trees; a change takes effect at reset()."),
            _seed(0, "Seed of the Poisson weights; a change takes effect at reset()."),
            _lambda_value(),
            *_forest_common(False, 0.002, False, "an alarm during which the error rose replaces the member's tree by a "
                            "fresh one"),
            *_member_trees(50, regression=False),
        ),
        "LeveragingBaggingRegressor": (
            _n_models(10, "Number of member trees; a change takes effect at reset().",
                      "0 gives no members (every prediction 0.0); a negative value or one above 100000 raises "
                      "ValueError"),
            _seed(0, "Seed of the Poisson weights; member i's tree is seeded seed + i. A change takes effect "
                  "at reset()."),
            _lambda_value(),
            *_forest_common(True, 0.002, False, "an alarm during which the error rose replaces the member's tree by a "
                            "fresh one (the error is divided by the standard deviation of the targets seen)"),
            _grace(50, "Split attempts of every member tree: samples a leaf learns between two attempts.",
                   "0 or less attempts a split at every sample"),
            _depth(20, "Leaves of every member tree at this depth are not split (the root has depth 0)."),
            _confidence(0.01, "The delta of the split test of every member tree; smaller waits for more "
                        "evidence."),
            _leaf_fimtdd("adaptive", "What the leaves of every member tree predict: their mean target, their "
                         "perceptron, or ('adaptive') whichever has erred less so far."),
        ),
        "SGBTClassifier": _sgbt(),
        "SGBRRegressor": _sgbr(),
        "StandardScaler": (
            Param("with_std", "bool", True, "Divide by the running population standard deviation; with False "
                  "the features are only centred."),
        ),
        "MinMaxScaler": (),
        "MaxAbsScaler": (),
        "VarianceThreshold": (
            Param("threshold", "float", 0.0, "Features whose running sample variance is not above this are "
                  "dropped.", low=0, outside="a negative threshold keeps every feature"),
            Param("min_samples", "int", 2, "Times a feature must have been learnt before it can be dropped.",
                  low=2, outside="below 2, a feature learnt once has variance 0 and is dropped"),
        ),
        "SelectKBest": (
            Param("k", "int", 10, "Number of features kept: those whose running correlation with the target "
                  "ranks highest.", low=1, outside="0 or less keeps no feature"),
            Param("use_abs", "bool", False, "Rank by the absolute value of the correlation. By default (False) "
                  "the signed correlation ranks, so strong negative predictors are dropped: set True to keep "
                  "them."),
        ),
        "ClassificationPipeline": (
            Param("steps", "list[ITransformer]", REQUIRED, "Transformers applied in order, shared with the "
                  "caller."),
            Param("learner", "IClassifier", REQUIRED, "The classifier that learns and predicts from the "
                  "transformed sample, shared with the caller."),
        ),
        "RegressionPipeline": (
            Param("steps", "list[ITransformer]", REQUIRED, "Transformers applied in order, shared with the "
                  "caller."),
            Param("learner", "IRegressor", REQUIRED, "The regressor that learns and predicts from the "
                  "transformed sample, shared with the caller."),
        ),
        "Accuracy": (), "MacroPrecision": (), "MacroRecall": (), "MacroF1": (),
        "MAE": (), "RMSE": (), "R2": (),
        "WindowMetric": (
            Param("window_size", "int", 1000, "Number of most recent (predicted, actual) pairs measured.", low=1,
                  outside="0 or less ignores every update"),
        ),
        "WindowRegressionMetric": (
            Param("window_size", "int", 1000, "Number of most recent (y_true, y_pred) pairs measured.", low=1,
                  outside="0 or less ignores every update"),
        ),
        "ADWIN": (
            _delta("delta", 0.002, "Confidence of the cut test: smaller means fewer, later detections."),
            Param("clock", "int", 32, "Updates between two cut tests.", low=1, outside="below 1 raises ValueError"),
            Param("max_buckets", "int", 5, "Buckets per row before the oldest two merge: more is more precise "
                  "and costs more memory.", low=1, outside="below 1 raises ValueError"),
            Param("min_window_length", "int", 5, "Fewest values on each side of a cut.", low=1,
                  outside="0 or less tests every split with a smaller bound: more false alarms"),
            Param("grace_period", "int", 10, "No test while the window holds this many values or fewer.", low=0,
                  outside="a negative value acts as 0"),
        ),
        "ScaledTargetRegressor": (
            Param("regressor", "IRegressor", REQUIRED, "The regressor that learns the standardised target, shared "
                  "with the caller."),
        ),
        "EDDM": (
            Param("warm_start", "int", 30, "Updates and errors needed before any flag can be raised.", low=0,
                  outside="a negative value acts as 0"),
            Param("alpha", "float", 0.95, "Warning threshold on the ratio of mean + 2 sd of the error distances "
                  "to its maximum; at least beta.", low=0, high=1, low_open=True,
                  outside="below beta raises ValueError; above 1 warns at almost every error"),
            Param("beta", "float", 0.9, "Drift threshold on the same ratio; at most alpha.", low=0, high=1,
                  low_open=True, outside="above alpha raises ValueError; 0 or below never reports a drift"),
        ),
        "DDM": (
            Param("min_num_instances", "int", 30, "Updates before the test starts: it runs from this update on.",
                  low=1, outside="0 or less tests from the first update"),
            Param("warning_level", "float", 2.0, "Deviations s_min above the least p + s that raise the warning; "
                  "at most out_control_level, or the warning never shows.", low=1, low_open=True,
                  outside="1 or below warns at every update once a minimum is kept"),
            Param("out_control_level", "float", 3.0, "Deviations s_min above the least p + s that raise a drift.",
                  low=1, low_open=True, outside="1 or below reports a drift as soon as a minimum is kept"),
        ),
        "HDDM_A": _hddm(),
        "HDDM_W": _hddm(lambda_=True),
        "PageHinkley": (
            Param("min_instances", "int", 30, "Updates before a drift can be reported.", low=1,
                  outside="0 or less can report from the first update"),
            Param("delta", "float", 0.005, "The rise of the mean tolerated: each value adds its excess over the "
                  "mean less delta to the sum.", low=0, outside="a negative value lets a steady stream drift"),
            Param("threshold", "float", 50.0, "A drift when the sum stands more than this above its minimum: "
                  "larger waits for a larger or longer rise.", low=0, low_open=True,
                  outside="0 or below reports a drift at the first rise"),
            Param("alpha", "float", 1.0 - 0.0001, "Fading factor of the sum: 1 keeps every past deviation, smaller "
                  "lets old ones fade.", low=0, high=1, low_open=True,
                  outside="above 1 lets old deviations grow; 0 or below keeps none; NaN never reports a drift"),
        ),
        "KSWIN": (
            Param("alpha", "float", 0.005, "Significance of the Kolmogorov-Smirnov test: smaller waits for a "
                  "larger difference.", low=0, high=1, low_open=True, high_open=True,
                  outside="raises ValueError"),
            Param("window_size", "int", 100, "Values kept in the window; at least twice stat_size.", low=2,
                  outside="below twice stat_size raises ValueError"),
            Param("stat_size", "int", 30, "Newest values compared with as many older values drawn from the "
                  "window.", low=1, outside="below 1 raises ValueError"),
            _seed(0, "Seed of the draws of older values; re-seeded at reset()."),
        ),
        "NoChangeClassifier": (), "MajorityClassClassifier": (), "MeanRegressor": (),
        "HalfSpaceTrees": (
            Param("n_trees", "int", 25, "Number of trees; a sample costs n_trees times height steps.", low=1,
                  high=10000, outside="raises ValueError"),
            Param("height", "int", 15, "Levels below the root of every tree.", low=1, high=40,
                  outside="raises ValueError"),
            Param("window_size", "int", 250, "Samples per window: the reference profile is the last complete "
                  "window, and the profiles swap every window_size samples learnt.", low=1,
                  outside="raises ValueError"),
            _seed(0, "Seed of the trees' split features and work ranges."),
            Param("limits", "dict[str, tuple[float, float]] | None", None, "Each feature's range (low, high), "
                  "which scales it to [0, 1]; None learns the ranges from the first window. A limit that is not "
                  "two finite numbers with low < high raises ValueError."),
        ),
        "ROCAUC": (
            Param("window_size", "int", 0, "Updates measured: the last window_size, or every update since the "
                  "last reset when 0.", low=0, outside="raises ValueError"),
        ),
    }
    settings = _settings(ht)
    return {name: ClassParams(name, params, settings.get(name, ())) for name, params in entries.items()}


def _settings(ht: tuple[Param, ...]) -> dict[str, tuple[Param, ...]]:
    """The writable properties of each class that its constructor does not take."""
    tree = (
        Param("leaf_prediction", "str", "nba", "What a leaf predicts: naive Bayes when that has been right more "
              "often than the majority class at the leaf ('nba'), the majority class ('mc') or naive Bayes ('nb').",
              choices=("nba", "mc", "nb"), outside="act as 'nba'"),
        Param("n_split_points", "int", 10, "Candidate thresholds per feature and split attempt.", low=1,
              high=100_000, outside="0 or less evaluates none, so no leaf splits; above 100000 raises ValueError"),
        Param("no_pre_prune", "bool", False, "Leave out the null split (keeping the leaf) from the candidates of "
              "a split attempt."),
    )
    criterion = {p.name: p for p in ht}["split_criterion"]
    return {
        "HoeffdingTreeClassifier": tree,
        "EFDTClassifier": (*tree, criterion),
        "HoeffdingTreeRegressor": (
            Param("leaf_prediction", "str", "adaptive", "What a leaf predicts: its linear model when that has erred "
                  "less than its mean so far ('adaptive'), its mean ('mean') or its linear model ('linear').",
                  choices=("adaptive", "mean", "linear"), outside="act as 'adaptive'"),
        ),
    }


#: The constructor parameters and other settings of every class of the native modules, by class name.
TABLE: Mapping[str, ClassParams] = _table()

#: Read-only properties, by class and name: their docstrings (the writable ones are in the table).
PROPERTIES: Mapping[str, Mapping[str, str]] = {
    "HalfSpaceTrees": {
        "limits": "The feature ranges given, name -> (low, high), or None when the ranges are learnt from the "
        "first window (read-only).",
    },
    "ScaledTargetRegressor": {
        "regressor": "The wrapped regressor, shared with the caller (read-only).",
        "n_targets": "Number of targets learnt since construction or the last reset() (read-only).",
        "target_mean": "Running mean of the targets learnt; 0.0 before the first (read-only).",
        "target_sd": "Running population standard deviation of the targets learnt; 0.0 while fewer than two "
        "(read-only). Targets are divided by it, or by 1 while it is 0.",
    },
}


_SCALE_TARGET = ("so a target whose standard deviation is far beyond 10 (prices, amounts in the thousands) is learnt "
                 "slowly or not at all. Wrap the regressor in ScaledTargetRegressor, which lets it learn the "
                 "standardised target and answers in the original units (on the command line: --scale-target), and "
                 "put a scaler in front for features of large scale: "
                 "RegressionPipeline([StandardScaler()], ScaledTargetRegressor({cls}())).")

#: What a class docstring says after its parameters, by class: the "Notes" section.
NOTES: Mapping[str, str] = {
    "LinearRegression": "The error and every gradient are clipped to [-10, 10], " + _SCALE_TARGET.format(
        cls="LinearRegression"),
    "BayesianLinearRegression": "The residual is clipped to [-10, 10], " + _SCALE_TARGET.format(
        cls="BayesianLinearRegression"),
    "PassiveAggressiveRegressor": "A step moves the bias by at most C, " + _SCALE_TARGET.format(
        cls="PassiveAggressiveRegressor"),
}


def params_of(class_name: str) -> ClassParams | None:
    """The constructor parameters of a class by name (``None`` for a class the table does not know)."""
    return TABLE.get(class_name)


def settings_of(class_name: str) -> tuple[Param, ...]:
    """The writable settings of a class that its constructor does not take (set after construction)."""
    table = TABLE.get(class_name)
    return table.settings if table is not None else ()


def problem(class_name: str, key: str, value: Any) -> str | None:
    """What is wrong with ``value`` for the parameter ``key`` of ``class_name`` (``None`` when it is sensible)."""
    table = TABLE.get(class_name)
    if table is None or key not in table:
        return None
    param = table[key]
    if param.accepts(value):
        return None
    return f"{class_name}.{key} takes {param.takes()}"


def doc_section(class_name: str) -> str:
    """The "Parameters" section of a class docstring, from the table, and its "Notes" section where
    :data:`NOTES` has one."""
    table = TABLE[class_name]
    if not table.params:
        section = "Parameters\n----------\nNone."
    else:
        section = "Parameters\n----------\n" + "\n".join(p.doc() for p in table.params)
    if table.settings:
        section += ("\n\nOther settings\n--------------\nProperties the constructor does not take: set them after "
                    "construction.\n" + "\n".join(p.doc() for p in table.settings))
    if class_name in NOTES:
        section += "\n\nNotes\n-----\n" + "\n".join(
            textwrap.wrap(NOTES[class_name], 92, break_on_hyphens=False, break_long_words=False))
    return section


def property_doc(class_name: str, name: str) -> str | None:
    """The docstring of a property: its parameter's meaning and range, or its entry in :data:`PROPERTIES`."""
    extra = PROPERTIES.get(class_name, {})
    if name in extra:
        return extra[name]
    table = TABLE.get(class_name)
    if table is None or name not in table:
        return None
    param = table[name]
    return " ".join(part for part in (param.meaning, param.range_line()) if part)
