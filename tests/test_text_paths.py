"""The same rows, with text features, text labels and missing cells, through every path: the
per-sample helper, the readers, tarvo.batch, the scikit-learn wrapper and the command line give
the same samples, the same saved model and the same predictions."""

from __future__ import annotations

import math
import pickle

import numpy as np
import pytest

import _tarvo_core as core
from tarvo import _labels, batch
from tarvo.cli import main
from tarvo.evaluate import prequential
from tarvo.stream import encode_row, iter_arrays, iter_csv, iter_frame

pytestmark = pytest.mark.skipif(batch.native is None, reason="the batch module is not built")
pd = pytest.importorskip("pandas", reason="the rows are also a pandas frame")

COLUMNS = ["tenure", "contract", "pay", "charges"]


def rows(seed: int, n: int, contracts: list[str]) -> list[tuple[dict, str]]:
    """Churn-like rows as the dicts a reader yields (missing cells left out) and their text labels."""
    rng = np.random.default_rng(seed)
    out = []
    for r in range(n):
        contract = contracts[rng.integers(len(contracts))] if r > 3 else "month"
        pay = ["card", " check", "bank transfer"][rng.integers(3)]  # spaces are dropped from categories
        x = {"tenure": float(rng.integers(1, 70)), "contract": contract, "pay": pay,
             "charges": round(float(rng.normal(60, 20)), 2)}
        for name in COLUMNS:
            if rng.random() < 0.1:
                del x[name]  # a missing cell
        churn = (contract == "month") != (rng.random() < 0.15)
        out.append((x, "yes" if churn else "no"))
    return out


TRAIN = rows(1, 400, ["month", "year", "two-year"])
TRAIN[250] = ({"tenure": 3.0, "contract": "weekly", "pay": "cash"}, "yes")  # categories first seen late
TEST = rows(2, 80, ["month", "year", "two-year", "daily"])  # "daily" is never learnt


def frame_of(samples: list[tuple[dict, str]]) -> pd.DataFrame:
    table = {name: [x.get(name) for x, _ in samples] for name in COLUMNS}
    f = pd.DataFrame({name: pd.Series(values, dtype=float if name in ("tenure", "charges") else object)
                      for name, values in table.items()})
    f["contract"] = f["contract"].astype("category")
    f["y"] = pd.Series([y for _, y in samples], dtype=object)
    return f


def csv_of(samples: list[tuple[dict, str]], path) -> None:
    lines = [",".join(COLUMNS + ["y"])]
    for x, y in samples:
        lines.append(",".join([repr(x[n]) if isinstance(x.get(n), float) else x.get(n, "") for n in COLUMNS] + [y]))
    path.write_text("\n".join(lines) + "\n")


MODELS = {
    # name: (a fresh model, the command line's options for it)
    "NaiveBayes": (core.NaiveBayes, ["--model", "NaiveBayes"]),
    "HoeffdingTreeClassifier": (lambda: core.HoeffdingTreeClassifier(grace_period=30),
                                ["--model", "HoeffdingTreeClassifier", "--param", "grace_period=30"]),
    "scaled logistic regression": (
        lambda: core.ClassificationPipeline([core.StandardScaler()], core.LogisticRegressionClassifier()),
        ["--model", "LogisticRegressionClassifier", "--scale", "standard"]),
}


def by_dicts(make, samples):
    """The per-sample path: each row through the text encoding and the label rule kept with the model."""
    model = make()
    encoded = []
    for x, y in samples:
        sample = encode_row(model, x, learn=True)
        encoded.append(sample)
        model.learn_one(sample, int(_labels.encode_for(model, np.array([y], dtype=object))[0]))
    return model, encoded


def predictions(model) -> list[str]:
    return [_labels.labels_for(model, [model.predict_one(encode_row(model, x, learn=False))])[0] for x, _ in TEST]


def native_rows(names, cols):
    n = len(cols[0])
    return [{k: c[r] for k, c in zip(names, cols) if not math.isnan(c[r])} for r in range(n)]


@pytest.mark.parametrize("name", MODELS)
def test_every_path_learns_the_same_model(name, tmp_path, capsys):
    make, options = MODELS[name]
    model, encoded = by_dicts(make, TRAIN)
    saved, answers = pickle.dumps(model), predictions(model)
    assert answers.count("yes") and answers.count("no")
    raw = [list(x.items()) for x, _ in TRAIN]
    train, test = frame_of(TRAIN), frame_of(TEST)
    X = train[COLUMNS]
    csv = tmp_path / "train.csv"
    csv_of(TRAIN, csv)

    # The readers yield the same raw samples (insertion order included) ...
    assert [list(x.items()) for x, _ in iter_frame(X)] == raw
    assert [list(x.items()) for x, _ in iter_csv(csv, "y")] == raw
    assert [list(x.items()) for x, _ in iter_arrays(X.to_numpy(dtype=object), feature_names=COLUMNS)] == raw
    # ... which a model learns as the per-sample path does.
    reader = make()
    for (x, _), (_, y) in zip(iter_frame(X), TRAIN):
        reader.learn_one(encode_row(reader, x, learn=True), int(_labels.encode_for(reader, np.array([y], dtype=object))[0]))
    assert pickle.dumps(reader) == saved

    # tarvo.batch: the rows it hands the native side are the same samples.
    fresh = make()
    names, cols = batch._encoded(fresh, *batch._features(X, None)[:2], 0, len(X), True)
    assert [list(r.items()) for r in native_rows(names, cols)] == [list(e.items()) for e in encoded]
    fast = make()
    batch.learn_many(fast, X, train["y"])
    assert pickle.dumps(fast) == saved
    assert batch.predict_many(fast, test[COLUMNS]).tolist() == answers
    assert batch.predict_many(pickle.loads(saved), test[COLUMNS]).tolist() == answers

    # The scikit-learn wrapper numbers labels by classes_, so only its predictions compare.
    sk = pytest.importorskip("tarvo.sklearn", reason="scikit-learn is not installed")
    wrapped = sk.OnlineClassifier(make()).fit(X, train["y"])
    assert wrapped.predict(test[COLUMNS]).tolist() == answers

    # The command line: test-then-train leaves the model learning alone leaves.
    path = tmp_path / "model.pkl"
    assert main(["evaluate", "--no-progress", "--no-drift", "--data", str(csv), "--target", "y", *options,
                 "--save", str(path)]) == 0
    assert "warning" not in capsys.readouterr().err
    with open(path, "rb") as fh:
        loaded = pickle.load(fh)
    assert pickle.dumps(loaded) == saved
    assert predictions(loaded) == answers

    # tarvo.evaluate over a reader: the Python loop encodes as the batch loop does.
    one, two = make(), make()
    slow = prequential(one, iter_frame(train, "y"), None, progress=False)
    ints = _labels.ClassLabels().encode(train["y"].to_numpy())
    fast_result = batch.prequential(two, X, ints, metrics=None, detector=False)
    assert slow.n_samples == fast_result.n_samples == len(TRAIN)
    assert pickle.dumps(one) == pickle.dumps(two)


def test_the_scikit_learn_wrappers_learn_text_columns_afresh_and_name_their_indicators():
    sk = pytest.importorskip("tarvo.sklearn", reason="scikit-learn is not installed")
    from sklearn.base import clone

    train = frame_of(TRAIN)
    X = train[COLUMNS].assign(pay=train["pay"].astype("string"))
    scaler = sk.OnlineTransformer(core.StandardScaler()).fit(X)
    names = scaler.get_feature_names_out().tolist()
    assert names == ["tenure", "contract=month", "contract=two-year", "contract=year", "contract=weekly",
                     "pay=check", "pay=card", "pay=bank transfer", "pay=cash", "charges"]
    Z = scaler.transform(frame_of(TEST)[COLUMNS])
    assert Z.shape == (len(TEST), len(names))
    model = core.NaiveBayes()
    batch.learn_many(model, X.iloc[:50], train["y"].iloc[:50])  # categories of its own
    fitted = clone(sk.OnlineClassifier(model)).fit(X.iloc[:5], train["y"].iloc[:5])
    learnt = _text_features_of(fitted.model_)
    assert set(learnt["contract"]) == {x["contract"] for x, _ in TRAIN[:5] if "contract" in x}
    assert set(learnt["pay"]) == {x["pay"].strip() for x, _ in TRAIN[:5] if "pay" in x}


def _text_features_of(model):
    from tarvo._text_features import of_model

    return of_model(model, create=False).categories


@pytest.mark.parametrize(("drop", "warned"), [
    ([], True),
    (["--drop", "id"], False),
    (["--drop", "id,pay"], False),
    (["--drop", "id", "--drop", "pay"], False),
])
def test_the_command_line_names_an_identifier_column_in_one_line(tmp_path, capsys, drop, warned):
    csv = tmp_path / "ids.csv"
    csv.write_text("id,pay,y\n" + "".join(f"C{i:05d},{['card', 'cash'][i % 2]},{i % 3 == 0}\n" for i in range(300)))
    out_json = tmp_path / "out.json"
    assert main(["evaluate", "--no-progress", "--data", str(csv), "--target", "y", "--model", "NaiveBayes",
                 *drop, "--json", str(out_json)]) == 0
    err = capsys.readouterr().err
    line = ("warning: the text feature 'id' has a new value in each of its first 100 rows: an identifier, which "
            "becomes a feature per value; leave it out (drop=['id'], or --drop id)\n")
    assert err == (line if warned else "")
    import json

    params = json.loads(out_json.read_text())["data"]["params"]
    assert params["drop"] == [name for option in drop[1::2] for name in option.split(",")]


@pytest.mark.parametrize("delay", [None, 3])
@pytest.mark.parametrize("name", ["NaiveBayes", "scaled logistic regression"])
def test_evaluate_turns_to_the_encoding_at_the_first_text_value(name, delay):
    make = MODELS[name][0]
    samples = [({k: v for k, v in x.items() if k not in ("contract", "pay")}, y) for x, y in TRAIN[:20]] + TRAIN[20:]
    ints = _labels.ClassLabels().encode(np.array([y for _, y in samples], dtype=object))
    slow, fast = make(), make()
    a = prequential(slow, ((x, int(c)) for (x, _), c in zip(samples, ints)), None, progress=False, delay=delay)
    f = frame_of(samples)
    b = batch.prequential(fast, f[COLUMNS], ints, metrics=None, detector=False, delay=delay)
    assert a.n_samples == b.n_samples == len(samples)
    assert pickle.dumps(slow) == pickle.dumps(fast)
    with pytest.raises(TypeError):  # a refusal that is not about text stays the model's
        prequential(make(), [({"a": [1.0]}, 0)], None, progress=False)
