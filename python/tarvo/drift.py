"""Drift detectors: objects that watch a stream of numbers (a learner's errors, most often) and
report when its distribution changes.

Every detector has ``update(value)`` (the value positional only), the property ``drift_detected``,
true only right after the update that detects, ``warning_detected`` where the method has a warning
level, and ``reset()``. Each works as the ``detector=`` of :func:`tarvo.evaluate.prequential` and
:func:`tarvo.batch.prequential`.

=================  ==========================================  =======  ================================
detector           watches                                     warning  method
=================  ==========================================  =======  ================================
``ADWIN``          any numbers                                 no       adaptive window, cut on means
``EDDM``           0/1 errors (int)                            yes      distances between errors
``DDM``            errors in [0, 1]                            yes      error rate plus its deviation
``HDDM_A``         values in [0, 1]                            yes      Hoeffding bound, averages
``HDDM_W``         values in [0, 1]                            yes      McDiarmid bound, weighted averages
``PageHinkley``    any finite numbers (rises)                  no       cumulative sum of deviations
``KSWIN``          any finite numbers (seeded)                 no       Kolmogorov-Smirnov on a window
=================  ==========================================  =======  ================================
"""

from _tarvo_core import ADWIN, EDDM
from _tarvo_extra import DDM, HDDM_A, HDDM_W, KSWIN, PageHinkley

__all__ = ["ADWIN", "EDDM", "DDM", "HDDM_A", "HDDM_W", "PageHinkley", "KSWIN"]
