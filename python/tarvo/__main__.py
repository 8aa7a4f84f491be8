"""``python -m tarvo``: the command-line tools (see :mod:`tarvo.cli`)."""

from __future__ import annotations

import sys

from tarvo.cli import main

if __name__ == "__main__":
    sys.exit(main())
