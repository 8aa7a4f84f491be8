"""The committed type stubs of ``_tarvo_core`` describe the built module, and type checkers read them.

When a binding changes, these tests fail until ``make stubs`` regenerates
``python/_tarvo_core.pyi``.
"""

from __future__ import annotations

import contextlib
import difflib
import importlib.util
import io
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
STUB = ROOT / "python" / "_tarvo_core.pyi"
FIX = "run `make stubs` to regenerate python/_tarvo_core.pyi from the built module"


def stub_tool():
    spec = importlib.util.spec_from_file_location("tarvo_stub_tool", ROOT / "tools" / "stubs.py")
    assert spec is not None and spec.loader is not None
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    return tool


@pytest.fixture
def mypy_config(tmp_path, monkeypatch):
    monkeypatch.setenv("MYPYPATH", str(STUB.parent))
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\ncache_dir = {tmp_path / 'cache'}\n")
    return config


@pytest.mark.parametrize("module", ["_tarvo_core", "_tarvo_extra", "_tarvo_batch"])
def test_stub_file_matches_the_built_module(module):
    pytest.importorskip("pybind11_stubgen")
    pytest.importorskip(module, reason=f"{module} is not built")
    expected = stub_tool().render(module)
    stub = STUB.parent / f"{module}.pyi"
    current = stub.read_text(encoding="utf-8") if stub.exists() else ""
    if current != expected:
        diff = list(difflib.unified_diff(current.splitlines(), expected.splitlines(), "committed", "built", n=1,
                                         lineterm=""))
        shown = "\n".join(diff[:40]) + ("\n..." if len(diff) > 40 else "")
        pytest.fail(f"the stubs differ from the built module: {FIX}\n{shown}", pytrace=False)


# Differences stubtest reports for every pybind11 module: the classes' metaclass is pybind11's own,
# and an interface (no constructor) inherits pybind11's raising __init__(*args, **kwargs).
EXPECTED_BY_STUBTEST = ("is inconsistent, metaclass differs", 'stub does not have *args parameter "args"')


@pytest.mark.parametrize("module", ["_tarvo_core", "_tarvo_extra"])
def test_stubtest_finds_no_difference(mypy_config, module):
    stubtest = pytest.importorskip("mypy.stubtest")
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        stubtest.test_stubs(stubtest.parse_options([module, "--concise", "--mypy-config-file",
                                                    str(mypy_config)]))
    problems = [line for line in out.getvalue().splitlines() if line and not line.endswith(EXPECTED_BY_STUBTEST)]
    assert not problems, f"stubtest: {FIX}\n" + "\n".join(problems)


# Each line of a small program with what mypy must say about it, through the stubs.
USAGE = [
    ("from tarvo import ADWIN, ARFClassifier, HoeffdingTreeRegressor, WindowMetric", ""),
    ("forest = ARFClassifier(n_models=3, lambda_value=2.0)", ""),
    ("reveal_type(forest.predict_proba_one({'a': 1.0}))", 'Revealed type is "dict[int, float]"'),
    ("reveal_type(forest.predict_one({'a': 1}))", 'Revealed type is "int"'),
    ("reveal_type(HoeffdingTreeRegressor().predict_one({}))", 'Revealed type is "float"'),
    ("reveal_type(forest.n_models)", 'Revealed type is "int"'),
    ("reveal_type(WindowMetric(100).get(metric=1))", 'Revealed type is "float"'),
    ("forest.learn_one({'a': 1.0}, 1)", ""),
    ("forest.learn_one(x={'a': 1.0}, y=1)", 'Unexpected keyword argument "x"'),  # sample and label: positional-only
    ("ARFClassifier(n_model=3)", 'Unexpected keyword argument "n_model"'),
    ("forest.predict_one({1: 1.0})", 'Dict entry 0 has incompatible type "int": "float"'),
    ("ADWIN().drift_detected = True", 'Property "drift_detected" defined in "ADWIN" is read-only'),
    ("from tarvo import LinearRegression, ScaledTargetRegressor", ""),
    ("reveal_type(ScaledTargetRegressor(LinearRegression()).predict_one({'a': 1.0}))", 'Revealed type is "float"'),
    ("ScaledTargetRegressor(forest)", 'incompatible type "ARFClassifier"'),
]


def test_type_checkers_see_signatures_and_return_types(mypy_config, tmp_path):
    """Through ``tarvo``, whose own modules mypy checks on the way: they must pass too."""
    api = pytest.importorskip("mypy.api")
    source = tmp_path / "usage.py"
    source.write_text("".join(code + "\n" for code, _ in USAGE))
    report, failure, _ = api.run(["--config-file", str(mypy_config), "--no-error-summary", str(source)])
    said: dict[int, str] = {}
    elsewhere = [line for line in report.splitlines() if not line.startswith(str(source))]
    assert not elsewhere, report + failure
    for line in report.splitlines():
        where, _, message = line.partition(": ")
        if not message.startswith('note: "'):
            number = int(where.rsplit(":", 1)[1])
            said.setdefault(number, message)
    for number, (code, expected) in enumerate(USAGE, start=1):
        if expected:
            assert expected in said.get(number, ""), f"{code}\n{report}{failure}"
        else:
            assert number not in said, f"{code}\n{report}{failure}"


def test_stub_defaults_are_the_constructed_values(core):
    """Every constructor keyword that is also an attribute reads back its stub default on a default object."""
    import ast

    checked = 0
    for node in ast.parse(STUB.read_text(encoding="utf-8")).body:
        if not isinstance(node, ast.ClassDef):
            continue
        init = next((f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == "__init__"), None)
        if init is None:
            continue
        cls = getattr(core, node.name)
        params = init.args.args[len(init.args.args) - len(init.args.defaults):]
        required = init.args.args[1:len(init.args.args) - len(init.args.defaults)]
        if required:
            continue
        obj = cls()
        for param, default in zip(params, init.args.defaults):
            if hasattr(obj, param.arg):
                assert getattr(obj, param.arg) == ast.literal_eval(default), (node.name, param.arg)
                checked += 1
    assert checked >= 10
