"""Anomaly detection on a stream: score each sample, then learn it.

``HalfSpaceTrees`` scores a sample in [0, 1], higher for more anomalous; ``ROCAUC`` measures the
scores against labels (a non-zero label is an anomaly), exactly, over every update or a sliding
window:

>>> from tarvo.anomaly import HalfSpaceTrees, ROCAUC
>>> detector, auc = HalfSpaceTrees(seed=1), ROCAUC()
>>> for x, is_anomaly in stream:               # doctest: +SKIP
...     auc.update(is_anomaly, detector.score_one(x))
...     detector.learn_one(x)

:func:`tarvo.batch.score_many` runs the same loop over the rows of an array in native code, and
:func:`tarvo.evaluate.prequential` evaluates a detector on a labelled stream.
"""

from _tarvo_extra import HalfSpaceTrees, ROCAUC

__all__ = ["HalfSpaceTrees", "ROCAUC"]
