"""The demo: ``python -m tarvo.demo`` is ``python -m tarvo evaluate`` with its built-in default.

The classifiers of the demo set (the majority-class baseline, the floor the
others should beat; naive Bayes, logistic regression behind a standard
scaler, the Hoeffding tree, the Hoeffding adaptive tree, and the ensembles:
adaptive random forest, streaming random patches, leveraging bagging) run test-then-train on a seeded 50 000-sample Agrawal stream whose
concept changes abruptly half-way (function 1, then function 5), in about a
quarter of a minute. The table reports
accuracy, macro F1, accuracy over the last 1000 samples, samples per second,
and the samples at which an ADWIN detector fed each learner's 0/1 errors
reported a drift. Options of ``evaluate`` (``--plot PATH``, ``--json PATH``,
``--samples N``) pass through. Needs no files and no network.
"""

from __future__ import annotations

import sys
from collections.abc import Sequence

from tarvo.cli import main as cli_main


def main(argv: Sequence[str] | None = None) -> int:
    return cli_main(["evaluate", *(sys.argv[1:] if argv is None else argv)])


if __name__ == "__main__":
    sys.exit(main())
