"""User mistakes in the toolkit: one clear line naming the argument, file, row or column.

The command line ends each with exit status 2 and no traceback; the library
functions raise ``ValueError`` (``DataError`` for unreadable data) or
``TypeError`` with the same message.
"""

from __future__ import annotations

import gzip
import importlib.util
import io
import os
import subprocess
import sys

import numpy as np
import pytest

from tarvo.cli import main
from tarvo.stream import SEA, Agrawal, DataError, Friedman, Hyperplane, RandomRBF, iter_arrays, iter_csv, iter_frame

NO_MATPLOTLIB = importlib.util.find_spec("matplotlib") is None

# Files the cases refer to as {name}; {dir} is the folder holding them.
FILES = {
    "empty.csv": b"",
    "header.csv": b"a,y\n",
    "ok.csv": b"a,y\n1,0\n2,1\n",
    "binary.csv": b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR\x00\x00",
    "nul.csv": b"a\x00b,y\n1,0\n",
    "latin1.csv": b"a,y\n1,0\n2,caf\xe9\n",
    "long.csv": b"a,y\n1,0\n2,\"" + b"x" * 200_000 + b"\n3,1\n",
    "bad_value.csv": b"a,y\n" + b"1,0\n" * 1000 + b"x,1\n",  # numbers in the rows that decide, then text
    "bad_label.csv": b"a,y\n1,0\n2,yes\n",
    "notgz.csv.gz": b"a,y\n1,0\n",
    "truncated.csv.gz": (lambda whole: whole[: len(whole) // 2])(
        gzip.compress(b"a,y\n" + b"".join(b"%d,%d\n" % (i, i % 3) for i in range(20_000)))
    ),
}


WIDE_HEADER = ",".join(f"c{j}" for j in range(100_000)) + ",c7,c99998,y\n" + "1," * 100_002 + "0\n"


def fill(text, files):
    for name, path in files.items():
        text = text.replace("{" + name + "}", path)
    return text


@pytest.fixture
def files(tmp_path):
    for name, data in FILES.items():
        (tmp_path / name).write_bytes(data)
    return {"dir": str(tmp_path), **{name: str(tmp_path / name) for name in FILES}}


# (arguments of `python -m tarvo evaluate`, a fragment of the error line, whether the run starts first)
CLI_CASES = [
    # the data
    (["--data", "{empty.csv}", "--target", "y"], "empty.csv: empty file: no header row", False),
    (["--data", "{header.csv}", "--target", "y"], "header.csv: no data rows after the header", False),
    (["--data", "{binary.csv}", "--target", "y"], "binary.csv: line 1 is not UTF-8 text (byte 0x89 at offset 0)",
     False),
    (["--data", "{nul.csv}", "--target", "y"], "nul.csv: line 1 holds a NUL byte: a binary file", False),
    (["--data", "{latin1.csv}", "--target", "y"], "latin1.csv: line 3 is not UTF-8 text (byte 0xe9", False),
    (["--data", "{long.csv}", "--target", "y"], "row 2 (line 3): a field is longer than 131,072 characters", False),
    (["--data", "{bad_value.csv}", "--target", "y"],
     "bad_value.csv: row 1001 (line 1002), column 'a': cannot convert 'x' (could not convert string to float: 'x'); "
     "the column holds numbers in its first 1,000 rows (pass converters={'a': str} to read it as text); "
     "or leave the column out with --drop a", True),
    (["--data", "{bad_label.csv}", "--target", "y"], "column 'y': cannot convert 'yes' (", True),
    (["--data", "{notgz.csv.gz}", "--target", "y"], "notgz.csv.gz: not a readable gzip file", False),
    (["--data", "{truncated.csv.gz}", "--target", "y", "--samples", "99999"],
     "truncated.csv.gz: not a readable gzip file after line", True),
    (["--data", "{dir}", "--target", "y"], "is a directory, not a CSV file", False),
    (["--data", "seaa"], "no stream named 'seaa' (did you mean sea?) and no such file; streams: sea,", False),
    (["--data", "{ok.csv}"], "--target is needed with a CSV file", False),
    (["--data", "{ok.csv}", "--target", "label"], "target column 'label' not among the columns ('a', 'y')", False),
    (["--data", "{ok.csv}", "--target", "y", "--drop", "zz"], "dropped column 'zz' not among", False),
    (["--data", "{ok.csv}", "--target", "y", "--data-param", "noise=0"], "--data-param applies to a synthetic", False),
    (["--data", "sea", "--target", "y"], "--target and --drop apply to a CSV file, not to the sea stream", False),
    # numbers out of range
    (["--window", "0"], "--window must be between 1 and 2,147,483,647, got 0", False),
    (["--window", "2147483648"], "--window must be between 1 and 2,147,483,647, got 2,147,483,648", False),
    (["--drift-delta", "-0.1"], "--drift-delta must be a number in (0, 1], got -0.1", False),
    (["--drift-delta", "nan"], "--drift-delta must be a number in (0, 1], got nan", False),
    (["--every", "0"], "--every must be at least 1", False),
    (["--window", "1.5"], "argument --window: invalid int value: '1.5'", False),
    (["--samples", "0"], "--samples must be at least 1, got 0", False),
    (["--seed", "-1"], "--seed must be at least 0, got -1", False),
    # learners and their parameters
    (["--model", "NoSuchLearner"], "--model NoSuchLearner: no such learner; learners: ", False),
    (["--model", "NaiveBayse"], "no such learner (did you mean NaiveBayes?)", False),
    (["--model", "NaiveBayes", "--param", "no_such=1"], "NaiveBayes has no parameter 'no_such'; it takes no parameters",
     False),
    (["--model", "HoeffdingTreeClassifier", "--param", "grace_perod=5"],
     "(did you mean grace_period?); it takes grace_period=200, split_confidence=1e-07,", False),
    (["--model", "HoeffdingTreeClassifier", "--param", "grace_period=2147483648"],
     "--param grace_period=2147483648: out of range: a 32-bit integer", False),
    (["--model", "HoeffdingTreeClassifier", "--param", "grace_period=2.5"], "grace_period=2.5: an integer is needed",
     False),
    (["--model", "HoeffdingTreeClassifier", "--param", "tie_threshold=1e999"], "a finite number is needed", False),
    (["--model", "HoeffdingTreeClassifier", "--param", "split_criterion=3"], "split_criterion=3: a text is needed",
     False),
    (["--param", "a=1", "--model", "NaiveBayes"], "--param must follow the --model", False),
    (["--model", "NaiveBayes", "--param", "novalue"], "expected KEY=VALUE", False),
    (["--model", "NaiveBayes", "--data", "friedman"], "a regression stream needs regression learners", False),
    (["--scale", "standard", "--model", "NaiveBayes"], "--scale must follow the --model", False),
    (["--model", "NaiveBayes", "--scale", "z"], "argument --scale: invalid choice: 'z' (choose from 'standard',",
     False),
    (["--model", "NaiveBayes", "--scale", "minmax", "--scale", "maxabs"], "--scale given twice for --model NaiveBayes",
     False),
    # generator parameters
    (["--data", "sea", "--data-param", "concepts=9"], "--data sea: unknown concept(s) [9]", False),
    (["--data", "sea", "--data-param", "colour=red"],
     "the sea stream has no parameter 'colour'; its parameters: concepts, drift_at, noise", False),
    (["--data", "sea", "--data-param", "noise=abc"], "--data sea: noise must be a number, got 'abc'", False),
    (["--data", "sea", "--data-param", "drift_at=-5", "--data-param", "concepts=1,2"], "drift_at must be at least 0",
     False),
    (["--data", "hyperplane", "--data-param", "n_features=1.5"], "n_features must be an integer, got 1.5", False),
    (["--data", "hyperplane", "--data-param", "n_features=10000000"], "n_features must be at most 100,000", False),
    (["--data", "rbf", "--data-param", "n_centroids=100000", "--data-param", "n_features=1000"],
     "n_centroids * n_features must be at most 10,000,000", False),
    (["--data", "rbf", "--data-param", "n_classes=2147483648"], "n_classes must be at most 2,147,483,647", False),
    # outputs, checked before the run
    (["--json", "{dir}/missing/out.json"], "--json {dir}/missing/out.json: no such directory", False),
    (["--json", "{dir}"], "--json {dir}: is a directory", False),
    pytest.param(["--plot", "{dir}/curve.xyz"], "cannot write .xyz files", False,
                 marks=pytest.mark.skipif(NO_MATPLOTLIB, reason="needs matplotlib")),
    pytest.param(["--plot", "{dir}/missing/curve.png"], "no such directory", False,
                 marks=pytest.mark.skipif(NO_MATPLOTLIB, reason="needs matplotlib")),
]


@pytest.mark.parametrize(("args", "fragment", "runs_first"), CLI_CASES)
def test_command_line_mistakes_end_in_one_line_and_status_2(capsys, files, args, fragment, runs_first):
    argv = [fill(a, files) for a in args]
    with pytest.raises(SystemExit) as info:
        main(["evaluate", "--no-progress", "--samples", "500", *argv])
    out, err = capsys.readouterr()
    assert info.value.code == 2
    lines = err.splitlines()
    assert len(lines) == 1 and lines[0].startswith("python -m tarvo evaluate: error: "), err
    assert fill(fragment, files) in lines[0]
    assert ("Prequential evaluation" in out) is runs_first  # everything that can be checked first is


def test_a_model_error_during_the_run_names_the_model(capsys, monkeypatch):
    from tarvo import learners

    class Fussy:
        def predict_one(self, x):
            return 0.0

        def learn_one(self, x, y):
            raise ValueError("learning_rate must be finite\nmore detail")

    monkeypatch.setitem(learners.LEARNERS, "Fussy", Fussy)
    with pytest.raises(SystemExit) as info:
        main(["evaluate", "--no-progress", "--model", "Fussy", "--data", "friedman", "--samples", "50"])
    assert info.value.code == 2
    assert capsys.readouterr().err == "python -m tarvo evaluate: error: --model Fussy: learning_rate must be finite\n"


def test_the_process_exits_2_with_one_line_and_no_traceback(files):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-m", "tarvo", "evaluate", "--data", files["binary.csv"], "--target", "y"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1 and "Traceback" not in done.stderr
    assert "binary.csv: line 1 is not UTF-8 text" in done.stderr


# (a call of a library function, the exception, a fragment of its message)
LIBRARY_CASES = [
    # iter_arrays
    (lambda f: iter_arrays(5), TypeError, "X must be a 2-D array or a sequence of rows, not int"),
    (lambda f: iter_arrays("1,2"), TypeError, "X must be a 2-D array or a sequence of rows, not str"),
    (lambda f: iter_arrays(np.zeros(3)), ValueError, "X must be 2-D (one row per sample), got an array of shape (3,)"),
    (lambda f: iter_arrays(np.zeros((2, 2, 2))), ValueError, "got an array of shape (2, 2, 2)"),
    (lambda f: iter_arrays(np.array([["2024-01-01"]], dtype="datetime64[D]")), TypeError,
     "X holds datetime64[D] values: iter_arrays needs numbers or text"),
    (lambda f: list(iter_arrays([[1.0, {}]], [0])), TypeError, "X row 0, column 'x1': {} is not a number"),
    (lambda f: iter_arrays(np.array([[1.0, "x", {}]], dtype=object)), TypeError,
     "X: column 'x2' holds values that are neither numbers nor text"),
    (lambda f: iter_arrays([1.0, 2.0]), TypeError, "X row 0 is not a sequence of values: 1.0"),
    (lambda f: list(iter_arrays([[1.0], 2.0])), TypeError, "X row 1 is not a sequence of values: 2.0"),
    (lambda f: list(iter_arrays([[1.0, 2.0], [3.0]], [0, 1])), ValueError, "X row 1 has 1 values, expected 2"),
    (lambda f: iter_arrays([[1.0]], 3), TypeError, "y must be a sequence of targets, not int"),
    (lambda f: iter_arrays(np.zeros((2, 1)), np.zeros((2, 1))), ValueError, "y must be 1-D"),
    (lambda f: iter_arrays([[1.0, 2.0]], [0, 1]), ValueError, "X has 1 rows but y has 2 values"),
    (lambda f: iter_arrays([[1.0, 2.0]], [0], ["a"]), ValueError, "1 feature names for 2 columns"),
    (lambda f: iter_arrays([[1.0, 2.0]], [0], ["a", "a"]), ValueError, "feature names must be unique"),
    (lambda f: iter_arrays([[1.0]], [0], "a"), TypeError, "feature_names must be a sequence of strings, not one"),
    (lambda f: iter_arrays([[1.0]], [0], [1]), TypeError, "feature names must be strings: 1 at position 0"),
    # iter_frame
    (lambda f: iter_frame([[1.0]]), TypeError, "iter_frame needs a pandas DataFrame, not list"),
    (lambda f: iter_frame(np.zeros((2, 2))), TypeError, "iter_frame needs a pandas DataFrame, not ndarray"),
    # iter_csv
    (lambda f: list(iter_csv(f["empty.csv"], "y")), DataError, "empty.csv: empty file: no header row"),
    (lambda f: list(iter_csv(f["binary.csv"], "y")), DataError, "binary.csv: line 1 is not UTF-8 text (byte 0x89"),
    (lambda f: list(iter_csv(f["latin1.csv"], "y")), DataError, "latin1.csv: line 3 is not UTF-8 text (byte 0xe9"),
    (lambda f: list(iter_csv(f["long.csv"], "y")), DataError, "row 2 (line 3): a field is longer than"),
    (lambda f: list(iter_csv(f["truncated.csv.gz"], "y")), DataError, "not a readable gzip file after line"),
    (lambda f: list(iter_csv(f["ok.csv"], "y", converters={"a": 5})), TypeError, "the converter of column 'a' is not"),
    # 100,000 columns, two names twice: found in one pass over the header (it took minutes).
    (lambda f: list(iter_csv(io.StringIO(WIDE_HEADER), "y")), DataError,
     "<stream>: duplicated column names 'c7', 'c99998'"),
    # generators
    (lambda f: SEA(-1), ValueError, "n_samples must be at least 0, got -1"),
    (lambda f: SEA(1.5), TypeError, "n_samples must be an integer, got 1.5"),
    (lambda f: SEA(10, seed=-1), ValueError, "seed must be at least 0"),
    (lambda f: SEA(10, noise=1.5), ValueError, "noise must be in [0, 1], got 1.5"),
    (lambda f: SEA(10, noise="abc"), TypeError, "noise must be a number, got 'abc'"),
    (lambda f: SEA(10, concepts=(5,)), ValueError, "unknown concept(s) [5]: valid ones are [1, 2, 3, 4]"),
    (lambda f: SEA(10, concepts=()), ValueError, "concepts must name at least one concept"),
    (lambda f: SEA(10, concepts="12"), TypeError, "concepts must be a sequence of integers, got '12'"),
    (lambda f: SEA(10, concepts=(1, 2), drift_at=()), ValueError, "2 concepts need 1 drift positions, got 0"),
    (lambda f: SEA(10, concepts=(1, 2, 3), drift_at=(6, 5)), ValueError, "drift_at must be in increasing order"),
    (lambda f: SEA(10, concepts=(1, 2), drift_at=(-5,)), ValueError, "drift_at must be at least 0, got -5"),
    (lambda f: Agrawal(10, concepts=(0,)), ValueError, "unknown concept(s) [0]"),
    (lambda f: Agrawal(10, perturbation=True), TypeError, "perturbation must be a number, got True"),
    (lambda f: Hyperplane(10, n_features=2, n_drift_features=3), ValueError, "n_drift_features (3) exceeds n_features"),
    (lambda f: Hyperplane(10, n_features=10**6), ValueError, "n_features must be at most 100,000, got 1,000,000"),
    (lambda f: Hyperplane(10, mag_change=float("nan")), ValueError, "mag_change must be a finite number, got nan"),
    (lambda f: RandomRBF(10, n_centroids=2, n_drift_centroids=3), ValueError, "n_drift_centroids (3) exceeds"),
    (lambda f: RandomRBF(10, n_classes=0), ValueError, "n_classes must be at least 1, got 0"),
    (lambda f: RandomRBF(10, n_classes=2**31), ValueError, "n_classes must be at most 2,147,483,647"),
    (lambda f: RandomRBF(10, n_centroids=10**6), ValueError, "n_centroids must be at most 100,000"),
    (lambda f: RandomRBF(10, n_centroids=10**5, n_features=1000), ValueError, "n_centroids * n_features must be at"),
    (lambda f: RandomRBF(10, speed=float("inf")), ValueError, "speed must be a finite number, got inf"),
    (lambda f: Friedman(10, noise=-1.0), ValueError, "noise must be non-negative"),
    (lambda f: Friedman(10, noise=float("inf")), ValueError, "noise must be a finite number"),
]


@pytest.mark.parametrize(("call", "error", "fragment"), LIBRARY_CASES)
def test_library_mistakes_raise_a_clear_error(files, call, error, fragment):
    with pytest.raises(error) as info:
        call(files)
    assert fragment in str(info.value)
    assert "\n" not in str(info.value)


def test_only_a_feature_column_gets_the_drop_hint(capsys, files):
    with pytest.raises(SystemExit):
        main(["evaluate", "--no-progress", "--data", files["bad_label.csv"], "--target", "y"])
    err = capsys.readouterr().err
    assert "column 'y': cannot convert 'yes'" in err and "--drop" not in err
