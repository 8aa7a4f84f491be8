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
    assert names[0] == "NaiveBayes"
    assert set(names) <= {"NaiveBayes", "HoeffdingTreeClassifier", "HoeffdingAdaptiveTreeClassifier", "ARFClassifier"}
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
