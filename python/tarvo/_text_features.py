"""Text (categorical) features as indicators over the categories a model has learnt.

A text feature ``f`` keeps its categories in order of first appearance in learning. A sample
whose value is ``v`` gets ``"f=v"`` = 1.0 and ``"f=u"`` = 0.0 for every other known category
``u``, at ``f``'s place among the features, in the categories' order; a missing value (``None``,
NaN, an empty or missing-value text) leaves all of ``f``'s indicators out. Learning a sample
adds ``v`` to the categories, if it is new, before the sample is encoded; predicting never adds
one: an unseen value gives 0.0 for every known category. (The 0.0 entries matter: a feature
that is always 1.0 where present has no spread, so trees never split on it, naive Bayes gives
every class the same likelihood and scalers map it to 0.0.) Surrounding spaces are dropped.

**Identifiers.** A text feature that looks like an identifier becomes a feature per value, which
no learner can use: a one-line warning names it (and ``drop=``/``--drop``) when it has more than
:data:`IDENTIFIER_CATEGORIES` distinct values within its first :data:`IDENTIFIER_ROWS` values
learnt, or when each of its first :data:`IDENTIFIER_RUN` values learnt is a new one. The
feature is still encoded: a warning, never a refusal.

**Text columns.** The readers, :mod:`tarvo.batch`, the scikit-learn wrappers, :mod:`tarvo.spark`
and the command line hand a text column's cells to this encoding as :func:`cell_text` reads them
(``str`` of a value that is no text, nothing for a missing cell), so the same row gives the
same sample on every path. :class:`Encoded` runs a model on samples with text values.

The categories live with the model (:mod:`tarvo._model_state`, part ``"text_features"``), so
they pickle and copy with it. :func:`encode_row` is the per-sample path; :mod:`tarvo.batch`
encodes whole columns to the same rows, bit for bit, insertion order included.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Mapping
from typing import Any

from tarvo import _model_state
from tarvo._labels import MISSING

__all__ = ["IDENTIFIER_CATEGORIES", "IDENTIFIER_ROWS", "IDENTIFIER_RUN", "Encoded", "TextFeatures", "cell_text",
           "encode_row"]

PART = "text_features"
#: A text feature with more categories than this within its first IDENTIFIER_ROWS values learnt
#: looks like an identifier (a column per value): a warning names it.
IDENTIFIER_CATEGORIES = 1_000
IDENTIFIER_ROWS = 10_000
#: A text feature whose first IDENTIFIER_RUN values learnt are all distinct (one new value per
#: row) looks like an identifier too.
IDENTIFIER_RUN = 100


def cell_text(value: Any) -> str | None:
    """A cell of a text column as the value its sample holds: the text itself, the ``str`` of a
    value that is no text (a number among texts), ``None`` for a missing cell (``None``, NaN,
    ``pd.NA``), which leaves the feature out."""
    if value is None or type(value).__name__ in ("NAType", "NaTType"):
        return None
    if isinstance(value, str):
        return value
    if isinstance(value, float) and math.isnan(value):
        return None
    return str(value)


def text_of(value: Any) -> str | None:
    """A text feature's value as its category (spaces dropped), or ``None`` for a missing value."""
    if value is None or type(value).__name__ in ("NAType", "NaTType"):
        return None
    if isinstance(value, float) and math.isnan(value):
        return None
    text = (value if isinstance(value, str) else str(value)).strip()
    return None if text in MISSING else text


class TextFeatures:
    """The categories of each text feature, in order of first appearance in learning."""

    def __init__(self) -> None:
        self.categories: dict[str, list[str]] = {}
        self._index: dict[str, dict[str, int]] = {}
        self._values: dict[str, int] = {}  # values learnt per feature (for the identifier warning)
        self._run: dict[str, int] = {}  # leading values learnt that were all new (-1: not all)
        self._warned: set[str] = set()

    def is_text(self, name: str) -> bool:
        """Whether ``name`` is a text feature (one the model has learnt text values of)."""
        return name in self._index

    def category(self, name: str, text: str, learn: bool) -> int:
        """The position of ``text`` among ``name``'s categories (-1 for one never learnt);
        with ``learn``, a new one is added first."""
        index = self._index.setdefault(name, {}) if learn else self._index.get(name, {})
        code = index.get(text)
        if code is None and learn:
            code = index[text] = len(index)
            self.categories.setdefault(name, []).append(text)
            self._check_identifier(name)
        return -1 if code is None else code

    def counted(self, name: str, values: int) -> None:
        """Records that ``values`` values of ``name`` were learnt."""
        self._values[name] = self._values.get(name, 0) + values
        self._check_identifier(name)

    def run(self, name: str, new: Any) -> None:
        """Records whether each of the next values learnt of ``name`` was a new category (in order),
        for the rule of one new value per row."""
        count = self._run.get(name, 0 if self._values.get(name, 0) == 0 else -1)
        if count < 0 or count >= IDENTIFIER_RUN:
            return
        for fresh in new:
            if not fresh:
                self._run[name] = -1
                return
            count += 1
            if count == IDENTIFIER_RUN:
                self._run[name] = count
                self._warn(name, f"a new value in each of its first {IDENTIFIER_RUN:,} rows")
                return
        self._run[name] = count

    def _check_identifier(self, name: str) -> None:
        if name in self._warned or len(self.categories.get(name, ())) <= IDENTIFIER_CATEGORIES:
            return
        if self._values.get(name, 0) <= IDENTIFIER_ROWS:
            self._warn(name, f"more than {IDENTIFIER_CATEGORIES:,} distinct values in its first {IDENTIFIER_ROWS:,}")

    def _warn(self, name: str, why: str) -> None:
        if name in self._warned:
            return
        self._warned.add(name)
        warnings.warn(f"the text feature {name!r} has {why}: an identifier, which becomes a feature per value; "
                      f"leave it out (drop={[name]!r}, or --drop {name})", UserWarning, stacklevel=5)

    def encode(self, x: Mapping[str, Any], learn: bool) -> dict[str, Any]:
        """The sample ``x`` with its text features as indicators (see the module). A sample that
        cannot be encoded (it raises) leaves the categories as they were, also when learning."""
        if not learn:
            return self._encode(x, False)
        # Categories are only ever appended: what a failed call added is cut off again.
        before = {name: (len(self.categories[name]) if name in self.categories else None,
                         name in self._index, self._values.get(name), self._run.get(name)) for name in x}
        try:
            return self._encode(x, True)
        except BaseException:
            for name, (known, indexed, values, run) in before.items():
                if run is None:
                    self._run.pop(name, None)
                else:
                    self._run[name] = run
                for text in self.categories.get(name, [])[known or 0:]:
                    self._index.get(name, {}).pop(text, None)
                if known is None:
                    self.categories.pop(name, None)
                else:
                    del self.categories[name][known:]
                if not indexed:
                    self._index.pop(name, None)
                if values is None:
                    self._values.pop(name, None)
                else:
                    self._values[name] = values
            raise

    def _encode(self, x: Mapping[str, Any], learn: bool) -> dict[str, Any]:
        out: dict[str, Any] = {}
        for name, value in x.items():
            if isinstance(value, str) or (value is not None and self.is_text(name) and _missing(value)):
                text = text_of(value)
                if text is not None:
                    if learn:
                        known = len(self.categories.get(name, ()))
                        self.run(name, ())  # opens the run before the value is counted
                        self.counted(name, 1)
                        chosen = self.category(name, text, learn)
                        self.run(name, (chosen == known,))
                    else:
                        chosen = self.category(name, text, learn)
                elif learn:
                    self._index.setdefault(name, {})
                    chosen = -2
                else:
                    chosen = -2
                if chosen == -2:
                    continue
                for j, category in enumerate(self.categories.get(name, ())):
                    key = f"{name}={category}"
                    if key in x or key in out:
                        raise ValueError(f"x: the text feature {name!r} makes the feature {key!r}, which is "
                                         "already a feature")
                    out[key] = 1.0 if j == chosen else 0.0
            elif value is None:
                continue
            else:
                if self.is_text(name) and not _missing(value):
                    raise TypeError(f"x: the feature {name!r} held text, now the number {value!r}")
                if name in out:
                    raise ValueError(f"x: the feature {name!r} is also the indicator of a text feature")
                out[name] = value
        return out

    def __getstate__(self) -> dict[str, Any]:
        return {"categories": {k: list(v) for k, v in self.categories.items()},
                "text": sorted(self._index), "values": dict(self._values)}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.categories = {k: list(v) for k, v in state["categories"].items()}
        self._index = {k: {c: j for j, c in enumerate(self.categories.get(k, ()))} for k in state["text"]}
        self._values = dict(state["values"])
        self._run = {}
        self._warned = set()


def locked() -> Any:
    """The lock of the models' extra state: a chunk's new categories are added in one step."""
    return _model_state.locked()


def _missing(value: Any) -> bool:
    return value is None or (isinstance(value, float) and math.isnan(value)) or type(value).__name__ == "NAType"


def of_model(model: Any, create: bool) -> TextFeatures | None:
    """The text features kept with ``model`` (started when ``create``)."""
    with _model_state.locked():
        features = _model_state.get(model, PART)
        if features is None and create:
            features = TextFeatures()
            _model_state.put(model, PART, features)
        return features  # type: ignore[no-any-return]


def encode_row(model: Any, x: Mapping[str, Any], *, learn: bool) -> dict[str, Any]:
    """The sample ``x`` as ``model`` takes it: each text value (a ``str``) as indicators over the
    categories of its feature, kept with the model (see :mod:`tarvo._text_features`).

    Use ``learn=True`` for the sample given to ``learn_one`` (a new category is added first) and
    ``learn=False`` for ``predict_one`` and the like. ``None`` is a missing value (left out); a
    sample of numbers passes unchanged.
    """
    if not isinstance(x, Mapping):
        raise TypeError(f"x must be a mapping of feature name to value, not {type(x).__name__}")
    features = of_model(model, create=learn and any(isinstance(v, str) for v in x.values()))
    if features is None:  # no text learnt: text values give no indicator, missing values none either
        return {k: v for k, v in x.items() if not isinstance(v, str) and v is not None}
    with _model_state.locked():
        return features.encode(x, learn)


class Encoded:
    """``model`` seen through its text features: each sample's text values become indicators
    (:func:`encode_row`; new categories learnt by ``learn_one``) before the model sees it. Until
    the first text value (and for a model that has learnt none), a sample passes unchanged, so a
    stream of numbers costs one look at each sample's values."""

    def __init__(self, model: Any) -> None:
        self.model = model
        self._text = of_model(model, create=False) is not None
        self._seen: Any = None  # the last sample found plain (predicted, then learnt)
        if hasattr(model, "predict_proba_one"):
            self.predict_proba_one = self._predict_proba_one

    def _plain(self, x: Mapping[str, Any]) -> bool:
        if self._text:
            return False
        if x is self._seen:
            return True
        if any(isinstance(v, str) or v is None for v in x.values()):
            self._text = True
            return False
        self._seen = x
        return True

    def predict_one(self, x: Mapping[str, Any]) -> Any:
        return self.model.predict_one(x if self._plain(x) else encode_row(self.model, x, learn=False))

    def _predict_proba_one(self, x: Mapping[str, Any]) -> Any:
        return self.model.predict_proba_one(x if self._plain(x) else encode_row(self.model, x, learn=False))

    def learn_one(self, x: Mapping[str, Any], y: Any = None) -> None:
        if self._plain(x):
            self.model.learn_one(x, y)
        else:
            self.model.learn_one(encode_row(self.model, x, learn=True), y)
