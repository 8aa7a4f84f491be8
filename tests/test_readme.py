"""The README's examples do what it says: its code runs, and its commands work as written."""

from __future__ import annotations

import contextlib
import io
import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def blocks(language):
    """The README's fenced code blocks of one language, in order."""
    return re.findall(rf"```{language}\n(.*?)```", README, flags=re.S)


def commands(prefix):
    """The README's shell command lines starting with ``prefix`` (continuation lines joined)."""
    out = []
    for block in blocks("sh"):
        for line in block.replace("\\\n", " ").splitlines():
            line = line.split("  #")[0].strip()
            if line.startswith(prefix):
                out.append(shlex.split(line))
    return out


def run_python(code):
    namespace = {}
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), namespace)
    return namespace, out.getvalue()


def test_the_first_example_learns_and_predicts_its_own_query():
    code = blocks("python")[0]
    namespace, out = run_python(code)
    accuracy = float(re.search(r"accuracy (\S+)", out).group(1))
    assert accuracy > 0.85 and f"# accuracy {accuracy:.3f}" in code  # the comment shows what it prints
    model = namespace["model"]
    query = {"height": 185.0, "weight": 80.0}
    proba = model.predict_proba_one(query)
    assert model.predict_one(query) == 1 and proba[1] > 0.99 and f"probability {proba[1]:.3f}" in code


def test_the_pipeline_examples_build():
    for code in blocks("python"):
        if "Pipeline(" in code and "stream" not in code:
            namespace, _ = run_python(code)
            model = namespace["model"]
            model.learn_one({"a": 1.0, "b": -2.0}, 1)
            assert model.predict_one({"a": 1.0, "b": -2.0}) is not None
    assert "SelectKBest(k=5, use_abs=True)" in README


def _env():
    return {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}


def test_the_setup_commands_run_from_the_venv():
    """`.venv/bin/python -m tarvo list`, `--version` and an evaluation, as the setup section writes them."""
    if sys.prefix == sys.base_prefix:
        pytest.skip("not run from a virtual environment")
    lines = commands(".venv/bin/python -m tarvo")
    assert {line[3] for line in lines} >= {"list", "--version", "evaluate"}
    for line in lines:
        done = subprocess.run([sys.executable, *line[1:]], capture_output=True, text=True, env=_env(), cwd=ROOT,
                              timeout=300)
        assert done.returncode == 0, (line, done.stderr)
        assert done.stdout.strip()


def test_the_save_and_load_commands_continue_a_model(tmp_path):
    lines = [line for line in commands("python -m tarvo evaluate") if "nb.pkl" in line]
    assert len(lines) == 2 and "--save" in lines[0] and "--load" in lines[1]
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    outputs = []
    for line in lines:
        done = subprocess.run([sys.executable, *line[1:], "--samples", "2000", "--no-progress"], capture_output=True,
                              text=True, env=env, cwd=tmp_path, timeout=300)
        assert done.returncode == 0, (line, done.stderr)
        outputs.append(done.stdout)
    assert "saved ClassificationPipeline: nb.pkl" in outputs[0]
    assert any(row.startswith("nb.pkl ") for row in outputs[1].splitlines())


def test_the_anomaly_example_prints_what_it_says_and_draws_its_plot(tmp_path, monkeypatch):
    pytest.importorskip("matplotlib", reason="the example draws its plot with matplotlib")
    (code,) = [block for block in blocks("python") if "HalfSpaceTrees(seed=1)" in block]
    monkeypatch.chdir(tmp_path)
    _, out = run_python(code)
    auc = float(re.search(r"ROC AUC (\S+)", out).group(1))
    assert auc > 0.95 and f"# ROC AUC {auc:.3f}" in code
    assert (tmp_path / "anomaly_scores.png").stat().st_size > 1000
    assert "](bench/results/anomaly_scores.png)" in README and (ROOT / "bench/results/anomaly_scores.png").is_file()
