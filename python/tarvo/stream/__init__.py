"""Streams of ``(x, y)`` samples: readers for files and tables, and seeded synthetic generators.

Readers: :func:`iter_csv`, :func:`iter_arrays`, :func:`iter_frame` (unreadable
data raises :class:`DataError`, a ``ValueError`` naming the file, row and column);
:class:`ClassLabels` reads class labels of any type as the integers learners take;
:func:`encode_row` gives a model a sample's text features as indicators over the categories
it has learnt.
Generators: :class:`SEA`, :class:`Agrawal`, :class:`Hyperplane`,
:class:`RandomRBF` (classification) and :class:`Friedman` (regression).
"""

from __future__ import annotations

from tarvo._text_features import encode_row
from tarvo.stream.readers import MISSING, ClassLabels, DataError, iter_arrays, iter_csv, iter_frame, parse_label
from tarvo.stream.synthetic import (
    AGRAWAL_FEATURES,
    FRIEDMAN_ROLES,
    GENERATORS,
    SEA,
    SEA_THRESHOLDS,
    Agrawal,
    Friedman,
    Hyperplane,
    RandomRBF,
    SyntheticStream,
    agrawal_concept,
    friedman1,
    sea_concept,
)

__all__ = [
    "AGRAWAL_FEATURES",
    "FRIEDMAN_ROLES",
    "GENERATORS",
    "MISSING",
    "SEA",
    "SEA_THRESHOLDS",
    "Agrawal",
    "ClassLabels",
    "DataError",
    "Friedman",
    "Hyperplane",
    "RandomRBF",
    "SyntheticStream",
    "agrawal_concept",
    "encode_row",
    "friedman1",
    "iter_arrays",
    "iter_csv",
    "iter_frame",
    "parse_label",
    "sea_concept",
]
