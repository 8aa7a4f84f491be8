"""Text features as indicators over the categories learnt so far: the per-sample helper's worked
example, tarvo.batch equal to it bit for bit on frames with text, string and category columns,
and the categories kept with the model through pickle and copy."""

from __future__ import annotations

import copy
import math
import pickle
import warnings

import numpy as np
import pytest

import _tarvo_core as core
from tarvo import batch
from tarvo._text_features import IDENTIFIER_CATEGORIES, encode_row

pytestmark = pytest.mark.skipif(batch.native is None, reason="the batch module is not built")
pd = pytest.importorskip("pandas", reason="the frames have pandas columns")


def test_the_encoding_worked_through():
    model = core.NaiveBayes()
    assert encode_row(model, {"a": 1.0, "plan": "pro", "b": 2.0}, learn=False) == {"a": 1.0, "b": 2.0}  # nothing learnt
    first = encode_row(model, {"a": 1.0, "plan": " pro ", "b": 2.0}, learn=True)
    assert list(first.items()) == [("a", 1.0), ("plan=pro", 1.0), ("b", 2.0)]
    second = encode_row(model, {"plan": "basic", "a": 3.0}, learn=True)  # added before the row is encoded
    assert list(second.items()) == [("plan=pro", 0.0), ("plan=basic", 1.0), ("a", 3.0)]
    assert encode_row(model, {"plan": "gold"}, learn=False) == {"plan=pro": 0.0, "plan=basic": 0.0}  # unseen
    assert encode_row(model, {"plan": "NA", "a": 1.0}, learn=True) == {"a": 1.0}  # missing: no indicator
    assert encode_row(model, {"plan": None, "a": 2.0}, learn=False) == {"a": 2.0}
    with pytest.raises(TypeError, match="the feature 'plan' held text, now the number 3"):
        encode_row(model, {"plan": 3}, learn=True)
    with pytest.raises(ValueError, match="makes the feature 'plan=pro', which is already a feature"):
        encode_row(model, {"plan=pro": 1.0, "plan": "pro"}, learn=False)


N = 700


def frame(seed: int) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    f = pd.DataFrame({
        "age": rng.normal(40, 10, N),
        "plan": rng.choice(["basic", "plus", "pro", None], N).astype(object),
        "city": pd.Series(rng.choice(["Oulu", "Turku", "Vaasa"], N)).astype("category"),
        "note": pd.Series(rng.choice(["x", "y", ""], N), dtype="string"),
        "calls": rng.poisson(3.0, N).astype(float),
    })
    f.loc[::11, "age"] = np.nan
    f.loc[::17, "city"] = np.nan
    f.loc[5, "plan"] = "gold"  # a category first seen late
    return f


def dicts(f: pd.DataFrame):
    for row in f.astype(object).itertuples(index=False):
        yield {k: v for k, v in zip(f.columns, row) if not (v is None or v is pd.NA or (isinstance(v, float) and math.isnan(v)))}


def target(f):
    return np.where((f["plan"] == "pro") | (f["calls"] > 4), "churn", "stay")


MODELS = {
    "NaiveBayes": core.NaiveBayes,
    "HoeffdingTreeClassifier": lambda: core.HoeffdingTreeClassifier(grace_period=40),
    "KNNClassifier": lambda: core.KNNClassifier(window_size=60),
    "pipeline": lambda: core.ClassificationPipeline([core.StandardScaler()], core.LogisticRegressionClassifier()),
    "LinearRegression": core.LinearRegression,
    "StandardScaler": core.StandardScaler,
}


def native(model):
    return pickle.dumps(type(model).__reduce_ex__(model, 2))


@pytest.mark.parametrize("name", MODELS)
def test_batch_equals_the_per_sample_helper(name):
    make = MODELS[name]
    learn, later = frame(1), frame(2)
    fast, slow = make(), make()
    kind = "transform" if name == "StandardScaler" else ("regression" if name == "LinearRegression" else "class")
    y = {"class": target(learn), "regression": learn["calls"].to_numpy() * 2.0, "transform": None}[kind]
    batch.learn_many(fast, learn, y)
    codes = batch.class_labels(fast)
    for r, x in enumerate(dicts(learn)):
        args = () if y is None else (codes(y[r]) if codes is not None else float(y[r]),)
        slow.learn_one(encode_row(slow, x, learn=True), *args)
    assert native(fast) == native(slow)
    rows = [encode_row(slow, x, learn=False) for x in dicts(later)]
    if kind == "transform":
        names, Z = batch.transform_many(fast, later)
        for r, x in enumerate(rows):
            out = slow.transform_one(x)
            assert {n: Z[r, j] for j, n in enumerate(names) if not math.isnan(Z[r, j])} == out
        return
    predicted = batch.predict_many(fast, later)
    expected = [slow.predict_one(x) for x in rows]
    assert predicted.tolist() == ([codes.label(c) for c in expected] if codes is not None else expected)
    if kind == "class":
        labels, P = batch.predict_proba_many(fast, later)
        for r, x in enumerate(rows[:50]):
            assert {codes.label(k): v for k, v in slow.predict_proba_one(x).items()} == {
                lab: P[r, j] for j, lab in enumerate(labels) if P[r, j] or lab in (codes.label(k) for k in slow.predict_proba_one(x))}
    # Test-then-train: a new category is absent when its row is predicted, present when it is learnt.
    a, b = make(), make()
    result, before = batch.prequential(a, learn, y, predictions=True, every=100)
    for r, x in enumerate(dicts(learn)):
        guess = b.predict_one(encode_row(b, x, learn=False))
        if r:
            assert (codes.label(guess) if codes is not None else guess) == before[r]
        b.learn_one(encode_row(b, x, learn=True), codes(y[r]) if codes is not None else float(y[r]))
    assert native(a) == native(b)


def test_categories_live_with_the_model():
    model = core.HoeffdingTreeClassifier(grace_period=40)
    f = frame(3)
    batch.learn_many(model, f, target(f))
    answers = batch.predict_many(model, f)
    for other in (pickle.loads(pickle.dumps(model)), copy.copy(model), copy.deepcopy(model)):
        assert batch.predict_many(other, f).tolist() == answers.tolist()
        assert encode_row(other, {"plan": "gold"}, learn=False) == encode_row(model, {"plan": "gold"}, learn=False)
    plain = core.HoeffdingTreeClassifier(grace_period=40)
    batch.learn_many(plain, f[["age", "calls"]], (f["calls"] > 4).astype(int))
    fresh = core.HoeffdingTreeClassifier(grace_period=40)
    for x, c in zip(f[["age", "calls"]].to_dict("records"), (f["calls"] > 4).astype(int)):
        fresh.learn_one({k: v for k, v in x.items() if not math.isnan(v)}, int(c))
    assert pickle.dumps(plain) == pickle.dumps(fresh)  # no text: no extra state, today's bytes


IDENTIFIER_CASES = {
    # values of the column -> the warning's reason, or None for none
    "a new value per row": ([f"id{i}" for i in range(150)], "a new value in each of its first 100 rows"),
    "many values, one repeat early": (["v0", "v0"] + [f"v{i}" for i in range(IDENTIFIER_CATEGORIES + 5)],
                                      "more than 1,000 distinct values in its first 10,000"),
    "a repeat at row 99": ([f"id{i}" for i in range(99)] + ["id0"] + [f"id{i}" for i in range(99, 400)], None),
    "a category column": ([f"c{i % 50}" for i in range(600)], None),
}


@pytest.mark.parametrize("path", ["encode_row", "learn_many"])
@pytest.mark.parametrize("case", IDENTIFIER_CASES)
def test_an_identifier_column_is_named_in_a_warning(case, path):
    values, reason = IDENTIFIER_CASES[case]
    X = np.column_stack([np.array(values, dtype=object), np.arange(len(values), dtype=float).astype(object)])
    y = np.arange(len(values)) % 2

    def learn():
        model = core.NaiveBayes()
        if path == "learn_many":
            batch.learn_many(model, X, y)
        else:
            for v, label in zip(values, y.tolist()):
                model.learn_one(encode_row(model, {"x0": v, "x1": 1.0}, learn=True), label)

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        learn()
    messages = [str(w.message) for w in seen]
    if reason is None:
        assert messages == []
    else:
        assert messages == [f"the text feature 'x0' has {reason}: an identifier, which becomes a feature per value; "
                            "leave it out (drop=['x0'], or --drop x0)"]


def test_a_column_learnt_as_text_cannot_turn_into_numbers():
    model = core.NaiveBayes()
    batch.learn_many(model, np.array([["a"], ["b"]], dtype=object), [0, 1])
    with pytest.raises(TypeError, match="column 'x0' holds numbers, and the model learnt it as a text feature"):
        batch.learn_many(model, np.array([[1.0]]), [0])


@pytest.mark.parametrize("x, error", [
    ({"colour": "blue", "colour=red": 1.0}, ValueError),  # a new category, then a name clash
    ({"colour": "blue", "size": "big", "n": "x", "colour_n": 1.0, "shape": 2.0}, TypeError),  # shape held text
])
def test_a_sample_that_cannot_be_learnt_leaves_the_categories_as_they_were(x, error):
    """A failed encoding adds nothing, so a server that refuses the row and a replay that never
    saw it keep the same categories."""
    model = core.NaiveBayes()
    model.learn_one(encode_row(model, {"colour": "red", "shape": "round"}, learn=True), 0)
    before = pickle.dumps(model)
    with pytest.raises(error):
        encode_row(model, x, learn=True)
    assert pickle.dumps(model) == before
