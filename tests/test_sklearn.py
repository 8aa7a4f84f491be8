"""The scikit-learn estimators of tarvo.sklearn: scikit-learn's own checks, equality with the
per-sample methods, labels of every type, nested parameters, and the model selection tools."""

from __future__ import annotations

import copy
import pickle
import warnings

import numpy as np
import pytest

pytest.importorskip("sklearn", reason="tarvo.sklearn needs scikit-learn (pip install scikit-learn)")

from sklearn.base import clone  # noqa: E402
from sklearn.model_selection import GridSearchCV, cross_val_score  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import StandardScaler as SkStandardScaler  # noqa: E402
from sklearn.utils.estimator_checks import parametrize_with_checks  # noqa: E402

import tarvo  # noqa: E402
from tarvo.learners import LEARNERS, task_of_class  # noqa: E402
from tarvo.sklearn import OnlineClassifier, OnlineRegressor, OnlineTransformer, hyper_parameters  # noqa: E402

# Every check of scikit-learn passes on these wrappers: none needs an expected-failure mark.
CHECKED = [
    OnlineClassifier(tarvo.NaiveBayes()),
    OnlineClassifier(tarvo.HoeffdingTreeClassifier()),
    OnlineClassifier(tarvo.LogisticRegressionClassifier()),
    OnlineClassifier(tarvo.ARFClassifier(n_models=3)),
    OnlineRegressor(tarvo.HoeffdingTreeRegressor()),
    OnlineRegressor(tarvo.LinearRegression()),
    OnlineTransformer(tarvo.StandardScaler()),
]


@parametrize_with_checks(CHECKED)
def test_scikit_learn_estimator_checks(estimator, check):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        check(estimator)


CLASSIFIERS = sorted(n for n, c in LEARNERS.items() if task_of_class(c) == "classification")
REGRESSORS = sorted(n for n, c in LEARNERS.items() if task_of_class(c) == "regression")
# Small ensembles keep the shared tables quick.
SMALL = {"n_models": 3}


def small(name):
    cls = LEARNERS[name]
    params = {p.name for p in tarvo._signature.parameters(cls) or []}
    return cls(**{k: v for k, v in SMALL.items() if k in params})


def data(n=400, n_features=4, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, n_features))
    X[rng.random(X.shape) < 0.05] = np.nan  # absent features
    score = np.nansum(X[:, :2], axis=1)
    y = np.digitize(score, [-0.7, 0.7])  # 0, 1, 2
    return X, y, score


def rows(X, names):
    return [{n: float(v) for n, v in zip(names, row) if v == v} for row in X]


# ---------------------------------------------------------------- equality with the per-sample path


@pytest.mark.parametrize("name", CLASSIFIERS)
def test_a_classifier_predicts_as_learn_one_on_the_codes_of_its_labels(name):
    """Text labels are learnt as their positions in classes_; answers map back to the labels."""
    X, y, _ = data()
    text = np.array(["low", "mid", "high"], dtype=object)[y]  # sorted: high, low, mid
    est = OnlineClassifier(small(name)).fit(X, text)
    assert est.classes_.tolist() == ["high", "low", "mid"]
    code = {"high": 0, "low": 1, "mid": 2}
    ref = small(name)
    samples = rows(X, ["x0", "x1", "x2", "x3"])
    for x, label in zip(samples, text):
        ref.learn_one(x, code[label])
    assert pickle.dumps(est.model_) == pickle.dumps(ref)
    expected = [est.classes_[ref.predict_one(x)] for x in samples]
    assert est.predict(X).tolist() == expected
    P = est.predict_proba(X)
    for x, p in zip(samples, P):
        answer = ref.predict_proba_one(x)
        assert p.tolist() == [answer.get(k, 0.0) for k in range(3)]


@pytest.mark.parametrize("name", REGRESSORS)
def test_a_regressor_predicts_as_learn_one(name):
    X, _, score = data()
    est = OnlineRegressor(small(name)).fit(X, score)
    ref = small(name)
    samples = rows(X, ["x0", "x1", "x2", "x3"])
    for x, target in zip(samples, score):
        ref.learn_one(x, float(target))
    assert pickle.dumps(est.model_) == pickle.dumps(ref)
    assert est.predict(X).tolist() == [ref.predict_one(x) for x in samples]


@pytest.mark.parametrize("cls", [tarvo.StandardScaler, tarvo.MinMaxScaler, tarvo.MaxAbsScaler, tarvo.VarianceThreshold])
def test_a_transformer_transforms_as_transform_one(cls):
    X, _, _ = data()
    X[:, 3] = 1.0  # a constant column, which the variance threshold drops
    est = OnlineTransformer(cls()).fit(X)
    ref = cls()
    names = ["x0", "x1", "x2", "x3"]
    samples = rows(X, names)
    for x in samples:
        ref.learn_one(x)
    out = list(est.get_feature_names_out())
    assert out == (names[:3] if cls is tarvo.VarianceThreshold else names)
    Z = est.transform(X)
    for x, z in zip(samples, Z):
        answer = ref.transform_one(x)
        assert [None if v != v else v for v in z.tolist()] == [answer.get(n) for n in out]


def test_select_k_best_learns_from_the_targets():
    X, _, score = data()
    with pytest.raises(ValueError, match="learns from the targets too"):
        OnlineTransformer(tarvo.SelectKBest(k=2)).fit(X)
    est = OnlineTransformer(tarvo.SelectKBest(k=2, use_abs=True)).fit(X, score)
    assert sorted(est.get_feature_names_out()) == ["x0", "x1"]
    assert est.transform(X).shape == (len(X), 2)


def test_partial_fit_over_chunks_is_fit_over_the_whole():
    X, y, score = data(n=600)
    whole = OnlineClassifier(tarvo.HoeffdingTreeClassifier(grace_period=50)).fit(X, y)
    chunked = OnlineClassifier(tarvo.HoeffdingTreeClassifier(grace_period=50))
    for start in range(0, len(X), 128):
        chunked.partial_fit(X[start:start + 128], y[start:start + 128], classes=[0, 1, 2])
    assert pickle.dumps(chunked.model_) == pickle.dumps(whole.model_)
    reg_whole = OnlineRegressor(tarvo.LinearRegression()).fit(X, score)
    reg = OnlineRegressor(tarvo.LinearRegression())
    for start in range(0, len(X), 100):
        reg.partial_fit(X[start:start + 100], score[start:start + 100])
    assert reg.predict(X).tolist() == reg_whole.predict(X).tolist()


def test_fit_starts_afresh_and_never_changes_the_model_passed_in():
    X, y, _ = data()
    model = tarvo.HoeffdingTreeClassifier(grace_period=30)
    model.learn_one({"x0": 1.0}, 7)
    before = pickle.dumps(model)
    est = OnlineClassifier(model).fit(X, y)
    assert pickle.dumps(model) == before
    first = pickle.dumps(est.model_)
    est.partial_fit(X, y)  # continues
    assert pickle.dumps(est.fit(X, y).model_) == first  # fit forgets the partial fit
    assert 7 not in est.model_.predict_proba_one({"x0": 1.0})


def test_sparse_input_is_the_dense_input_with_zeros():
    sparse = pytest.importorskip("scipy.sparse", reason="sparse input needs SciPy")
    X, y, _ = data()
    X = np.nan_to_num(X)
    X[np.abs(X) < 0.8] = 0.0
    dense = OnlineClassifier(tarvo.NaiveBayes()).fit(X, y)
    est = OnlineClassifier(tarvo.NaiveBayes()).fit(sparse.csc_matrix(X), y)
    assert pickle.dumps(est.model_) == pickle.dumps(dense.model_)
    assert est.predict_proba(sparse.csr_matrix(X)).tolist() == dense.predict_proba(X).tolist()


# ---------------------------------------------------------------- labels


LABELS = {
    "text": np.array(["no", "yes"]),
    "object text": np.array(["no", "yes"], dtype=object),
    "bool": np.array([False, True]),
    "int": np.array([3, -40]),
    "int beyond 32 bits": np.array([2**40, -(2**35)]),
    "whole float": np.array([1.0, 0.0]),
    "uint8": np.array([200, 7], dtype=np.uint8),
    "numpy scalars": np.array([np.str_("b"), np.str_("a")], dtype=object),
}


@pytest.mark.parametrize("kind", LABELS)
def test_labels_of_every_type_come_back_as_given(kind):
    X, y, _ = data()
    labels = LABELS[kind][y % 2]
    est = OnlineClassifier(tarvo.NaiveBayes()).fit(X, labels)
    assert est.classes_.tolist() == np.unique(labels).tolist()
    pred = est.predict(X)
    assert pred.dtype == est.classes_.dtype
    assert set(pred.tolist()) <= set(labels.tolist())
    assert est.score(X, labels) > 0.6
    again = pickle.loads(pickle.dumps(est))
    assert again.predict(X).tolist() == pred.tolist()
    copied = clone(est).fit(X, labels)
    assert copied.predict(X).tolist() == pred.tolist()


@pytest.mark.parametrize("y", [[0.5, 1.0] * 50, [0.0, np.nan] * 50, [[0, 1]] * 100], ids=["fraction", "nan", "2-d"])
def test_targets_that_are_no_class_labels_are_refused(y):
    X, _, _ = data(n=100)
    with pytest.raises(ValueError, match="Unknown label type|contains NaN|y should be a 1d array"):
        OnlineClassifier(tarvo.NaiveBayes()).fit(X, np.array(y))


def test_integer_labels_from_zero_are_learnt_as_themselves():
    X, y, _ = data()
    est = OnlineClassifier(tarvo.NaiveBayes()).fit(X, y)
    ref = tarvo.NaiveBayes()
    for x, label in zip(rows(X, ["x0", "x1", "x2", "x3"]), y):
        ref.learn_one(x, int(label))
    assert pickle.dumps(est.model_) == pickle.dumps(ref)


def test_partial_fit_learns_new_labels_after_the_known_ones():
    X, y, _ = data()
    text = np.array(["b", "c", "a"])[y]
    est = OnlineClassifier(tarvo.NaiveBayes())
    first = np.isin(text, ["b", "c"])
    est.partial_fit(X[first], text[first])
    assert est.classes_.tolist() == ["b", "c"]
    est.partial_fit(X[~first], text[~first])
    assert est.classes_.tolist() == ["a", "b", "c"]
    # b and c kept their codes 0 and 1; a came third.
    assert sorted(est.model_.predict_proba_one({"x0": 0.0})) == [0, 1, 2]
    assert set(est.predict(X).tolist()) == {"a", "b", "c"}
    assert est.predict_proba(X).shape == (len(X), 3)


def test_partial_fit_classes_fix_the_labels():
    X, y, _ = data()
    est = OnlineClassifier(tarvo.NaiveBayes()).partial_fit(X[:10], y[:10], classes=[0, 1, 2, 3])
    assert est.classes_.tolist() == [0, 1, 2, 3]
    assert est.predict_proba(X).shape == (len(X), 4)
    with pytest.raises(ValueError, match="not the same as on the first call"):
        est.partial_fit(X, y, classes=[0, 1])
    with pytest.raises(ValueError, match=r"not among the classes given at first: \[9\]"):
        est.partial_fit(X[:3], [0, 9, 1])


# ---------------------------------------------------------------- parameters


def test_nested_parameters_read_and_rebuild_the_model():
    tree = tarvo.HoeffdingTreeClassifier(grace_period=50)
    tree.leaf_prediction = "mc"  # a property the constructor does not take
    est = OnlineClassifier(tree)
    params = est.get_params()
    assert params["model"] is tree
    assert params["model__grace_period"] == 50 and params["model__leaf_prediction"] == "mc"
    assert set(hyper_parameters(tree)) == {k[len("model__"):] for k in params if k != "model"}
    est.set_params(model__split_confidence=0.01)
    assert est.model is not tree and tree.split_confidence == 1e-07
    assert est.model.split_confidence == 0.01
    assert est.model.grace_period == 50 and est.model.leaf_prediction == "mc"
    with pytest.raises(ValueError, match="Invalid parameter 'grace'"):
        est.set_params(model__grace=3)
    with pytest.raises(TypeError, match=r"grace_period='x': an integer is needed"):
        est.set_params(model__grace_period="x")


def test_constructor_only_settings_survive_a_rebuild():
    forest = tarvo.ARFClassifier(n_models=3, lambda_value=2.5, seed=4)
    est = OnlineClassifier(forest).set_params(model__max_depth=5)
    assert repr(est.model) == repr(tarvo.ARFClassifier(n_models=3, lambda_value=2.5, seed=4, max_depth=5))


def test_a_pipeline_exposes_its_learner_settings():
    pipe = tarvo.RegressionPipeline([tarvo.StandardScaler()], tarvo.LinearRegression(learning_rate=0.05))
    est = OnlineRegressor(pipe)
    params = est.get_params()
    assert params["model__learner__learning_rate"] == 0.05
    est.set_params(model__learner__l2=0.1)
    assert repr(est.model) == repr(
        tarvo.RegressionPipeline([tarvo.StandardScaler()], tarvo.LinearRegression(learning_rate=0.05, l2=0.1)))
    X, _, score = data()
    assert est.fit(X, score).score(X, score) > 0.5


@pytest.mark.parametrize("est, model", [
    (OnlineClassifier, tarvo.LinearRegression()),
    (OnlineRegressor, tarvo.NaiveBayes()),
    (OnlineTransformer, tarvo.NaiveBayes()),
    (OnlineClassifier, "NaiveBayes"),
])
def test_an_object_of_the_wrong_kind_is_named(est, model):
    X, y, _ = data(n=20)
    with pytest.raises(TypeError, match=f"needs a Tarvo .* not {type(model).__name__}"):
        est(model).fit(X, y)


def test_grid_search_and_pipelines_with_scikit_learn_steps():
    X, y, _ = data(n=300)
    search = GridSearchCV(OnlineClassifier(tarvo.HoeffdingTreeClassifier()),
                          {"model__grace_period": [20, 200], "model__leaf_prediction": ["mc", "nba"]}, cv=3)
    search.fit(X, y)
    assert set(search.best_params_) == {"model__grace_period", "model__leaf_prediction"}
    pipe = make_pipeline(SkStandardScaler(), OnlineClassifier(tarvo.LogisticRegressionClassifier()))
    assert cross_val_score(pipe, X, y, cv=3).mean() > 0.7
    assert copy.deepcopy(pipe).fit(X, y).score(X, y) > 0.7


def test_a_frame_names_the_features_and_may_hold_text_labels():
    pd = pytest.importorskip("pandas", reason="frames need pandas")
    X, y, _ = data()
    frame = pd.DataFrame(X, columns=["age", "income", "height", "weight"])
    churned = pd.Series(np.array(["no", "yes", "yes"])[y])
    est = OnlineClassifier(tarvo.NaiveBayes()).fit(frame, churned)
    assert est.feature_names_in_.tolist() == ["age", "income", "height", "weight"]
    row = {"age": 0.1, "income": 2.0, "height": -1.0, "weight": 0.5}
    assert est.predict(pd.DataFrame([row])).tolist() == [est.classes_[est.model_.predict_one(row)]]
    assert cross_val_score(OnlineClassifier(tarvo.NaiveBayes()), frame, churned, cv=4).mean() > 0.6
    scaled = OnlineTransformer(tarvo.StandardScaler()).set_output(transform="pandas").fit(frame).transform(frame)
    assert list(scaled.columns) == ["age", "income", "height", "weight"]


@pytest.mark.parametrize("y", [
    np.array([3, -2, 3, 7, -2]),
    np.array([2**40, -5, 2**40]),  # a range too wide for a table
    np.array([2**64 - 1, 0, 5], dtype=np.uint64),
    np.array([True, False, True]),
    np.array([1.0, -0.0, 3.0, 1.0]),
    np.array([2.0**60, 1.0, 2.0**60]),
    np.array([200, 7, 200], dtype=np.uint8),
    np.array(["b", "a", "ä", "a"]),
    np.array(["b", "a", np.str_("ä"), "a", "ab"], dtype=object),
], ids=lambda y: str(y.dtype))
def test_labels_are_numbered_as_numpy_unique_numbers_them(y):
    from tarvo.sklearn import _unique_inverse

    found, inverse = _unique_inverse(y)
    expected, expected_inverse = np.unique(y, return_inverse=True)
    assert found.tolist() == expected.tolist() and found.dtype == expected.dtype
    assert inverse.tolist() == expected_inverse.reshape(-1).tolist()


def test_the_readme_examples_run_and_print_what_they_say(tmp_path, monkeypatch):
    import contextlib
    import io
    import re
    from pathlib import Path

    pytest.importorskip("pandas", reason="the README's examples read frames and a CSV file with pandas")
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text(encoding="utf-8")
    section = readme[readme.index("## scikit-learn"):]
    section = section[:section.index("\n## ", 1)]
    blocks = re.findall(r"```python\n(.*?)```", section, flags=re.S)
    assert len(blocks) == 3
    monkeypatch.chdir(tmp_path)
    namespace: dict = {}
    for code in blocks:
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            exec(compile(code, "README.md", "exec"), namespace)
        printed = [line for line in out.getvalue().splitlines() if line]
        said = [line.split("  # ")[1].strip() for line in code.splitlines() if line.startswith("print(")]
        assert printed == said  # each print's comment shows what it prints


# ---------------------------------------------------------------- labels scikit-learn's reader mishandles


def _pandas(values, dtype=None):
    pd = pytest.importorskip("pandas", reason="nullable columns need pandas")
    return pd.Series(values, dtype=dtype)


def _na():
    return pytest.importorskip("pandas", reason="pd.NA needs pandas").NA


# (labels, repeated over the rows; the classes_ expected and their dtype, or the ValueError's message).
# Read by scikit-learn alone, nullable columns became floats (losing values beyond 2**53), ints beyond
# 64 bits recursed forever, and missing text labels failed with messages that did not name y.
LABEL_CASES = {
    "ints beyond 64 bits": (lambda: np.array([2**70, -(2**70), 5], dtype=object), ([-(2**70), 5, 2**70], object)),
    "ints beyond 64 bits in a list": (lambda: [2**64, 1.0, True], ([1, 2**64], object)),
    "nullable Int64 beyond 2**53": (lambda: _pandas([2**60 + 1, 3, 2**60 + 1], "Int64"), ([3, 2**60 + 1], np.int64)),
    "nullable UInt8": (lambda: _pandas([200, 7, 7], "UInt8"), ([7, 200], np.uint8)),
    "nullable boolean": (lambda: _pandas([True, False, False], "boolean"), ([False, True], np.bool_)),
    "pandas string": (lambda: _pandas(["b", "a", "b"], "string"), (["a", "b"], object)),
    "None among text": (lambda: np.array(["a", "b", None], dtype=object), r"y holds a missing label \(None\) in row 2"),
    "None among text in a list": (lambda: ["a", None, "b"], r"y holds a missing label \(None\) in row 1"),
    "NaN among text": (lambda: _pandas(["a", float("nan"), "b"]), r"y holds a missing label \(nan\) in row 1"),
    "pd.NA among text": (lambda: np.array(["a", "b", _na()], dtype=object), r"y holds a missing label \(<NA>\) in row 2"),
    "pandas string with NA": (lambda: _pandas(["a", None, "b"], "string"), r"y holds a missing label \(<NA>\) in row 1"),
    "Int64 with NA": (lambda: _pandas([1, 2, None], "Int64"), r"y holds a missing label \(<NA>\) in row 2"),
    "fraction beside ints beyond 64 bits": (lambda: [2**70, 0.5, 1], "Unknown label type"),
}


def _rows_of(labels, start, stop):
    """Rows ``start`` to ``stop`` of ``labels`` repeated, as the same kind of container (a Series keeps its dtype)."""
    take = np.arange(start, stop) % len(labels)
    if hasattr(labels, "iloc"):
        return labels.iloc[take].reset_index(drop=True)
    if isinstance(labels, list):
        return [labels[i] for i in take]
    return labels[take]


@pytest.mark.parametrize("case", LABEL_CASES)
def test_labels_keep_their_values_and_dtype_or_are_refused_naming_y(case):
    make, expected = LABEL_CASES[case]
    X, _, _ = data(n=120)
    labels = make()
    y = _rows_of(labels, 0, 120)
    if isinstance(expected, str):
        est = OnlineClassifier(tarvo.NaiveBayes()).fit(X, np.arange(120) % 2)
        before = pickle.dumps(est.model_)
        for method in (est.fit, est.partial_fit):
            with pytest.raises(ValueError, match=expected):
                method(X, y)
            assert pickle.dumps(est.model_) == before  # refused before anything was learnt
        return
    classes, dtype = expected
    est = OnlineClassifier(tarvo.NaiveBayes()).fit(X, y)
    assert est.classes_.tolist() == classes and est.classes_.dtype == np.dtype(dtype)
    pred = est.predict(X)
    assert pred.dtype == est.classes_.dtype and set(pred.tolist()) <= set(classes)
    # Learnt as each label's position in classes_, as for plain labels.
    plain = OnlineClassifier(tarvo.NaiveBayes()).fit(X, [classes.index(v) for v in y])
    assert pickle.dumps(est.model_) == pickle.dumps(plain.model_)
    assert pickle.loads(pickle.dumps(est)).predict(X).tolist() == pred.tolist()
    halves = OnlineClassifier(tarvo.NaiveBayes()).partial_fit(X[:60], _rows_of(labels, 0, 60))
    halves.partial_fit(X[60:], _rows_of(labels, 60, 120))
    assert halves.classes_.tolist() == classes and pickle.dumps(halves.model_) == pickle.dumps(est.model_)


# ---------------------------------------------------------------- one estimator shared by threads


@pytest.mark.parametrize("make", [
    lambda: OnlineClassifier(tarvo.HoeffdingTreeClassifier(grace_period=30)),
    lambda: OnlineClassifier(tarvo.ARFClassifier(n_models=3, seed=1)),
    lambda: OnlineRegressor(tarvo.RegressionPipeline([tarvo.StandardScaler()], tarvo.LinearRegression())),
], ids=["tree", "forest", "pipeline"])
def test_threads_predicting_while_one_learns_wait_for_one_another(make):
    """Eight threads predict (and pickle) while one runs partial_fit chunk after chunk: no call fails,
    and every answer is the one a single thread gets after some number of the chunks."""
    import threading

    X, y, score = data(n=1400, seed=3)
    target = score if isinstance(make(), OnlineRegressor) else y
    chunks = [(X[i:i + 100], target[i:i + 100]) for i in range(0, 1000, 100)]
    queries = X[1000:]
    # Each call answers from one point of the sequence; two calls may see different points.
    methods = ["predict"] + (["predict_proba"] if isinstance(make(), OnlineClassifier) else [])

    def answer(est, k):
        if k == len(methods):  # a copy made by pickling answers as the estimator did when pickled
            return ("predict", pickle.loads(pickle.dumps(est)).predict(queries).tobytes())
        return (methods[k], getattr(est, methods[k])(queries).tobytes())

    alone = make()
    expected = set()
    for Xc, yc in chunks:
        alone.partial_fit(Xc, yc)
        expected.update(answer(alone, k) for k in range(len(methods)))
    shared = make().partial_fit(*chunks[0])
    start = threading.Barrier(9)
    learnt = threading.Event()
    failures, answers = [], []

    def learn():
        try:
            start.wait()
            for Xc, yc in chunks[1:]:
                shared.partial_fit(Xc, yc)
        except Exception as exc:  # noqa: BLE001 - reported below
            failures.append(exc)
        finally:
            learnt.set()

    def predict():
        try:
            start.wait()
            for i in range(500):  # bounded: the learner is done long before
                answers.append(answer(shared, i % (len(methods) + 1)))
                if learnt.is_set():
                    break
        except Exception as exc:  # noqa: BLE001 - reported below
            failures.append(exc)

    threads = [threading.Thread(target=learn)] + [threading.Thread(target=predict) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not failures, failures[:3]
    assert len(answers) >= 8 and set(answers) <= expected
    assert answer(shared, 0) == answer(alone, 0)


def test_the_lock_is_no_part_of_the_state():
    X, y, _ = data(n=100)
    est = OnlineClassifier(tarvo.NaiveBayes()).fit(X, y)
    est.predict(X)  # the lock exists now
    assert "_lock" not in est.get_params() and "_lock" not in est.__getstate__()
    for copied in (pickle.loads(pickle.dumps(est)), copy.deepcopy(est), copy.copy(est)):
        assert copied.predict(X).tolist() == est.predict(X).tolist()
        assert copied._call_lock() is not est._call_lock()
    assert clone(est).fit(X, y).predict(X).tolist() == est.predict(X).tolist()
