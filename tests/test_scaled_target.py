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
from tarvo import batch, evaluate

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


AROUND = {
    "wrapper": lambda: Wrapper(core.RegressionPipeline([core.StandardScaler()], core.LinearRegression())),
    # the pipelines' steps learn nothing either: the wrapper below them refuses first
    "pipelines around it": lambda: core.RegressionPipeline([core.StandardScaler()], core.RegressionPipeline(
        [core.MinMaxScaler()], Wrapper(core.LinearRegression()))),
}


@pytest.mark.parametrize("make", AROUND.values(), ids=AROUND.keys())
@pytest.mark.parametrize("target, error", BAD_TARGETS, ids=[repr(t)[:12] for t, _ in BAD_TARGETS])
def test_a_target_that_would_poison_the_statistics_is_refused_and_changes_nothing(target, error, make):
    model = make()
    model.learn_one({"a": 1.0}, 10.0)
    model.learn_one({"a": 2.0}, 30.0)
    before = pickle.dumps(model)
    with pytest.raises(error, match="target|incompatible"):
        model.learn_one({"a": 3.0}, target)
    assert pickle.dumps(model) == before
    model.learn_one({"a": 3.0}, 1e150)  # large but its square is finite: learnt
    assert model.predict_one({"a": 3.0}) > 1e149


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

    with pytest.warns(evaluate.TargetScaleWarning, match="LinearRegression meets a target"):
        plain = r2(core.RegressionPipeline([core.StandardScaler()], core.LinearRegression()))
    scaled = r2(core.RegressionPipeline([core.StandardScaler()], Wrapper(core.LinearRegression())))
    assert plain < 0 and scaled >= 0.9, (plain, scaled)


# ---------------------------------------------------------------- the warning, and the command line

WARNED = {
    "LinearRegression": (lambda: core.LinearRegression(), "LinearRegression"),
    "BayesianLinearRegression": (lambda: core.BayesianLinearRegression(), "BayesianLinearRegression"),
    "PassiveAggressiveRegressor in nested pipelines": (lambda: core.RegressionPipeline(
        [core.StandardScaler()], core.RegressionPipeline([], core.PassiveAggressiveRegressor())),
        "PassiveAggressiveRegressor"),
    "wrapped": (lambda: core.RegressionPipeline([core.StandardScaler()], Wrapper(core.LinearRegression())), None),
    "a tree": (lambda: core.HoeffdingTreeRegressor(), None),
}
# How each path meets the rows: the two batch functions and the evaluation of a stream of dicts.
PATHS = {
    "learn_many": lambda m, X, y: batch.learn_many(m, X, y, columns=["area", "rooms", "age"]),
    "batch.prequential": lambda m, X, y: batch.prequential(m, X, y, columns=["area", "rooms", "age"]),
    "evaluate.prequential": lambda m, X, y: evaluate.prequential(
        m, ((dict(zip(["area", "rooms", "age"], r)), t) for r, t in zip(X.tolist(), y.tolist())), None,
        progress=False),
}


@pytest.mark.parametrize("path", PATHS.values(), ids=PATHS.keys())
@pytest.mark.parametrize("make, learner", WARNED.values(), ids=WARNED.keys())
def test_a_linear_regressor_meeting_a_large_target_is_warned_once(path, make, learner):
    import warnings

    from tarvo.evaluate import TargetScaleWarning

    X, price = house_prices(1_500)
    for targets, expected in ((price, learner), (price / 1e5, None)):  # sd 1.6e5, then 1.6
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            path(make(), X, targets)
        said = [str(w.message) for w in caught if issubclass(w.category, TargetScaleWarning)]
        if expected is None:
            assert said == []
        else:
            assert len(said) == 1 and "\n" not in said[0], said
            assert said[0].startswith(f"{expected} meets a target whose standard deviation over the first 1,000 rows")
            assert "ScaledTargetRegressor" in said[0] and "--scale-target" in said[0]


def test_only_the_first_thousand_targets_count():
    import warnings

    X, price = house_prices(1_200)
    targets = np.where(np.arange(1_200) < 1_000, price / 1e5, price)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        batch.learn_many(core.LinearRegression(), X, targets)


def _cli(capsys, *args):
    from tarvo.cli import main

    try:
        status = main(["evaluate", "--no-progress", "--no-drift", *args])
    except SystemExit as exc:
        status = exc.code
    out = capsys.readouterr()
    return status, out.out, out.err


@pytest.fixture
def houses(tmp_path):
    X, price = house_prices(4_000)
    path = tmp_path / "houses.csv"
    path.write_text("area,rooms,age,price\n" + "".join(
        f"{a:.1f},{int(r)},{g:.0f},{p:.0f}\n" for (a, r, g), p in zip(X, price)))
    return str(path)


def test_the_command_line_warns_and_scale_target_wraps_every_regressor(capsys, tmp_path, houses):
    import json

    models = ["--model", "LinearRegression", "--scale", "standard", "--model", "HoeffdingTreeRegressor"]
    status, out, err = _cli(capsys, *models, "--data", houses, "--target", "price")
    assert status == 0 and err.count("\n") == 1
    assert err.startswith("warning: --model StandardScaler | LinearRegression: LinearRegression meets a target")
    assert err.rstrip().endswith("add --scale-target to learn the standardised target")

    report = tmp_path / "out.json"
    status, out, err = _cli(capsys, *models, "--data", houses, "--target", "price", "--scale-target",
                            "--json", str(report), "--save", str(tmp_path / "m.pkl"))
    assert status == 0 and err == ""
    assert "StandardScaler | LinearRegression [scaled target]" in out and "HoeffdingTreeRegressor [scaled target]" in out
    results = json.loads(report.read_text())["results"]
    assert [r["scale_target"] for r in results] == [True, True]
    assert results[0]["repr"].startswith("ScaledTargetRegressor(regressor=RegressionPipeline(steps=[StandardScaler(")
    assert results[0]["final"]["r2"] >= 0.9

    # A saved wrapper is loaded as it is: --scale-target leaves a loaded learner alone.
    saved = str(tmp_path / "m-StandardScaler___LinearRegression__scaled_target.pkl")
    status, out, err = _cli(capsys, "--load", saved, "--data", houses, "--target", "price", "--scale-target",
                            "--json", str(report))
    assert status == 0 and err == ""
    (loaded,) = json.loads(report.read_text())["results"]
    assert loaded["scale_target"] is False and loaded["repr"].startswith("ScaledTargetRegressor(regressor=Regr")

    # A loaded linear regressor without the wrapper is warned about too, once, in one line.
    status, _, err = _cli(capsys, "--model", "LinearRegression", "--data", houses, "--target", "price",
                          "--samples", "50", "--save", str(tmp_path / "plain.pkl"))
    assert status == 0 and err.startswith("warning: --model LinearRegression: LinearRegression meets")
    status, _, err = _cli(capsys, "--load", str(tmp_path / "plain.pkl"), "--data", houses, "--target", "price",
                          "--jobs", "2")
    assert status == 0 and err.count("\n") == 1
    assert err.startswith(f"warning: --load {tmp_path / 'plain.pkl'}: LinearRegression meets a target")


def test_scale_target_is_for_regressors(capsys):
    status, _, err = _cli(capsys, "--model", "NaiveBayes", "--data", "sea", "--samples", "100", "--scale-target")
    assert status == 2 and "--scale-target applies to regressors, not to the classifiers" in err


def test_list_names_the_target_wrapper(capsys):
    from tarvo.cli import main

    assert main(["list"]) == 0
    listed = capsys.readouterr().out
    assert "--scale-target" in listed and "ScaledTargetRegressor" in listed
    assert main(["list", "ScaledTargetRegressor"]) == 0
    assert "--scale-target wraps every regression --model" in capsys.readouterr().out
