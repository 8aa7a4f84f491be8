"""A model served over HTTP that predicts and learns at once (needs uvicorn, Starlette and prometheus_client).

``tarvo serve --model NAME --state-dir DIR`` on the command line; from Python,
:func:`create_app` gives the ASGI app to run under any ASGI server, and :func:`run` runs it
under uvicorn:

>>> from tarvo import HoeffdingTreeClassifier
>>> from tarvo.serve import ServedModel, run
>>> served = ServedModel.open("state", HoeffdingTreeClassifier())   # doctest: +SKIP
>>> run(served, "127.0.0.1", 8000)                                   # doctest: +SKIP

Endpoints (JSON): ``POST /predict``, ``POST /learn`` (rows with labels, or labels of earlier
prediction ids), ``GET /metrics`` (Prometheus), ``GET /health``, ``GET /model``,
``POST /snapshot``. Every acknowledged row is in the state directory's log before its reply;
see :mod:`tarvo.serve.state`.
"""

from __future__ import annotations

try:
    import prometheus_client  # noqa: F401
    import starlette  # noqa: F401
    import uvicorn  # noqa: F401
except ImportError as exc:  # pragma: no cover - the extra is missing
    raise ImportError(f"tarvo.serve needs uvicorn, starlette and prometheus_client ({exc.name} is missing): "
                      "pip install 'uvicorn>=0.30' 'starlette>=0.40' 'prometheus_client>=0.20'") from exc

from tarvo.serve.app import create_app, run
from tarvo.serve.served import ServedModel, ServeSettings
from tarvo.serve.state import StateError

__all__ = ["ServeSettings", "ServedModel", "StateError", "create_app", "run"]
