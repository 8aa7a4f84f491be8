"""Class labels of any type in the readers and the command line: numbers keep their value, text
labels are numbered in order of first appearance, and the numbering is shown where it matters."""

from __future__ import annotations

import json

import numpy as np
import pytest

from tarvo import NaiveBayes
from tarvo.cli import main
from tarvo.evaluate import prequential
from tarvo.stream import ClassLabels, DataError, iter_arrays, iter_csv, iter_frame

# (labels as a program holds them, the same as CSV texts, the integers learnt, the names kept)
KINDS = {
    "text": (["yes", "no", "no", "maybe", "yes"], None, [0, 1, 1, 2, 0], {0: "yes", 1: "no", 2: "maybe"}),
    "bool": ([True, False, False, True, True], ["True", "false", "FALSE", "true", "True"], [1, 0, 0, 1, 1], None),
    "int": ([3, -1, 3, 7, -1], None, [3, -1, 3, 7, -1], {3: 3, -1: -1, 7: 7}),
    "whole float": ([1.0, 0.0, 2.0, 1.0, 0.0], ["1.0", "0.0", "2", "1", "0"], [1, 0, 2, 1, 0], None),
}


def texts(kind):
    values, csv_texts, _, _ = KINDS[kind]
    return csv_texts or [str(v) for v in values]


@pytest.mark.parametrize("kind", KINDS)
def test_every_reader_learns_the_same_integers(tmp_path, kind):
    pd = pytest.importorskip("pandas", reason="iter_frame reads pandas frames")
    values, _, learnt, names = KINDS[kind]
    path = tmp_path / "data.csv"
    path.write_text("a,y\n" + "".join(f"{i},{t}\n" for i, t in enumerate(texts(kind))))
    seen = ClassLabels()
    assert [y for _, y in iter_csv(path, "y", converters={"y": seen})] == learnt
    assert [y for _, y in iter_csv(path, "y")] == learnt  # a fresh numbering by default
    X = np.arange(5.0).reshape(5, 1)
    for y in (values, np.array(values), np.array(values, dtype=object)):
        got = [label for _, label in iter_arrays(X, y)]
        assert got == learnt and all(type(v) is int for v in got)
        strict = ClassLabels()
        assert [label for _, label in iter_arrays(X, y, labels=strict)] == learnt
        assert strict.names == (names if names is not None else dict(zip(learnt, values)))
    frame = pd.DataFrame({"a": range(5), "y": values})
    assert [label for _, label in iter_frame(frame, "y")] == learnt
    if kind == "text":
        for dtype in ("category", "string"):
            assert [label for _, label in iter_frame(frame.astype({"y": dtype}), "y")] == learnt
        assert seen.names == names and seen.text is True
        assert seen.describe() == "'yes' = 0, 'no' = 1, 'maybe' = 2"
    else:
        assert seen.text is False and list(seen.names) == list(dict.fromkeys(learnt))


def test_a_learner_takes_text_labels_through_a_reader():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(400, 2))
    y = np.where(X[:, 0] > 0, "up", "down")
    labels = ClassLabels()
    result = prequential(NaiveBayes(), iter_arrays(X, y, labels=labels), None, progress=False)
    assert result.n_samples == 400 and labels.names == {0: y[0], 1: "up" if y[0] == "down" else "down"}


def test_numbers_stay_numbers_unless_they_are_all_whole():
    X = np.zeros((3, 1))
    assert [t for _, t in iter_arrays(X, np.array([0.5, 2.0, 3.0]))] == [0.5, 2.0, 3.0]
    assert [type(t) for _, t in iter_arrays(X, np.array([0.0, 2.0, 3.0]))] == [int] * 3
    assert [t for _, t in iter_arrays(X, np.array([1.0, 2.0, 3.0]), labels=False)] == [1.0, 2.0, 3.0]
    assert [t for _, t in iter_arrays(X, [2**40, 1, 2])] == [2**40, 1, 2]  # left for the learner to refuse


@pytest.mark.parametrize(("y", "labels", "message"), [
    (np.array([1.0, 2.5, 3.0]), True, "y row 1: cannot read the label 2.5 (not a whole number"),
    (np.array([1.0, np.nan, 3.0]), ClassLabels(), "y row 1: cannot read the label nan (a missing label)"),
    (np.array([1, 2**31, 3]), True, "y row 1: cannot read the label 2147483648 (class label 2147483648 is outside"),
    (["a", "b", 3], None, "y row 2: cannot read the label 3 (3 is not text, and the labels before it are texts)"),
    (["a", None, "b"], None, "y row 1: cannot read the label None (a missing label)"),
    ([1, 2, "b"], True, "y row 2: cannot read the label 'b' ('b' is not a number, and the labels before it are"),
    # The same rule the other way round: the text of a number after text labels.
    (["a", "b", "3"], None, "y row 2: cannot read the label '3' ('3' is a number, and the labels before it are texts)"),
    (["a", "a", " 2.5 "], True, "y row 2: cannot read the label ' 2.5 ' (' 2.5 ' is a number, and the labels before"),
    (np.array(["no", "yes", "True"]), None, "y row 2: cannot read the label 'True' ('True' is a number, and the"),
    (np.array(["a", "b", "c"]), False, "y text targets: a regression target must be numbers"),
])
def test_labels_that_cannot_be_read_name_their_row(y, labels, message):
    with pytest.raises(DataError) as info:
        list(iter_arrays(np.zeros((3, 1)), y, labels=labels))
    assert message in str(info.value)


def test_a_frame_names_the_target_column_in_its_errors():
    pd = pytest.importorskip("pandas", reason="iter_frame reads pandas frames")
    frame = pd.DataFrame({"a": range(1500), "y": pd.array([1] * 1499 + [None], dtype="Int64")})
    missing = r"data frame: column 'y', row 1499: cannot read the label (nan|<NA>) \(a missing label\)"
    with pytest.raises(DataError, match=missing):
        list(iter_frame(frame, "y", labels=True))
    with pytest.raises(ValueError, match="column 'y' is not numeric"):
        list(iter_frame(frame.assign(y="text"), "y", labels=False))


def test_the_text_of_a_missing_label_is_a_missing_target(tmp_path):
    path = tmp_path / "data.csv"
    path.write_text("a,y\n1,yes\n2,?\n")
    with pytest.raises(DataError, match=r"row 2 \(line 3\), column 'y': missing target"):
        list(iter_csv(path, "y"))


def run(capsys, *args):
    status = main(["evaluate", "--no-progress", *args])
    return status, capsys.readouterr().out


@pytest.mark.parametrize(("column", "shown", "in_json"), [
    (["yes", "no"], "labels of 'churned' (text labels are learnt as the numbers shown): 'yes' = 0, 'no' = 1",
     {"0": "yes", "1": "no"}),
    (["True", "False"], "labels of 'churned': 'False' = 0, 'True' = 1", {"1": "True", "0": "False"}),
    (["1.0", "0.0"], "labels of 'churned': '0.0' = 0, '1.0' = 1", {"1": "1.0", "0": "0.0"}),
    (["1", "0"], "labels of 'churned': 0, 1", {"1": "1", "0": "0"}),
])
def test_evaluate_learns_labels_of_any_type_and_names_them(capsys, tmp_path, column, shown, in_json):
    path = tmp_path / "churn.csv"
    path.write_text("age,churned\n" + "".join(f"{20 + i % 50},{column[i % 3 != 0]}\n" for i in range(300)))
    report = tmp_path / "out.json"
    status, out = run(capsys, "--model", "NaiveBayes", "--data", str(path), "--target", "churned",
                      "--json", str(report))
    assert status == 0 and shown in out.splitlines()
    doc = json.loads(report.read_text())
    assert doc["labels"] == in_json and doc["results"][0]["n_samples"] == 300
    status, _ = run(capsys, "--model", "NaiveBayes", "--data", "sea", "--samples", "500", "--json", str(report))
    assert json.loads(report.read_text())["labels"] is None


def test_a_text_regression_target_is_an_error_naming_the_column(capsys, tmp_path):
    path = tmp_path / "prices.csv"
    path.write_text("size,price\n50,100.5\n60,high\n")
    with pytest.raises(SystemExit) as info:
        run(capsys, "--model", "LinearRegression", "--data", str(path), "--target", "price")
    assert info.value.code == 2
    assert ("row 2 (line 3), column 'price': cannot convert 'high' (a regression target must be a number)"
            in capsys.readouterr().err)


def _saved(path):
    import pickle

    with open(path, "rb") as fh:
        return pickle.load(fh), pickle.load(fh)


def test_save_stores_the_numbering_with_the_learner(capsys, tmp_path):
    """A learner saved after text labels answers in text once loaded, and goes on with its own
    numbering on a file whose labels come in another order; one saved without a numbering (before
    --save stored it) learns the file's, as it did then, and keeps it from then on."""
    import pickle

    from tarvo import batch

    rows = [(i % 7, "up" if i % 7 > 3 else "down") for i in range(300)]
    first, later = tmp_path / "first.csv", tmp_path / "later.csv"
    first.write_text("a,y\n" + "".join(f"{a},{y}\n" for a, y in rows))
    later.write_text("a,y\n" + "".join(f"{a},{y}\n" for a, y in reversed(rows)))  # "up" first
    assert run(capsys, "--model", "NaiveBayes", "--data", str(first), "--target", "y", "--no-drift",
               "--save", str(tmp_path / "m.pkl"))[0] == 0
    model, record = _saved(tmp_path / "m.pkl")
    assert record["labels"] == {0: "down", 1: "up"} == batch.class_labels(model).names
    X = np.array([[1.0], [6.0]])
    assert batch.predict_many(model, X, columns=["a"]).tolist() == ["down", "up"]
    assert run(capsys, "--load", str(tmp_path / "m.pkl"), "--data", str(later), "--target", "y", "--no-drift",
               "--save", str(tmp_path / "again.pkl"))[0] == 0
    again, record = _saved(tmp_path / "again.pkl")
    assert record["labels"] == {0: "down", 1: "up"}
    assert batch.predict_many(again, X, columns=["a"]).tolist() == ["down", "up"]

    old = NaiveBayes()
    old.learn_one({"a": 1.0}, 0)  # "down", as the file numbers it
    (tmp_path / "old.pkl").write_bytes(pickle.dumps(old))
    assert run(capsys, "--load", str(tmp_path / "old.pkl"), "--data", str(first), "--target", "y", "--no-drift",
               "--save", str(tmp_path / "old-again.pkl"))[0] == 0
    loaded, record = _saved(tmp_path / "old-again.pkl")
    assert record["labels"] == {0: "down", 1: "up"}
    assert batch.predict_many(loaded, X, columns=["a"]).tolist() == ["down", "up"]
