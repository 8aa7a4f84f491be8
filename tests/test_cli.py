"""``python -m tarvo evaluate`` end to end on tiny runs: table, JSON, plot and CSV input."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import pytest

from tarvo import cli
from tarvo.cli import main, parse_value
from tarvo.learners import task_of


def run(capsys, *args):
    status = main(["evaluate", "--no-progress", *args])
    out = capsys.readouterr()
    return status, out.out, out.err


def test_tiny_run_prints_a_table_and_writes_json(capsys, tmp_path):
    path = tmp_path / "out.json"
    status, out, _ = run(capsys, "--model", "NaiveBayes", "--data", "sea", "--samples", "3000", "--every", "1000",
                         "--json", str(path))
    assert status == 0
    assert "SEA stream, 3,000 samples, seed 42" in out
    assert any(line.startswith("NaiveBayes ") for line in out.splitlines())
    doc = json.loads(path.read_text())
    assert doc["task"] == "classification"
    assert doc["data"]["name"] == "sea" and doc["data"]["drift_points"] == [750, 1500, 2250]
    (result,) = doc["results"]
    assert result["class"] == "NaiveBayes" and result["params"] == {}
    assert result["n_samples"] == 3000
    assert result["curve"]["step"] == [1000, 2000, 3000]
    assert result["samples_per_second"] > 0


def test_default_run_compares_the_demo_learners_with_metrics_and_drifts(capsys, tmp_path):
    status, out, _ = run(capsys, "--samples", "4000", "--json", "-")
    assert status == 0
    doc = json.loads(out)
    assert doc["data"]["name"] == "agrawal" and doc["data"]["drift_points"] == [2000]
    names = [r["model"] for r in doc["results"]]
    assert names == ["MajorityClassClassifier", "NaiveBayes", "StandardScaler | LogisticRegressionClassifier",
                     "HoeffdingTreeClassifier",
                     "HoeffdingAdaptiveTreeClassifier", "ARFClassifier", "SRPClassifier",
                     "LeveragingBaggingClassifier"]
    for r in doc["results"]:
        assert set(r["final"]) == {"accuracy", "macro_f1", "window_accuracy"}
        assert all(isinstance(d, int) for d in r["drifts"])
        assert r["curve"]["step"][-1] == 4000 and len(r["curve"]["step"]) == 100  # every 40 samples
    assert doc["drift_detector"] == {"class": "ADWIN", "delta": 0.002}


def test_table_columns_with_metrics(capsys):
    status, out, _ = run(capsys, "--model", "NaiveBayes", "--samples", "2000")
    assert status == 0
    header = next(line for line in out.splitlines() if line.startswith("learner"))
    for column in ("accuracy", "macro F1", "windowed accuracy", "samples/s", "drifts", "first drift after the change"):
        assert column in header
    assert any(line.startswith("NaiveBayes ") for line in out.splitlines())
    assert "Drift detected by ADWIN(delta=0.002) on each learner's 0/1 errors, at samples:" in out


def test_same_learner_twice_gets_numbered(capsys, tmp_path):
    path = tmp_path / "o.json"
    run(capsys, "--model", "NaiveBayes", "--model", "NaiveBayes", "--samples", "500", "--json", str(path))
    assert [r["model"] for r in json.loads(path.read_text())["results"]] == ["NaiveBayes #1", "NaiveBayes #2"]


def test_params_go_to_the_model_before_them(capsys, tmp_path):
    path = tmp_path / "o.json"
    status, out, _ = run(capsys, "--model", "KNNRegressor", "--param", "n_neighbors=1", "--model", "KNNRegressor",
                         "--data", "friedman", "--data-param", "noise=0", "--samples", "600", "--json", str(path))
    assert status == 0
    doc = json.loads(path.read_text())
    assert doc["task"] == "regression" and doc["data"]["drift_points"] == [300]
    first, second = doc["results"]
    assert first["model"] == "KNNRegressor(n_neighbors=1)" and first["params"] == {"n_neighbors": 1}
    assert second["params"] == {}
    assert first["final"]["mae"] != second["final"]["mae"]
    assert "MAE" in out


@pytest.mark.parametrize("model, data, scale, pipeline, scaler", [
    ("NaiveBayes", "sea", "standard", "ClassificationPipeline", "StandardScaler"),
    ("HoeffdingTreeRegressor", "friedman", "maxabs", "RegressionPipeline", "MaxAbsScaler"),
])
def test_scale_runs_the_model_behind_a_scaler(capsys, tmp_path, model, data, scale, pipeline, scaler):
    import _tarvo_core
    from tarvo.evaluate import default_metrics, prequential
    from tarvo.stream import GENERATORS

    path = tmp_path / "o.json"
    status, out, _ = run(capsys, "--model", model, "--model", model, "--scale", scale, "--data", data,
                         "--samples", "1500", "--no-drift", "--json", str(path))
    assert status == 0 and f"{scaler} | {model} " in out
    bare, scaled = json.loads(path.read_text())["results"]
    assert (bare["model"], bare["scale"]) == (model, None)
    assert (scaled["model"], scaled["class"], scaled["scale"]) == (f"{scaler} | {model}", model, scale)
    by_hand = getattr(_tarvo_core, pipeline)([getattr(_tarvo_core, scaler)()], getattr(_tarvo_core, model)())
    stream = GENERATORS[data](1500, seed=42, **cli.STREAM_PRESETS[data])
    expected = prequential(by_hand, stream, default_metrics(task_of(by_hand)))
    assert scaled["final"] == expected.final


def test_csv_file_end_to_end(capsys, tmp_path):
    path = tmp_path / "data.csv"
    lines = ["a,b,comment,label"] + [f'{i % 7},{(i * 3) % 5},"n, {i}",{int(i % 7 > 3)}' for i in range(300)]
    path.write_text("\n".join(lines) + "\n")
    out_json = tmp_path / "o.json"
    status, out, _ = run(capsys, "--model", "NaiveBayes", "--data", str(path), "--target", "label",
                         "--drop", "comment", "--samples", "250", "--json", str(out_json))
    assert status == 0
    doc = json.loads(out_json.read_text())
    assert doc["results"][0]["n_samples"] == 250
    assert doc["data"]["params"]["target"] == "label"


def test_plot_is_written(capsys, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "curve.png"
    status, out, _ = run(capsys, "--model", "NaiveBayes", "--samples", "1500", "--plot", str(path))
    assert status == 0 and f"learning curves: {path}" in out
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    ("text", "value"),
    [("5", 5), ("0.1", 0.1), ("1,5", (1, 5)), ("true", True), ("False", False), ("gini", "gini"), ("'nb'", "nb"),
     ("[1, 2]", [1, 2])],
)
def test_parameter_values(text, value):
    assert parse_value(text) == value


def test_module_entry_point_runs():
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-m", "tarvo", "evaluate", "--model", "NaiveBayes", "--samples", "300"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert "NaiveBayes" in done.stdout
    usage = subprocess.run([sys.executable, "-m", "tarvo"], capture_output=True, text=True, env=env, timeout=120)
    assert usage.returncode == 2 and "evaluate" in usage.stdout


def test_every_offered_learner_builds_from_keywords_alone():
    from tarvo.learners import LEARNERS, learner_names

    assert len(learner_names("classification")) == 16 and len(learner_names("regression")) == 11
    for name, cls in LEARNERS.items():
        model = cls()
        model.learn_one({"a": 1.0}, 1)
        assert model.predict_one({"a": 1.0}) is not None, name


# --- discovery: list, --version, help, the console script ---------------------------------------

def _flat(text):
    return " ".join(text.split())


def test_list_shows_every_learner_with_its_defaults_and_every_stream(capsys):
    from tarvo import _signature
    from tarvo.learners import LEARNERS
    from tarvo.stream import GENERATORS

    assert main(["list"]) == 0
    out = _flat(capsys.readouterr().out)
    for name, cls in LEARNERS.items():
        assert f" {name} " in out
        for param in _signature.parameters(cls):
            assert _flat(str(param)) in out, (name, param)
    for name in GENERATORS:
        assert f" {name} " in out
    assert "concepts=(1, 5)" in out  # the agrawal stream as the command line runs it
    for kind in cli.SCALERS:
        assert f" {kind} " in out


@pytest.mark.parametrize("name, fragments", [
    ("HoeffdingTreeClassifier", ["grace_period=200", "split_criterion='info_gain'", "(classification)"]),
    ("NaiveBayes", ["no parameters"]),
    ("friedman", ["Friedman (regression stream)", "concepts=(1, 2)", "noise=1.0"]),
])
def test_list_describes_one_learner_or_stream(capsys, name, fragments):
    assert main(["list", name]) == 0
    out = capsys.readouterr().out
    for fragment in fragments:
        assert fragment in out


def test_list_of_an_unknown_name_says_what_is_close(capsys):
    with pytest.raises(SystemExit) as info:
        main(["list", "NaiveBayse"])
    assert info.value.code == 2
    assert capsys.readouterr().err == (
        "python -m tarvo list: error: no learner, detector or stream named 'NaiveBayse' (did you mean NaiveBayes?)\n")


def _project():
    import tomllib

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    with open(os.path.join(root, "pyproject.toml"), "rb") as fh:
        return tomllib.load(fh)["project"]


def test_version_is_the_package_version(capsys):
    import tarvo

    with pytest.raises(SystemExit) as info:
        main(["--version"])
    assert info.value.code == 0
    assert capsys.readouterr().out == f"tarvo-stream {tarvo.__version__}\n"  # the distribution's name
    assert (tarvo.__distribution__, tarvo.__version__) == (_project()["name"], _project()["version"])


def test_help_says_where_to_find_the_learners_and_the_version(capsys):
    with pytest.raises(SystemExit):
        main(["--help"])
    out = _flat(capsys.readouterr().out)
    assert "'python -m tarvo list' shows every learner and stream" in out and "--version" in out


def test_console_script_names_itself_tarvo(capsys, monkeypatch):
    import importlib

    module, _, function = _project()["scripts"]["tarvo"].partition(":")
    entry = getattr(importlib.import_module(module), function)
    monkeypatch.setattr(sys, "argv", ["/somewhere/bin/tarvo", "--help"])
    with pytest.raises(SystemExit) as info:
        entry()
    assert info.value.code == 0
    out = capsys.readouterr().out
    assert out.startswith("usage: tarvo [-h]") and "'tarvo list'" in out
    monkeypatch.setattr(sys, "argv", ["tarvo", "evaluate", "--model", "Nope"])
    with pytest.raises(SystemExit):
        entry()
    assert capsys.readouterr().err.startswith("tarvo evaluate: error: --model Nope: no such learner")


def test_the_venv_runs_the_command_line_without_pythonpath(tmp_path):
    """After `make test`, .venv/bin/python imports the checkout's package and build by itself."""
    if sys.prefix == sys.base_prefix:
        pytest.skip("not run from a virtual environment")
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}

    def run_venv(*args):
        done = subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, cwd=tmp_path,
                              timeout=120)
        assert done.returncode == 0, done.stderr
        return done.stdout

    where = run_venv("-c", "import tarvo, _tarvo_core; print(tarvo.__file__); print(_tarvo_core.__file__)")
    package, native = where.split()
    assert package.startswith(os.path.join(root, "python", "tarvo"))
    assert native.startswith(os.path.join(root, "build"))
    assert run_venv("-m", "tarvo", "--version").startswith("tarvo-stream ")
    assert "HoeffdingTreeClassifier" in run_venv("-m", "tarvo", "list")
    assert "NaiveBayes" in run_venv("-m", "tarvo", "evaluate", "--model", "NaiveBayes", "--samples", "300",
                                    "--no-progress")


# --- the JSON report ------------------------------------------------------------------------------

def test_json_report_carries_the_version_and_every_learners_settings(capsys, tmp_path):
    import tarvo

    path = tmp_path / "o.json"
    status, _, _ = run(capsys, "--model", "HoeffdingTreeClassifier", "--param", "grace_period=100",
                       "--model", "ARFClassifier", "--model", "NaiveBayes", "--scale", "minmax",
                       "--samples", "300", "--json", str(path))
    assert status == 0
    doc = json.loads(path.read_text())
    assert doc["tarvo_version"] == tarvo.__version__
    reprs = [r["repr"] for r in doc["results"]]
    assert reprs == [repr(tarvo.HoeffdingTreeClassifier(grace_period=100)), repr(tarvo.ARFClassifier()),
                     repr(tarvo.ClassificationPipeline([tarvo.MinMaxScaler()], tarvo.NaiveBayes()))]
    assert "n_models=10" in reprs[1] and doc["results"][1]["params"] == {}


# --- --save and --load ----------------------------------------------------------------------------

# (the saved learner's options, the stream, the class --save writes)
SAVED = [
    (["--model", "NaiveBayes"], "sea", "NaiveBayes"),
    (["--model", "NaiveBayes", "--scale", "standard"], "sea", "ClassificationPipeline"),
    (["--model", "HoeffdingTreeRegressor", "--scale", "maxabs"], "friedman", "RegressionPipeline"),
    (["--model", "KNNClassifier", "--param", "n_neighbors=3", "--scale", "minmax"], "agrawal",
     "ClassificationPipeline"),
]


@pytest.mark.parametrize("options, data, saved_class", SAVED)
def test_load_continues_every_object_save_writes(capsys, tmp_path, options, data, saved_class):
    import pickle

    from tarvo.evaluate import default_metrics, prequential
    from tarvo.stream import GENERATORS

    path = tmp_path / "trained.pkl"
    common = ["--data", data, "--samples", "800", "--no-drift"]
    assert run(capsys, *options, *common, "--save", str(path))[0] == 0
    stored = pickle.loads(path.read_bytes())
    assert type(stored).__name__ == saved_class
    out_json = tmp_path / "o.json"
    status, out, _ = run(capsys, "--load", str(path), *common, "--seed", "7", "--json", str(out_json),
                         "--save", str(tmp_path / "again.pkl"))
    assert status == 0
    (result,) = json.loads(out_json.read_text())["results"]  # --load alone: only the loaded model
    assert (result["model"], result["class"], result["loaded"]) == ("trained.pkl", saved_class, str(path))
    assert any(line.startswith("trained.pkl ") for line in out.splitlines())
    # It went on from its saved state, exactly as the stored object does in-process.
    stream = GENERATORS[data](800, seed=7, **cli.STREAM_PRESETS[data])
    expected = prequential(stored, stream, default_metrics(task_of(stored)))
    assert result["final"] == expected.final
    with open(tmp_path / "again.pkl", "rb") as fh:  # the learner, then the names of its features
        assert pickle.dumps(pickle.load(fh), protocol=pickle.HIGHEST_PROTOCOL) == pickle.dumps(
            stored, protocol=pickle.HIGHEST_PROTOCOL)
        assert pickle.load(fh) == {"features": list(stream.feature_names)}


def test_load_runs_beside_a_model_labelled_by_its_file_name(capsys, tmp_path):
    path = tmp_path / "nb.pkl"
    assert run(capsys, "--model", "NaiveBayes", "--samples", "300", "--save", str(path))[0] == 0
    out_json = tmp_path / "o.json"
    assert run(capsys, "--model", "NaiveBayes", "--load", str(path), "--samples", "300",
               "--json", str(out_json))[0] == 0
    results = json.loads(out_json.read_text())["results"]
    assert [(r["model"], r["loaded"]) for r in results] == [("NaiveBayes", None), ("nb.pkl", str(path))]
    assert results[0]["final"] != results[1]["final"]  # the loaded one had learnt already


def test_a_loaded_model_of_the_other_task_is_named_with_its_file(capsys, tmp_path):
    path = tmp_path / "reg.pkl"
    assert run(capsys, "--model", "LinearRegression", "--data", "friedman", "--samples", "200",
               "--save", str(path))[0] == 0
    with pytest.raises(SystemExit):
        run(capsys, "--load", str(path), "--data", "sea")
    assert f"not the LinearRegression in {path}" in capsys.readouterr().err


def test_the_progress_bar_is_optional(monkeypatch):
    from tarvo.evaluate import default_metrics, prequential
    from tarvo.stream import SEA

    assert any(d.startswith("tqdm") for d in _project()["dependencies"])
    monkeypatch.setitem(sys.modules, "tqdm", None)  # as if it were not installed
    monkeypatch.setattr(sys.stderr, "isatty", lambda: True)
    from tarvo import NaiveBayes

    result = prequential(NaiveBayes(), SEA(200), default_metrics("classification"), progress=True)
    assert result.n_samples == 200


# --- reading files, --skip, --plot, list: the toolkit's mistakes, mended ---------------------------

def _trained_bytes(model, rows):
    import pickle

    for x, y in rows:
        model.learn_one(x, y)
    return pickle.dumps(model)


def _labelled_rows(n, first_label):
    """``a,b,y`` rows with text labels; the first row's label is ``first_label``."""
    other = {"no": "yes", "yes": "no"}[first_label]
    return "".join(f"{i % 7},{(i * 3) % 5},{first_label if (i * 5) % 7 < 3 else other}\n" for i in range(n))


TOOLKIT_FILES = {
    "ab.csv": lambda: "a,b,y\n" + _labelled_rows(200, "no") + _labelled_rows(200, "yes"),
    "pq.csv": lambda: "p,q,y\n1,2,no\n3,4,yes\n",
    "spaced.csv": lambda: " a , b ,y\n" + _labelled_rows(50, "no"),
    "text_then_number.csv": lambda: "a,y\n1,no\n2,yes\n3,3\n",
    "number_then_text.csv": lambda: "a,y\n1,0\n2,1\n3,yes\n",
    # Saved before --save recorded the features: the learner alone.
    "old.pkl": lambda: _trained_bytes(__import__("tarvo").NaiveBayes(), [({"a": 1.0, "b": 2.0}, 0)]),
    "unlearnable.pkl": lambda: _trained_bytes(__import__("tarvo").ARFClassifier(n_models=2, lambda_value=float("inf")),
                                              []),
}


@pytest.fixture
def toolkit_files(tmp_path):
    paths = {"dir": str(tmp_path)}
    for name, make in TOOLKIT_FILES.items():
        data = make()
        (tmp_path / name).write_bytes(data if isinstance(data, bytes) else data.encode())
        paths[name] = str(tmp_path / name)
    return paths


SAVE_AB = ["evaluate", "--model", "NaiveBayes", "--data", "{ab.csv}", "--target", "y", "--samples", "200",
           "--save", "{dir}/m.pkl"]
needs_matplotlib = pytest.mark.skipif(__import__("importlib").util.find_spec("matplotlib") is None,
                                      reason="plots need matplotlib")

# (commands run first, the command, its exit status, a fragment of what it prints: on standard output
# for status 0, else its one line on standard error)
TOOLKIT_REPRODUCERS = [
    pytest.param([], ["list", ""], 2, "python -m tarvo list: error: no learner, detector or stream named ''",
                 id="list of an empty name"),
    pytest.param([], ["evaluate", "--model", "NaiveBayes", "--samples", "300", "--plot", "{dir}/curve"], 0,
                 "learning curves: {dir}/curve.png", id="plot without a suffix", marks=needs_matplotlib),
    pytest.param([SAVE_AB], ["evaluate", "--load", "{dir}/m.pkl", "--data", "{pq.csv}", "--target", "y"], 2,
                 "--load {dir}/m.pkl: the learner learnt the features 'a', 'b', none of them among the columns "
                 "of {pq.csv} ('p', 'q')", id="load on a file of other features"),
    pytest.param([SAVE_AB], ["evaluate", "--load", "{dir}/m.pkl", "--data", "sea"], 2,
                 "none of them among the features of the sea stream ('x0', 'x1', 'x2')",
                 id="load on a stream of other features"),
    pytest.param([], ["evaluate", "--load", "{old.pkl}", "--data", "{pq.csv}", "--target", "y"], 0,
                 "\nold.pkl ", id="load of a file saved before the features were recorded"),
    pytest.param([SAVE_AB], ["evaluate", "--load", "{dir}/m.pkl", "--data", "{ab.csv}", "--target", "y",
                             "--skip", "200"], 0,
                 "on the file {ab.csv}, target 'y', rows after the first 200", id="skip"),
    pytest.param([], ["evaluate", "--data", "{ab.csv}", "--target", "y", "--skip", "400"], 2,
                 "--data {ab.csv}: no data rows after the first 400 rows", id="skip past the end"),
    pytest.param([], ["evaluate", "--data", "sea", "--skip", "5"], 2,
                 "--skip applies to a CSV file, not to the sea stream", id="skip on a synthetic stream"),
    pytest.param([], ["evaluate", "--skip", "-1"], 2, "--skip must be at least 0, got -1", id="negative skip"),
    pytest.param([], ["evaluate", "--load", "{unlearnable.pkl}", "--data", "{ab.csv}", "--target", "y"], 2,
                 "error: --load {unlearnable.pkl}: lambda_value must be a finite number",
                 id="a failing loaded learner named as its file"),
    pytest.param([], ["evaluate", "--model", "NaiveBayes", "--data", "{spaced.csv}", "--target", "y"], 0,
                 "\nNaiveBayes ", id="spaces around the column names"),
    pytest.param([], ["evaluate", "--data", "{text_then_number.csv}", "--target", "y"], 2,
                 "row 3 (line 4), column 'y': cannot convert '3' ('3' is a number, and the labels before it are texts)",
                 id="a number after text labels"),
    pytest.param([], ["evaluate", "--data", "{number_then_text.csv}", "--target", "y"], 2,
                 "column 'y': cannot convert 'yes' ('yes' is not a number, and the labels before it are numbers)",
                 id="text after number labels"),
]


@pytest.mark.parametrize("before, command, status, fragment", TOOLKIT_REPRODUCERS)
def test_toolkit_reproducers(capsys, toolkit_files, before, command, status, fragment):
    def fill(text):
        for name, path in toolkit_files.items():
            text = text.replace("{" + name + "}", path)
        return text

    for earlier in before:
        assert main([*map(fill, earlier), "--no-progress"]) == 0
    capsys.readouterr()
    argv = [*map(fill, command), *(["--no-progress", "--no-drift"] if command[0] == "evaluate" else [])]
    try:
        got = main(argv)
    except SystemExit as exc:
        got = exc.code
    out, err = capsys.readouterr()
    assert got == status, err
    if status == 0:
        assert fill(fragment) in out
    else:
        assert len(err.splitlines()) == 1 and fill(fragment) in err, err


def test_skip_continues_a_saved_learner_where_it_stopped(capsys, toolkit_files):
    """Saved after 200 rows, loaded with --skip 200, saved again: the learner of one run over every row.
    The rows after the first 200 open with the other label: the learner's own numbering goes on."""
    import pickle

    ab, folder = toolkit_files["ab.csv"], toolkit_files["dir"]
    common = ["--data", ab, "--target", "y", "--no-drift"]
    assert run(capsys, "--model", "NaiveBayes", *common, "--samples", "200", "--save", f"{folder}/first.pkl")[0] == 0
    assert run(capsys, "--load", f"{folder}/first.pkl", *common, "--skip", "200", "--save", f"{folder}/then.pkl")[0] == 0
    assert run(capsys, "--model", "NaiveBayes", *common, "--save", f"{folder}/whole.pkl")[0] == 0
    with open(f"{folder}/then.pkl", "rb") as then, open(f"{folder}/whole.pkl", "rb") as whole:
        assert pickle.dumps(pickle.load(then)) == pickle.dumps(pickle.load(whole))
        record = pickle.load(then)
        assert record == pickle.load(whole) and record["features"] == ["a", "b"]
        assert sorted(record["labels"].values()) == ["no", "yes"]


PLOT_IN_A_FRESH_INTERPRETER = """
import sys, matplotlib
matplotlib.use("svg")  # a notebook's or GUI's choice, which plotting must leave alone
from tarvo import NaiveBayes, HoeffdingTreeClassifier
from tarvo.evaluate import default_metrics, prequential
from tarvo.plot import plot_learning_curves
from tarvo.stream import SEA
runs = {name: prequential(cls(), SEA(600, seed=1), default_metrics("classification"), every=100, progress=False)
        for name, cls in (("bayes", NaiveBayes), ("tree", HoeffdingTreeClassifier))}
fig = plot_learning_curves(runs, sys.argv[1], title="SEA")
print("matplotlib.pyplot" in sys.modules, matplotlib.get_backend(), type(fig).__name__,
      [t.get_text() for t in fig.axes[0].get_legend().get_texts()])
"""


def test_plotting_leaves_the_back_end_and_pyplot_alone(tmp_path):
    pytest.importorskip("matplotlib", reason="plots need matplotlib")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    done = subprocess.run([sys.executable, "-c", PLOT_IN_A_FRESH_INTERPRETER, str(tmp_path / "c.svg")],
                          capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split(None, 3) == ["False", "svg", "Figure", "['bayes', 'tree']\n"]
    assert (tmp_path / "c.svg").read_text().lstrip().startswith("<?xml")


def test_plot_learning_curves_returns_its_figure_and_writes_only_when_asked(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib", reason="plots need matplotlib")
    from matplotlib.figure import Figure

    from tarvo import NaiveBayes
    from tarvo.evaluate import default_metrics, prequential
    from tarvo.plot import plot_learning_curves
    from tarvo.stream import SEA

    monkeypatch.chdir(tmp_path)
    result = prequential(NaiveBayes(), SEA(500, seed=2), default_metrics("classification"), every=50, progress=False)
    fig = plot_learning_curves([result])
    assert isinstance(fig, Figure) and len(fig.axes) == len(result.curve) and os.listdir(tmp_path) == []
    mine = Figure()
    ax = mine.add_subplot()
    assert plot_learning_curves({"mine": result}, "drawn", ax=ax, title="t") is mine
    (line,) = ax.get_lines()
    assert line.get_label() == "mine" and list(line.get_ydata()) == result.curve["accuracy"]
    assert os.listdir(tmp_path) == ["drawn.png"]
    two = Figure().subplots(1, 2)
    plot_learning_curves([result], ax=two)
    assert [a.get_ylabel() for a in two] == ["accuracy", "macro F1"]
    with pytest.raises(TypeError, match="ax must be a matplotlib Axes"):
        plot_learning_curves([result], ax="left")
    with pytest.raises(TypeError, match="results must be a sequence of results or a mapping"):
        plot_learning_curves(result)
