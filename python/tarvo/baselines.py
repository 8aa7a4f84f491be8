"""Baselines: learners that ignore the features, the floor every learner should beat on a stream.

``NoChangeClassifier`` predicts the last label seen, ``MajorityClassClassifier`` the label seen
most often (the smallest of those seen equally often), ``MeanRegressor`` the mean of the targets
seen. Each predicts 0 (0.0) before it has learnt anything. They are learners like any other:
pipelines, :mod:`tarvo.batch`, pickle and ``python -m tarvo evaluate --model`` take them.
"""

from _tarvo_extra import MajorityClassClassifier, MeanRegressor, NoChangeClassifier

__all__ = ["NoChangeClassifier", "MajorityClassClassifier", "MeanRegressor"]
