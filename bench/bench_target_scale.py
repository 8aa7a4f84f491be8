"""Targets at any scale: ScaledTargetRegressor on a house-price stream.

The stream: area in square metres, rooms and age of a house; its price is about 2,500 per
square metre plus 4,000 a room, less 600 a year of age, plus 50,000 and noise (sd 20,000), so
prices run in the hundreds of thousands. ``run`` (``make bench``) measures what the wrapper
costs per sample around LinearRegression (from Python, against the floor, and natively) and
reports the R² of LinearRegression behind a StandardScaler with and without it.

Run as a script it also prints the command line's comparison table of every built regressor
(each behind ``--scale standard``) on the same stream written as a CSV file, without and with
``--scale-target``, and writes both tables to ``bench/results/target_scale.md``::

    PYTHONPATH=build/release:python .venv/bin/python bench/bench_target_scale.py
"""

from __future__ import annotations

import contextlib
import io
import json
import os
import pathlib
import sys
import tempfile
import time
import warnings

import numpy as np

import _tarvo_core as core
from _tarvo_extra import ScaledTargetRegressor
from harness import Row, native_ns, test_then_train_us

from tarvo import batch
from tarvo.evaluate import TargetScaleWarning

COLUMNS = ["area", "rooms", "age"]
RESULTS = pathlib.Path(__file__).resolve().parent / "results"


def house_prices(n: int, seed: int = 0) -> tuple[np.ndarray, np.ndarray]:
    """Area in square metres, rooms and age; price about 2,500 per square metre plus noise."""
    rng = np.random.default_rng(seed)
    area = rng.uniform(40, 250, n)
    rooms = np.round(area / 30 + rng.normal(0, 0.7, n)).clip(1, None)
    age = rng.uniform(0, 80, n)
    price = 2_500 * area + 4_000 * rooms - 600 * age + 50_000 + rng.normal(0, 20_000, n)
    return np.column_stack([area, rooms, age]), price


def r2(model: object, X: np.ndarray, y: np.ndarray) -> float:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", TargetScaleWarning)  # the very case measured
        result = batch.prequential(model, X, y, columns=COLUMNS, metrics={"r2": core.R2()}, detector=False)
    return result.final["r2"]


def scaled_linear() -> object:
    return core.RegressionPipeline([core.StandardScaler()], ScaledTargetRegressor(core.LinearRegression()))


def run(quick: bool) -> list[Row]:
    n = 5_000 if quick else 20_000
    X, price = house_prices(n)
    plain = r2(core.RegressionPipeline([core.StandardScaler()], core.LinearRegression()), X, price)
    scaled = r2(scaled_linear(), X, price)
    samples = [(dict(zip(COLUMNS, row)), float(t)) for row, t in zip(X.tolist(), price.tolist())]
    ours, floor = test_then_train_us(lambda: ScaledTargetRegressor(core.LinearRegression()), samples, classifier=False)
    bare, _ = test_then_train_us(core.LinearRegression, samples, classifier=False)
    wrapped_ns = native_ns(lambda: ScaledTargetRegressor(core.LinearRegression()), samples, classifier=False)
    bare_ns = native_ns(core.LinearRegression, samples, classifier=False)
    return [Row(
        "ScaledTargetRegressor", "predict_one + learn_one around LinearRegression", ours, floor, native_ns=wrapped_ns,
        notes=f"bare LinearRegression {bare:.3f} µs, {bare_ns:.0f} ns natively; house prices ({n:,} rows, sd "
              f"{price.std():,.0f}): R² of StandardScaler + LinearRegression {plain:.4f} alone, {scaled:.4f} "
              f"behind the wrapper",
        extra={"r2_plain": plain, "r2_scaled": scaled, "rows": n},
    )]


# ---------------------------------------------------------------- the command line's table

REGRESSORS = ["LinearRegression", "BayesianLinearRegression", "PassiveAggressiveRegressor", "KNNRegressor",
              "HoeffdingTreeRegressor", "FIMTDDRegressor", "ARFRegressor", "SRPRegressor",
              "LeveragingBaggingRegressor", "SGBRRegressor"]


def cli_table(path: str, scale_target: bool) -> tuple[str, list[str], list[dict]]:
    """The command line's output on the file (its table, the warnings it printed, its JSON results)."""
    from tarvo.cli import main

    args = ["evaluate", "--no-progress", "--no-drift", "--data", path, "--target", "price"]
    for name in REGRESSORS:
        args += ["--model", name, "--scale", "standard"]
    if scale_target:
        args.append("--scale-target")
    out, err = io.StringIO(), io.StringIO()
    with tempfile.TemporaryDirectory() as tmp:
        report = os.path.join(tmp, "out.json")
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            status = main([*args, "--json", report])
        if status != 0:
            raise RuntimeError(err.getvalue())
        with open(report, encoding="utf-8") as fh:
            results = json.load(fh)["results"]
    command = "python -m tarvo " + " ".join(args).replace(path, "houses.csv")
    table = [line.replace(path, "houses.csv") for line in out.getvalue().strip().splitlines()
             if not line.startswith("results: ")]
    return "\n".join([f"$ {command}", *table]), err.getvalue().splitlines(), results


def main(argv: list[str]) -> int:
    n = 5_000 if "--quick" in argv else 20_000
    X, price = house_prices(n)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "houses.csv")
        with open(path, "w", encoding="utf-8") as fh:
            fh.write(",".join([*COLUMNS, "price"]) + "\n")
            for (area, rooms, age), p in zip(X.tolist(), price.tolist()):
                fh.write(f"{area:.1f},{int(rooms)},{age:.0f},{p:.0f}\n")
        began = time.perf_counter()
        without, warned, plain = cli_table(path, False)
        with_wrapper, _, scaled = cli_table(path, True)
        took = time.perf_counter() - began
    lines = [
        "# Targets at any scale: the regressors with and without --scale-target",
        "",
        f"House prices, {n:,} rows (`bench/bench_target_scale.py`): area, rooms and age; price about 2,500 per "
        f"square metre, standard deviation {price.std():,.0f}. Every regressor behind `--scale standard`; "
        f"{time.strftime('%Y-%m-%d', time.gmtime())}, both runs in {took:.0f} s on a shared two-core machine.",
        "",
        "Without the wrapper (the command line warns, on standard error):",
        "",
        "```",
        *warned,
        "```",
        "",
        "```",
        without,
        "```",
        "",
        "With it:",
        "",
        "```",
        with_wrapper,
        "```",
        "",
        "| learner | R² alone | R² with --scale-target |",
        "|---|---:|---:|",
        *(f"| {a['class']} | {a['final']['r2']:.4f} | {b['final']['r2']:.4f} |" for a, b in zip(plain, scaled)),
        "",
    ]
    text = "\n".join(lines)
    print(text)
    if "--quick" not in argv:
        RESULTS.mkdir(exist_ok=True)
        (RESULTS / "target_scale.md").write_text(text, encoding="utf-8")
        print(f"wrote {RESULTS / 'target_scale.md'}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
