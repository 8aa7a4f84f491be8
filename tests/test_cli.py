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
    assert names == ["NaiveBayes", "StandardScaler | LogisticRegressionClassifier", "HoeffdingTreeClassifier",
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

    assert len(learner_names("classification")) == 14 and len(learner_names("regression")) == 10
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
        "python -m tarvo list: error: no learner or stream named 'NaiveBayse' (did you mean NaiveBayes?)\n")


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
    assert (tmp_path / "again.pkl").read_bytes() == pickle.dumps(stored, protocol=pickle.HIGHEST_PROTOCOL)


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
