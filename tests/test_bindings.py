"""The module frame: registration, conversions and exception rules every class follows."""

from __future__ import annotations

import collections.abc
import os
import pathlib
import shutil
import subprocess
import types

import numpy as np
import pytest

import _tarvo_core as core
import _tarvo_extra as extra
import _tarvo_probe as probe

INTERFACES = ["ITransformer", "IClassifier", "IRegressor"]


def test_module_docstring_names_the_areas_in_order():
    doc = core.__doc__
    assert "\n" not in doc and "Tarvo" in doc and "C++" in doc
    areas = ["streaming learners", "preprocessing", "metrics", "drift", "pipelines"]
    positions = [doc.index(a) for a in areas]
    assert positions == sorted(positions)


@pytest.mark.parametrize("module", [core, extra], ids=["core", "extra"])
def test_module_holds_only_classes(module):
    public = [n for n in dir(module) if not n.startswith("__")]
    assert public, "no classes registered"
    assert all(isinstance(getattr(module, n), type) for n in public)
    for name in (INTERFACES + ["NaiveBayes"] if module is core else ["ScaledTargetRegressor"]):
        assert name in public


def test_the_core_keeps_its_classes_and_the_extra_module_derives_its_learners_from_them():
    assert len([n for n in dir(core) if not n.startswith("__")]) == 45
    assert not set(dir(core)) & {n for n in dir(extra) if not n.startswith("__")}
    for name in (n for n in dir(extra) if not n.startswith("__")):
        cls = getattr(extra, name)
        if hasattr(cls, "predict_one"):  # a learner: usable wherever the core's are
            assert issubclass(cls, (core.IClassifier, core.IRegressor)), name
        else:  # a drift detector, an anomaly detector or a metric stands alone
            assert not issubclass(cls, (core.IClassifier, core.IRegressor, core.ITransformer)), name


def test_package_namespace_holds_only_its_exports_and_submodules():
    import importlib
    import pkgutil

    import tarvo

    for info in pkgutil.walk_packages(tarvo.__path__, "tarvo."):
        if not info.name.endswith("__main__"):
            importlib.import_module(info.name)
    stray = [
        name for name in dir(tarvo)
        if name not in tarvo.__all__ and not (name.startswith("__") and name.endswith("__"))
        and not (isinstance(getattr(tarvo, name), types.ModuleType)
                 and getattr(tarvo, name).__name__ == f"tarvo.{name}")
    ]
    assert stray == []
    native = [n for module in (core, extra) for n in dir(module) if not n.startswith("__")]
    assert sorted(tarvo.__all__) == sorted(native)
    assert all(getattr(tarvo, n) is getattr(core, n, None) or getattr(tarvo, n) is getattr(extra, n) for n in native)


@pytest.mark.parametrize("name", INTERFACES)
def test_interfaces_have_no_constructor(name):
    with pytest.raises(TypeError, match=r": No constructor defined!$"):
        getattr(core, name)()


def test_learner_is_instance_of_its_interface():
    nb = core.NaiveBayes()
    assert isinstance(nb, core.IClassifier)
    assert not isinstance(nb, core.IRegressor)
    assert not isinstance(nb, core.ITransformer)


class CustomMapping(collections.abc.Mapping):
    def __init__(self, data):
        self._data = dict(data)

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class FloatLike:
    def __float__(self):
        return 2.5


class IndexLike:
    def __index__(self):
        return 7


@pytest.mark.parametrize(
    "sample",
    [
        {"a": 1, "b": 2.0},
        types.MappingProxyType({"a": 1.0, "b": 2.0}),
        CustomMapping({"a": 1.0, "b": 2.0}),
        {"a": np.float64(1.0), "b": np.int32(2)},
        {"a": FloatLike(), "b": True},
        {},
    ],
    ids=["int-values", "mappingproxy", "abc-mapping", "numpy-scalars", "float-like", "empty"],
)
def test_accepted_samples(sample):
    nb = core.NaiveBayes()
    nb.learn_one(sample, 1)
    assert nb.predict_one(sample) == 1
    assert set(nb.predict_proba_one(sample)) == {1}


@pytest.mark.parametrize(
    "args",
    [
        ({"a": "x"}, 2),
        ({1: 1.0}, 2),
        ({"a": 1.0, "b": None}, 2),
        ([("a", 1.0)], 2),
        ({"a": 1.0}, 2.0),
        ({"a": 1.0}, 2**31),
        ({"a": 1.0}, -(2**31) - 1),
        ({"a": 1.0}, "1"),
        ({"a": 1.0},),
    ],
    ids=["str-value", "int-key", "none-value", "list", "float-label", "label-2**31",
         "label-below-int32", "str-label", "missing-label"],
)
def test_rejected_arguments_raise_type_error_and_leave_model_untouched(args):
    nb = core.NaiveBayes()
    with pytest.raises(TypeError, match=r"learn_one\(\): incompatible function arguments"):
        nb.learn_one(*args)
    assert nb.predict_one({}) == -1


def test_keywords_are_not_accepted_for_learner_methods():
    nb = core.NaiveBayes()
    with pytest.raises(TypeError):
        nb.learn_one(x={"a": 1.0}, y=1)


@pytest.mark.parametrize(
    "label, expected",
    [(True, 1), (False, 0), (IndexLike(), 7), (np.int64(-5), -5),
     (2**31 - 1, 2**31 - 1), (-(2**31), -(2**31))],
)
def test_label_conversion(label, expected):
    nb = core.NaiveBayes()
    nb.learn_one({"a": 1.0}, label)
    assert nb.predict_one({"a": 1.0}) == expected


def test_failing_mapping_propagates_its_own_error():
    class Broken(CustomMapping):
        def items(self):
            raise KeyError("broken items")

    nb = core.NaiveBayes()
    with pytest.raises(KeyError, match="broken items"):
        nb.learn_one(Broken({"a": 1.0}), 1)


def test_shared_ownership_across_native_handles():
    nb = core.NaiveBayes()
    probe.learn_through_interface(nb, {"a": 1.0}, 4)
    assert nb.predict_one({}) == 4
    assert probe.predict_through_interface(nb, {"a": 1.0}) == 4
    with pytest.raises(TypeError):
        probe.regress_through_interface(nb, {})


def test_interface_defaults_of_transformer():
    out = probe.transformer_defaults()
    assert out["requires_target"] is False
    assert out["learnt_sizes"] == [2], "learn_one(x, y) must forward to learn_one(x)"
    assert out["transformed"] == {"a": 2.0, "b": 4.0}
    assert out["input_untouched"] is True


@pytest.mark.parametrize(
    "values",
    [[], [3.0], [1.0, 2.0, 3.0, 4.0], [1e9 + 4, 1e9 + 7, 1e9 + 13, 1e9 + 16]],
)
def test_running_stats_matches_closed_form(values):
    n, mean, m2 = probe.running_stats(values)
    assert n == len(values)
    if values:
        exact_mean = sum(values) / len(values)
        assert mean == pytest.approx(exact_mean, rel=1e-15)
        assert m2 == pytest.approx(sum((v - exact_mean) ** 2 for v in values), rel=1e-9, abs=1e-12)
    else:
        assert (mean, m2) == (0.0, 0.0)


def test_running_stats_propagates_nan():
    n, mean, m2 = probe.running_stats([1.0, float("nan"), 2.0])
    assert n == 3 and np.isnan(mean) and np.isnan(m2)


def _other_python() -> str | None:
    for name in ("python3.11", "python3.13"):
        path = shutil.which(name)
        if path and subprocess.run([path, "-c", "pass"], capture_output=True).returncode == 0:
            return path
    root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv")) / "versions"
    for candidate in sorted(root.glob("3.1[13]*/bin/python3.1[13]")):
        return str(candidate)
    return None


@pytest.mark.skipif(os.environ.get("TARVO_SANITIZED") == "1", reason="ASan runtime preloaded")
def test_import_into_another_python_fails_with_version_message():
    other = _other_python()
    if other is None:
        pytest.skip("no Python other than 3.12 available")
    code = (
        "import importlib.util, sys\n"
        f"location = importlib.util.spec_from_file_location('_tarvo_core', {core.__file__!r})\n"
        "try:\n"
        "    importlib.util.module_from_spec(location)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
    )
    out = subprocess.run([other, "-c", code], capture_output=True, text=True, timeout=60)
    assert out.stdout.startswith(
        "Python version mismatch: module was compiled for Python 3.12, "
        "but the interpreter version is incompatible: "
    ), out.stdout + out.stderr
    assert out.stdout.rstrip().endswith(".")


def test_native_stream_loops_drive_any_learner_through_its_interface():
    nb = core.NaiveBayes()
    ns, checksum = probe.classifier_stream_ns(nb, [({"a": 1.0}, 3), ({"a": 1.0}, 3)])
    assert ns >= 0.0 and checksum == -1 + 3  # untrained answer, then the learnt label
    assert nb.predict_one({}) == 3
    with pytest.raises(TypeError):
        probe.regressor_stream_ns(nb, [({"a": 1.0}, 3.0)])
