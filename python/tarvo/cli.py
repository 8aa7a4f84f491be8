"""The command line: ``python -m tarvo evaluate ...`` (the console script ``tarvo``).

Runs one or more learners prequentially on the same stream and prints a
comparison table; optionally writes the learning curves as a plot and every
figure as JSON. Without --model and --load it compares the demo learners of
the stream's task; without --data it runs on the demo stream, 50 000 Agrawal
samples whose concept changes abruptly half-way.
"""

from __future__ import annotations

import argparse
import ast
import collections
import concurrent.futures
import contextlib
import difflib
import itertools
import json
import math
import os
import pickle
import re
import sys
import textwrap
import threading
import warnings
from collections.abc import Callable, Generator, Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn

from tarvo import (
    ADWIN,
    DDM,
    EDDM,
    HDDM_A,
    HDDM_W,
    KSWIN,
    IClassifier,
    IRegressor,
    ARFClassifier,
    ARFRegressor,
    ClassificationPipeline,
    HoeffdingAdaptiveTreeClassifier,
    HoeffdingTreeClassifier,
    HoeffdingTreeRegressor,
    LeveragingBaggingClassifier,
    LeveragingBaggingRegressor,
    LinearRegression,
    LogisticRegressionClassifier,
    MajorityClassClassifier,
    MaxAbsScaler,
    MeanRegressor,
    MinMaxScaler,
    NaiveBayes,
    PageHinkley,
    RegressionPipeline,
    SRPClassifier,
    ScaledTargetRegressor,
    SRPRegressor,
    StandardScaler,
    __distribution__,
    __version__,
    _signature,
    _target_scale,
)
from tarvo import params as param_table
from tarvo._labels import attach as attach_labels
from tarvo.batch import class_labels
from tarvo.learners import LEARNERS, learner_names, task_of, task_of_class
from tarvo.evaluate import PrequentialResult, default_metrics, prequential
from tarvo.stream import GENERATORS, ClassLabels, DataError, iter_csv

PROG = "python -m tarvo"

#: Learners compared when no ``--model`` is given, by task: (class, ``--scale`` kind or None); a
#: baseline first, the floor the others should beat. On one thread the classification set takes
#: about a quarter of a minute on the demo stream.
DEMO_LEARNERS: dict[str, tuple[tuple[type, str | None], ...]] = {
    "classification": (
        (MajorityClassClassifier, None),
        (NaiveBayes, None),
        (LogisticRegressionClassifier, "standard"),
        (HoeffdingTreeClassifier, None),
        (HoeffdingAdaptiveTreeClassifier, None),
        (ARFClassifier, None),
        (SRPClassifier, None),
        (LeveragingBaggingClassifier, None),
    ),
    "regression": (
        (MeanRegressor, None),
        (LinearRegression, "standard"),
        (HoeffdingTreeRegressor, None),
        (ARFRegressor, None),
        (SRPRegressor, None),
        (LeveragingBaggingRegressor, None),
    ),
}

#: Generator parameters the command line uses unless ``--data-param`` says otherwise: the
#: streams with concepts change abruptly half-way (SEA keeps its four literature concepts).
STREAM_PRESETS: dict[str, dict[str, Any]] = {
    "sea": {},
    "agrawal": {"concepts": (1, 5), "perturbation": 0.05},
    "hyperplane": {},
    "rbf": {},
    "friedman": {"concepts": (1, 2)},
}

STREAMS_HELP = """streams (change them with --data-param):
  sea         SEA concepts 1-4 in equal blocks, 10 % label noise (Street and Kim, 2001)
  agrawal     Agrawal function 1, then function 5 from half-way; 5 % perturbation
  hyperplane  rotating hyperplane, 10 features, 2 drifting weights (Hulten et al., 2001)
  rbf         random RBF, 10 features, 50 moving centroids
  friedman    Friedman #1 regression, concept 1 then 2 from half-way, noise 1
"""

#: ``--scale`` kinds: the scaler put in front of a learner through a pipeline.
SCALERS: dict[str, type] = {"standard": StandardScaler, "minmax": MinMaxScaler, "maxabs": MaxAbsScaler}
SCALES_TO = {"standard": "mean 0, variance 1", "minmax": "[0, 1]", "maxabs": "[-1, 1]"}
PIPELINES: dict[str, type] = {"classification": ClassificationPipeline, "regression": RegressionPipeline}
#: How the table marks a learner run with --scale-target.
SCALED_TARGET = "[scaled target]"

#: ``--detector`` choices: the drift detector fed each learner's errors (ADWIN takes --drift-delta).
DETECTORS: dict[str, type] = {cls.__name__: cls for cls in (ADWIN, EDDM, DDM, HDDM_A, HDDM_W, PageHinkley, KSWIN)}
#: The detectors of a bounded mean: they watch a classifier's 0/1 errors, not a regressor's.
BOUNDED_DETECTORS = ("EDDM", "DDM", "HDDM_A", "HDDM_W")
DEFAULT_DRIFT_DELTA = 0.002

DEMO_DATA = "agrawal"
DEFAULT_SAMPLES = 50_000


class UsageError(Exception):
    """A command-line mistake: reported in one line with exit status 2."""


_INT32_MAX = 2**31 - 1


def _one_line(exc: BaseException) -> str:
    """The first line of an exception's message (a native signature list follows it, if any)."""
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _did_you_mean(word: str, choices: Iterable[str]) -> str:
    close = difflib.get_close_matches(word, list(choices), n=1)
    return f" (did you mean {close[0]}?)" if close else ""


def parse_value(text: str) -> Any:
    """A parameter value: a Python literal (``5``, ``0.1``, ``1,5``, ``'gini'``), ``true``/``false``, else the text."""
    lowered = text.strip().lower()
    if lowered in ("true", "false"):
        return lowered == "true"
    try:
        return ast.literal_eval(text)
    except (ValueError, SyntaxError, MemoryError, RecursionError):
        return text


def parse_assignment(text: str) -> tuple[str, Any]:
    """``KEY=VALUE`` as ``(key, value)``."""
    key, sep, value = text.partition("=")
    if not sep or not key.strip():
        raise UsageError(f"expected KEY=VALUE, got {text!r}")
    return key.strip(), parse_value(value)


@dataclass
class ModelChoice:
    """A learner to run: its class name and constructor keywords."""

    class_name: str
    params: dict[str, Any] = field(default_factory=dict)
    scale: str | None = None  # a key of SCALERS: the learner runs behind that scaler
    loaded: Any = None  # a stored learner (--load) that continues from its saved state
    path: str | None = None  # the file it was loaded from
    features: tuple[str, ...] | None = None  # the features it learnt, as --save recorded them (None: not recorded)
    scale_target: bool = False  # the regressor learns the standardised target (--scale-target)

    @property
    def label(self) -> str:
        if self.path is not None:
            return os.path.basename(self.path) or self.path
        name = self.class_name
        if self.params:
            name = f"{name}({', '.join(f'{k}={v!r}' for k, v in self.params.items())})"
        name = f"{SCALERS[self.scale].__name__} | {name}" if self.scale else name
        return f"{name} {SCALED_TARGET}" if self.scale_target else name


class _ModelAction(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, ns: argparse.Namespace, value: Any, opt: Any = None) -> None:
        ns.models = [*ns.models, ModelChoice(value)]  # a new list: never mutate the parser's default


class _ParamAction(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, ns: argparse.Namespace, value: Any, opt: Any = None) -> None:
        if not ns.models:
            parser.error("--param must follow the --model it belongs to")
        try:
            key, parsed = parse_assignment(value)
        except UsageError as exc:
            parser.error(f"--param: {exc}")
        ns.models[-1].params[key] = parsed


class _ScaleAction(argparse.Action):
    def __call__(self, parser: argparse.ArgumentParser, ns: argparse.Namespace, value: Any, opt: Any = None) -> None:
        if not ns.models:
            parser.error("--scale must follow the --model it belongs to")
        if ns.models[-1].scale is not None:
            parser.error(f"--scale given twice for --model {ns.models[-1].class_name}")
        ns.models[-1].scale = value


class _Parser(argparse.ArgumentParser):
    """An argument parser whose errors are one line (``--help`` shows the usage)."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see --help)\n")


class _DropAction(argparse.Action):
    """``--drop COL``: repeatable, each a column or a comma list of columns."""

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        names = [name.strip() for name in str(values).split(",")]
        if not all(names):
            parser.error(f"argument --drop: an empty column name in {values!r}")
        setattr(namespace, self.dest, [*getattr(namespace, self.dest, []), *names])


def build_parser(prog: str = PROG) -> argparse.ArgumentParser:
    """The parser of the command line; ``prog`` is how the usage line names the command."""
    parser = _Parser(
        prog=prog,
        description="Tarvo tools for streaming learners.",
        epilog=f"'{prog} list' shows every learner and stream with its parameters and defaults; "
        f"'{prog} --version' prints the version.",
    )
    parser.add_argument("--version", action="version", version=f"{__distribution__} {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
    ls = sub.add_parser(
        "list",
        help="the learners and streams with their parameters and defaults",
        description="The learners --model takes, with their parameters and defaults, the --scale scalers "
        "and the streams --data takes, with their parameters. With a learner's name: each of its "
        "parameters with its meaning and the values the command line accepts.",
    )
    ls.add_argument("name", nargs="?", metavar="NAME", help="one learner or stream to describe")
    ev = sub.add_parser(
        "evaluate",
        help="compare learners prequentially (test-then-train) on a stream",
        description=__doc__.split("\n\n", 1)[1] if __doc__ else None,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=STREAMS_HELP,
    )
    ev.set_defaults(models=[])
    ev.add_argument("--model", action=_ModelAction, metavar="NAME", default=argparse.SUPPRESS,
                    help=f"a learner class of the native module ('{prog} list' shows them); "
                    "repeat to compare several")
    ev.add_argument("--param", action=_ParamAction, metavar="KEY=VALUE", default=argparse.SUPPRESS,
                    help="a hyper-parameter of the --model before it, e.g. n_models=5")
    ev.add_argument("--scale", action=_ScaleAction, choices=list(SCALERS), default=argparse.SUPPRESS,
                    help="run the --model before it behind a scaler (a pipeline): "
                    + ", ".join(f"{k} ({v})" for k, v in SCALES_TO.items()))
    ev.add_argument("--scale-target", action="store_true",
                    help="every regressor of a --model learns the standardised target (mean 0, standard deviation "
                    "1, running) and answers in the original units, behind ScaledTargetRegressor: for the linear "
                    "regressors on a target whose standard deviation is well above 10 (prices, amounts)")
    ev.add_argument("--data", metavar="NAME|PATH",
                    help=f"one of {', '.join(GENERATORS)} or a CSV file (default: the demo stream, {DEMO_DATA})")
    ev.add_argument("--data-param", action="append", default=[], metavar="KEY=VALUE",
                    help="a parameter of the synthetic stream, e.g. noise=0.2 or concepts=1,3")
    ev.add_argument("--target", metavar="COL", help="the target column of a CSV file")
    ev.add_argument("--drop", action=_DropAction, default=[], metavar="COL",
                    help="a CSV column to leave out (repeat, or a comma list: --drop id,name); text columns "
                    "are learnt by default, one-hot over the categories seen")
    ev.add_argument("--samples", type=int, metavar="N",
                    help=f"length of a synthetic stream (default {DEFAULT_SAMPLES}); rows read from a CSV file")
    ev.add_argument("--skip", type=int, default=0, metavar="N",
                    help="skip the first N rows of a CSV file: a learner saved after N rows goes on from there "
                    "with --load")
    ev.add_argument("--seed", type=int, default=42, help="seed of the synthetic stream (default 42)")
    ev.add_argument("--every", type=int, metavar="N", help="read the learning curve every N samples")
    ev.add_argument("--window", type=int, default=1000, metavar="N", help="window of the windowed metrics")
    ev.add_argument("--detector", choices=list(DETECTORS), default="ADWIN",
                    help="the drift detector fed each learner's errors, at its defaults (default ADWIN; "
                    "EDDM, DDM, HDDM_A and HDDM_W watch a classifier's 0/1 errors only)")
    ev.add_argument("--drift-delta", type=float, default=None, metavar="D",
                    help=f"delta of the ADWIN detector (default {DEFAULT_DRIFT_DELTA})")
    ev.add_argument("--no-drift", action="store_true", help="run no drift detector")
    ev.add_argument("--plot", metavar="PATH", help="write the learning curves (needs matplotlib); the format "
                    "follows the suffix, and a PATH without one gets .png")
    ev.add_argument("--json", metavar="PATH", help="write every figure as JSON ('-' for standard output)")
    ev.add_argument("--save", metavar="PATH",
                    help="store each trained learner with pickle, and the names of its features (several "
                    "learners: PATH-<name>.<ext>)")
    ev.add_argument("--load", action="append", default=[], metavar="PATH",
                    help="run a learner (or pipeline) stored with --save from where it stopped, labelled "
                    "by its file name; repeatable, and runs beside any --model (only load files you trust)")
    ev.add_argument("--delay", metavar="K|COL",
                    help="delayed labels: each sample is predicted when it arrives and learnt (and scored) K "
                    "samples later; or the CSV column COL gives each row's delay in rows (and is no feature)")
    ev.add_argument("--no-progress", action="store_true", help="no progress bar")
    ev.add_argument("--jobs", type=int, metavar="N", default=None,
                    help="evaluate the learners on N threads at once (default: the number of cores); "
                         "results are those of --jobs 1. The cores are shared: each forest's members "
                         "learn on cores // N threads (TARVO_NUM_THREADS stands for the cores)")
    _add_serve_parser(sub, prog)
    return parser


def _add_serve_parser(sub: Any, prog: str) -> None:
    """``serve``: a model behind HTTP (the serve extra)."""
    sv = sub.add_parser(
        "serve",
        help="serve a model over HTTP: predict, learn (delayed labels too), metrics",
        description="Serve a model over HTTP: POST /predict, POST /learn (rows with labels, or labels of "
        "earlier prediction ids), GET /metrics, /health, /model, POST /snapshot. The state directory "
        "keeps the model durable (a snapshot and a log of every acknowledged row); a directory that holds "
        "state is resumed, and --model or --load only seed an empty one. Needs uvicorn, starlette and "
        "prometheus_client: pip install 'uvicorn>=0.30' 'starlette>=0.40' 'prometheus_client>=0.20'.",
    )
    sv.set_defaults(models=[])
    sv.add_argument("--model", action=_ModelAction, metavar="NAME", default=argparse.SUPPRESS,
                    help=f"the learner to start an empty state directory with ('{prog} list' shows them)")
    sv.add_argument("--param", action=_ParamAction, metavar="KEY=VALUE", default=argparse.SUPPRESS,
                    help="a hyper-parameter of the --model")
    sv.add_argument("--scale", action=_ScaleAction, choices=list(SCALERS), default=argparse.SUPPRESS,
                    help="run the --model behind a scaler (a pipeline)")
    sv.add_argument("--load", action="append", default=[], metavar="PATH",
                    help="start an empty state directory with a learner stored by evaluate --save")
    sv.add_argument("--state-dir", required=True, metavar="DIR", help="where the snapshot and the log live")
    sv.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    sv.add_argument("--port", type=int, default=8000, help="port to listen on (default 8000; 0: a free one)")
    sv.add_argument("--token", help="require 'Authorization: Bearer TOKEN' on every endpoint but /health "
                    "(default: the environment variable TARVO_SERVE_TOKEN, if set)")
    sv.add_argument("--max-rows", type=int, default=10_000, metavar="N",
                    help="rows, ids or labels one request may hold (default 10000; more: 413)")
    sv.add_argument("--max-body-mib", type=float, default=16.0, metavar="MIB",
                    help="largest request body in MiB (default 16; larger: 413)")
    sv.add_argument("--max-pending", type=int, default=100_000, metavar="N",
                    help="predictions kept for their delayed labels (default 100000; the oldest expires)")
    sv.add_argument("--pending-ttl", type=float, default=86_400.0, metavar="SECONDS",
                    help="how long a prediction waits for its label (default 86400, a day)")
    sv.add_argument("--request-id-window", type=int, default=100_000, metavar="N",
                    help="the last N request_ids of /learn are remembered for retries (default 100000)")
    sv.add_argument("--snapshot-seconds", type=float, default=300.0, metavar="S",
                    help="snapshot when the last one is S seconds old and rows were learnt since (default 300)")
    sv.add_argument("--snapshot-rows", type=int, default=100_000, metavar="N",
                    help="snapshot after N rows learnt since the last one (default 100000)")
    sv.add_argument("--chunk-ms", type=float, default=5.0, metavar="MS",
                    help="learning holds the model at most about this long between predictions (default 5)")
    sv.add_argument("--trace", metavar="PATH", help="append every call into the model, in the order applied, "
                    "to PATH as JSON lines (for audits and replays; slows the server)")
    sv.add_argument("--log-level", default="warning", choices=["debug", "info", "warning", "error"],
                    help="uvicorn's log level (default warning)")


def serve(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    """Run the ``serve`` command until SIGINT or SIGTERM; returns the exit status."""
    try:
        from tarvo.serve import ServedModel, ServeSettings, StateError, run
    except ImportError as exc:
        raise UsageError(_one_line(exc)) from exc
    for option, value, least in (("--max-rows", args.max_rows, 1), ("--max-pending", args.max_pending, 1),
                                 ("--request-id-window", args.request_id_window, 0),
                                 ("--snapshot-rows", args.snapshot_rows, 1)):
        if value < least:
            raise UsageError(f"{option} must be at least {least}, got {value}")
    for option, number in (("--max-body-mib", args.max_body_mib), ("--pending-ttl", args.pending_ttl),
                           ("--snapshot-seconds", args.snapshot_seconds), ("--chunk-ms", args.chunk_ms)):
        if not (math.isfinite(number) and number > 0):
            raise UsageError(f"{option} must be a positive number, got {number}")
    if not 0 <= args.port <= 65535:
        raise UsageError(f"--port must be between 0 and 65535, got {args.port}")
    choices = list(args.models) + _load_models(args.load)
    if len(choices) > 1:
        raise UsageError("serve takes one --model or one --load")
    seed = None
    if choices:
        (choice, cls), = _resolve_models(choices, None)
        seed = _build(choice, cls)
    token = args.token if args.token is not None else os.environ.get("TARVO_SERVE_TOKEN") or None
    if args.trace:
        _check_output("--trace", args.trace)
    settings = ServeSettings(
        max_body_bytes=int(args.max_body_mib * 1024 * 1024), max_rows=args.max_rows,
        max_pending=args.max_pending, pending_ttl=args.pending_ttl, request_id_window=args.request_id_window,
        snapshot_every_seconds=args.snapshot_seconds, snapshot_every_rows=args.snapshot_rows,
        chunk_seconds=args.chunk_ms / 1000.0, token=token, trace=args.trace)
    try:
        served = ServedModel.open(args.state_dir, seed, settings)
    except StateError as exc:
        parser.exit(1, f"{parser.prog} serve: error: {exc}\n")
    if served.notice:
        print(f"{parser.prog} serve: {served.notice}", file=sys.stderr, flush=True)
    if token is None and args.host not in ("127.0.0.1", "localhost", "::1"):
        print(f"{parser.prog} serve: warning: listening on {args.host} without --token: anyone who reaches "
              "it can make the model learn", file=sys.stderr, flush=True)

    def announce(url: str) -> None:
        print(f"serving {served.model!r} ({served.stats.rows_learnt:,} rows learnt) from {args.state_dir} "
              f"on {url}", flush=True)

    try:
        run(served, args.host, args.port, log_level=args.log_level, announce=announce)
    except OSError as exc:
        served.close()
        raise UsageError(f"--host {args.host} --port {args.port}: {exc.strerror or exc}") from exc
    return 0


@dataclass
class Source:
    """The stream to evaluate on: a fresh iterator per learner, and what to say about it."""

    name: str
    task: str | None
    open: Callable[[], Iterable[tuple[dict[str, float], Any]]]
    n_samples: int | None
    description: str
    params: dict[str, Any]
    drift_points: tuple[int, ...] = ()
    title: str = ""
    labels: ClassLabels | None = None  # the class labels of a file, as the learners learn them
    features: tuple[str, ...] = ()  # the names of the features its samples may hold


def _generator_keywords(cls: type) -> list[str]:
    params = _signature.parameters(cls) or []
    return [p.name for p in params if p.name not in ("n_samples", "seed")]


def _synthetic_source(name: str, args: argparse.Namespace) -> Source:
    cls = GENERATORS[name]
    params = dict(STREAM_PRESETS.get(name, {}))
    accepted = _generator_keywords(cls)
    for text in args.data_param:
        try:
            key, value = parse_assignment(text)
        except UsageError as exc:
            raise UsageError(f"--data-param: {exc}") from None
        if key not in accepted:
            raise UsageError(
                f"--data-param {key}: the {name} stream has no parameter {key!r}{_did_you_mean(key, accepted)}; "
                f"its parameters: {', '.join(accepted)}"
            )
        params[key] = value
    n = args.samples if args.samples is not None else DEFAULT_SAMPLES
    try:
        stream = cls(n, seed=args.seed, **params)
    except (TypeError, ValueError) as exc:
        raise UsageError(f"--data {name}: {_one_line(exc)}") from exc
    if args.skip:
        raise UsageError(f"--skip applies to a CSV file, not to the {name} stream (--seed gives new samples)")
    shown = {k: v for k, v in stream.params().items() if k not in ("n_samples", "seed")}
    described = ", ".join(f"{k}={v}" for k, v in shown.items())
    return Source(
        name=name,
        task=cls.task,
        open=lambda: stream,
        n_samples=n,
        description=f"{cls.__name__} stream, {n:,} samples, seed {args.seed}" + (f" ({described})" if described else ""),
        params=stream.params(),
        drift_points=stream.drift_points,
        title=f"{cls.__name__} stream, {n:,} samples"
        + "".join(f"; concept change at {p:,}" for p in stream.drift_points),
        features=tuple(stream.feature_names),
    )


def _csv_source(path: str, args: argparse.Namespace, task: str) -> Source:
    if not os.path.exists(path):
        raise UsageError(
            f"--data: no stream named {path!r}{_did_you_mean(path, GENERATORS)} and no such file; "
            f"streams: {', '.join(GENERATORS)}"
        )
    if os.path.isdir(path):
        raise UsageError(f"--data {path}: is a directory, not a CSV file")
    if args.target is None:
        raise UsageError("--target is needed with a CSV file")
    try:
        open(path, "rb").close()
    except OSError as exc:
        raise UsageError(f"--data {path}: cannot be read ({exc.strerror or exc})") from exc
    # The labels of the file as read (shown after the table). Each learner keeps a numbering of its
    # own, which the batch functions start and extend over the rows it learns (and --save stores).
    labels = ClassLabels() if task == "classification" else None
    converter: Callable[[str], Any] = labels if labels is not None else _number_target
    target, drop, skip = args.target, list(args.drop), args.skip

    def open_stream() -> Generator[tuple[dict[str, float], Any], None, None]:
        rows = iter_csv(path, target, converters={target: converter}, drop=drop)
        with contextlib.closing(rows):
            # The skipped rows are read all the same: their labels are the file's too.
            collections.deque(itertools.islice(rows, skip), maxlen=0)
            yield from rows

    # Read the header and the first row now: a wrong column name or an unreadable file is
    # reported before any learner runs.
    first_rows = open_stream()
    try:
        first = next(first_rows, None)
    finally:
        first_rows.close()
    if first is None:
        after = f"the first {skip:,} rows" if skip else "the header"
        raise UsageError(f"--data {path}: no data rows after {after}")

    limit = f", first {args.samples:,} rows" if args.samples is not None else ""
    if skip:
        limit = f", {limit[2:] + ' ' if limit else ''}rows after the first {skip:,}"
    names = [h for h in _csv_header(path) if h != target and h not in drop]
    rows = _ArrayRows(names, open_stream, task, labels)
    return Source(
        name=path,
        task=None,
        open=lambda: rows,
        n_samples=args.samples,
        description=f"file {path}, target {target!r}{limit}",
        params={"path": path, "target": target, "drop": drop, "skip": skip},
        title=os.path.basename(path),
        labels=labels,
        features=tuple(names),
    )


def _csv_header(path: str) -> list[str]:
    """The column names of a CSV file, as ``iter_csv`` reads them."""
    import csv

    from tarvo.stream.readers import _open_text

    with _open_text(path) as fh:
        return [name.strip() for name in next(csv.reader(fh), [])]


def _number_target(text: str) -> float:
    """A regression target from its text."""
    try:
        return float(text)
    except ValueError:
        raise ValueError("a regression target must be a number") from None


class _ArrayRows:
    """A CSV file's rows: iterated as the reader yields them, or read once into arrays (in
    header order, a missing cell as NaN) that every learner of the run shares.

    Class labels numbered in order of first appearance go to a learner as the labels themselves
    (their texts), which it numbers by its own stream through :mod:`tarvo.batch`: a learner
    loaded with a numbering goes on with it. A learner loaded without one (saved before
    ``--save`` stored it) learns the file's numbering, as it did when it was saved
    (:meth:`for_learner`)."""

    def __init__(self, names: Sequence[str], open_stream: Callable[[], Iterable[tuple[dict[str, float], Any]]],
                 task: str, labels: ClassLabels | None = None, *, as_read: bool = False,
                 cache: dict[str, Any] | None = None) -> None:
        self._names, self._open, self._task, self._labels = list(names), open_stream, task, labels
        self._as_read = as_read  # labels as the integers the file's numbering gives them
        self._cache: dict[str, Any] = {} if cache is None else cache

    def __iter__(self) -> Any:
        return iter(self._open())

    def for_learner(self, model: Any, loaded: bool) -> _ArrayRows:
        """The rows as ``model`` learns them (see the class)."""
        if loaded and class_labels(model) is None:
            return _ArrayRows(self._names, self._open, self._task, self._labels, as_read=True, cache=self._cache)
        return self

    def numbered(self) -> bool:
        """Whether the file's labels are numbered in order of first appearance (known once read)."""
        return self._labels is not None and bool(self._labels.numbered)

    def arrays(self) -> tuple[list[str], Any, Any]:
        if "read" not in self._cache:
            import numpy as np

            names = self._names
            index = {n: j for j, n in enumerate(names)}
            values: list[list[float]] = []
            labels: list[Any] = []
            nan = math.nan
            text = False
            for x, y in self._open():
                row = [nan] * len(names)
                for key, v in x.items():
                    row[index[key]] = v
                    if type(v) is str:
                        text = True
                values.append(row)
                labels.append(y)
            if text:  # text columns: an object table, which tarvo.batch encodes as the rows are learnt
                X = np.empty((len(values), len(names)), dtype=object)
                X[:] = values if values else X
            else:
                X = np.array(values, dtype=np.float64).reshape(len(values), len(names))
            Y = np.array(labels, dtype=np.int64 if self._task == "classification" else np.float64)
            self._cache["read"] = (names, X, Y)
            if self.numbered():
                assert self._labels is not None
                self._cache["labels"] = (names, X, self._labels.decode(Y))
        if self.numbered() and not self._as_read:
            return self._cache["labels"]  # type: ignore[no-any-return]
        return self._cache["read"]  # type: ignore[no-any-return]


def _delay_option(text: str | None, data: str) -> tuple[int | None, str | None]:
    """``--delay``: a whole number of samples, or (for a CSV file) the column of each row's delay."""
    if text is None:
        return None, None
    try:
        value = int(text)
    except ValueError:
        if data in GENERATORS:
            raise UsageError(f"--delay {text}: a synthetic stream takes a whole number of samples; a column "
                             "of delays needs a CSV file") from None
        return None, text
    if value < 0:
        raise UsageError(f"--delay must be at least 0, got {value}")
    return value, None


def _delay_whole(text: str) -> int:
    """A row's delay from its CSV text: a whole number of rows of at least 0."""
    try:
        value = float(text)
    except ValueError:
        raise ValueError("a delay must be a whole number of rows") from None
    if not (math.isfinite(value) and value.is_integer() and value >= 0):
        raise ValueError("a delay must be a whole number of rows of at least 0")
    return int(value)


def _delay_values(path: str, column: str, args: argparse.Namespace) -> list[int]:
    """Each row's delay from ``column`` of the CSV file, for the rows the run reads."""
    others = [n for n in _csv_header(path) if n != column]
    rows = iter_csv(path, column, converters={column: _delay_whole}, drop=others)
    with contextlib.closing(rows):
        chosen = itertools.islice(rows, args.skip, None if args.samples is None else args.skip + args.samples)
        return [k for _, k in chosen]


def _is_learner(model: Any) -> bool:
    """Whether ``--save`` could have written ``model``: a learner or a pipeline, native or offered by name."""
    return isinstance(model, (IClassifier, IRegressor)) or type(model).__name__ in LEARNERS


def _load_models(paths: Sequence[str]) -> list[ModelChoice]:
    """The learners (and pipelines, from ``--scale``) stored in ``paths`` by ``--save``, with the
    names of the features they learnt where the file records them (see :func:`save_model`)."""
    out = []
    for path in paths:
        try:
            with open(path, "rb") as fh:
                model = pickle.load(fh)
                try:
                    record = pickle.load(fh)
                except EOFError:
                    record = None  # saved before the feature names were recorded
        except OSError as exc:
            raise UsageError(f"--load {path}: {exc.strerror or _one_line(exc)}") from exc
        except Exception as exc:  # any unpickling failure: one clear line
            raise UsageError(f"--load {path}: not a stored learner ({_one_line(exc)})") from exc
        name = type(model).__name__
        if not _is_learner(model):
            raise UsageError(f"--load {path}: holds a {name}, not a learner")
        features = record.get("features") if isinstance(record, dict) else None
        if record is not None and not (isinstance(features, list) and all(isinstance(f, str) for f in features)):
            raise UsageError(f"--load {path}: the record after the learner is not the names of its features")
        if isinstance(record, dict) and not isinstance(record.get("labels", {}), dict):
            raise UsageError(f"--load {path}: the record after the learner holds no mapping of its labels")
        out.append(ModelChoice(name, loaded=model, path=path,
                               features=tuple(features) if features is not None else None))
    return out


def save_model(path: str, model: Any, features: Sequence[str]) -> None:
    """Write ``model`` to ``path`` as ``--save`` does: the pickled model, then a pickled record of
    the names of the features it learnt and, for a classifier whose labels are numbered, the
    label each learnt integer stands for (``{"features": [...], "labels": {0: "no", 1: "yes"}}``;
    no ``labels`` for labels learnt as their values). ``pickle.load`` of the file gives the model,
    whose numbering comes with it (:func:`tarvo.batch.class_labels`); a second ``pickle.load``
    the record."""
    record: dict[str, Any] = {"features": list(features)}
    numbering = class_labels(model)
    if numbering is not None and numbering.numbered:
        record["labels"] = dict(numbering.names)
    with open(path, "wb") as fh:
        pickle.dump(model, fh, protocol=pickle.HIGHEST_PROTOCOL)
        pickle.dump(record, fh, protocol=pickle.HIGHEST_PROTOCOL)


def _names(names: Sequence[str], limit: int = 8) -> str:
    shown = ", ".join(map(repr, names[:limit]))
    return shown + (f", ... ({len(names):,} in all)" if len(names) > limit else "")


def _check_features(choices: Sequence[ModelChoice], source: Source) -> None:
    """Refuse a loaded learner none of whose recorded features is among the stream's."""
    for choice in choices:
        if choice.features is None or not choice.features or not source.features:
            continue
        if not set(choice.features) & set(source.features):
            where = f"the columns of {source.name}" if source.task is None else f"the features of the {source.name} stream"
            raise UsageError(
                f"--load {choice.path}: the learner learnt the features {_names(choice.features)}, none of them "
                f"among {where} ({_names(source.features)})")


def save_paths(path: str, labels: Sequence[str]) -> list[str]:
    """One file per learner: ``path`` itself for one, else ``path`` with ``-<label>`` before its extension."""
    if len(labels) == 1:
        return [path]
    stem, ext = os.path.splitext(path)
    safe = ["".join(c if c.isalnum() or c in "._=-" else "_" for c in label).strip("_") for label in labels]
    return [f"{stem}-{s}{ext}" for s in safe]


def _resolve_models(choices: list[ModelChoice], task: str | None) -> list[tuple[ModelChoice, type]]:
    if not choices:
        wanted = task or "classification"
        choices = [ModelChoice(cls.__name__, scale=scale) for cls, scale in DEMO_LEARNERS[wanted]
                   if cls.__name__ in LEARNERS]
    resolved = []
    for choice in choices:
        cls = type(choice.loaded) if choice.loaded is not None else LEARNERS.get(choice.class_name)
        if cls is None:
            learners = learner_names()
            hint = _did_you_mean(choice.class_name, learners)
            raise UsageError(
                f"--model {choice.class_name}: no such learner{hint}; learners: {', '.join(learners) or 'none'}"
            )
        resolved.append((choice, cls))
    tasks = {task_of_class(cls) for _, cls in resolved}
    if len(tasks) > 1:
        raise UsageError("--model: classifiers and regressors cannot be compared on one stream")
    if task is not None and task not in tasks:
        first = resolved[0][0]
        named = f"the {first.class_name} in {first.path}" if first.path else first.class_name
        raise UsageError(f"--data: a {task} stream needs {task} learners, not {named}")
    return resolved


def _settings(cls: type) -> list[_signature.Parameter]:
    """The writable settings of a learner class that its constructor does not take, as parameters."""
    return [_signature.Parameter(p.name, p.kind, p.default) for p in param_table.settings_of(cls.__name__)
            if isinstance(getattr(cls, p.name, None), property)]


def _build(choice: ModelChoice, cls: type) -> Any:
    """The learner of a ``--model`` with its ``--param`` keywords, each checked against its constructor
    (or, for a setting the constructor does not take, against the table and set after construction)."""
    if choice.loaded is not None:
        return choice.loaded
    params = _signature.parameters(cls)
    settings = _settings(cls)
    takes = (f"; it takes {', '.join(map(str, [*params, *settings])) or 'no parameters'}"
             if params is not None else "")
    keywords, later = dict(choice.params), {}
    if params is not None:
        by_name = {p.name: p for p in [*params, *settings]}
        for key, value in choice.params.items():
            param = by_name.get(key)
            if param is None:
                raise UsageError(
                    f"--param {key}: {choice.class_name} has no parameter {key!r}{_did_you_mean(key, by_name)}{takes}"
                )
            wrong = _signature.problem(param, value)
            if wrong:
                raise UsageError(f"--param {key}={value!r}: {wrong} for {choice.class_name}.{key}")
            outside = param_table.problem(choice.class_name, key, value)
            if outside:
                raise UsageError(f"--param {key}={value!r}: {outside}")
            if param in settings:
                later[key] = keywords.pop(key)
    try:
        model = cls(**keywords)
        for key, value in later.items():  # the settings the constructor does not take
            setattr(model, key, value)
    except (TypeError, ValueError, OverflowError) as exc:
        raise UsageError(f"--model {choice.label}: cannot be built ({_one_line(exc)}){takes}") from exc
    model = _scaled(choice.scale, model) if choice.scale else model
    return ScaledTargetRegressor(model) if choice.scale_target else model


def _scaled(scale: str, model: Any) -> Any:
    """``model`` behind the ``--scale`` scaler, in a pipeline of the model's task."""
    return PIPELINES[task_of(model)]([SCALERS[scale]()], model)


def _check_output(option: str, path: str) -> None:
    """Fail now, not after the run, when ``path`` cannot be written."""
    if os.path.isdir(path):
        raise UsageError(f"{option} {path}: is a directory")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise UsageError(f"{option} {path}: no such directory {folder}")
    exists = os.path.exists(path)
    if not os.access(folder if not exists else path, os.W_OK) or not os.access(folder, os.X_OK):
        raise UsageError(f"{option} {path}: not writable")


def _check_options(args: argparse.Namespace) -> None:
    """Every number and output path of the command line, before anything runs."""
    if args.every is not None and args.every < 1:
        raise UsageError("--every must be at least 1")
    if args.samples is not None and args.samples < 1:
        raise UsageError(f"--samples must be at least 1, got {args.samples}")
    if args.skip < 0:
        raise UsageError(f"--skip must be at least 0, got {args.skip}")
    if not 1 <= args.window <= _INT32_MAX:
        raise UsageError(f"--window must be between 1 and {_INT32_MAX:,}, got {args.window:,}")
    if args.drift_delta is not None:
        if args.detector != "ADWIN":
            raise UsageError(f"--drift-delta sets ADWIN's delta; --detector {args.detector} runs at its defaults")
        if not (math.isfinite(args.drift_delta) and 0.0 < args.drift_delta <= 1.0):
            raise UsageError(f"--drift-delta must be a number in (0, 1], got {args.drift_delta}")
    if args.seed < 0:
        raise UsageError(f"--seed must be at least 0, got {args.seed}")
    if args.json and args.json != "-":
        _check_output("--json", args.json)
    if args.save:
        _check_output("--save", args.save)
    if args.plot:
        from tarvo.plot import plot_file, require_matplotlib, supported_formats

        require_matplotlib()
        _check_output("--plot", plot_file(args.plot))
        suffix = os.path.splitext(args.plot)[1].lstrip(".").lower()
        formats = supported_formats()
        if suffix and suffix not in formats:
            raise UsageError(
                f"--plot {args.plot}: matplotlib cannot write .{suffix} files (formats: {', '.join(formats)})"
            )


def _summary(cls: type) -> str:
    """The first sentence of a class's docstring, without its full stop."""
    doc = (cls.__doc__ or "").strip()
    first = doc.splitlines()[0] if doc else ""
    return re.split(r"[.;] ", first, maxsplit=1)[0].rstrip(".")


def _wrapped(items: Sequence[str], indent: int, width: int = 100) -> str:
    text = ", ".join(items) if items else "no parameters"
    pad = " " * indent
    return textwrap.fill(text, width=width, initial_indent=pad, subsequent_indent=pad, break_on_hyphens=False,
                         break_long_words=False)


def _stream_defaults(name: str) -> list[str]:
    """A stream's parameters with the values the command line uses unless --data-param says otherwise."""
    preset = STREAM_PRESETS.get(name, {})
    params = [p for p in _signature.parameters(GENERATORS[name]) or [] if p.name not in ("n_samples", "seed")]
    return [f"{p.name}={preset[p.name]!r}" if p.name in preset else str(p) for p in params]


def list_everything(prog: str = PROG) -> str:
    """What ``list`` prints: the learners by task with their parameters and defaults, the scalers, the streams."""
    lines = [f"Learners (--model NAME; --param KEY=VALUE sets a parameter, a constructor keyword or a writable "
             f"property; '{prog} list NAME' explains each):"]
    for task in ("classification", "regression"):
        lines.append(f"\n {task}:")
        for name in learner_names(task):
            cls = LEARNERS[name]
            lines.append(f"  {name:<34}{_summary(cls)}")
            params = _signature.parameters(cls)
            lines.append(_wrapped([str(p) for p in [*params, *_settings(cls)]] if params is not None
                                  else ["(not known)"], 6))
    lines.append("\nScalers (--scale KIND after a --model: the learner runs behind the scaler in a pipeline):")
    for kind, cls in SCALERS.items():
        lines.append(f"  {kind:<10}{cls.__name__} (to {SCALES_TO[kind]})")
    lines.append("\nTarget scaling (--scale-target: every regression --model runs inside the wrapper):")
    lines.append(f"  {'ScaledTargetRegressor':<34}{_summary(ScaledTargetRegressor)}")
    lines.append(_wrapped(["for LinearRegression, BayesianLinearRegression and PassiveAggressiveRegressor on a "
                           "target whose standard deviation is well above 10"], 6))
    lines.append("\nDrift detectors (--detector NAME, at its defaults: fed each learner's errors):")
    for name, cls in DETECTORS.items():
        watches = "0/1 errors" if name in BOUNDED_DETECTORS else "any errors"
        lines.append(f"  {name:<34}{_summary(cls)} ({watches})")
        lines.append(_wrapped([str(p) for p in _signature.parameters(cls) or []], 6))
    lines.append("\nStreams (--data NAME or a CSV file; --data-param KEY=VALUE sets a parameter, --samples and "
                 "--seed the length and seed):")
    described = dict(line.split(None, 1) for line in STREAMS_HELP.splitlines()[1:] if line.strip())
    for name, cls in GENERATORS.items():
        lines.append(f"  {name:<12}{described.get(name, cls.__name__)} ({cls.task})")
        lines.append(_wrapped(_stream_defaults(name), 6))
    return "\n".join(lines) + "\n"


def describe(name: str) -> str:
    """What ``list NAME`` prints: one learner's or stream's parameters."""
    if name in GENERATORS:
        stream = GENERATORS[name]
        return f"{name}: {stream.__name__} ({stream.task} stream)\n" + "".join(
            f"  {p}\n" for p in _stream_defaults(name))
    if name == ScaledTargetRegressor.__name__:
        return (f"{name}: {_summary(ScaledTargetRegressor)} (regression; --scale-target wraps every regression "
                "--model in it)\n  regressor: the --model it wraps\n")
    cls = LEARNERS.get(name) or DETECTORS.get(name)
    if cls is None:
        known = [*learner_names(), *GENERATORS, ScaledTargetRegressor.__name__, *DETECTORS]
        raise UsageError(f"no learner, detector or stream named {name!r}{_did_you_mean(name, known)}")
    kind = "drift detector" if name in DETECTORS else task_of_class(cls)
    lines = [f"{name}: {_summary(cls)} ({kind})"]
    table = param_table.params_of(name)
    if table is None:  # a learner the parameter table does not know: its signature only
        lines += [f"  {p}" for p in _signature.parameters(cls) or []]
    else:
        for p in (*table.params, *table.settings):
            set_later = " (a property the constructor does not take: set after construction)" if p in table.settings else ""
            lines.append(f"  {p.name}={p.default!r}{set_later}")
            lines += [textwrap.fill(text, 100, initial_indent="      ", subsequent_indent="      ",
                                    break_on_hyphens=False) for text in (p.meaning, p.range_line()) if text]
    if len(lines) == 1:
        lines.append("  no parameters")
    return "\n".join(lines) + "\n"


def _first_after(drifts: Sequence[int], changes: Sequence[int]) -> str:
    """The first detection after each known concept change, with its delay in samples."""
    found = []
    for change in changes:
        after = [d for d in drifts if d > change]
        found.append(f"{after[0]:,} (+{after[0] - change:,})" if after else "none")
    return ", ".join(found)


def format_table(
    results: Sequence[PrequentialResult], with_drifts: bool, changes: Sequence[int] = ()
) -> str:
    """The comparison table: one row per learner with its final metrics, speed and drift count."""
    from tarvo.plot import label  # display names only; needs no matplotlib

    metrics = list(results[0].final) if results else []
    head = ["learner", *(label(m) for m in metrics), "samples/s", "time s"]
    if with_drifts:
        head.append("drifts")
        if changes:
            head.append("first drift after the change")
    rows = []
    for r in results:
        row = [r.model, *(f"{r.final[m]:.4f}" for m in metrics), f"{r.samples_per_second:,.0f}", f"{r.elapsed:.1f}"]
        if with_drifts:
            row.append(str(len(r.drifts)))
            if changes:
                row.append(_first_after(r.drifts, changes))
        rows.append(row)
    widths = [max(len(c) for c in col) for col in zip(head, *rows)]
    left = {0, len(head) - 1} if with_drifts and changes else {0}

    def line(cells: Sequence[str]) -> str:
        return "  ".join(c.ljust(w) if i in left else c.rjust(w) for i, (c, w) in enumerate(zip(cells, widths)))

    return "\n".join([line(head).rstrip(), line(["-" * w for w in widths]), *(line(r).rstrip() for r in rows)])


def format_drifts(results: Sequence[PrequentialResult], limit: int = 40, width: int = 100) -> str:
    """Every learner's detected drifts, wrapped (at most ``limit`` listed per learner)."""
    pad = max((len(r.model) for r in results), default=0) + 4
    lines = []
    for r in results:
        words = [f"{d:,}" for d in r.drifts[:limit]] or ["none"]
        if len(r.drifts) > limit:
            words.append(f"... and {len(r.drifts) - limit} more")
        text = textwrap.fill(" ".join(words), width=width, initial_indent=f"  {r.model}".ljust(pad),
                             subsequent_indent=" " * pad, break_on_hyphens=False)
        lines.append(text)
    return "\n".join(lines)


@contextlib.contextmanager
def _one_line_warnings(stream: Any) -> Generator[None, None, None]:
    """Warnings of the run as one line each, ``warning: ...``, each message once however many
    learners meet it."""
    shown: set[str] = set()
    lock = threading.Lock()

    def show(message: Any, category: type, filename: str, lineno: int, file: Any = None, line: Any = None) -> None:
        text = (str(message).splitlines() or [category.__name__])[0]
        with lock:
            if text in shown:
                return
            shown.add(text)
        print(f"warning: {text}", file=stream, flush=True)

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = show
        yield


def _warn_target_scale(models: Sequence[Any], choices: Sequence[ModelChoice], source: Source, task: str) -> None:
    """Print one line to standard error for each linear regressor whose target spreads far beyond its
    error clip over the first rows (the runs themselves then keep quiet about it)."""
    if task != "regression":
        return
    linear = [(m, c) for m, c in zip(models, choices) if _target_scale.linear_learner(m) is not None]
    if not linear:
        return
    targets = [y for _, y in itertools.islice(iter(source.open()), _target_scale.ROWS)]
    for model, choice in linear:
        if choice.loaded is None:
            option, advice = f"--model {choice.label}", "add --scale-target to learn the standardised target"
        else:
            option, advice = f"--load {choice.path}", "train one with --model and --scale-target instead"
        text = _target_scale.problem(model, targets, advice=advice)
        if text is not None:
            print(f"warning: {option}: {text}", file=sys.stderr)


def evaluate(args: argparse.Namespace, out: Any = None) -> int:
    """Run the ``evaluate`` command; returns the exit status."""
    out = out or sys.stdout
    _check_options(args)
    data = args.data or DEMO_DATA
    args.models = list(getattr(args, "models", []) or []) + _load_models(args.load)
    delay: int | list[int] | None
    delay, delay_column = _delay_option(args.delay, data)
    if delay_column is not None and os.path.isfile(data):
        if delay_column == args.target:
            raise UsageError(f"--delay {delay_column}: is the target column")
        names = _csv_header(data)
        if delay_column not in names:
            raise UsageError(f"--delay {delay_column}: not a whole number, nor a column of {data}"
                             f"{_did_you_mean(delay_column, names)}")
        args.drop = [*args.drop, delay_column]
    if data in GENERATORS:
        if args.target is not None or args.drop:
            raise UsageError(f"--target and --drop apply to a CSV file, not to the {data} stream")
        source = _synthetic_source(data, args)
        resolved = _resolve_models(args.models, source.task)
    else:
        if args.data_param:
            raise UsageError(f"--data-param applies to a synthetic stream, not to the file {data}")
        resolved = _resolve_models(args.models, None)
        source = _csv_source(data, args, task_of_class(resolved[0][1]))
    _check_features([choice for choice, _ in resolved], source)
    if delay_column is not None:
        delay = _delay_values(data, delay_column, args)
    task = task_of_class(resolved[0][1])
    if getattr(args, "scale_target", False):
        if task != "regression":
            raise UsageError(f"--scale-target applies to regressors, not to the classifiers of a {task} stream")
        for choice, _ in resolved:
            choice.scale_target = choice.loaded is None  # a loaded learner runs as it was saved
    every = args.every or (max(1, min(1000, source.n_samples // 100)) if source.n_samples else 1000)
    detector_cls = None if args.no_drift else DETECTORS[args.detector]
    delta = args.drift_delta if args.drift_delta is not None else DEFAULT_DRIFT_DELTA
    if detector_cls is not None and task != "classification" and args.detector in BOUNDED_DETECTORS:
        raise UsageError(f"--detector {args.detector} watches a classifier's 0/1 errors; a regressor's errors are "
                         "unbounded (use ADWIN, PageHinkley or KSWIN)")

    def new_detector() -> Any:
        return ADWIN(delta) if detector_cls is ADWIN else detector_cls()

    detector_text = f"ADWIN(delta={delta})" if detector_cls is ADWIN else repr(new_detector()) if detector_cls else ""
    models = [_build(choice, cls) for choice, cls in resolved]  # every --param checked before the first run
    _warn_target_scale(models, [choice for choice, _ in resolved], source, task)

    plain = [choice.label for choice, _ in resolved]
    labels = [f"{n} #{plain[:i].count(n) + 1}" if plain.count(n) > 1 else n for i, n in enumerate(plain)]
    delayed = "" if not args.delay else (f", labels {delay} samples late" if delay_column is None
                                         else f", each label late by its row's {delay_column!r} samples")
    print(f"Prequential evaluation on the {source.description}{delayed}", file=out, flush=True)
    jobs = args.jobs if args.jobs is not None else (os.cpu_count() or 1)
    if jobs < 1:
        raise UsageError(f"--jobs: takes a whole number of at least 1, got {jobs}")
    jobs = min(jobs, len(models))
    # The learners running at once share the cores: each forest spreads its members over its
    # share (TARVO_NUM_THREADS, when set, stands for the cores).
    from tarvo.batch import default_threads

    try:
        threads = max(1, default_threads() // jobs)
    except ValueError as exc:
        raise UsageError(_one_line(exc)) from exc
    cancel = threading.Event()

    # A learner's failure names the option that brought it: --model NAME, or --load PATH.
    options = [f"--load {choice.path}" if choice.path is not None else f"--model {name}"
               for (choice, _), name in zip(resolved, labels)]

    def run(model: Any, choice: ModelChoice, name: str, option: str) -> PrequentialResult:
        rows = source.open()
        if isinstance(rows, _ArrayRows):
            rows = rows.for_learner(model, choice.loaded is not None)
        try:
            result = prequential(
                model,
                rows,
                default_metrics(task, args.window),
                every=every,
                max_samples=args.samples if source.task is None else None,
                progress=not args.no_progress and jobs == 1,
                detector=new_detector() if detector_cls is not None else None,
                name=name,
                cancel=cancel,
                threads=threads,
                delay=delay,
            )
        except DataError:
            raise  # names the file, the row and the column
        except (ValueError, TypeError, OverflowError) as exc:
            raise UsageError(f"{option}: {_one_line(exc)}") from exc
        if isinstance(rows, _ArrayRows) and rows is not source.open() and rows.numbered():
            attach_labels(model, source.labels)  # it learnt the file's numbering: keep it from now on
        return result

    # A warning (a text column that looks like an identifier) is one line, once per message.
    with _one_line_warnings(sys.stderr if out is sys.stdout else out):
        warnings.simplefilter("ignore", _target_scale.TargetScaleWarning)  # said once above, in one line
        if jobs == 1:
            results = [run(model, choice, name, option)
                       for model, (choice, _), name, option in zip(models, resolved, labels, options)]
        else:
            # Each learner's native loop runs without the GIL, so the threads share the cores.
            # Ctrl-C reaches this thread, which cancels the others between their chunks of rows.
            opened = source.open()  # a CSV file is read into arrays once, before the threads share it
            if hasattr(opened, "arrays"):
                opened.arrays()
            with concurrent.futures.ThreadPoolExecutor(max_workers=jobs) as pool:
                futures = [pool.submit(run, model, choice, name, option)
                           for model, (choice, _), name, option in zip(models, resolved, labels, options)]
                try:
                    results = [f.result() for f in futures]
                except BaseException:
                    cancel.set()
                    raise
    print(file=out)
    print(format_table(results, detector_cls is not None, source.drift_points), file=out)
    if source.labels is not None and source.labels.names:
        learnt = " (text labels are learnt as the numbers shown)" if source.labels.text else ""
        print(f"labels of {args.target!r}{learnt}: {source.labels.describe()}", file=out)
    if args.save:
        for model, (choice, _), path in zip(models, resolved, save_paths(args.save, labels)):
            # A loaded learner knows the features it learnt before too.
            features = dict.fromkeys([*(choice.features or ()), *source.features])
            try:
                save_model(path, model, list(features))
            except (OSError, TypeError) as exc:
                raise UsageError(f"--save {path}: {_one_line(exc)}") from exc
            print(f"saved {type(model).__name__}: {path}", file=out)
    if detector_cls is not None:
        errors = "0/1 errors" if task == "classification" else "absolute errors"
        print(f"\nDrift detected by {detector_text} on each learner's {errors}, at samples:", file=out)
        print(format_drifts(results), file=out)
        if not delay and delay_column is None and any(r.first_scored == 2 for r in results):
            print("(a fresh classifier's first sample only trains it: its detector's update n is sample n + 1)",
                  file=out)
    elif not args.no_drift:
        print("(no drift detector: the native module has no ADWIN)", file=out)

    if args.plot:
        from tarvo.plot import plot_file, plot_learning_curves

        plot_learning_curves(results, args.plot, title=source.title, drift_points=source.drift_points)
        print(f"\nlearning curves: {plot_file(args.plot)}", file=out)
    if args.json:
        doc = {
            "tarvo_version": __version__,
            "data": {"name": source.name, "description": source.description, "params": source.params,
                     "drift_points": list(source.drift_points)},
            "task": task,
            "delay": delay if delay_column is None else {"column": delay_column},
            # The learnt integer of each class label (as JSON keys, texts) and the label it stands for.
            "labels": {str(code): name for code, name in source.labels.names.items()}
            if source.labels is not None else None,
            "drift_detector": None if detector_cls is None else {"class": "ADWIN", "delta": delta}
            if detector_cls is ADWIN else {"class": args.detector, "repr": detector_text},
            "results": [
                {**r.to_dict(), "class": choice.class_name, "params": choice.params, "scale": choice.scale,
                 "scale_target": choice.scale_target, "loaded": choice.path, "repr": repr(model)}
                for r, (choice, _), model in zip(results, resolved, models)
            ],
        }
        text = json.dumps(doc, indent=2, default=str)
        if args.json == "-":
            print(text, file=sys.stdout)
        else:
            with open(args.json, "w", encoding="utf-8") as fh:
                fh.write(text + "\n")
            print(f"results: {args.json}", file=out)
    return 0


def _with_hint(exc: BaseException) -> str:
    """The error line, with the way out where there is an obvious one."""
    text = _one_line(exc)
    column = getattr(exc, "feature", None)
    if isinstance(exc, DataError) and column is not None:
        text += f"; or leave the column out with --drop {column}"
    return text


def main(argv: Sequence[str] | None = None, prog: str = PROG) -> int:
    """Entry point of ``python -m tarvo``; returns the exit status."""
    parser = build_parser(prog)
    args = parser.parse_args(argv)
    if args.command == "list":
        try:
            print(describe(args.name) if args.name is not None else list_everything(prog), end="")
        except UsageError as exc:
            parser.exit(2, f"{parser.prog} list: error: {exc}\n")
        return 0
    if args.command == "serve":
        try:
            return serve(args, parser)
        except (UsageError, ValueError) as exc:
            parser.exit(2, f"{parser.prog} serve: error: {_one_line(exc)}\n")
    if args.command != "evaluate":
        parser.print_help()
        return 2
    out = sys.stderr if args.json == "-" else sys.stdout
    try:
        return evaluate(args, out)
    except (UsageError, ImportError, ValueError) as exc:
        # A mistake in the command line or the data: one line, no traceback.
        parser.exit(2, f"{parser.prog} evaluate: error: {_with_hint(exc)}\n")
    except (OSError, MemoryError) as exc:
        parser.exit(1, f"{parser.prog} evaluate: error: {_one_line(exc) if str(exc) else 'out of memory'}\n")
    except KeyboardInterrupt:
        parser.exit(130, "interrupted\n")
    return 0


def console_main() -> int:
    """Entry point of the console script ``tarvo``: ``main`` under that name."""
    return main(prog="tarvo")
