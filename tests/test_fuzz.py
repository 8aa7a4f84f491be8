"""Hostile-input fuzzing and determinism over one table of every class (tests/class_table.py).

Every call ends in a result or a clear TypeError / ValueError / OverflowError; a rejected call
leaves its object as it was; nothing crashes or hangs (a watchdog ends the whole run loudly if
an example takes too long). Equal arguments and equal call sequences give equal results, bit
for bit, and reset() followed by a stream repeats a fresh object. The number of examples
comes from the Hypothesis profile chosen in conftest.py (TARVO_HYPOTHESIS_PROFILE).
"""

from __future__ import annotations

import contextlib
import faulthandler
import math
import os
import pickle
import re
import resource
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import _tarvo_core as core
from class_table import CLASSES, INT32_MAX, INT32_MIN, INTERFACES, TABLE, Param

CLEAR = (TypeError, ValueError, OverflowError)
WATCHDOG_SECONDS = float(os.environ.get("TARVO_FUZZ_WATCHDOG", "300"))
SANITIZED = os.environ.get("TARVO_SANITIZED") == "1"
OMIT = object()


@pytest.fixture(scope="module", autouse=True)
def bounded_memory():
    """Outside the sanitizer, cap the address space so that an unbounded allocation shows up
    as a MemoryError (a failure here) instead of exhausting the machine."""
    if SANITIZED:
        yield
        return
    with open("/proc/self/status") as status:
        size_kb = int(re.search(r"VmSize:\s+(\d+)", status.read()).group(1))
    old = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (size_kb * 1024 + (3 << 30), old[1]))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, old)


WATCHDOG_LOG = os.environ.get("TARVO_FUZZ_LOG", "build/fuzz-watchdog.log")


@contextlib.contextmanager
def watchdog(*example):
    """If the body hangs, write the example and every thread's stack to WATCHDOG_LOG and end
    the interpreter with exit status 1 (native code holds the interpreter lock, so only
    faulthandler's own thread can still act)."""
    os.makedirs(os.path.dirname(WATCHDOG_LOG) or ".", exist_ok=True)
    with open(WATCHDOG_LOG, "w") as log:
        log.write(f"Fuzz example still running after {WATCHDOG_SECONDS} s:\n{example!r}\n")
        log.flush()
        faulthandler.dump_traceback_later(WATCHDOG_SECONDS, exit=True, file=log)
        try:
            yield
        finally:
            faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------------------------- the table matches the module


def test_table_lists_every_class_with_its_keywords_and_writable_properties():
    registered = set(CLASSES) - set(INTERFACES)
    assert registered == set(TABLE), "classes missing from (or unknown to) tests/class_table.py"
    for name, row in TABLE.items():
        cls = CLASSES[name]
        if row.kind not in ("pipeline", "wrapper"):
            sig = cls.__init__.__doc__.splitlines()[0]
            keywords = re.findall(r"(\w+): [^,)]+(?: = [^,)]+)?", sig[sig.index(",") + 1:]) if "," in sig else []
            assert list(row.params) == keywords, name
        writable = {k for k in dir(cls) if isinstance(getattr(cls, k), property) and getattr(cls, k).fset}
        assert set(row.props) == writable, name


# ---------------------------------------------------------------- value strategies

HOSTILE_VALUES = [math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, -5e-324, 0.0, -0.0, 2.0**53, 1e-310]
NAMES = st.sampled_from(["a", "b", "c", "d", "e", "", "ä", "名前 ✓", "n" * 500, "\x00z"])
VALUES = st.one_of(
    st.floats(-5, 5), st.sampled_from(HOSTILE_VALUES), st.integers(-3, 3), st.sampled_from([True, 2**53 + 1])
)
# Samples the binding must reject as a whole with TypeError.
BAD_SAMPLES = st.sampled_from([{1: 1.0}, {"a": "x"}, {"a": 10**400}, {"a": None}, None, [("a", 1.0)]])
SAMPLES = st.one_of(
    st.dictionaries(NAMES, VALUES, max_size=6),
    st.tuples(st.just("fresh"), st.integers(1, 4)),  # names never seen before
    st.tuples(st.just("wide"), st.integers(1000, 3000), st.integers(0, 3)),  # thousands of features
    BAD_SAMPLES,
)
LABELS = st.one_of(
    st.integers(-2, 4),
    st.sampled_from([INT32_MAX, INT32_MIN, -1, True, 2**31, INT32_MIN - 1, 1.0, "1", None]),
)
TARGETS = st.one_of(
    st.floats(-10, 10),
    st.sampled_from([math.nan, math.inf, -math.inf, 1e308, -1e308, 5e-324, 10**400, "1", None]),
)


def param_value(p: Param) -> st.SearchStrategy:
    return st.one_of(p.sensible, p.hostile())


def arguments(row, hostile: bool = True) -> st.SearchStrategy:
    def one(p):
        return st.one_of(st.just(OMIT), param_value(p) if hostile else p.sensible)

    return st.fixed_dictionaries({k: one(p) for k, p in row.params.items()}).map(
        lambda d: {k: v for k, v in d.items() if v is not OMIT}
    )


def is_classification(name: str) -> bool:
    return name in ("ClassificationPipeline",) or TABLE[name].kind == "classifier"


# A pipeline is a nested plan: ("pipe", name, [step plans], learner plan); a target wrapper
# ("wrap", name, regressor plan); a leaf is (name, keywords). Members stay small so that an
# example stays fast.
def learner_plan(classification: bool, depth: int) -> st.SearchStrategy:
    names = [n for n, r in TABLE.items() if r.kind == ("classifier" if classification else "regressor")]
    leaf = st.sampled_from(names).flatmap(lambda n: st.tuples(st.just(n), arguments(TABLE[n], hostile=False)))
    if depth == 0:
        return leaf
    if classification:
        return st.one_of(leaf, pipeline_plan(classification, depth - 1))
    return st.one_of(leaf, pipeline_plan(classification, depth - 1), wrapper_plan(depth - 1))


def wrapper_plan(depth: int = 2) -> st.SearchStrategy:
    return st.tuples(st.just("wrap"), st.just("ScaledTargetRegressor"), learner_plan(False, depth))


def pipeline_plan(classification: bool, depth: int = 2) -> st.SearchStrategy:
    name = "ClassificationPipeline" if classification else "RegressionPipeline"
    step = st.sampled_from([n for n, r in TABLE.items() if r.kind == "transformer"]).flatmap(
        lambda n: st.tuples(st.just(n), arguments(TABLE[n], hostile=False))
    )
    return st.tuples(
        st.just("pipe"), st.just(name), st.lists(step, max_size=3), learner_plan(classification, depth),
        st.booleans(),  # repeat the first step object
    )


def build(plan):
    if plan[0] == "pipe":
        _, name, steps, learner, repeat = plan
        objs = [build(s) for s in steps]
        if repeat and objs:
            objs.append(objs[0])
        return CLASSES[name](objs, build(learner))
    if plan[0] == "wrap":
        return CLASSES[plan[1]](build(plan[2]))
    name, kwargs = plan
    return CLASSES[name](**kwargs)


def plans(name: str) -> st.SearchStrategy:
    row = TABLE[name]
    if row.kind == "pipeline":
        return pipeline_plan(name == "ClassificationPipeline")
    if row.kind == "wrapper":
        return wrapper_plan()
    return arguments(row).map(lambda kw: (name, kw))


def operations(name: str, with_writes: bool = True) -> st.SearchStrategy:
    row = TABLE[name]
    kind = row.kind
    ops = [st.just(("reset",))]
    if with_writes and row.props:
        ops.append(
            st.sampled_from(sorted(row.props)).flatmap(
                lambda p: st.tuples(st.just("set"), st.just(p), param_value(row.props[p]))
            )
        )
    if hasattr(CLASSES[name], "__setstate__"):
        ops.append(st.just(("pickle",)))
    if kind in ("classifier", "regressor", "pipeline", "wrapper"):
        target = LABELS if is_classification(name) else TARGETS
        ops += [st.tuples(st.just("learn"), SAMPLES, target)] * 3 + [st.tuples(st.just("predict"), SAMPLES)]
    if kind == "pipeline" or name == "SelectKBest":
        if with_writes:
            ops.append(st.tuples(st.just("order"), st.lists(NAMES, max_size=5)))
    if kind == "transformer":
        ops += [st.tuples(st.just("learn"), SAMPLES, TARGETS)] * 3
        ops += [st.tuples(st.just("transform"), SAMPLES), st.just(("clone",))]
    if kind in ("label_metric", "value_metric", "window_metric"):
        ints = kind == "label_metric" or name == "WindowMetric"
        v = LABELS if ints else TARGETS
        ops += [st.tuples(st.just("update"), v, v)] * 3 + [st.tuples(st.just("get"), LABELS)]
    if kind == "detector":
        v = LABELS if name == "EDDM" else TARGETS
        # Values within [0, 1] often, so that the detectors of a bounded mean take some.
        if name != "EDDM":
            v = st.one_of(v, st.floats(0.0, 1.0), st.sampled_from([0.0, 1.0]))
        ops += [st.tuples(st.just("update"), v)] * 3
    if kind == "anomaly":
        ops += [st.tuples(st.just("learn"), SAMPLES, st.none())] * 3 + [st.tuples(st.just("score"), SAMPLES)]
    if kind == "score_metric":
        ops += [st.tuples(st.just("update"), LABELS, TARGETS)] * 3 + [st.tuples(st.just("get"), LABELS)]
    return st.lists(st.one_of(*ops), max_size=25)


# ---------------------------------------------------------------- driving an object


class Names:
    """Feature names that never repeat within one run."""

    def __init__(self):
        self.n = 0

    def sample(self, plan):
        if isinstance(plan, tuple) and plan and plan[0] == "fresh":
            self.n += 1
            return {f"fresh{self.n}_{j}": float(j) - 1.5 for j in range(plan[1])}
        if isinstance(plan, tuple) and plan and plan[0] == "wide":
            _, width, flavour = plan
            planial = [1.0, math.nan, 1e308, 5e-324][flavour]
            return {f"w{j}": (planial if j % 7 == 0 else (j % 13) * 0.25) for j in range(width)}
        return plan


PROBES = [{}, {"a": 1.0, "b": -2.0}, {"c": 0.5, "ä": 3.0, "zz": 1e6}, {"a": math.nan}]


def canon(v):
    """A comparable form of a result that tells every float apart bit for bit."""
    if isinstance(v, float):
        return ("f", struct.pack("<d", v))
    if isinstance(v, dict):
        return ("d", tuple((canon(k), canon(x)) for k, x in v.items()))
    if isinstance(v, (list, tuple)):
        return tuple(canon(x) for x in v)
    if v is None or isinstance(v, (bool, int, str, bytes)):
        return v
    return ("obj", type(v).__name__)


def saved(state):
    """A saved state with the objects it holds (a pipeline's steps and learner) observed."""
    if isinstance(state, (tuple, list)):
        return tuple(saved(v) for v in state)
    if type(state).__name__ in TABLE:
        return observe(state)
    return state


def observe(obj):
    """Everything the object answers without learning, as a comparable value."""
    if hasattr(type(obj), "__setstate__"):
        return ("state", saved(obj.__getstate__()))
    cls = type(obj).__name__
    kind = TABLE[cls].kind
    out = []
    if kind in ("classifier", "regressor", "pipeline", "wrapper"):
        for x in PROBES:
            out.append(obj.predict_one(x))
            if hasattr(obj, "predict_proba_one"):
                out.append(obj.predict_proba_one(x))
    elif kind == "transformer":
        out = [obj.transform_one(x) for x in PROBES]
    elif kind in ("label_metric", "value_metric"):
        out = [obj.get()]
    elif kind == "window_metric":
        out = [obj.get(0), obj.get(1), obj.size]
    else:
        out = [getattr(obj, p) for p in dir(type(obj)) if isinstance(getattr(type(obj), p), property)]
    return canon(out)


# Messages kept as they are although they name no argument (none now).
KEPT_MESSAGES: set[str] = set()


def check_clear(exc: BaseException, names=()) -> None:
    msg = str(exc)
    assert msg, f"{type(exc).__name__} without a message"
    if names and not isinstance(exc, TypeError) and msg not in KEPT_MESSAGES:
        assert any(n in msg for n in names), f"message {msg!r} names none of {names}"


def apply(obj, op, names: Names):
    """One operation; returns (object to continue with, comparable outcome)."""
    kind = op[0]
    if kind == "reset":
        return obj, obj.reset()
    if kind == "set":
        setattr(obj, op[1], op[2])
        return obj, getattr(obj, op[1])
    if kind == "pickle":
        copy = pickle.loads(pickle.dumps(obj))
        assert observe(copy) == observe(obj)
        return copy, None
    if kind == "clone":
        copy = obj.clone_state()
        assert observe(copy) == observe(obj)
        return copy, None
    if kind == "learn":
        x = names.sample(op[1])
        if TABLE[type(obj).__name__].kind == "anomaly" or (
                TABLE[type(obj).__name__].kind == "transformer" and "arg1" not in obj.learn_one.__doc__):
            return obj, obj.learn_one(x)
        return obj, obj.learn_one(x, op[2])
    if kind == "predict":
        x = names.sample(op[1])
        out = [obj.predict_one(x)]
        if hasattr(obj, "predict_proba_one"):
            out.append(obj.predict_proba_one(x))
        return obj, out
    if kind == "transform":
        return obj, obj.transform_one(names.sample(op[1]))
    if kind == "score":
        return obj, obj.score_one(names.sample(op[1]))
    if kind == "order":
        return obj, obj.set_feature_order(op[1])
    if kind == "update":
        return obj, obj.update(*op[1:])
    if kind == "get":
        if TABLE[type(obj).__name__].kind == "window_metric":
            return obj, [obj.get(op[1]), obj.get(), obj.size]
        return obj, obj.get()
    raise AssertionError(op)


def run(obj, ops, names: Names | None = None):
    """Drives obj through ops; every outcome is a result or a clear exception that left the
    object unchanged. Returns the object and the trace of outcomes."""
    names = names or Names()
    trace = []
    for op in ops:
        before = observe(obj)
        try:
            obj, out = apply(obj, op, names)
        except CLEAR as exc:
            check_clear(exc, (op[1],) if op[0] == "set" else ())
            # A failed reset may already have forgotten (LeveragingBaggingRegressor drops its
            # members before refusing a negative n_models): forgetting is what it was asked.
            if op[0] != "reset":
                assert observe(obj) == before, f"rejected {op[0]} changed the object"
            trace.append(("raised", type(exc).__name__))
            continue
        trace.append(canon(out))
        trace.append(observe(obj))
    return obj, trace


def construct(plan):
    """The object of a plan, or None when its constructor rejected the arguments clearly."""
    try:
        return build(plan)
    except CLEAR as exc:
        check_clear(exc, tuple(plan[1]) if plan[0] not in ("pipe", "wrap") else ())
        return None


FUZZED = sorted(TABLE)


@pytest.mark.parametrize("name", FUZZED)
@given(data=st.data())
def test_every_call_ends_in_a_result_or_a_clear_exception(name, data):
    plan = data.draw(plans(name), label="plan")
    ops = data.draw(operations(name), label="ops")
    with watchdog(name, plan, ops):
        obj = construct(plan)
        if obj is not None:
            run(obj, ops)


@pytest.mark.parametrize("name", FUZZED)
@given(data=st.data())
def test_equal_arguments_and_streams_agree_bit_for_bit(name, data):
    plan = data.draw(plans(name), label="plan")
    ops = data.draw(operations(name), label="ops")
    with watchdog(name, plan, ops):
        first = construct(plan)
        if first is None:
            return
        _, a = run(first, ops)
        _, b = run(construct(plan), ops)
        assert a == b


@pytest.mark.parametrize("name", FUZZED)
@given(data=st.data())
def test_reset_then_a_stream_repeats_a_fresh_object(name, data):
    plan = data.draw(plans(name), label="plan")
    before = data.draw(operations(name, with_writes=False), label="before")
    after = data.draw(operations(name), label="after")
    if "SelectKBest" in repr(plan):
        # SelectKBest keeps the order in which it first learnt names through reset (its tie
        # order), so only a stream it learns nothing from is forgotten without trace.
        before = [op for op in before if op[0] != "learn"]
    with watchdog(name, plan, before, after):
        used = construct(plan)
        if used is None:
            return
        used, _ = run(used, before)
        used.reset()
        _, a = run(used, after)
        _, b = run(construct(plan), after)
        assert a == b


# ---------------------------------------------------------------- faults the fuzzing found


@pytest.mark.parametrize(
    "make",
    [
        lambda lam: core.ARFClassifier(n_models=2, lambda_value=lam),
        lambda lam: core.ARFRegressor(n_models=2, lambda_value=lam),
        lambda lam: core.SRPClassifier(n_models=2, lambda_value=lam),
        lambda lam: core.SRPRegressor(n_models=2, lambda_value=lam),
        lambda lam: core.LeveragingBaggingClassifier(n_models=2, lambda_value=lam),
        lambda lam: core.LeveragingBaggingRegressor(n_models=2, lambda_value=lam),
    ],
)
def test_a_training_weight_mean_above_1000_is_rejected_instead_of_hanging(make):
    # Every member learns a sample about lambda_value times: 2^31 held one call for hours.
    with watchdog("lambda_value"):
        model = make(float(2**31))
        before = observe(model)
        with pytest.raises(ValueError, match="lambda_value"):
            model.learn_one({"a": 1.0}, 1)
        assert observe(model) == before
        make(1000.0).learn_one({"a": 1.0}, 1)


@pytest.mark.parametrize("cls", [core.SGBTClassifier, core.SGBRRegressor])
def test_a_hessian_multiplier_above_1000_is_rejected_instead_of_hanging(cls):
    # A stage repeats its step up to multiply_hessian_by times per sample.
    with watchdog("multiply_hessian_by"):
        model = cls(n_models=2, bag_size=1, multiply_hessian_by=INT32_MAX - 1)
        before = observe(model)
        with pytest.raises(ValueError, match="multiply_hessian_by"):
            model.learn_one({"a": 1.0}, 1)
        assert observe(model) == before
        cls(n_models=2, bag_size=1, multiply_hessian_by=1000).learn_one({"a": 1.0}, 1)


@pytest.mark.parametrize(
    "make, feed",
    [
        (core.NaiveBayes, lambda m, k: m.learn_one({f"f{k}": k}, k)),
        (core.KNNClassifier, lambda m, k: m.learn_one({f"f{k}": k}, k)),
        (core.KNNRegressor, lambda m, k: m.learn_one({f"f{k}": k}, float(k))),
        (core.MacroPrecision, lambda m, k: m.update(k, (k * 7) % 40)),
        (core.MacroRecall, lambda m, k: m.update(k, (k * 7) % 40)),
        (core.MacroF1, lambda m, k: m.update(k, (k * 7) % 40)),
        (core.LinearRegression, lambda m, k: m.learn_one({f"f{k}": k}, float(k))),
        (core.BayesianLinearRegression, lambda m, k: m.learn_one({f"f{k}": k}, float(k))),
        (core.PassiveAggressiveRegressor, lambda m, k: m.learn_one({f"f{k}": k}, float(k))),
        (core.LogisticRegressionClassifier, lambda m, k: m.learn_one({f"f{k}": k}, k % 3)),
        (core.SoftmaxRegression, lambda m, k: m.learn_one({f"f{k}": k}, k % 3)),
        (core.FIMTDDRegressor, lambda m, k: m.learn_one({f"f{k}": k}, float(k))),
        (core.StandardScaler, lambda m, k: m.learn_one({f"f{k}": k})),
        (core.MinMaxScaler, lambda m, k: m.learn_one({f"f{k}": k})),
        (core.MaxAbsScaler, lambda m, k: m.learn_one({f"f{k}": k})),
        (core.VarianceThreshold, lambda m, k: m.learn_one({f"f{k}": k})),
    ],
)
def test_reset_forgets_the_grown_hash_tables(make, feed):
    # clear() kept the bucket array, which decides the table order (the macro averages are
    # summed in it), so a reset object saved, and could sum, unlike a fresh one.
    used, fresh = make(), make()
    for k in range(40):
        feed(used, k)
    used.reset()
    assert used.__getstate__() == fresh.__getstate__()
    for k in range(5):
        feed(used, k)
        feed(fresh, k)
    assert used.__getstate__() == fresh.__getstate__()

