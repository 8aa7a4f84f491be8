"""Objects made without their constructor, every pickle protocol, and __setstate__ misuse:
each is refused with a clear exception, never a crash. One walk over the module's classes."""

from __future__ import annotations

import inspect
import pickle

import pytest

import _tarvo_core as core
import _tarvo_extra as extra

INTERFACES = {"ITransformer", "IClassifier", "IRegressor"}
CLASSES = [cls for module in (core, extra) for name, cls in sorted(vars(module).items())
           if inspect.isclass(cls) and name not in INTERFACES]
# Classes whose saved state holds the objects they share with the caller.
SHARING = {"ClassificationPipeline", "RegressionPipeline", "ScaledTargetRegressor"}

# Argument lists tried on each method of an unconstructed object: whichever converts, the
# call must stop at the guard.
SAMPLE = {"a": 1.0}
CANDIDATE_ARGS = [(), (SAMPLE,), (SAMPLE, 1), (SAMPLE, 1.0), (1,), (1.0,), (1, 1), (1.0, 1.0), (["a"],), ({},)]
SKIPPED = {"_pybind11_conduit_v1_", "__init__", "__setstate__", "__new__", "__reduce_ex__", "__init_subclass__", "__subclasshook__"}


def make(cls):
    """A constructed object of `cls` at its defaults."""
    if cls is core.ClassificationPipeline:
        return cls([core.StandardScaler()], core.NaiveBayes())
    if cls is core.RegressionPipeline:
        return cls([core.StandardScaler()], core.LinearRegression())
    if cls is extra.ScaledTargetRegressor:
        return cls(core.LinearRegression())
    return cls()


def own_members(cls):
    """The methods and properties the class defines itself (pybind11's, not object's)."""
    for klass in cls.__mro__:
        if klass is object or klass.__module__ not in ("_tarvo_core", "_tarvo_extra"):
            continue
        for name, value in vars(klass).items():
            if name in SKIPPED or name in ("__doc__", "__module__", "__dict__", "__weakref__"):
                continue
            yield name, value


def test_walks_every_concrete_class():
    assert len(CLASSES) == 42 + 11  # _tarvo_core's and _tarvo_extra's


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_unconstructed_object_is_refused_by_every_method_and_property(cls):
    obj = cls.__new__(cls)
    reference = make(cls)
    for name, value in own_members(cls):
        if isinstance(value, property):
            with pytest.raises(TypeError, match="never constructed"):
                getattr(obj, name)
            if value.fset is not None:
                with pytest.raises(TypeError, match="never constructed"):
                    setattr(obj, name, getattr(reference, name))
            continue
        if not callable(value) or isinstance(value, (staticmethod, type)):
            continue
        guarded = False
        for args in CANDIDATE_ARGS:
            with pytest.raises(TypeError) as info:
                getattr(obj, name)(*args)
            guarded |= "never constructed" in str(info.value)
        assert guarded, f"{cls.__name__}.{name} never reached the guard"
    # Pickling and printing are refused the same way, and the object can still be restored.
    for action in (repr, pickle.dumps):
        with pytest.raises(TypeError, match="never constructed"):
            action(obj)
    obj.__setstate__(reference.__getstate__())
    assert repr(obj) == repr(reference)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_a_method_called_on_an_object_of_another_kind_is_refused(cls):
    # Through the class, `self` can be anything: a number, None, a plain object, an object
    # of another bound class, constructed or not. Each is a TypeError naming the signature.
    other = core.NaiveBayes if cls is not core.NaiveBayes else core.Perceptron
    strangers = [1.5, None, object(), "text", other(), other.__new__(other)]
    for name, value in own_members(cls):
        if isinstance(value, property):
            calls = [value.fget] + ([lambda s, f=value.fset: f(s, 1.0)] if value.fset else [])
        elif callable(value) and not isinstance(value, (staticmethod, type)):
            calls = [lambda s, f=value, a=args: f(s, *a) for args in CANDIDATE_ARGS]
        else:
            continue
        for call in calls:
            for stranger in strangers:
                if isinstance(stranger, cls):
                    continue
                with pytest.raises(TypeError, match="incompatible function arguments"):
                    call(stranger)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_pickle_protocol_round_trips(cls):
    obj = make(cls)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(obj, protocol=protocol))
        assert type(again) is cls and repr(again) == repr(obj)
        if cls.__name__ not in SHARING:
            assert again.__getstate__() == obj.__getstate__()


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_setstate_never_passes_silently(cls):
    obj = make(cls)
    with pytest.raises(TypeError, match="already constructed"):
        obj.__setstate__(obj.__getstate__())
    with pytest.raises(TypeError):
        obj.__setstate__(None)
    with pytest.raises(TypeError):
        cls.__new__(cls).__setstate__(None)
    other = core.NaiveBayes if cls is not core.NaiveBayes else core.Perceptron
    with pytest.raises(TypeError, match="its own class"):
        cls.__setstate__(other.__new__(other), obj.__getstate__())


@pytest.mark.parametrize(
    "build, where",
    [
        (lambda: core.ClassificationPipeline([core.StandardScaler.__new__(core.StandardScaler)], core.NaiveBayes()), "steps\\[0\\]"),
        (lambda: core.ClassificationPipeline([core.StandardScaler()], core.NaiveBayes.__new__(core.NaiveBayes)), "learner"),
        (lambda: core.RegressionPipeline([core.MinMaxScaler(), core.VarianceThreshold.__new__(core.VarianceThreshold)], core.LinearRegression()), "steps\\[1\\]"),
        (lambda: core.RegressionPipeline([], core.NaiveBayes()), "learner is a NaiveBayes, not an IRegressor"),
        (lambda: core.ClassificationPipeline([None], core.NaiveBayes()), "steps\\[0\\] is None"),
    ],
)
def test_pipeline_names_the_argument_it_cannot_use(build, where):
    with pytest.raises(TypeError, match=where):
        build()
