"""The HTTP endpoints (Starlette) and the server (uvicorn).

The event loop only reads bodies and writes replies: parsing, checking and every call into
the model run on worker threads (learning on a pool of its own, so that requests waiting to
learn never take the threads predictions need).
"""

from __future__ import annotations

import contextlib
import hmac
import json
import logging
import socket
import sys
import time
from collections.abc import AsyncIterator, Awaitable, Callable
from typing import Any

import anyio
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from tarvo.serve.metrics import CONTENT_TYPE, ServerMetrics
from tarvo.serve.served import LearnFailed, ServedModel, ServeSettings, ServiceUnavailable
from tarvo.serve.wire import RequestError, parse_json, read_learn, read_rows

log = logging.getLogger("tarvo.serve")

#: Threads that may wait to learn at once (learning requests run one at a time; the others
#: wait for their turn or for the shared fsync).
LEARN_THREADS = 8


def _json(status: int, body: Any) -> Response:
    return Response(json.dumps(body, separators=(",", ":")), status_code=status, media_type="application/json")


def _error(status: int, message: str) -> Response:
    return _json(status, {"error": message})


async def _read_body(request: Request, limit: int) -> bytes:
    """The body, refused with 413 as soon as it is known to exceed ``limit`` bytes."""
    declared = request.headers.get("content-length")
    if declared is not None:
        try:
            size = int(declared)
        except ValueError:
            raise RequestError(400, f"content-length: {declared!r} is not a number") from None
        if size > limit:
            raise RequestError(413, f"body: {size:,} bytes, more than the {limit:,} a request may hold")
    chunks, size = [], 0
    async for chunk in request.stream():
        size += len(chunk)
        if size > limit:
            raise RequestError(413, f"body: more than the {limit:,} bytes a request may hold")
        chunks.append(chunk)
    return b"".join(chunks)


def create_app(state_dir: str | None = None, model: Any = None, settings: ServeSettings | None = None, *,
               served: ServedModel | None = None) -> Starlette:
    """The ASGI app serving a model.

    Either pass ``served``, a :class:`ServedModel` already opened (the app closes it, with a
    last snapshot, when it shuts down), or ``state_dir`` (with ``model`` to seed an empty
    directory, and ``settings``): the app then opens the state when it starts.

    >>> app = create_app("state", HoeffdingTreeClassifier())    # doctest: +SKIP
    >>> uvicorn.run(app, host="127.0.0.1", port=8000)            # doctest: +SKIP
    """
    if served is None and state_dir is None:
        raise TypeError("create_app needs state_dir (with model to seed an empty one) or served")
    holder: dict[str, ServedModel] = {}
    if served is not None:
        holder["served"] = served
        settings = served.settings
    settings = settings or ServeSettings()
    learn_threads = anyio.CapacityLimiter(LEARN_THREADS)
    metrics: dict[str, ServerMetrics] = {}
    token = settings.token.encode() if settings.token is not None else None

    @contextlib.asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        if "served" not in holder:
            assert state_dir is not None
            holder["served"] = await anyio.to_thread.run_sync(ServedModel.open, state_dir, model, settings)
            if holder["served"].notice:
                log.warning(holder["served"].notice)
        metrics["m"] = ServerMetrics(holder["served"])
        try:
            yield
        finally:
            await anyio.to_thread.run_sync(holder["served"].close)

    def authorised(request: Request) -> bool:
        if token is None:
            return True
        scheme, _, given = request.headers.get("authorization", "").partition(" ")
        return scheme.lower() == "bearer" and hmac.compare_digest(given.strip().encode(), token)

    def endpoint(name: str, handler: Callable[[Request, ServedModel], Awaitable[Response]],
                 public: bool = False) -> Callable[[Request], Awaitable[Response]]:
        async def run(request: Request) -> Response:
            began = time.perf_counter()
            served = holder.get("served")
            try:
                if not public and not authorised(request):
                    response = _error(401, "authorization: a bearer token is required (Authorization: Bearer ...)")
                    response.headers["WWW-Authenticate"] = "Bearer"
                elif served is None or not served.ready:
                    response = _error(503, "the server is starting: the state is being loaded")
                else:
                    response = await handler(request, served)
            except RequestError as exc:
                response = _error(exc.status, exc.message)
            except ServiceUnavailable as exc:
                response = _error(503, str(exc))
            except LearnFailed as exc:
                response = _error(422, str(exc))
            except Exception as exc:  # never a traceback to the client, always one line
                log.exception("error in %s", name)
                response = _error(500, f"internal error: {type(exc).__name__}: {exc}")
            if "m" in metrics:
                metrics["m"].observe(name, response.status_code, time.perf_counter() - began)
            return response

        return run

    async def predict(request: Request, served: ServedModel) -> Response:
        body = await _read_body(request, settings.max_body_bytes)

        def work() -> Response:
            rows = read_rows(parse_json(body), settings.max_rows)
            return _json(200, {"predictions": served.predict(rows)})

        return await anyio.to_thread.run_sync(work)

    async def learn(request: Request, served: ServedModel) -> Response:
        body = await _read_body(request, settings.max_body_bytes)

        def work() -> Response:
            checked = read_learn(parse_json(body), served.kind, settings.max_rows)
            status, reply = served.learn(checked)
            return _json(status, reply)

        return await anyio.to_thread.run_sync(work, limiter=learn_threads)

    async def snapshot(request: Request, served: ServedModel) -> Response:
        size = await anyio.to_thread.run_sync(served.snapshot, limiter=learn_threads)
        return _json(200, {"snapshot_bytes": size, "generation": served.generation,
                           "rows_learnt": served.stats.rows_learnt})

    async def model_info(request: Request, served: ServedModel) -> Response:
        return _json(200, await anyio.to_thread.run_sync(served.describe))

    async def prometheus(request: Request, served: ServedModel) -> Response:
        text = await anyio.to_thread.run_sync(metrics["m"].render)
        return Response(text, media_type=CONTENT_TYPE)

    async def health(request: Request) -> Response:
        served = holder.get("served")
        if served is None or not served.ready:
            return _json(503, {"status": "starting"})
        if served.failed is not None:
            return _json(503, {"status": "failed", "error": served.failed})
        return _json(200, {"status": "ok", "rows_learnt": served.stats.rows_learnt})

    async def http_error(request: Request, exc: Exception) -> Response:
        assert isinstance(exc, HTTPException)
        if exc.status_code == 405:
            return _error(405, f"{request.url.path}: method {request.method} not allowed")
        return _error(exc.status_code, f"{request.url.path}: {exc.detail}")

    routes = [
        Route("/predict", endpoint("predict", predict), methods=["POST"]),
        Route("/learn", endpoint("learn", learn), methods=["POST"]),
        Route("/snapshot", endpoint("snapshot", snapshot), methods=["POST"]),
        Route("/model", endpoint("model", model_info), methods=["GET"]),
        Route("/metrics", endpoint("metrics", prometheus), methods=["GET"]),
        Route("/health", endpoint("health", lambda request, served: health(request), public=True), methods=["GET"]),
    ]
    app = Starlette(routes=routes, lifespan=lifespan, exception_handlers={HTTPException: http_error})
    app.state.holder = holder
    return app


def listen(host: str, port: int) -> socket.socket:
    """A listening socket on ``host``:``port`` (port 0: a free one)."""
    info = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, proto=socket.IPPROTO_TCP)[0]
    # The protocol must be IPPROTO_TCP, not 0: asyncio sets TCP_NODELAY only on connections whose
    # socket says so, and without it a reply's body waits for the client's delayed ACK (40 ms).
    sock = socket.socket(info[0], socket.SOCK_STREAM, socket.IPPROTO_TCP)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(info[4])
    sock.listen(2048)
    return sock


def run(served: ServedModel, host: str = "127.0.0.1", port: int = 8000, *, log_level: str = "warning",
        announce: Callable[[str], None] | None = None) -> None:
    """Serve ``served`` until SIGINT or SIGTERM, then write a last snapshot and return.

    ``announce`` receives the address once the socket listens (default: a line on stdout).
    """
    import uvicorn

    app = create_app(served=served)
    sock = listen(host, port)
    bound = sock.getsockname()
    shown = f"[{bound[0]}]" if sock.family == socket.AF_INET6 else bound[0]
    url = f"http://{shown}:{bound[1]}"
    (announce or (lambda u: print(u, flush=True)))(url)
    config = uvicorn.Config(app, log_level=log_level, access_log=False, lifespan="on",
                            timeout_graceful_shutdown=10)
    server = uvicorn.Server(config)
    try:
        server.run(sockets=[sock])
    finally:
        sock.close()
    if served.ready:  # the lifespan did not run (the server failed to start): close here
        served.close()
    sys.stdout.flush()
