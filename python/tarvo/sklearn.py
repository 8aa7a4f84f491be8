"""scikit-learn estimators made of Tarvo learners and transformers.

``OnlineClassifier(model)``, ``OnlineRegressor(model)`` and
``OnlineTransformer(transformer)`` make any Tarvo learner, pipeline or
transformer a scikit-learn estimator, so that ``clone``, ``Pipeline``,
``GridSearchCV`` and ``cross_val_score`` work with it:

>>> from sklearn.model_selection import cross_val_score
>>> from tarvo import HoeffdingTreeClassifier
>>> from tarvo.sklearn import OnlineClassifier
>>> scores = cross_val_score(OnlineClassifier(HoeffdingTreeClassifier(grace_period=50)), X, y)  # doctest: +SKIP

- ``fit(X, y)`` learns the rows in order into a fresh copy of the model, the fitted
  attribute ``model_`` (``transformer_``); the object passed in is never changed.
  ``partial_fit`` continues from where the last call stopped (on an unfitted
  estimator it starts from a fresh copy too).
- ``X`` is a 2-D NumPy array, a pandas DataFrame (its column names become the feature
  names the model sees) or a SciPy sparse matrix (read densely, a block of rows at a
  time: an absent entry is the value 0.0). A NaN cell is an absent feature, as
  everywhere in Tarvo; infinite values are refused.
- Text columns (a frame's object, ``string`` and ``category`` columns, or an object array's
  columns that hold text) are text features: the model learns each as a one-hot over the
  categories it has seen, as everywhere in Tarvo (:func:`tarvo.stream.encode_row`); the
  categories live with ``model_``. ``OnlineTransformer.get_feature_names_out`` names a text
  column's outputs ``"column=category"``.
- Class labels may be text, bool, integers, whole floats or NumPy scalars; predictions
  come back as the original labels, and ``classes_`` is ``np.unique(y)``. The model
  learns 32-bit codes: the labels of ``fit`` (and of the first ``partial_fit``) are
  numbered in ``classes_`` order from 0, so integer labels 0, 1, 2, ... are learnt
  as themselves, and each later call numbers its new labels after them in sorted
  order. The mapping lives in the estimator, so it survives pickling and ``clone``.
- Pandas' nullable columns keep their labels: ``Int64`` labels come back as ``int64``
  (every value exact), ``boolean`` ones as ``bool``; a missing label (``None``, NaN,
  ``pd.NA``) is refused with a ``ValueError`` naming ``y`` and its row. Integers beyond
  64 bits are labels like any other (``classes_`` then holds Python ints, dtype ``object``).
- Calls on one estimator run one at a time: ``fit``, ``partial_fit``, ``predict``,
  ``predict_proba``, ``transform``, ``score``, ... take a lock of the estimator, so threads
  sharing a fitted estimator (a threaded web server's handlers) wait for one another instead
  of finding its model busy. Each call sees the model as the last call before it left it.
  The lock is not part of the estimator's state: pickling, ``copy`` and ``clone`` give
  an estimator with a lock of its own.
- ``get_params`` lists the wrapped object's settings as nested parameters
  (``model__grace_period``), read from the constructor keywords its repr states and
  from its writable properties; ``set_params(model__grace_period=50)`` builds a new
  object with the new value (the object passed in is left alone), which is what
  ``GridSearchCV`` needs.

Needs scikit-learn: ``pip install 'scikit-learn>=1.6'``.
"""

from __future__ import annotations

import ast
import copy
import functools
import inspect
import threading
from collections.abc import Callable, Iterator
from typing import Any, TypeVar

import numpy as np

try:
    from sklearn.base import (  # type: ignore[import-untyped]
        BaseEstimator,
        ClassifierMixin,
        RegressorMixin,
        TransformerMixin,
    )
    from sklearn.utils.multiclass import check_classification_targets  # type: ignore[import-untyped]
    from sklearn.utils.validation import (  # type: ignore[import-untyped]
        _check_feature_names_in,
        check_is_fitted,
        validate_data,
    )
except ImportError as exc:  # pragma: no cover - depends on the installation
    raise ImportError(
        "tarvo.sklearn needs scikit-learn 1.6 or later: pip install 'scikit-learn>=1.6'"
    ) from exc

import _tarvo_core as core
import tarvo
from tarvo import _labels, _model_state, _signature, _text_features
from tarvo.batch import learn_many, predict_many, predict_proba_many, transform_many

__all__ = ["OnlineClassifier", "OnlineRegressor", "OnlineTransformer", "hyper_parameters"]

# ``y`` not given to a check, as opposed to ``y=None`` given to ``fit``.
_NO_Y: Any = "no_validation"
# Sparse input is read densely in blocks of about this many cells.
_DENSE_BLOCK_CELLS = 1 << 20


# ---------------------------------------------------------------- settings of a Tarvo object


def _is_tarvo(obj: Any) -> bool:
    return isinstance(obj, (core.IClassifier, core.IRegressor, core.ITransformer))


def _writable_properties(cls: type) -> list[str]:
    return [
        name
        for name in dir(cls)
        if not name.startswith("_")
        and isinstance(prop := inspect.getattr_static(cls, name), property)
        and prop.fset is not None
    ]


# The classes a repr may name inside another (a pipeline's steps and learner).
_CLASSES: dict[str, type] = {
    name: cls
    for name in tarvo.__all__
    if isinstance(cls := getattr(tarvo, name), type)
    and issubclass(cls, (core.IClassifier, core.IRegressor, core.ITransformer))
}


def _rebuilt(node: ast.expr, text: str) -> Any:
    """The value a node of a repr stands for: a literal, or a Tarvo object or list of them, built anew."""
    if isinstance(node, ast.Name) and node.id in ("inf", "nan"):
        return float(node.id)
    if isinstance(node, ast.UnaryOp) and isinstance(node.op, ast.USub) and isinstance(node.operand, ast.Name):
        return -_rebuilt(node.operand, text)
    if isinstance(node, ast.List):
        return [_rebuilt(e, text) for e in node.elts]
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Name) and node.func.id in _CLASSES:
        args = [_rebuilt(a, text) for a in node.args]
        kwargs = {k.arg: _rebuilt(k.value, text) for k in node.keywords if k.arg is not None}
        return _CLASSES[node.func.id](*args, **kwargs)
    try:
        return ast.literal_eval(node)
    except ValueError:
        raise ValueError(f"cannot read the settings of {text}") from None


def _repr_keywords(obj: Any) -> list[ast.keyword]:
    text = repr(obj)
    try:
        call = ast.parse(text, mode="eval").body
    except SyntaxError:
        call = None
    if not isinstance(call, ast.Call) or call.args:
        raise ValueError(f"cannot read the settings of {type(obj).__name__}: its repr is {text!r}")
    return list(call.keywords)


def hyper_parameters(obj: Any) -> dict[str, Any]:
    """The settings of a Tarvo object, by name: its constructor keywords (as its repr states them,
    in order; an object among them, such as a pipeline's learner, is built anew from its repr), then
    every writable property the constructor does not take (``leaf_prediction`` of a tree)."""
    values: dict[str, Any] = {}
    text = repr(obj)
    for keyword in _repr_keywords(obj):
        name = keyword.arg
        if name is None:
            continue
        # The attribute holds the exact value; the repr is the only source of the others.
        values[name] = getattr(obj, name) if hasattr(type(obj), name) else _rebuilt(keyword.value, text)
    for name in _writable_properties(type(obj)):
        values.setdefault(name, getattr(obj, name))
    return values


def _nested_items(obj: Any, prefix: str) -> Iterator[tuple[str, Any]]:
    """``prefix__name`` for every setting of ``obj``, and below each setting that is a Tarvo object."""
    for name, value in hyper_parameters(obj).items():
        yield f"{prefix}__{name}", value
        if _is_tarvo(value):
            yield from _nested_items(value, f"{prefix}__{name}")


def _with_settings(obj: Any, changes: dict[str, Any], owner: str) -> Any:
    """A new object of ``obj``'s class with ``obj``'s settings and ``changes`` (``name`` or ``name__inner``)."""
    cls = type(obj)
    current = hyper_parameters(obj)
    direct: dict[str, Any] = {}
    inner: dict[str, dict[str, Any]] = {}
    for key, value in changes.items():
        name, sep, rest = key.partition("__")
        if name not in current:
            raise ValueError(
                f"Invalid parameter {name!r} for {cls.__name__} (in {owner}). "
                f"Valid parameters are: {sorted(current)!r}."
            )
        if sep:
            if not _is_tarvo(current[name]):
                raise ValueError(f"Invalid parameter {key!r} for {cls.__name__} (in {owner}): {name!r} has no settings")
            inner.setdefault(name, {})[rest] = value
        else:
            direct[name] = value
    for name, sub in inner.items():
        current[name] = _with_settings(direct.pop(name, current[name]), sub, owner)
    current.update(direct)
    params = _signature.parameters(cls)
    keywords = [p.name for p in params] if params is not None else [k.arg for k in _repr_keywords(obj)]
    by_name = {p.name: p for p in params or ()}
    for name, value in current.items():
        param = by_name.get(name)
        wrong = _signature.problem(param, value) if param is not None else None
        if wrong:
            raise TypeError(f"{cls.__name__}.{name}={value!r}: {wrong}")
    try:
        new = cls(**{k: current[k] for k in keywords if k in current})
        for name in current:
            if name not in keywords:
                setattr(new, name, current[name])
    except TypeError as exc:
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise TypeError(f"{cls.__name__}: {first}") from exc
    return new


# ---------------------------------------------------------------- text columns


def _has_text(X: Any) -> bool:
    """Whether ``X`` has text columns: a frame's object, ``string`` or ``category`` columns, or an
    array of texts or objects (whose columns :mod:`tarvo.batch` reads as text where they hold text)."""
    dtypes = getattr(X, "dtypes", None)
    if dtypes is not None and hasattr(X, "columns"):
        return any(getattr(d, "kind", "O") in "OUS" or str(d) in ("string", "str", "category") for d in dtypes)
    if isinstance(X, (list, tuple)):
        return any(isinstance(v, str) for row in X if isinstance(row, (list, tuple)) for v in row)
    return getattr(getattr(X, "dtype", None), "kind", None) in ("O", "U", "S")


def _input_names(model: Any, columns: list[str], shown: list[str]) -> list[tuple[str, str]]:
    """The names a model sees for the columns, each with the name shown for it (``shown`` names the
    columns): a text feature's as its indicators, in the order of its categories
    (``"plan=pro"``; see :func:`tarvo.stream.encode_row`)."""
    features = _text_features.of_model(model, create=False)
    out: list[tuple[str, str]] = []
    for name, given in zip(columns, shown):
        if features is not None and features.is_text(name):
            out.extend((f"{name}={c}", f"{given}={c}") for c in features.categories.get(name, ()))
        else:
            out.append((name, given))
    return out


# ---------------------------------------------------------------- class labels


def _is_text(labels: np.ndarray) -> bool:
    # An object array of labels holds texts, or integers beyond 64 bits (see _class_labels).
    kind = labels.dtype.kind
    return kind in "US" or (kind == "O" and labels.size > 0 and isinstance(labels.flat[0], str))


def _is_missing(value: Any) -> bool:
    """``None``, NaN and pandas' missing-value markers (``pd.NA``, ``NaT``)."""
    if value is None or type(value).__name__ in ("NAType", "NaTType"):
        return True
    try:
        return bool(value != value)
    except (TypeError, ValueError):
        return False


def _refuse_missing(values: list[Any]) -> None:
    """``ValueError`` naming ``y`` and the row of the first missing label among ``values``."""
    row = next((i for i, v in enumerate(values) if _is_missing(v)), None)
    if row is not None:
        raise ValueError(f"y holds a missing label ({values[row]!r}) in row {row}: every row needs a class label")


def _own_labels(y: Any) -> Any:
    """Class labels as the NumPy array of their own values, before scikit-learn reads them
    (which turns pandas' nullable integers and bools into floats, and fails on ``pd.NA``
    with a message that does not say where).

    A nullable integer or bool column (``Int64``, ``boolean``) becomes its NumPy dtype, a text
    column (``string``, ``category`` of texts) an object array of texts. A missing label in
    those, or in an object array or a list, is refused naming ``y`` and its row. Anything
    else is returned as it is.
    """
    dtype = getattr(y, "dtype", None)
    if dtype is not None and not isinstance(dtype, np.dtype) and hasattr(y, "to_numpy"):
        values = y.to_numpy(dtype=object)  # a pandas extension column
        if values.ndim != 1:
            return y
        _refuse_missing(values.tolist())
        numpy_dtype = getattr(dtype, "numpy_dtype", None)
        if isinstance(numpy_dtype, np.dtype) and numpy_dtype.kind in "biuf":
            return y.to_numpy(dtype=numpy_dtype)
        return values
    if isinstance(y, (list, tuple)) or (dtype == object and np.ndim(y) == 1):
        values = list(y)
        if not all(type(v) is str for v in values):
            _refuse_missing(values)
    return y


def _class_labels(y: Any) -> np.ndarray:
    """``y`` as an array of class labels, refusing what scikit-learn refuses ("Unknown label type").

    The common dtypes are checked directly: scikit-learn's check costs more than learning
    from a NumPy array of labels.
    """
    y = np.asarray(y)
    kind = y.dtype.kind
    if y.ndim == 1 and kind in "biuUS":
        return y
    if y.ndim == 1 and kind == "f" and np.isfinite(y).all() and (y == np.trunc(y)).all():
        return y
    if y.ndim == 1 and kind == "O":
        values = y.tolist()
        types = set(map(type, values))
        if all(issubclass(t, str) for t in types):
            return y
        if all(issubclass(t, (bool, int, float, np.number, np.bool_)) for t in types):
            numbers = np.asarray(values)
            if numbers.dtype.kind != "O":
                return _class_labels(numbers)
            # Integers beyond 64 bits (NumPy keeps them as Python ints): labels like any other,
            # once every value is a whole number.
            if any(isinstance(v, (float, np.floating)) and not float(v).is_integer() for v in values):
                raise ValueError("Unknown label type: y holds fractional values among integers beyond 64 bits")
            out = np.empty(len(values), dtype=object)
            out[:] = [int(v) for v in values]
            return out
        _refuse_missing(values)
    check_classification_targets(y)  # raises scikit-learn's error for what it refuses
    if y.ndim != 1:
        raise ValueError(f"y should be a 1d array, got an array of shape {y.shape} instead.")
    return y


def _unique_inverse(y: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """``np.unique(y, return_inverse=True)``, without sorting ``y`` where its values allow it."""
    kind = y.dtype.kind
    if kind == "O":  # text objects: a dict numbers them far quicker than sorting objects
        first: dict[Any, int] = {}
        seen = np.fromiter((first.setdefault(v, len(first)) for v in y.tolist()), dtype=np.int64, count=y.size)
        values = list(first)
        ranks = sorted(range(len(values)), key=values.__getitem__)
        position = np.empty(len(values), dtype=np.int64)
        position[ranks] = np.arange(len(values))
        found = np.empty(len(values), dtype=object)
        found[:] = [values[r] for r in ranks]
        return found, position[seen]
    if kind in "biuf" and y.size:
        keys = y.astype(np.int64) if kind != "f" or np.abs(y).max() < 2.0**53 else None
        if keys is not None and (kind != "u" or y.max() <= np.iinfo(np.int64).max):
            low, high = int(keys.min()), int(keys.max())
            if high - low <= 4 * y.size + 1024:  # a dense range: a table, no sort
                offset = keys - low
                present = np.zeros(high - low + 1, dtype=bool)
                present[offset] = True
                rank = np.cumsum(present) - 1
                return (np.flatnonzero(present) + low).astype(y.dtype), rank[offset]
    found, inverse = np.unique(y, return_inverse=True)
    return found, inverse.reshape(-1)


_Method = TypeVar("_Method", bound=Callable[..., Any])


def _one_at_a_time(method: _Method) -> _Method:
    """``method`` run under the estimator's lock: calls on one estimator wait for one another."""

    @functools.wraps(method)
    def call(self: _Wrapper, *args: Any, **kwargs: Any) -> Any:
        with self._call_lock():
            return method(self, *args, **kwargs)

    return call  # type: ignore[return-value]


class _Wrapper(BaseEstimator):
    """What the three estimators share: the nested settings, reading ``X`` and the lock."""

    _param: str  # the name of the constructor argument holding the Tarvo object

    def _call_lock(self) -> threading.RLock:
        """The estimator's lock, made on first use (``__init__`` holds only the parameters, as
        scikit-learn requires). Reentrant: ``score`` calls ``predict``."""
        lock = self.__dict__.get("_lock")
        if lock is None:
            # setdefault is atomic: two threads making the first lock at once end up with one.
            lock = self.__dict__.setdefault("_lock", threading.RLock())
        return lock

    def __getstate__(self) -> dict[str, Any]:
        # A lock does not pickle or copy: the copy makes its own on first use. The fitted object is
        # copied under the lock, so that pickling waits for a call in another thread and never
        # finds the object busy in its batch.
        with self._call_lock():
            state = dict(super().__getstate__())
            state.pop("_lock", None)
            fitted = f"{self._param}_"
            if fitted in state:
                state[fitted] = copy.copy(state[fitted])
        return state

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The wrapped object, and with ``deep`` its settings as ``<name>__<setting>``."""
        out = super().get_params(deep=False)
        if deep and _is_tarvo(out[self._param]):
            out.update(_nested_items(out[self._param], self._param))
        return out

    def set_params(self, **params: Any) -> Any:
        """Set parameters; a nested one (``model__grace_period``) replaces the wrapped object by a new one
        with that setting changed (the object itself is left alone)."""
        prefix = f"{self._param}__"
        nested = {k[len(prefix):]: v for k, v in params.items() if k.startswith(prefix)}
        super().set_params(**{k: v for k, v in params.items() if not k.startswith(prefix)})
        if nested:
            wrapped = getattr(self, self._param)
            if not _is_tarvo(wrapped):
                raise ValueError(f"Invalid parameters {sorted(params)}: {self._param} is not a Tarvo object")
            setattr(self, self._param, _with_settings(wrapped, nested, type(self).__name__))
        return self

    def __repr__(self, N_CHAR_MAX: int = 700) -> str:
        # The wrapped object prints as the constructor call that rebuilds it. (scikit-learn's
        # pretty-printer looks up ``type(value).__repr__`` in a dict, and a native method is
        # not hashable.)
        return f"{type(self).__name__}({self._param}={getattr(self, self._param, None)!r})"

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True  # a NaN cell is an absent feature
        tags.input_tags.sparse = True
        return tags

    def __sklearn_is_fitted__(self) -> bool:
        return hasattr(self, f"{self._param}_")

    # ------------------------------------------------------------ inputs

    def _fresh(self, kinds: tuple[type, ...], what: str) -> Any:
        wrapped = getattr(self, self._param)
        if not isinstance(wrapped, kinds):
            raise TypeError(
                f"{type(self).__name__} needs {what} as its {self._param}, not {type(wrapped).__name__}"
            )
        fresh: Any = copy.deepcopy(wrapped)
        fresh.reset()
        # The estimator numbers the labels itself (by classes_): the model learns those integers.
        _labels.attach(fresh, None)
        _model_state.forget(fresh, _text_features.PART)  # and learns its text features' categories anew
        return fresh

    def _check_X(self, X: Any, y: Any = _NO_Y, *, reset: bool, y_numeric: bool = False) -> Any:
        """``X`` (and ``y``) checked as scikit-learn checks them; ``X`` becomes an array or a CSR matrix
        (an object array for a table with text columns, which the model learns as text features)."""
        text = _has_text(X)
        kw: dict[str, Any] = dict(accept_sparse="csr", dtype=object if text else "numeric",
                                  ensure_all_finite=False if text else "allow-nan")
        if y is _NO_Y:
            return validate_data(self, X, reset=reset, **kw)
        return validate_data(self, X, y, reset=reset, y_numeric=y_numeric, **kw)

    def _columns(self) -> list[str]:
        """The feature names the model learns under: the frame's column names, else ``x0``, ``x1``, ..."""
        names = getattr(self, "feature_names_in_", None)
        return [str(n) for n in names] if names is not None else [f"x{j}" for j in range(self.n_features_in_)]

    def _blocks(self, X: Any) -> Iterator[tuple[int, int, np.ndarray]]:
        """``(start, stop, rows)``: ``X`` whole when dense, else dense blocks of rows."""
        n = X.shape[0]
        if not hasattr(X, "toarray"):
            yield 0, n, X
            return
        step = max(1, _DENSE_BLOCK_CELLS // max(1, X.shape[1]))
        for start in range(0, n, step):
            stop = min(n, start + step)
            yield start, stop, X[start:stop].toarray()

    def _learn(self, model: Any, X: Any, target: Any) -> None:
        columns = self._columns()
        for start, stop, rows in self._blocks(X):
            if target is None:
                learn_many(model, rows, columns=columns)
            else:
                learn_many(model, rows, target[start:stop], columns=columns)

    def _collect(self, X: Any, answer: Callable[[np.ndarray, list[str]], Any]) -> list[Any]:
        columns = self._columns()
        return [answer(rows, columns) for _, _, rows in self._blocks(X)]


class OnlineClassifier(ClassifierMixin, _Wrapper):
    """A Tarvo classifier (or classification pipeline) as a scikit-learn classifier.

    Parameters:
        model: the classifier; ``fit`` learns into a fresh copy of it, ``model_``.

    Fitted attributes: ``model_``, ``classes_`` (sorted), ``n_features_in_`` and, for a frame
    with text column names, ``feature_names_in_``.
    """

    _param = "model"

    def __init__(self, model: Any) -> None:
        self.model = model

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.classifier_tags.multi_class = True
        return tags

    # ------------------------------------------------------------ labels

    def _forget_labels(self) -> None:
        for name in ("_labels", "classes_", "_code_of_class", "_fixed_classes", "model_"):
            self.__dict__.pop(name, None)

    def _encode(self, y: np.ndarray, learn_new: bool) -> np.ndarray:
        """``y`` as the model's int32 codes. With ``learn_new``, labels not known yet are numbered
        after the known ones in sorted order; otherwise they are refused."""
        found, inverse = _unique_inverse(y)
        known: np.ndarray | None = getattr(self, "_labels", None)
        code_of = {} if known is None else {v: i for i, v in enumerate(known.tolist())}
        values = found.tolist()
        fresh = [v for v in values if v not in code_of]
        if fresh:
            if not learn_new:
                raise ValueError(f"y holds labels not among the classes given at first: {fresh!r}")
            if known is not None and _is_text(known) != _is_text(found):
                raise ValueError(
                    f"y: labels {fresh!r} cannot join the earlier labels {known.tolist()!r} (text and numbers)")
            fresh_array = found[[j for j, v in enumerate(values) if v not in code_of]]
            labels = fresh_array if known is None else np.concatenate([known, fresh_array])
            code_of.update((v, len(code_of)) for v in fresh)
            self._labels = labels
            self.classes_ = np.unique(labels)
            # Position in classes_ -> code (the labels are unique, so sorting them orders the codes).
            self._code_of_class = np.argsort(labels, kind="stable").astype(np.int64)
        table = np.array([code_of[v] for v in values], dtype=np.int32)
        return table[inverse]

    def _labels_of(self, codes: np.ndarray) -> np.ndarray:
        k = len(self._labels)
        bad = (codes < 0) | (codes >= k)
        if bad.any():
            code = int(codes[bad][0])
            raise ValueError(
                f"{type(self.model_).__name__} predicted the label {code}, which it never learnt "
                f"(it learnt {k} classes as 0 to {k - 1})"
            )
        return self._labels[codes]

    # ------------------------------------------------------------ learning

    @_one_at_a_time
    def fit(self, X: Any, y: Any) -> OnlineClassifier:
        """Learn the rows of ``X`` in order, with labels ``y``, into a fresh copy of ``model``."""
        X, y = self._check_X(X, _own_labels(y), reset=True)
        y = _class_labels(y)
        model = self._fresh((core.IClassifier,), "a Tarvo classifier")
        self._forget_labels()
        self._learn(model, X, self._encode(y, True))
        self.model_ = model
        return self

    @_one_at_a_time
    def partial_fit(self, X: Any, y: Any, classes: Any = None) -> OnlineClassifier:
        """Learn the rows of ``X`` in order, continuing from the rows learnt before.

        ``classes``, on the first call, fixes every label that may ever come (later labels outside it
        are refused); on a later call it must name the same classes. Without it, labels never seen
        before are learnt as they come.
        """
        first = not hasattr(self, "model_")
        X, y = self._check_X(X, _own_labels(y), reset=first)
        y = _class_labels(y)
        if first:
            model = self._fresh((core.IClassifier,), "a Tarvo classifier")
            self._forget_labels()
            if classes is not None:
                self._encode(_class_labels(np.asarray(classes)), True)
                self._fixed_classes = True
        else:
            model = self.model_
            if classes is not None and not np.array_equal(self.classes_, np.unique(np.asarray(classes))):
                raise ValueError(
                    f"classes={np.unique(np.asarray(classes)).tolist()!r} is not the same as on the first call "
                    f"to partial_fit, was: {self.classes_.tolist()!r}"
                )
        self._learn(model, X, self._encode(y, not getattr(self, "_fixed_classes", False)))
        self.model_ = model
        return self

    # ------------------------------------------------------------ answers

    @_one_at_a_time
    def predict(self, X: Any) -> np.ndarray:
        """Each row's predicted label, one of ``classes_``."""
        check_is_fitted(self)
        X = self._check_X(X, reset=False)
        parts = self._collect(X, lambda rows, cols: predict_many(self.model_, rows, columns=cols))
        codes = np.concatenate(parts) if parts else np.empty(0, dtype=np.int64)
        return self._labels_of(codes)

    @_one_at_a_time
    def predict_proba(self, X: Any) -> np.ndarray:
        """Each row's class probabilities, one column per class of ``classes_`` (0.0 for a class the
        model's answer leaves out)."""
        check_is_fitted(self)
        X = self._check_X(X, reset=False)
        out = np.zeros((X.shape[0], len(self.classes_)), dtype=np.float64)
        class_of_code = np.empty(len(self._labels), dtype=np.int64)
        class_of_code[self._code_of_class] = np.arange(len(self._labels))
        row = 0
        for labels, P in self._collect(X, lambda rows, cols: predict_proba_many(self.model_, rows, columns=cols)):
            codes = np.asarray(labels, dtype=np.int64)
            keep = (codes >= 0) & (codes < len(self._labels))
            out[row:row + P.shape[0], class_of_code[codes[keep]]] = P[:, keep]
            row += P.shape[0]
        return out

    def predict_log_proba(self, X: Any) -> np.ndarray:
        """The logarithm of :meth:`predict_proba` (``-inf`` for probability 0)."""
        with np.errstate(divide="ignore"):
            return np.log(self.predict_proba(X))


class OnlineRegressor(RegressorMixin, _Wrapper):
    """A Tarvo regressor (or regression pipeline) as a scikit-learn regressor.

    Parameters:
        model: the regressor; ``fit`` learns into a fresh copy of it, ``model_``.

    Fitted attributes: ``model_``, ``n_features_in_`` and, for a frame with text column names,
    ``feature_names_in_``.
    """

    _param = "model"

    def __init__(self, model: Any) -> None:
        self.model = model

    @_one_at_a_time
    def fit(self, X: Any, y: Any) -> OnlineRegressor:
        """Learn the rows of ``X`` in order, with targets ``y``, into a fresh copy of ``model``."""
        X, y = self._check_X(X, y, reset=True, y_numeric=True)
        model = self._fresh((core.IRegressor,), "a Tarvo regressor")
        self.__dict__.pop("model_", None)
        self._learn(model, X, np.asarray(y, dtype=np.float64))
        self.model_ = model
        return self

    @_one_at_a_time
    def partial_fit(self, X: Any, y: Any) -> OnlineRegressor:
        """Learn the rows of ``X`` in order, continuing from the rows learnt before."""
        first = not hasattr(self, "model_")
        X, y = self._check_X(X, y, reset=first, y_numeric=True)
        model = self._fresh((core.IRegressor,), "a Tarvo regressor") if first else self.model_
        self._learn(model, X, np.asarray(y, dtype=np.float64))
        self.model_ = model
        return self

    @_one_at_a_time
    def predict(self, X: Any) -> np.ndarray:
        """Each row's predicted target."""
        check_is_fitted(self)
        X = self._check_X(X, reset=False)
        parts = self._collect(X, lambda rows, cols: predict_many(self.model_, rows, columns=cols))
        return np.concatenate(parts) if parts else np.empty(0, dtype=np.float64)


class OnlineTransformer(TransformerMixin, _Wrapper):
    """A Tarvo transformer (a scaler or feature selector) as a scikit-learn transformer.

    Parameters:
        transformer: the transformer; ``fit`` learns into a fresh copy of it, ``transformer_``.

    ``fit(X)`` needs no ``y``, except for ``SelectKBest``, which learns from numeric targets. The
    output has one column per feature the transformer keeps (``get_feature_names_out``), NaN where
    a row's answer lacks the feature; ``set_output(transform="pandas")`` gives frames.
    """

    _param = "transformer"
    transformer_: Any

    def __init__(self, transformer: Any) -> None:
        self.transformer = transformer

    def _fit_rows(self, X: Any, y: Any, first: bool) -> OnlineTransformer:
        needs_y = isinstance(self.transformer_ if not first else self.transformer, core.SelectKBest)
        if needs_y and y is None:
            raise ValueError(f"{type(self.transformer).__name__} learns from the targets too: pass y")
        if needs_y:
            X, y = self._check_X(X, y, reset=first, y_numeric=True)
        else:
            X = self._check_X(X, reset=first)
        model = self._fresh((core.ITransformer,), "a Tarvo transformer") if first else self.transformer_
        self._learn(model, X, np.asarray(y, dtype=np.float64) if needs_y else None)
        self.transformer_ = model
        return self

    @_one_at_a_time
    def fit(self, X: Any, y: Any = None) -> OnlineTransformer:
        """Learn the rows of ``X`` in order into a fresh copy of ``transformer``."""
        self.__dict__.pop("transformer_", None)
        return self._fit_rows(X, y, True)

    @_one_at_a_time
    def partial_fit(self, X: Any, y: Any = None) -> OnlineTransformer:
        """Learn the rows of ``X`` in order, continuing from the rows learnt before."""
        return self._fit_rows(X, y, not hasattr(self, "transformer_"))

    def _kept(self, columns: list[str] | None = None) -> list[str]:
        """The features a full row comes out with, in input order (a text column's as the
        indicators of the categories learnt, ``"plan=pro"``), with the columns named ``columns``."""
        own = self._columns()
        names = _input_names(self.transformer_, own, own if columns is None else columns)
        probe = self.transformer_.transform_one(dict.fromkeys((name for name, _ in names), 0.0))
        return [shown for name, shown in names if name in probe]

    def _names_out(self) -> list[str]:
        return self._kept()

    @_one_at_a_time
    def transform(self, X: Any) -> np.ndarray:
        """Each row transformed: one column per name of ``get_feature_names_out()``."""
        check_is_fitted(self)
        X = self._check_X(X, reset=False)
        names = self._names_out()
        index = {name: j for j, name in enumerate(names)}
        out = np.full((X.shape[0], len(names)), np.nan)
        for start, stop, rows in self._blocks(X):
            got, Z = transform_many(self.transformer_, rows, columns=self._columns())
            for j, name in enumerate(got):
                if name in index:
                    out[start:stop, index[name]] = Z[:, j]
        return out

    @_one_at_a_time
    def get_feature_names_out(self, input_features: Any = None) -> np.ndarray:
        """The names of the output columns: the input features the transformer keeps, in input order."""
        check_is_fitted(self)
        names_in = _check_feature_names_in(self, input_features)
        return np.asarray(self._kept([str(n) for n in names_in]), dtype=object)
