"""Linear classifiers and regressors: worked examples, untrained answers, tie rules,
hyper-parameters as attributes, the probability overflow and underflow cases, and a
plain-Python model of every learning rule on a seeded stream."""

from __future__ import annotations

import math
import random

import pytest

import _tarvo_core as core

INF, NAN = math.inf, math.nan

# class, its hyper-parameters with defaults (constructor order), and a second setting.
CLASSIFIERS = [
    (core.Perceptron, {"learning_rate": 0.01}, {"learning_rate": 0.5}),
    (core.LogisticRegressionClassifier, {"learning_rate": 0.01, "l2": 0.0}, {"learning_rate": 0.2, "l2": 0.01}),
    (core.PassiveAggressiveClassifier, {"C": 1.0}, {"C": 0.05}),
    (core.SoftmaxRegression, {"learning_rate": 0.01, "l2": 0.0}, {"learning_rate": 0.2, "l2": 0.01}),
]
REGRESSORS = [
    (core.LinearRegression, {"learning_rate": 0.01, "l2": 0.0}, {"learning_rate": 0.05, "l2": 0.01}),
    (core.BayesianLinearRegression, {"alpha": 1.0, "beta": 1.0}, {"alpha": 2.0, "beta": 0.5}),
    (core.PassiveAggressiveRegressor, {"C": 1.0, "epsilon": 0.1}, {"C": 0.1, "epsilon": 0.5}),
]
ALL = CLASSIFIERS + REGRESSORS
RAW_SCORE = [core.Perceptron, core.LogisticRegressionClassifier, core.PassiveAggressiveClassifier]
ids = [c[0].__name__ for c in ALL]


def stream(n, seed, labels=(5, -2, 9), regression=False):
    """Seeded samples with features that come and go, and labels met out of order."""
    rng = random.Random(seed)
    out = []
    for i in range(n):
        y = labels[rng.randrange(len(labels))] if i >= len(labels) else labels[i]
        k = labels.index(y)
        x = {f"f{j}": rng.gauss(k - j / 2, 1.0) for j in range(4) if rng.random() < 0.85}
        if rng.random() < 0.1:
            x[f"new{i}"] = rng.uniform(-1, 1)
        if regression:
            y = 2.0 * x.get("f0", 0.0) - x.get("f2", 0.0) + 0.5 + rng.gauss(0, 0.1)
        out.append((x, y))
    return out


def answers(model, queries):
    if isinstance(model, core.IClassifier):
        return [(model.predict_one(q), model.predict_proba_one(q)) for q in queries]
    return [model.predict_one(q) for q in queries]


# Shared behaviour of the seven classes.


@pytest.mark.parametrize("cls, defaults, other", ALL, ids=ids)
def test_untrained_answers_constructor_and_attributes(cls, defaults, other):
    fresh = cls()
    classifier = isinstance(fresh, core.IClassifier)
    assert isinstance(fresh, core.IClassifier if classifier else core.IRegressor)
    for x in ({}, {"a": 1.0}, {"a": INF}):
        if classifier:
            assert fresh.predict_one(x) == 0 and fresh.predict_proba_one(x) == {}
        else:
            assert fresh.predict_one(x) == 0.0
    assert {k: getattr(fresh, k) for k in defaults} == defaults
    assert {k: getattr(cls(*other.values()), k) for k in other} == other
    assert {k: getattr(cls(**other), k) for k in other} == other
    with pytest.raises(TypeError):
        cls(lr=0.5)


@pytest.mark.parametrize("cls, defaults, other", ALL, ids=ids)
def test_attribute_write_applies_at_next_call_and_survives_reset(cls, defaults, other):
    classifier = isinstance(cls(), core.IClassifier)
    data = stream(200, seed=3, regression=not classifier)
    changed, reference = cls(**defaults), cls(**defaults)
    for i, (x, y) in enumerate(data):
        if i == 100:
            for k, v in other.items():
                setattr(changed, k, v)
            replay = cls(**other)
            for x2, y2 in data[:100]:
                assert answers(changed, [x2]) == answers(reference, [x2])
        changed.learn_one(x, y)
        reference.learn_one(x, y)
    assert answers(changed, [x for x, _ in data[:30]]) != answers(reference, [x for x, _ in data[:30]])
    changed.reset()
    assert {k: getattr(changed, k) for k in other} == other
    assert answers(changed, [{}, {"f0": 1.0}]) == answers(cls(), [{}, {"f0": 1.0}])
    for x, y in data:
        changed.learn_one(x, y)
        replay.learn_one(x, y)
    queries = [{**x, "unseen": 3.0} for x, _ in data[:40]]
    before = answers(changed, queries)
    assert before == answers(replay, queries)
    assert answers(changed, queries) == before  # prediction changes nothing


@pytest.mark.parametrize("cls", [c[0] for c in ALL], ids=ids)
def test_weights_exist_only_where_learning_made_them(cls):
    # A weight, even one at 0, carries a NaN value into the score; a feature without a
    # weight contributes nothing.
    model = cls()
    classifier = isinstance(model, core.IClassifier)
    model.learn_one({}, 1 if classifier else 3.0)
    probe = {"a": NAN, "b": INF}
    if classifier:
        assert all(math.isfinite(p) for p in model.predict_proba_one(probe).values())
    else:
        assert math.isfinite(model.predict_one(probe))
        assert model.predict_one(probe) == model.predict_one({})
    model.learn_one({"a": 1.0}, 2 if classifier else 5.0)
    out = model.predict_proba_one(probe) if classifier else {0: model.predict_one(probe)}
    assert all(math.isnan(p) for p in out.values())


@pytest.mark.parametrize("cls", [c[0] for c in ALL], ids=ids)
@pytest.mark.parametrize("bad", [NAN, INF, -INF, 1e308])
def test_non_finite_values_never_raise(cls, bad):
    model = cls()
    classifier = isinstance(model, core.IClassifier)
    for i in range(6):
        model.learn_one({"a": bad if i % 2 else 1.0, "b": 2.0}, i % 3 if classifier else bad)
    for x in ({"a": 1.0}, {"a": bad}, {}):
        if classifier:
            assert model.predict_one(x) in (0, 1, 2)
            assert set(model.predict_proba_one(x)) == {0, 1, 2}
        else:
            model.predict_one(x)


# Worked examples.


def test_passive_aggressive_classifier_step_of_a_quarter():
    pa = core.PassiveAggressiveClassifier(C=1.0)
    pa.learn_one({}, 1)  # the only label: no rival, nothing moves
    assert pa.predict_proba_one({"a": INF}) == {1: 1.0}
    pa.learn_one({"a": 1.0}, 2)  # scores 0 and 0: loss 1, tau = 1 / (2 * 2)
    s = {1: -0.25 - 0.25 * 3.0, 2: 0.25 + 0.25 * 3.0}
    z = math.exp(s[1]) + math.exp(s[2])
    assert pa.predict_proba_one({"a": 3.0}) == {c: math.exp(v) / z for c, v in s.items()}
    pa.C = 0.1  # the bound applies to the next step
    pa.learn_one({"a": 1.0}, 1)  # s_r = 0.5, s_y = -0.5: loss 2, min(2 / 4, 0.1)
    assert pa.predict_proba_one({"a": 1.0})[1] == pytest.approx(1 / (1 + math.exp(0.6)), rel=1e-15)


@pytest.mark.parametrize(
    "cls, kwargs, x, y, after",
    [
        # e = 10 (clamped), g = 10 (20 clamped): weight 0.1, bias 0.1.
        (core.LinearRegression, {}, {"a": 2.0}, 100.0, {(): 0.1, (("a", 1.0),): 0.2}),
        (core.LinearRegression, {}, {"a": 2.0}, NAN, {(): 0.1, (("a", 1.0),): 0.2}),
        # e = 3: bias 3, precision 2, mean 1.5; next prediction for a=1 is 4.5.
        (core.BayesianLinearRegression, {}, {"a": 1.0}, 3.0, {(): 3.0, (("a", 1.0),): 4.5}),
        # loss 1.9, tau = min(1.9 / 2, 1) = 0.95.
        (core.PassiveAggressiveRegressor, {}, {"a": 1.0}, 2.0, {(): 0.95, (("a", 1.0),): 1.9}),
        (core.PassiveAggressiveRegressor, {}, {"a": 1.0}, -2.0, {(): -0.95, (("a", 1.0),): -1.9}),
        # Within epsilon: nothing moves, not even an entry at 0.
        (core.PassiveAggressiveRegressor, {}, {"a": 1.0}, 0.1, {(): 0.0, (("a", INF),): 0.0}),
        # An empty sample moves only the bias.
        (core.LinearRegression, {}, {}, 5.0, {(): 0.05, (("a", INF),): 0.05}),
        (core.BayesianLinearRegression, {}, {}, 5.0, {(): 5.0, (("a", INF),): 5.0}),
        (core.PassiveAggressiveRegressor, {"C": 10.0}, {}, 5.0, {(): 4.9, (("a", INF),): 4.9}),
    ],
)
def test_regressor_worked_examples(cls, kwargs, x, y, after):
    model = cls(**kwargs)
    model.learn_one(x, y)
    for query, expected in after.items():
        assert model.predict_one(dict(query)) == pytest.approx(expected, rel=1e-15)


def test_bayesian_precision_accumulates_and_beta_zero_gives_nan_bias():
    b = core.BayesianLinearRegression()
    b.learn_one({"a": 1.0}, 3.0)
    b.learn_one({"a": 1.0}, 6.0)  # e = 1.5; bias += e / 2; precision 3: mean += 1.5 / 3
    assert b.predict_one({}) == 3.75 and b.predict_one({"a": 1.0}) == 3.75 + 2.0
    b.reset()
    b.beta = 0.0
    b.learn_one({"a": 1.0}, 3.0)
    assert math.isnan(b.predict_one({}))


# Tie rules and single labels.


@pytest.mark.parametrize("cls", [core.Perceptron, core.PassiveAggressiveClassifier])
def test_single_label_never_moves(cls):
    model = cls()
    for i in range(20):
        model.learn_one({"a": float(i), "b": -1.0}, 4)
        assert model.predict_one({"a": 1.0}) == 4
    assert model.predict_proba_one({"a": INF, "b": INF}) == {4: 1.0}


def test_perceptron_ties_go_to_first_learnt_label():
    p = core.Perceptron(learning_rate=0.0)
    for label in (5, -2, 9):
        p.learn_one({}, label)
    assert p.predict_one({"a": 1.0}) == 5
    p.learning_rate = 0.5
    p.learn_one({"a": 2.0}, 5)  # tie won by 5 itself: nothing moves
    assert p.predict_proba_one({"a": INF}) == {5: 1 / 3, -2: 1 / 3, 9: 1 / 3}
    p.learn_one({"a": 2.0}, 9)  # guess 5: 9 moves towards x, 5 away, by 0.5 per unit
    s = {5: -0.5 - 1.0 * 4.0, -2: 0.0, 9: 0.5 + 1.0 * 4.0}
    z = sum(math.exp(v) for v in s.values())
    assert p.predict_proba_one({"a": 4.0}) == pytest.approx({c: math.exp(v) / z for c, v in s.items()}, rel=1e-15)


@pytest.mark.parametrize("cls", [core.LogisticRegressionClassifier, core.PassiveAggressiveClassifier])
def test_ascending_classifiers_break_ties_to_the_smallest_label(cls):
    model = cls(**({"C": 0.0} if cls is core.PassiveAggressiveClassifier else {"learning_rate": 0.0}))
    for label in (5, -2, 9):
        model.learn_one({"a": 1.0}, label)
    assert model.predict_one({"a": 1.0}) == -2
    assert model.predict_proba_one({"a": 1.0}) == {5: 1 / 3, -2: 1 / 3, 9: 1 / 3}


def test_softmax_uniform_after_registration_and_tie_follows_the_returned_map():
    s = core.SoftmaxRegression(learning_rate=0.0)
    for label in (5, -2, 9, 0):
        s.learn_one({"a": 1.0}, label)
    proba = s.predict_proba_one({"a": 1.0})
    assert proba == {5: 0.25, -2: 0.25, 9: 0.25, 0: 0.25}
    assert s.predict_one({"a": 1.0}) == next(iter(proba))


# Probabilities whose exponentials overflow or underflow.


def overflowing(cls):
    """A model of the class whose scores for {"a": v} are far apart, with their sign."""
    kwargs = {"C": 100.0} if cls is core.PassiveAggressiveClassifier else {"learning_rate": 1.0}
    model = cls(**kwargs)
    model.learn_one({"a": 1.0}, 0)
    model.learn_one({"a": 1.0}, 1)
    top = model.predict_one({"a": 1.0})
    return model, top


@pytest.mark.parametrize("cls", RAW_SCORE)
def test_overflowing_scores_still_give_a_distribution(cls):
    model, top = overflowing(cls)
    for v in (1e6, 1e300):
        proba = model.predict_proba_one({"a": v})
        assert proba == {top: 1.0, 1 - top: 0.0}
    # Below the overflow the plain exponentials are used as they are.
    plain = model.predict_proba_one({"a": 1.0})
    assert sum(plain.values()) == pytest.approx(1.0)
    assert 0.0 < plain[1 - top] < plain[top]


def test_underflowing_scores_still_give_a_distribution():
    # A negative rate drives every bias down: scores of about -5000.
    lr = core.LogisticRegressionClassifier(learning_rate=-1e4)
    lr.learn_one({}, 0)
    assert lr.predict_proba_one({}) == {0: 1.0}
    lr.learn_one({}, 1)
    assert lr.predict_proba_one({}) == {0: 0.5, 1: 0.5}
    lr.learning_rate = 1e-3
    lr.learn_one({"a": 1.0}, 1)
    proba = lr.predict_proba_one({"a": 1.0})
    assert sum(proba.values()) == pytest.approx(1.0) and proba[1] > proba[0] > 0.0


def test_nan_scores_stay_as_the_arithmetic_gives_them():
    p = core.Perceptron()
    p.learn_one({"a": 1.0}, 0)
    p.learn_one({"a": NAN}, 1)
    assert all(math.isnan(v) for v in p.predict_proba_one({"a": 1.0}).values())


def test_softmax_shifts_by_the_greatest_score():
    s = core.SoftmaxRegression(learning_rate=1e4)
    s.learn_one({}, 0)
    s.learn_one({}, 1)
    proba = s.predict_proba_one({})
    assert sum(proba.values()) == pytest.approx(1.0) and all(math.isfinite(v) for v in proba.values())


# Every learning rule written out in plain Python (sums in the sample's order, without
# fused multiply-add, hence the tolerance).


def clamp(z, bound):
    return max(min(z, bound), -bound)  # a NaN never reaches it here


class ReferenceClassifier:
    def __init__(self, kind, **hp):
        self.kind, self.hp, self.w, self.b, self.order = kind, hp, {}, {}, []

    def labels(self):
        return self.order if self.kind is core.Perceptron else sorted(self.order)

    def scores(self, x):
        return {c: self.b[c] + sum(self.w[c][k] * v for k, v in x.items() if k in self.w[c]) for c in self.labels()}

    @staticmethod
    def first_greatest(s, skip=None):
        best, value = None, -INF
        for c, v in s.items():
            if c != skip and v > value:
                best, value = c, v
        return best

    def step(self, c, x, g):  # the gradient step of the logistic models
        lr, l2 = self.hp["learning_rate"], self.hp["l2"]
        for k, v in x.items():
            w = self.w[c].get(k, 0.0)
            self.w[c][k] = w + lr * (g * v - l2 * w)
        self.b[c] += lr * g

    def move(self, towards, away, x, rate):
        for k, v in x.items():
            self.w[towards][k] = self.w[towards].get(k, 0.0) + rate * v
            self.w[away][k] = self.w[away].get(k, 0.0) - rate * v
        self.b[towards] += rate
        self.b[away] -= rate

    def learn(self, x, y):
        if y not in self.w:
            self.w[y], self.b[y] = {}, 0.0
            self.order.append(y)
        s = self.scores(x)
        if self.kind is core.Perceptron:
            guess = self.first_greatest(s)
            guess = self.labels()[0] if guess is None else guess
            if guess != y:
                self.move(y, guess, x, self.hp["learning_rate"])
        elif self.kind is core.PassiveAggressiveClassifier:
            r = self.first_greatest(s, skip=y)
            loss = max(s[r] - s[y] + 1, 0.0) if r is not None else 0.0
            if loss > 0:
                self.move(y, r, x, min(loss / (2 * (sum(v * v for v in x.values()) + 1)), self.hp["C"]))
        elif self.kind is core.LogisticRegressionClassifier:
            for c in self.labels():
                self.step(c, x, (c == y) - 1 / (1 + math.exp(-clamp(s[c], 500))))
        else:
            p = self.proba(x)
            for c in self.labels():
                self.step(c, x, (c == y) - p[c])

    def proba(self, x):
        s = self.scores(x)
        m = max(s.values()) if self.kind is core.SoftmaxRegression else 0.0
        e = {c: math.exp(v - m) for c, v in s.items()}
        return {c: v / sum(e.values()) for c, v in e.items()}


@pytest.mark.parametrize("cls, _, hp", CLASSIFIERS, ids=[c[0].__name__ for c in CLASSIFIERS])
def test_classifiers_follow_their_learning_rules(cls, _, hp):
    model, ref = cls(**hp), ReferenceClassifier(cls, **{"l2": 0.0, **hp})
    for i, (x, y) in enumerate(stream(400, seed=11)):
        if i % 25 == 24:
            want = ref.proba(x)
            assert model.predict_proba_one(x) == pytest.approx(want, rel=1e-9)
            assert model.predict_one(x) == max(want, key=want.get)
        model.learn_one(x, y)
        ref.learn(x, y)
    assert ref.w[5] and ref.w[9]  # the stream did make them learn


def reference_regressor(cls, hp):
    w, extra, bias = {}, {}, [0.0, 0.0]  # weights (means), precisions; bias, beta_sum

    def predict(x):
        return bias[0] + sum(w[k] * v for k, v in x.items() if k in w)

    def learn(x, y):
        r = y - predict(x)
        if cls is core.LinearRegression:
            e = clamp(r, 10)
            for k, v in x.items():
                w[k] = w.get(k, 0.0) + hp["learning_rate"] * (clamp(e * v, 10) - hp["l2"] * w.get(k, 0.0))
            bias[0] += hp["learning_rate"] * e
        elif cls is core.BayesianLinearRegression:
            e, beta = clamp(r, 10), hp["beta"]
            bias[1] += beta
            bias[0] += beta / bias[1] * e
            for k, v in x.items():
                extra[k] = extra.get(k, hp["alpha"]) + beta * v * v
                w[k] = w.get(k, 0.0) + clamp(e * v * beta / extra[k], 10)
        elif abs(r) > hp["epsilon"]:
            step = math.copysign(min((abs(r) - hp["epsilon"]) / (1 + sum(v * v for v in x.values())), hp["C"]), r)
            for k, v in x.items():
                w[k] = w.get(k, 0.0) + step * v
            bias[0] += step

    return predict, learn


@pytest.mark.parametrize("cls, _, hp", REGRESSORS, ids=[c[0].__name__ for c in REGRESSORS])
def test_regressors_follow_their_learning_rules(cls, _, hp):
    model = cls(**hp)
    predict, learn = reference_regressor(cls, hp)
    for i, (x, y) in enumerate(stream(400, seed=12, regression=True)):
        if i % 20 == 0:
            assert model.predict_one(x) == pytest.approx(predict(x), rel=1e-9, abs=1e-12)
        model.learn_one(x, y)
        learn(x, y)
