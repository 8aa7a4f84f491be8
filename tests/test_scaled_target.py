"""ScaledTargetRegressor: the regressor inside learns the standardised target, the wrapper answers in
the original units. Worked examples of the formula and of the first targets, refused targets,
pickling with shared regressors, nesting, and the figure it exists for: a linear model on house
prices."""

from __future__ import annotations

import copy
import math
import pickle

import numpy as np
import pytest

import _tarvo_core as core
import _tarvo_extra as extra
from tarvo import batch

Wrapper = extra.ScaledTargetRegressor


def nearest() -> core.KNNRegressor:
    """An inner regressor that answers, for a sample it has learnt, exactly the target it learnt."""
    return core.KNNRegressor(n_neighbors=1)


# Each stream of targets, learnt at x = {"a": k} for the k-th target.
STREAMS = {
    "spread from the second": [100.0, 300.0, 200.0],
    "equal targets keep scale 1": [5.0, 5.0, 5.0, 9.0],
    "prices": [312_000.0, 198_500.0, 455_250.0, 287_000.0, 301_100.0],
    "negative and tiny": [-1e-3, 2e-3, -4e-3, 0.0],
}


@pytest.mark.parametrize("targets", STREAMS.values(), ids=STREAMS.keys())
def test_the_regressor_learns_the_standardised_target_with_the_statistics_that_include_it(targets):
    model = Wrapper(nearest())
    for k, y in enumerate(targets):
        model.learn_one({"a": float(k)}, y)
        seen = np.array(targets[: k + 1])
        mean, sd = seen.mean(), seen.std()  # the population standard deviation
        scale = sd if sd > 0 else 1.0
        assert model.n_targets == k + 1
        assert model.target_mean == pytest.approx(mean, rel=1e-12, abs=1e-15)
        assert model.target_sd == pytest.approx(sd, rel=1e-12, abs=1e-15)
        learnt = model.regressor.predict_one({"a": float(k)})
        assert learnt == pytest.approx((y - mean) / scale, rel=1e-9, abs=1e-12)
        # predict_one maps the regressor's answer back: mean + scale * answer
        for j in range(k + 1):
            inner = model.regressor.predict_one({"a": float(j)})
            assert model.predict_one({"a": float(j)}) == model.target_mean + (
                model.target_sd if model.target_sd > 0 else 1.0) * inner


def test_worked_example():
    model = Wrapper(nearest())
    model.learn_one({"a": 0.0}, 100.0)  # one target: mean 100, sd 0, so scale 1: learnt as 0.0
    assert (model.target_mean, model.target_sd, model.regressor.predict_one({"a": 0.0})) == (100.0, 0.0, 0.0)
    assert model.predict_one({"a": 0.0}) == 100.0
    model.learn_one({"a": 1.0}, 300.0)  # mean 200, sd 100: learnt as (300 - 200) / 100 = 1.0
    assert (model.target_mean, model.target_sd, model.regressor.predict_one({"a": 1.0})) == (200.0, 100.0, 1.0)
    assert model.predict_one({"a": 1.0}) == 300.0
    assert model.predict_one({"a": 0.0}) == 200.0  # the first target was learnt as 0.0 = the mean then


def test_untrained_it_answers_what_its_regressor_answers():
    inner = core.LinearRegression(learning_rate=0.1)
    for k in range(20):
        inner.learn_one({"a": float(k % 3)}, 2.0)
    model = Wrapper(inner)
    assert model.predict_one({"a": 1.0}) == inner.predict_one({"a": 1.0}) != 0.0
    assert (model.n_targets, model.target_mean, model.target_sd) == (0, 0.0, 0.0)


BAD_TARGETS = [(math.nan, ValueError), (math.inf, ValueError), (-math.inf, ValueError), (1e300, ValueError),
               (-1e200, ValueError), ("1", TypeError), (None, TypeError), (10**400, TypeError)]


@pytest.mark.parametrize("target, error", BAD_TARGETS, ids=[repr(t)[:12] for t, _ in BAD_TARGETS])
def test_a_target_that_would_poison_the_statistics_is_refused_and_changes_nothing(target, error):
    model = Wrapper(core.RegressionPipeline([core.StandardScaler()], core.LinearRegression()))
    model.learn_one({"a": 1.0}, 10.0)
    model.learn_one({"a": 2.0}, 30.0)
    before = pickle.dumps(model)
    with pytest.raises(error, match="target|incompatible"):
        model.learn_one({"a": 3.0}, target)
    assert pickle.dumps(model) == before
    model.learn_one({"a": 3.0}, 1e150)  # large but its square is finite: learnt
    assert model.target_mean > 1e149


@pytest.mark.parametrize("given, message", [
    (None, "regressor is None"),
    (core.NaiveBayes(), "is a NaiveBayes, not an IRegressor"),
    (core.StandardScaler(), "is a StandardScaler, not an IRegressor"),
    (core.LinearRegression.__new__(core.LinearRegression), "never constructed"),
    (3.0, "is a float, not an IRegressor"),
])
def test_the_constructor_takes_only_a_constructed_regressor(given, message):
    with pytest.raises(TypeError, match=message):
        Wrapper(given)


def test_reset_forgets_the_statistics_and_resets_the_regressor():
    used, fresh = Wrapper(core.LinearRegression()), Wrapper(core.LinearRegression())
    for k in range(50):
        used.learn_one({"a": float(k)}, 1000.0 * k)
    used.reset()
    assert pickle.dumps(used) == pickle.dumps(fresh)


def test_pickle_keeps_the_regressor_shared_and_copies_share_nothing():
    inner = core.RegressionPipeline([core.StandardScaler()], core.LinearRegression())
    model = Wrapper(inner)
    rng = np.random.default_rng(1)
    for x in rng.normal(size=(200, 2)):
        model.learn_one({"a": x[0], "b": x[1]}, 5e4 * x[0] + 1e5)
    probe = {"a": 0.3, "b": -1.0}
    inner2, model2 = pickle.loads(pickle.dumps((inner, model)))
    assert model2.regressor is inner2 and model2.predict_one(probe) == model.predict_one(probe)
    for clone in (copy.copy(model), copy.deepcopy(model), pickle.loads(pickle.dumps(model))):
        assert clone.regressor is not inner and pickle.dumps(clone) == pickle.dumps(model)
        clone.learn_one(probe, 1.0)
        assert pickle.dumps(clone) != pickle.dumps(model)
    assert repr(model) == ("ScaledTargetRegressor(regressor=RegressionPipeline(steps=[StandardScaler(with_std=True)], "
                           "learner=LinearRegression(learning_rate=0.01, l2=0.0)))")


def _record(model: Wrapper) -> bytes:
    return model.__getstate__()[0]


@pytest.mark.parametrize("state, error, message", [
    ((b"", core.LinearRegression()), ValueError, "cannot load|ScaledTargetRegressor"),
    (None, TypeError, r"\(bytes, regressor\) tuple"),
    (("x", core.LinearRegression()), TypeError, r"\(bytes, regressor\) tuple"),
    ((None, core.LinearRegression(), 1), TypeError, r"\(bytes, regressor\) tuple"),
    (lambda: (_record(Wrapper(core.LinearRegression())), core.NaiveBayes()), TypeError, "not an IRegressor"),
    # a record saved around a plain regressor does not match one around a pipeline
    (lambda: (_record(Wrapper(core.LinearRegression())), core.RegressionPipeline([], core.LinearRegression())),
     ValueError, "does not match"),
])
def test_a_bad_saved_state_is_refused(state, error, message):
    state = state() if callable(state) else state
    blank = Wrapper.__new__(Wrapper)
    with pytest.raises(error, match=message):
        blank.__setstate__(state)


def test_a_corrupted_record_is_refused():
    model = Wrapper(core.LinearRegression())
    model.learn_one({"a": 1.0}, 3.0)
    record, inner = model.__getstate__()
    for at in range(len(record)):
        damaged = bytearray(record)
        damaged[at] ^= 0x10
        with pytest.raises(ValueError):
            Wrapper.__new__(Wrapper).__setstate__((bytes(damaged), inner))


def test_wrappers_and_pipelines_nest_at_most_100_deep():
    model = core.LinearRegression()
    for level in range(100):
        model = Wrapper(model) if level % 2 == 0 else core.RegressionPipeline([], model)
    model.learn_one({"a": 1.0}, 5.0)
    assert pickle.loads(pickle.dumps(model)).predict_one({"a": 1.0}) == model.predict_one({"a": 1.0})
    for outer in (Wrapper, lambda m: core.RegressionPipeline([], m)):
        with pytest.raises(ValueError, match="at most 100 deep"):
            outer(model)


def house_prices(n: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Area in square metres, rooms and age; price about 2,500 per square metre plus noise."""
    rng = np.random.default_rng(seed)
    area = rng.uniform(40, 250, n)
    rooms = np.round(area / 30 + rng.normal(0, 0.7, n)).clip(1, None)
    age = rng.uniform(0, 80, n)
    price = 2_500 * area + 4_000 * rooms - 600 * age + 50_000 + rng.normal(0, 20_000, n)
    return np.column_stack([area, rooms, age]), price


def test_a_linear_model_learns_house_prices_behind_the_wrapper():
    X, price = house_prices(5_000)
    columns = ["area", "rooms", "age"]

    def r2(model) -> float:
        result = batch.prequential(model, X, price, columns=columns, metrics={"r2": core.R2()})
        return result.final["r2"]

    plain = r2(core.RegressionPipeline([core.StandardScaler()], core.LinearRegression()))
    scaled = r2(core.RegressionPipeline([core.StandardScaler()], Wrapper(core.LinearRegression())))
    assert plain < 0 and scaled >= 0.9, (plain, scaled)
