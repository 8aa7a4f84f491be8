"""Text features: what learning a text column is worth, and what it costs in the batch path.

1. Accuracy. A churn-like table (tenure, monthly charges, contract type and payment method as text,
   and a customer id) whose label depends mostly on the contract and the payment method. The
   command line evaluates each learner with the text columns learnt (the id left out) and with
   them left out by ``--drop``, as the command line advised before text columns were learnt.
2. Speed. ``tarvo.batch.learn_many`` over a frame with two category columns, against the same
   frame with those columns one-hot encoded by hand (float columns), best of several rounds.

Writes ``bench/results/text_features.md``; ``run(quick)`` gives the speed rows for the report.
"""

from __future__ import annotations

import contextlib
import io
import json
import pathlib
import sys
import tempfile
import time

import numpy as np

from harness import Row

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"

CONTRACTS = ["month-to-month", "one year", "two year"]
PAYMENTS = ["electronic check", "mailed check", "bank transfer", "credit card"]


def churn_table(n: int, seed: int = 7) -> list[str]:
    """The rows of the churn-like CSV file (header first)."""
    rng = np.random.default_rng(seed)
    contract = rng.choice(3, n, p=[0.55, 0.25, 0.20])
    payment = rng.choice(4, n, p=[0.35, 0.2, 0.22, 0.23])
    tenure = np.where(contract == 0, rng.integers(1, 30, n), rng.integers(6, 72, n))
    charges = np.round(rng.normal(65, 25, n).clip(18, 120), 2)
    # The odds of churning: mostly the contract and the payment method, a little tenure and charges.
    logit = (np.array([1.2, -1.1, -2.4])[contract] + np.array([0.9, -0.2, -0.6, -0.7])[payment]
             - 0.015 * tenure + 0.006 * (charges - 65))
    churn = rng.random(n) < 1.0 / (1.0 + np.exp(-logit))
    lines = ["customer_id,tenure,monthly_charges,contract,payment_method,churn"]
    for i in range(n):
        lines.append(f"C{i:07d},{tenure[i]},{charges[i]},{CONTRACTS[contract[i]]},{PAYMENTS[payment[i]]},"
                     f"{'yes' if churn[i] else 'no'}")
    return lines


LEARNERS = {
    "HoeffdingTreeClassifier": ["--model", "HoeffdingTreeClassifier"],
    "LogisticRegressionClassifier (standard scaling)": ["--model", "LogisticRegressionClassifier", "--scale",
                                                        "standard"],
    "NaiveBayes": ["--model", "NaiveBayes"],
}


def cli_accuracy(path: str, options: list[str], drop: list[str]) -> dict[str, float]:
    from tarvo.cli import main

    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "out.json"
        with contextlib.redirect_stdout(io.StringIO()):
            status = main(["evaluate", "--no-progress", "--no-drift", "--data", path, "--target", "churn",
                           *options, "--drop", ",".join(drop), "--json", str(out)])
        assert status == 0
        final = json.loads(out.read_text())["results"][0]["final"]
    return {"accuracy": final["accuracy"], "macro_f1": final["macro_f1"]}


def category_frames(n: int, seed: int = 3):
    import pandas as pd

    rng = np.random.default_rng(seed)
    contract = pd.Categorical(rng.choice(CONTRACTS, n))
    payment = pd.Categorical(rng.choice(PAYMENTS, n))
    frame = pd.DataFrame({"tenure": rng.integers(1, 72, n).astype(float),
                          "charges": rng.normal(65, 25, n), "contract": contract, "payment": payment})
    y = np.where((frame["contract"] == "month-to-month") ^ (rng.random(n) < 0.2), "yes", "no")
    hand = pd.DataFrame({"tenure": frame["tenure"], "charges": frame["charges"]})
    for column in ("contract", "payment"):  # the encoding's columns, in its order (of first appearance)
        for category in pd.unique(frame[column].astype(object)):
            hand[f"{column}={category}"] = (frame[column] == category).astype(float)
    return frame, hand, y


def best_of(rounds: int, make, call) -> float:
    best = float("inf")
    for _ in range(rounds):
        model = make()
        began = time.perf_counter()
        call(model)
        best = min(best, time.perf_counter() - began)
    return best


def run(quick: bool = False) -> list[Row]:
    import _tarvo_core as core
    from tarvo import batch

    n_rows = 5_000 if quick else 20_000
    lines = []
    with tempfile.TemporaryDirectory() as tmp:
        path = str(pathlib.Path(tmp) / "churn.csv")
        pathlib.Path(path).write_text("\n".join(churn_table(n_rows)) + "\n")
        lines.append(f"Churn-like table: {n_rows:,} rows (customer_id, tenure, monthly_charges, contract, "
                     "payment_method; label churn, yes/no), prequential accuracy from `python -m tarvo evaluate` "
                     "(no drift detector).\n")
        lines.append("| learner | text columns learnt (`--drop customer_id`) | accuracy | macro F1 |")
        lines.append("|---|---|---:|---:|")
        for name, options in LEARNERS.items():
            with_text = cli_accuracy(path, options, ["customer_id"])
            without = cli_accuracy(path, options, ["customer_id", "contract", "payment_method"])
            lines.append(f"| {name} | yes | {with_text['accuracy']:.4f} | {with_text['macro_f1']:.4f} |")
            lines.append(f"| {name} | no (`--drop customer_id,contract,payment_method`) | {without['accuracy']:.4f} "
                         f"| {without['macro_f1']:.4f} |")

    n = 20_000 if quick else 100_000
    rounds = 3 if quick else 5
    frame, hand, y = category_frames(n)
    rows: list[Row] = []
    lines.append(f"\n`tarvo.batch.learn_many` over {n:,} rows: two numeric columns and two category columns "
                 "(3 and 4 categories), against the same frame one-hot encoded by hand (best of "
                 f"{rounds}).\n")
    lines.append("| learner | two category columns ms | one-hot by hand ms | ratio |")
    lines.append("|---|---:|---:|---:|")
    for name, make in (("NaiveBayes", core.NaiveBayes),
                       ("HoeffdingTreeClassifier", core.HoeffdingTreeClassifier)):
        text_s = best_of(rounds, make, lambda m: batch.learn_many(m, frame, y))
        hand_s = best_of(rounds, make, lambda m: batch.learn_many(m, hand, y))
        lines.append(f"| {name} | {text_s * 1e3:.0f} | {hand_s * 1e3:.0f} | {text_s / hand_s:.2f}× |")
        rows.append(Row("text features", f"learn_many {name}, two category columns", text_s / n * 1e6,
                        hand_s / n * 1e6, notes="floor: the same frame one-hot encoded by hand"))
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "text_features.md").write_text("# Text features\n\n" + "\n".join(lines) + "\n")
    return rows


if __name__ == "__main__":
    for row in run(quick="--quick" in sys.argv):
        print(row)
    print((RESULTS / "text_features.md").read_text())
