"""The parameter table (tarvo.params) against the classes: names, order, defaults and kinds agree with
every constructor, every default lies in its own range, the command line refuses the values outside,
and the class docstrings carry the table's entries."""

from __future__ import annotations

import math
import pydoc

import pytest

import tarvo
from tarvo import _signature
from tarvo import params as table
from tarvo.cli import main

CONSTRUCTIBLE = [n for n in tarvo.__all__ if _signature.parameters(getattr(tarvo, n)) is not None]
LEARNER_PARAMS = [
    (name, p) for name in tarvo.__all__ if name in table.TABLE and issubclass(getattr(tarvo, name),
                                                                               (tarvo.IClassifier, tarvo.IRegressor))
    for p in (*table.TABLE[name].params, *table.TABLE[name].settings) if p.kind in ("int", "float", "str")
]


def _flat(text):
    return " ".join((text or "").split())


def test_every_class_with_a_constructor_is_in_the_table():
    assert sorted(CONSTRUCTIBLE) == sorted(table.TABLE)
    assert len(CONSTRUCTIBLE) == 53  # the 42 of _tarvo_core and the 11 of _tarvo_extra


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_table_matches_the_constructor(name):
    signature = _signature.parameters(getattr(tarvo, name))
    entries = table.TABLE[name].params
    assert [p.name for p in entries] == [p.name for p in signature]
    for entry, param in zip(entries, signature):
        default = table.REQUIRED if param.default is _signature.NO_DEFAULT else param.default
        assert entry.default == default and type(entry.default) is type(default), entry.name
        if param.kind:
            assert entry.kind == param.kind, entry.name
        assert entry.meaning.endswith(".") and entry.meaning[0].isupper(), entry.name
        assert entry.accepts(entry.default), f"{name}.{entry.name}: the default is outside its own range"
        if entry.choices:
            assert entry.choices[0] == entry.default and entry.outside


def _writable(cls):
    return {k for k in dir(cls) if isinstance(getattr(cls, k), property) and getattr(cls, k).fset is not None}


@pytest.mark.parametrize("name", CONSTRUCTIBLE)
def test_the_table_holds_every_writable_setting_the_constructor_does_not_take(name):
    """Every writable property is a constructor keyword or one of the table's other settings, whose
    default is what a fresh object holds and whose kind is the type it holds."""
    cls = getattr(tarvo, name)
    keywords = {p.name for p in _signature.parameters(cls)}
    entry = table.TABLE[name]
    assert {p.name for p in entry.settings} == _writable(cls) - keywords
    if entry.settings:
        fresh = cls()
        for p in entry.settings:
            assert getattr(fresh, p.name) == p.default and type(getattr(fresh, p.name)).__name__ == p.kind, p.name
            assert p.accepts(p.default) and p.meaning.endswith(".") and p.meaning[0].isupper(), p.name
            assert entry.is_setting(p.name) and table.problem(name, p.name, p.default) is None


SETTINGS = [(name, p) for name in CONSTRUCTIBLE for p in table.TABLE[name].settings]


def _other_value(p):
    """A sensible value of a setting other than its default."""
    if p.choices:
        return p.choices[1]
    if p.kind == "bool":
        return not p.default
    return int(p.low) + 1 if p.kind == "int" else p.default / 2


@pytest.mark.parametrize("name, param", SETTINGS, ids=[f"{n}.{p.name}" for n, p in SETTINGS])
def test_the_command_line_sets_and_lists_every_setting(capsys, tmp_path, name, param):
    import json

    value = _other_value(param)
    text = str(value).lower() if param.kind == "bool" else str(value)
    data = "friedman" if issubclass(getattr(tarvo, name), tarvo.IRegressor) else "sea"
    report = tmp_path / "out.json"
    assert main(["evaluate", "--no-progress", "--no-drift", "--model", name, "--param", f"{param.name}={text}",
                 "--samples", "300", "--data", data, "--save", str(tmp_path / "m.pkl"), "--json", str(report)]) == 0
    with open(tmp_path / "m.pkl", "rb") as fh:
        assert getattr(__import__("pickle").load(fh), param.name) == value
    assert json.loads(report.read_text())["results"][0]["params"] == {param.name: value}
    outside = [v for v in _just_outside(param) if not (param.kind == "int" and v == 0 and param.low == 0)]
    for bad in outside[:1]:
        with pytest.raises(SystemExit):
            main(["evaluate", "--no-progress", "--model", name, "--param", f"{param.name}={bad}", "--data", data])
        assert f"{name}.{param.name} takes {param.takes()}" in capsys.readouterr().err
    capsys.readouterr()
    assert main(["list"]) == 0 and f"{param.name}={param.default!r}" in capsys.readouterr().out
    assert main(["list", name]) == 0
    listed = _flat(capsys.readouterr().out)
    assert f"{param.name}={param.default!r} (a property the constructor does not take" in listed
    assert _flat(param.meaning) in listed


def _just_outside(p):
    """Values just beyond each bound of a parameter's range."""
    out = []
    step = 1 if p.kind == "int" else 1e-9
    if p.low is not None:
        out.append(p.low if p.low_open else p.low - step)
    if p.high is not None:
        out.append(p.high if p.high_open else p.high + step)
    if p.choices:
        out.append("no such option" if p.kind == "str" else max(p.choices) + 1)
    return out


def _just_inside(p):
    out = []
    step = 1 if p.kind == "int" else 1e-9
    if p.low is not None:
        out.append(p.low + step if p.low_open else p.low)
    if p.high is not None:
        out.append(p.high - step if p.high_open else p.high)
    return [int(v) if p.kind == "int" else float(v) for v in out] + list(p.choices)


@pytest.mark.parametrize("name, param", LEARNER_PARAMS, ids=[f"{n}.{p.name}" for n, p in LEARNER_PARAMS])
def test_bounds_of_every_learner_parameter(name, param):
    for value in _just_inside(param):
        assert table.problem(name, param.name, value) is None, value
    for value in _just_outside(param):
        value = int(value) if param.kind == "int" and not isinstance(value, str) else value
        assert table.problem(name, param.name, value) == f"{name}.{param.name} takes {param.takes()}", value
    if param.outside:  # what the class does out of range is stated, and is not an error the table hides
        assert _just_outside(param), f"{name}.{param.name} says what happens outside a range it does not have"
    if param.kind == "float":
        assert table.problem(name, param.name, math.nan) is not None or param.low is None


# (--param of a learner, the error line's tail)
REFUSED = [
    ("HoeffdingTreeClassifier", "grace_period=-5", "HoeffdingTreeClassifier.grace_period takes an integer, at least 1"),
    ("LeveragingBaggingClassifier", "n_models=0", "n_models takes an integer from 1 to 100000"),
    ("HoeffdingAdaptiveTreeClassifier", "drift_delta=5", "drift_delta takes a number in (0, 1)"),
    ("HoeffdingTreeClassifier", "split_criterion=entropy",
     "--param split_criterion='entropy': HoeffdingTreeClassifier.split_criterion takes 'info_gain' or 'gini'"),
    ("SRPClassifier", "training_method=patch", "training_method takes 'patches', 'subspaces' or 'resampling'"),
    ("SGBTClassifier", "n_classes=3", "SGBTClassifier.n_classes takes 0 or 2"),
    ("ARFClassifier", "lambda_value=0", "ARFClassifier.lambda_value takes a number in (0, 1000]"),
    ("KNNRegressor", "p=0", "KNNRegressor.p takes an integer, at least 1"),
    ("SGBTClassifier", "percentage_of_features=101", "percentage_of_features takes an integer from 1 to 100"),
]


@pytest.mark.parametrize("model, assignment, tail", REFUSED)
def test_the_command_line_refuses_values_out_of_range(capsys, model, assignment, tail):
    data = "friedman" if model.endswith("Regressor") else "sea"
    with pytest.raises(SystemExit) as info:
        main(["evaluate", "--no-progress", "--model", model, "--param", assignment, "--data", data])
    out, err = capsys.readouterr()
    assert info.value.code == 2 and out == ""
    assert err.count("\n") == 1 and err.rstrip().endswith(tail), err


@pytest.mark.parametrize("model, assignment", [
    ("HoeffdingTreeClassifier", "split_criterion=gini"),
    ("ARFClassifier", "subspace_size=-1"),
    ("SGBTClassifier", "n_classes=2"),
    ("LeveragingBaggingClassifier", "lambda_value=1000"),
])
def test_the_command_line_takes_values_in_range(capsys, model, assignment):
    assert main(["evaluate", "--no-progress", "--model", model, "--param", assignment, "--samples", "50",
                 "--data", "sea", "--no-drift"]) == 0


def test_list_explains_every_parameter_from_the_table(capsys):
    assert main(["list", "HoeffdingTreeClassifier"]) == 0
    out = _flat(capsys.readouterr().out)
    for p in table.TABLE["HoeffdingTreeClassifier"].params:
        assert _flat(p.meaning) in out and _flat(p.range_line()) in out


# --- the docstrings carry the table (class docstrings, properties, stubs) -----------------------

def test_the_bindings_header_is_rendered_from_the_table():
    """bindings/parameter_docs.hpp is what tools/param_docs.py makes of the table (`make param-docs`)."""
    import importlib.util
    import pathlib

    root = pathlib.Path(__file__).parents[1]
    spec = importlib.util.spec_from_file_location("tarvo_param_docs", root / "tools" / "param_docs.py")
    tool = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(tool)
    assert (root / "bindings" / "parameter_docs.hpp").read_text(encoding="utf-8") == tool.render(), (
        "run `make param-docs` (then `make stubs`) after changing python/tarvo/params.py")


def test_class_docstrings_document_every_parameter():
    undocumented = [n for n in CONSTRUCTIBLE if _flat(table.doc_section(n)) not in _flat(getattr(tarvo, n).__doc__)]
    assert undocumented == []


def test_help_shows_every_parameter():
    for name in ["HoeffdingTreeClassifier", "ARFClassifier", "SelectKBest"]:
        page = pydoc.render_doc(getattr(tarvo, name), renderer=pydoc.plaintext)
        text = _flat("\n".join(line.lstrip(" |") for line in page.splitlines()))  # without help()'s margin
        for p in table.TABLE[name].params:
            assert _flat(p.header()) in text and _flat(p.meaning) in text and _flat(p.range_line()) in text, p


def test_every_property_has_a_docstring():
    missing = []
    for name in tarvo.__all__:
        for attr, prop in vars(getattr(tarvo, name)).items():
            if isinstance(prop, property):
                expected = table.property_doc(name, attr)
                if not (prop.__doc__ or "").strip() or (expected and _flat(expected) not in _flat(prop.__doc__)):
                    missing.append(f"{name}.{attr}")
    assert missing == []


def test_the_stubs_carry_the_parameter_sections():
    import pathlib

    stub = _flat("".join((pathlib.Path(__file__).parents[1] / "python" / f"{module}.pyi").read_text()
                         for module in ("_tarvo_core", "_tarvo_extra")))
    for name in CONSTRUCTIBLE:
        assert _flat(table.doc_section(name)) in stub, name
