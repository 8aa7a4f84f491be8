"""Seeded synthetic streams from the concept-drift literature.

Every generator is a finite, re-iterable stream of ``(x, y)`` pairs with a
length: iterating it again replays exactly the same samples. The stream is a
function of the generator's parameters and ``seed`` alone: it is drawn in
batches from NumPy's PCG64 generator (``numpy.random.default_rng(seed)``), so
the same seed gives the same samples on every machine (a sample costs well
under a microsecond plus building its ``dict``).

Concepts are numbered as in the papers (SEA 1-4, Agrawal 1-10; Friedman #1
adds concepts 2 and 3). A stream with several ``concepts`` switches abruptly
from one to the next at the sample positions ``drift_at`` (0-based: sample
``drift_at[0]`` is the first of the second concept); ``drift_at=None`` spaces
the switches evenly.

The concept functions (:func:`sea_concept`, :func:`agrawal_concept`,
:func:`friedman1`) take a mapping of feature values, scalars or NumPy arrays
alike, and are what the generators label their samples with.
"""

from __future__ import annotations

import bisect
import math
import operator
from abc import ABC, abstractmethod
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, ClassVar, Generic, TypeVar

import numpy as np

from tarvo.stream._rows import dict_builder

Y = TypeVar("Y", int, float)

_BATCH = 1024
# Values drawn at once at most: a wide stream draws fewer samples per batch, so that a
# batch stays near 16 MB per array whatever the width (streams up to 2048 features wide
# draw 1024 samples per batch).
_BATCH_CELLS = 1 << 21

#: The widest stream a generator makes (a sample of this many features is a ``dict`` of ~10 MB).
MAX_FEATURES = 100_000
#: The most RBF centroids, and the most centroid coordinates (centroids times features: 80 MB).
MAX_CENTROIDS = 100_000
MAX_CENTROID_CELLS = 10_000_000

_INT32_MAX = 2**31 - 1


def _index(value: Any, name: str, low: int = 0, high: int | None = None) -> int:
    """An integer parameter in [low, high]: ``TypeError`` or ``ValueError`` naming it."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if number < low:
        raise ValueError(f"{name} must be at least {low}, got {number}")
    if high is not None and number > high:
        raise ValueError(f"{name} must be at most {high:,}, got {number:,}")
    return number


def _real(value: Any, name: str) -> float:
    """A finite number parameter: ``TypeError`` or ``ValueError`` naming it."""
    if isinstance(value, (str, bytes, bool)):
        raise TypeError(f"{name} must be a number, got {value!r}")
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {value!r}") from None
    if not math.isfinite(number):
        raise ValueError(f"{name} must be a finite number, got {number}")
    return number


def _probability(value: Any, name: str) -> float:
    number = _real(value, name)
    if not 0.0 <= number <= 1.0:
        raise ValueError(f"{name} must be in [0, 1], got {number}")
    return number


def _indices(values: Any, name: str) -> tuple[int, ...]:
    """A sequence of non-negative integers (one integer is a sequence of one)."""
    if isinstance(values, int) and not isinstance(values, bool):
        values = (values,)
    if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
        raise TypeError(f"{name} must be a sequence of integers, got {values!r}")
    return tuple(_index(v, name) for v in values)


class SyntheticStream(ABC, Generic[Y]):
    """Base of the generators: length, seeding and sample building."""

    #: ``"classification"`` (int labels) or ``"regression"`` (float targets).
    task: ClassVar[str] = "classification"
    #: The short name used by the command line.
    name: ClassVar[str] = ""

    def __init__(self, n_samples: int, *, seed: int = 0) -> None:
        self.n_samples = _index(n_samples, "n_samples")
        self.seed = _index(seed, "seed")
        self.feature_names: tuple[str, ...] = ()

    @property
    def drift_points(self) -> tuple[int, ...]:
        """Positions of the abrupt concept changes inside the stream (none for gradual drift)."""
        return ()

    def params(self) -> dict[str, Any]:
        """The generator's parameters, as its constructor takes them."""
        return {"n_samples": self.n_samples, "seed": self.seed}

    def __len__(self) -> int:
        return self.n_samples

    def __repr__(self) -> str:
        args = ", ".join(f"{k}={v!r}" for k, v in self.params().items())
        return f"{type(self).__name__}({args})"

    def __iter__(self) -> Iterator[tuple[dict[str, float], Y]]:
        build = dict_builder(self.feature_names)
        width = len(self.feature_names)
        for X, y in self._batches(np.random.default_rng(self.seed)):
            # One flat list of floats regrouped by zip (which recycles its tuple) and turned
            # into samples by map: no Python-level loop per sample.
            values = iter(X.ravel().tolist())
            yield from zip(map(build, zip(*[values] * width)), y.tolist())

    def arrays(self) -> tuple[list[str], np.ndarray, np.ndarray]:
        """The whole stream at once: ``(feature names, X, y)``, the rows iteration yields."""
        parts = list(self._batches(np.random.default_rng(self.seed)))
        width = len(self.feature_names)
        X = np.concatenate([p[0] for p in parts]) if parts else np.empty((0, width))
        y = np.concatenate([p[1] for p in parts]) if parts else np.empty(0)
        return list(self.feature_names), np.asarray(X, dtype=np.float64).reshape(-1, width), y

    def _spans(self) -> Iterator[tuple[int, int]]:
        """``(start, size)`` of each batch covering the stream."""
        batch = max(1, min(_BATCH, _BATCH_CELLS // max(1, len(self.feature_names))))
        for start in range(0, self.n_samples, batch):
            yield start, min(batch, self.n_samples - start)

    @abstractmethod
    def _batches(self, rng: np.random.Generator) -> Iterator[tuple[Any, Any]]:
        """Feature matrices and target vectors covering the stream, batch by batch."""


class _ConceptStream(SyntheticStream[Y]):
    """A stream whose concept switches abruptly from one of ``concepts`` to the next at ``drift_at``."""

    #: The concept numbers the stream knows.
    known_concepts: ClassVar[tuple[int, ...]] = ()

    def __init__(self, n_samples: int, concepts: Sequence[int], drift_at: Sequence[int] | None, seed: int) -> None:
        super().__init__(n_samples, seed=seed)
        self.concepts = _indices(concepts, "concepts")
        if not self.concepts:
            raise ValueError("concepts must name at least one concept")
        bad = [c for c in self.concepts if c not in self.known_concepts]
        if bad:
            raise ValueError(f"unknown concept(s) {bad}: valid ones are {list(self.known_concepts)}")
        k = len(self.concepts)
        if drift_at is None:
            self.drift_at = tuple(self.n_samples * i // k for i in range(1, k))
        else:
            self.drift_at = _indices(drift_at, "drift_at")
        if len(self.drift_at) != k - 1:
            raise ValueError(f"{k} concepts need {k - 1} drift positions, got {len(self.drift_at)}")
        if any(a > b for a, b in zip(self.drift_at, self.drift_at[1:])):
            raise ValueError(f"drift_at must be in increasing order, got {list(self.drift_at)}")

    @property
    def drift_points(self) -> tuple[int, ...]:
        return tuple(p for p in self.drift_at if p < self.n_samples)

    def params(self) -> dict[str, Any]:
        return {**super().params(), "concepts": list(self.concepts), "drift_at": list(self.drift_at)}

    def concept_at(self, t: int) -> int:
        """The concept of sample ``t`` (0-based)."""
        return self.concepts[bisect.bisect_right(self.drift_at, t)]

    def _concepts_over(self, start: int, size: int) -> Any:
        """Index (into ``concepts``) of the concept of each sample of a batch."""
        return np.searchsorted(np.asarray(self.drift_at, dtype=np.int64), np.arange(start, start + size), side="right")


def _not(c: Any) -> Any:
    return c ^ True  # logical not for a bool and for a NumPy bool array alike


def _between(v: Any, low: float, high: float) -> Any:
    return (v >= low) & (v <= high)


def _choose(c: Any, a: Any, b: Any) -> Any:
    """``a`` where ``c`` holds, else ``b`` (conditions may be arrays)."""
    return (c & a) | (_not(c) & b)


# --------------------------------------------------------------------------------------------- SEA

#: SEA concept number -> threshold θ.
SEA_THRESHOLDS: dict[int, float] = {1: 8.0, 2: 9.0, 3: 7.0, 4: 9.5}


def sea_concept(concept: int, x: Mapping[str, Any]) -> Any:
    """SEA label rule: true (class 1) when ``x0 + x1 <= θ`` of the concept; ``x2`` is irrelevant."""
    return x["x0"] + x["x1"] <= SEA_THRESHOLDS[concept]


class SEA(_ConceptStream[int]):
    """SEA concepts with abrupt drift (Street and Kim, 2001).

    Three features ``x0``, ``x1``, ``x2`` uniform in [0, 10); the label is 1 when
    ``x0 + x1 <= θ`` and 0 otherwise, with θ = 8, 9, 7, 9.5 for concepts 1 to 4;
    ``x2`` is irrelevant. With probability ``noise`` the label is flipped (the
    paper used 10 %). The defaults are the paper's: the four concepts in equal
    blocks.
    """

    name = "sea"
    known_concepts = tuple(SEA_THRESHOLDS)

    def __init__(
        self,
        n_samples: int = 60_000,
        *,
        concepts: Sequence[int] = (1, 2, 3, 4),
        drift_at: Sequence[int] | None = None,
        noise: float = 0.1,
        seed: int = 0,
    ) -> None:
        super().__init__(n_samples, concepts, drift_at, seed)
        self.noise = _probability(noise, "noise")
        self.feature_names = ("x0", "x1", "x2")

    def params(self) -> dict[str, Any]:
        return {**super().params(), "noise": self.noise}

    def _batches(self, rng: np.random.Generator) -> Iterator[tuple[Any, Any]]:
        thresholds = np.array([SEA_THRESHOLDS[c] for c in self.concepts])
        for start, size in self._spans():
            X = rng.uniform(0.0, 10.0, (size, 3))
            flip = rng.random(size) < self.noise
            y = (X[:, 0] + X[:, 1] <= thresholds[self._concepts_over(start, size)]) ^ flip
            yield X, y.astype(np.int64)


# ----------------------------------------------------------------------------------------- Agrawal

AGRAWAL_FEATURES = ("salary", "commission", "age", "elevel", "car", "zipcode", "hvalue", "hyears", "loan")

# Range of each numeric feature, for the perturbation (the categorical ones are not perturbed).
_AGRAWAL_RANGES = {
    "salary": (20e3, 150e3),
    "commission": (0.0, 75e3),
    "age": (20.0, 80.0),
    "hvalue": (50e3, 1350e3),
    "hyears": (1.0, 30.0),
    "loan": (0.0, 500e3),
}


def agrawal_concept(function: int, x: Mapping[str, Any]) -> Any:
    """Agrawal classification function ``function`` (1-10): true for group A (class 1).

    ``x`` holds the nine attributes by name (``salary``, ``commission``, ``age``,
    ``elevel``, ``car``, ``zipcode``, ``hvalue``, ``hyears``, ``loan``), as
    scalars or as NumPy arrays. The functions are those of Agrawal, Imielinski
    and Swami (1993): 1-6 are predicates on age, salary, education level and
    loan; 7-10 test a "disposable income" for being positive.
    """
    salary, commission, age, elevel, loan = x["salary"], x["commission"], x["age"], x["elevel"], x["loan"]
    young = age < 40
    middle = (age >= 40) & (age < 60)
    old = age >= 60
    if function == 1:
        return young | old
    if function == 2:
        return (
            (young & _between(salary, 50e3, 100e3))
            | (middle & _between(salary, 75e3, 125e3))
            | (old & _between(salary, 25e3, 75e3))
        )
    if function == 3:
        return (young & (elevel <= 1)) | (middle & (elevel >= 1) & (elevel <= 3)) | (old & (elevel >= 2))
    if function == 4:
        return (
            (young & _choose(elevel <= 1, _between(salary, 25e3, 75e3), _between(salary, 50e3, 100e3)))
            | (
                middle
                & _choose(
                    (elevel >= 1) & (elevel <= 3), _between(salary, 50e3, 100e3), _between(salary, 75e3, 125e3)
                )
            )
            | (old & _choose(elevel >= 2, _between(salary, 50e3, 100e3), _between(salary, 25e3, 75e3)))
        )
    if function == 5:
        return (
            (young & _choose(_between(salary, 50e3, 100e3), _between(loan, 100e3, 300e3), _between(loan, 200e3, 400e3)))
            | (
                middle
                & _choose(_between(salary, 75e3, 125e3), _between(loan, 200e3, 400e3), _between(loan, 300e3, 500e3))
            )
            | (old & _choose(_between(salary, 25e3, 75e3), _between(loan, 300e3, 500e3), _between(loan, 100e3, 300e3)))
        )
    total = salary + commission
    if function == 6:
        return (
            (young & _between(total, 50e3, 100e3))
            | (middle & _between(total, 75e3, 125e3))
            | (old & _between(total, 25e3, 75e3))
        )
    if function == 7:
        return 0.67 * total - 0.2 * loan - 20e3 > 0
    if function == 8:
        return 0.67 * total - 5000.0 * elevel - 20e3 > 0
    if function == 9:
        return 0.67 * total - 5000.0 * elevel - 0.2 * loan - 10e3 > 0
    if function == 10:
        hyears = x["hyears"]
        equity = 0.1 * x["hvalue"] * (hyears - 20) * (hyears >= 20)
        return 0.67 * total - 5000.0 * elevel + 0.2 * equity - 10e3 > 0
    raise ValueError(f"Agrawal functions are numbered 1 to 10, got {function}")


class Agrawal(_ConceptStream[int]):
    """Agrawal's loan-applicant stream (Agrawal, Imielinski and Swami, 1993).

    Nine attributes: ``salary`` uniform in [20k, 150k); ``commission`` 0 when
    salary >= 75k, else uniform in [10k, 75k); ``age`` an integer in 20..80;
    ``elevel`` in 0..4; ``car`` in 1..20; ``zipcode`` in 0..8; ``hvalue`` uniform
    in [0.5 k, 1.5 k) x 100k with k = zipcode + 1; ``hyears`` in 1..30; ``loan``
    uniform in [0, 500k). The label is 1 for group A of the classification
    function in force (:func:`agrawal_concept`), else 0.

    Noise: ``perturbation`` p moves each numeric attribute (salary, commission,
    age, hvalue, hyears, loan) by p x its range x u, u uniform in [-0.5, 0.5),
    clipped to the range, after the label is computed (the paper's
    perturbation factor); ``noise`` flips the label with that probability.
    """

    name = "agrawal"
    known_concepts = tuple(range(1, 11))

    def __init__(
        self,
        n_samples: int = 100_000,
        *,
        concepts: Sequence[int] = (1,),
        drift_at: Sequence[int] | None = None,
        perturbation: float = 0.0,
        noise: float = 0.0,
        seed: int = 0,
    ) -> None:
        super().__init__(n_samples, concepts, drift_at, seed)
        self.perturbation = _probability(perturbation, "perturbation")
        self.noise = _probability(noise, "noise")
        self.feature_names = AGRAWAL_FEATURES

    def params(self) -> dict[str, Any]:
        return {
            **super().params(),
            "perturbation": self.perturbation,
            "noise": self.noise,
        }

    def _batches(self, rng: np.random.Generator) -> Iterator[tuple[Any, Any]]:
        for start, size in self._spans():
            salary = rng.uniform(20e3, 150e3, size)
            commission = np.where(salary >= 75e3, 0.0, rng.uniform(10e3, 75e3, size))
            zipcode = rng.integers(0, 9, size).astype(float)
            cols = {
                "salary": salary,
                "commission": commission,
                "age": rng.integers(20, 81, size).astype(float),
                "elevel": rng.integers(0, 5, size).astype(float),
                "car": rng.integers(1, 21, size).astype(float),
                "zipcode": zipcode,
                "hvalue": (zipcode + 1.0) * 100e3 * rng.uniform(0.5, 1.5, size),
                "hyears": rng.integers(1, 31, size).astype(float),
                "loan": rng.uniform(0.0, 500e3, size),
            }
            which = self._concepts_over(start, size)
            y = np.zeros(size, dtype=bool)
            for k, function in enumerate(self.concepts):
                mask = which == k
                if mask.any():
                    y[mask] = agrawal_concept(function, {n: c[mask] for n, c in cols.items()})
            y ^= rng.random(size) < self.noise
            if self.perturbation > 0.0:
                for name, (low, high) in _AGRAWAL_RANGES.items():
                    shift = self.perturbation * (high - low) * (rng.random(size) - 0.5)
                    cols[name] = np.clip(cols[name] + shift, low, high)
            yield np.column_stack([cols[n] for n in AGRAWAL_FEATURES]), y.astype(np.int64)


# -------------------------------------------------------------------------------------- Hyperplane


class Hyperplane(SyntheticStream[int]):
    """The rotating hyperplane (Hulten, Spencer and Domingos, 2001).

    ``n_features`` features uniform in [0, 1); the label is 1 when
    sum(w_i x_i) >= w_0 with w_0 = sum(w_i) / 2 (so the classes stay balanced),
    else 0. The weights start uniform in [0, 1). Drift is continuous: after each
    sample, each of the first ``n_drift_features`` weights moves by
    ``mag_change`` in its direction (initially +1), and each direction reverses
    with probability ``sigma``. ``noise`` flips the label with that probability.
    """

    name = "hyperplane"

    def __init__(
        self,
        n_samples: int = 100_000,
        *,
        n_features: int = 10,
        n_drift_features: int = 2,
        mag_change: float = 0.001,
        sigma: float = 0.1,
        noise: float = 0.05,
        seed: int = 0,
    ) -> None:
        super().__init__(n_samples, seed=seed)
        self.n_features = _index(n_features, "n_features", 1, MAX_FEATURES)
        self.n_drift_features = _index(n_drift_features, "n_drift_features")
        if self.n_drift_features > self.n_features:
            raise ValueError(f"n_drift_features ({n_drift_features}) exceeds n_features ({n_features})")
        self.mag_change = _real(mag_change, "mag_change")
        self.sigma = _probability(sigma, "sigma")
        self.noise = _probability(noise, "noise")
        self.feature_names = tuple(f"x{j}" for j in range(self.n_features))

    def params(self) -> dict[str, Any]:
        return {
            **super().params(),
            "n_features": self.n_features,
            "n_drift_features": self.n_drift_features,
            "mag_change": self.mag_change,
            "sigma": self.sigma,
            "noise": self.noise,
        }

    def _batches(self, rng: np.random.Generator) -> Iterator[tuple[Any, Any]]:
        d, k = self.n_features, self.n_drift_features
        w = rng.random(d)
        direction = np.ones(k)
        for _, size in self._spans():
            X = rng.random((size, d))
            flip = rng.random(size) < self.noise
            sign = np.where(rng.random((size, k)) < self.sigma, -1.0, 1.0)
            # Direction in force at each sample, then the weights in force at each sample.
            dirs = direction * np.vstack([np.ones((1, k)), np.cumprod(sign, axis=0)[:-1]])
            steps = np.cumsum(dirs * self.mag_change, axis=0)
            weights = np.tile(w, (size, 1))
            weights[1:, :k] += steps[:-1]
            y = np.einsum("ij,ij->i", X, weights) >= 0.5 * weights.sum(axis=1)
            w[:k] += steps[-1]
            direction = dirs[-1] * sign[-1]
            yield X, (y ^ flip).astype(np.int64)


# --------------------------------------------------------------------------------------------- RBF


class RandomRBF(SyntheticStream[int]):
    """Random radial-basis-function stream with moving centroids.

    ``n_centroids`` centroids, each with a position uniform in [0, 1)^d, a class
    uniform in 0..``n_classes``-1, a spread s uniform in [0, 1) and a weight
    uniform in [0, 1). A sample picks a centroid with probability proportional to
    its weight and lies at centroid + u * g * s, u a uniformly random unit vector
    and g standard normal; its label is the centroid's class. Drift: the first
    ``n_drift_centroids`` centroids move ``speed`` per sample along a random
    direction, bouncing off the faces of the unit cube. ``noise`` replaces the
    label, with that probability, by a uniformly chosen other class. By default
    every centroid moves.
    """

    name = "rbf"

    def __init__(
        self,
        n_samples: int = 100_000,
        *,
        n_features: int = 10,
        n_classes: int = 2,
        n_centroids: int = 50,
        n_drift_centroids: int | None = None,
        speed: float = 1e-4,
        noise: float = 0.0,
        seed: int = 0,
    ) -> None:
        super().__init__(n_samples, seed=seed)
        self.n_features = _index(n_features, "n_features", 1, MAX_FEATURES)
        self.n_classes = _index(n_classes, "n_classes", 1, _INT32_MAX)  # labels are 32-bit integers
        self.n_centroids = _index(n_centroids, "n_centroids", 1, MAX_CENTROIDS)
        if self.n_centroids * self.n_features > MAX_CENTROID_CELLS:
            raise ValueError(
                f"n_centroids * n_features must be at most {MAX_CENTROID_CELLS:,}, "
                f"got {self.n_centroids:,} * {self.n_features:,}"
            )
        self.n_drift_centroids = (
            self.n_centroids if n_drift_centroids is None else _index(n_drift_centroids, "n_drift_centroids")
        )
        if self.n_drift_centroids > self.n_centroids:
            raise ValueError(f"n_drift_centroids ({n_drift_centroids}) exceeds n_centroids ({n_centroids})")
        self.speed = _real(speed, "speed")
        self.noise = _probability(noise, "noise")
        self.feature_names = tuple(f"x{j}" for j in range(self.n_features))

    def params(self) -> dict[str, Any]:
        return {
            **super().params(),
            "n_features": self.n_features,
            "n_classes": self.n_classes,
            "n_centroids": self.n_centroids,
            "n_drift_centroids": self.n_drift_centroids,
            "speed": self.speed,
            "noise": self.noise,
        }

    def _batches(self, rng: np.random.Generator) -> Iterator[tuple[Any, Any]]:
        c, d, k = self.n_centroids, self.n_features, self.n_drift_centroids
        centres = rng.random((c, d))
        labels = rng.integers(0, self.n_classes, c)
        spread = rng.random(c)
        cumulative = np.cumsum(rng.random(c))
        velocity = np.zeros((c, d))
        heading = rng.standard_normal((k, d))
        velocity[:k] = self.speed * heading / np.sqrt(np.maximum((heading * heading).sum(axis=1), 1e-300))[:, None]
        for start, size in self._spans():
            j = np.minimum(np.searchsorted(cumulative, rng.random(size) * cumulative[-1], side="right"), c - 1)
            u = rng.standard_normal((size, d))
            # Offset: the unit vector u / |u| times a normal length times the centroid's spread.
            scale = rng.standard_normal(size) * spread[j] / np.sqrt(np.maximum(np.einsum("ij,ij->i", u, u), 1e-300))
            X = np.take(velocity, j, axis=0)
            X *= np.arange(start, start + size, dtype=float)[:, None]
            X += np.take(centres, j, axis=0)
            # The bounce off the walls 0 and 1, the triangle wave 1 - |u mod 2 - 1| of period 2,
            # through floor (much faster than % here).
            X *= 0.5
            X -= np.floor(X)
            X *= 2.0
            X -= 1.0
            np.abs(X, out=X)
            np.subtract(1.0, X, out=X)
            X += u * scale[:, None]
            y = labels[j]
            noisy = rng.random(size) < self.noise
            if self.n_classes > 1:
                other = (y + rng.integers(1, self.n_classes, size)) % self.n_classes
                y = np.where(noisy, other, y)
            yield X, y


# ---------------------------------------------------------------------------------------- Friedman

#: Friedman #1 concept -> the features playing x1..x5 of the formula (concepts 2 and 3 permute them).
FRIEDMAN_ROLES: dict[int, tuple[int, int, int, int, int]] = {
    1: (0, 1, 2, 3, 4),
    2: (3, 4, 1, 0, 2),
    3: (1, 4, 3, 2, 0),
}


def friedman1(concept: int, x: Mapping[str, Any]) -> Any:
    """The noiseless Friedman #1 target: 10 sin(π a b) + 20 (c - 0.5)² + 10 d + 5 e.

    For concept 1, (a, b, c, d, e) = (x0, x1, x2, x3, x4), Friedman's (1991)
    function; concepts 2 and 3 give those roles to other features
    (:data:`FRIEDMAN_ROLES`), an abrupt global change of the target function.
    """
    a, b, c, d, e = (x[f"x{i}"] for i in FRIEDMAN_ROLES[concept])
    product = a * b
    sine = math.sin(math.pi * product) if isinstance(product, (int, float)) else np.sin(math.pi * product)
    return 10.0 * sine + 20.0 * (c - 0.5) ** 2 + 10.0 * d + 5.0 * e


class Friedman(_ConceptStream[float]):
    """Friedman #1 regression stream (Friedman, 1991).

    Ten features ``x0`` .. ``x9`` uniform in [0, 1), of which five are relevant;
    the target is :func:`friedman1` of the concept in force plus ``noise`` times
    a standard normal draw (the paper's noise is 1).
    """

    task = "regression"
    name = "friedman"
    known_concepts = tuple(FRIEDMAN_ROLES)

    def __init__(
        self,
        n_samples: int = 100_000,
        *,
        concepts: Sequence[int] = (1,),
        drift_at: Sequence[int] | None = None,
        noise: float = 1.0,
        seed: int = 0,
    ) -> None:
        super().__init__(n_samples, concepts, drift_at, seed)
        self.noise = _real(noise, "noise")
        if self.noise < 0.0:
            raise ValueError(f"noise must be non-negative, got {noise}")
        self.feature_names = tuple(f"x{j}" for j in range(10))

    def params(self) -> dict[str, Any]:
        return {**super().params(), "noise": self.noise}

    def _batches(self, rng: np.random.Generator) -> Iterator[tuple[Any, Any]]:
        for start, size in self._spans():
            X = rng.random((size, 10))
            eps = rng.standard_normal(size)
            which = self._concepts_over(start, size)
            cols = {f"x{i}": X[:, i] for i in range(5)}
            y = np.zeros(size)
            for k, concept in enumerate(self.concepts):
                mask = which == k
                if mask.any():
                    y[mask] = friedman1(concept, {n: v[mask] for n, v in cols.items()})
            yield X, y + self.noise * eps


#: The generators by their command-line name.
GENERATORS: dict[str, type[SyntheticStream[Any]]] = {
    cls.name: cls for cls in (SEA, Agrawal, Hyperplane, RandomRBF, Friedman)
}
