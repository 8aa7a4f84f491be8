"""The demo: a prequential (test-then-train) run on a seeded synthetic stream.

Run with ``python -m tarvo.demo``. Needs no files and no network.
"""

from __future__ import annotations

import random
import sys
import time
from collections.abc import Iterator

from _tarvo_core import NaiveBayes


def gaussian_classes(
    n_samples: int = 50_000, n_features: int = 5, n_classes: int = 3, seed: int = 7
) -> Iterator[tuple[dict[str, float], int]]:
    """Samples of ``n_classes`` Gaussian classes with unit variance over ``n_features``."""
    rng = random.Random(seed)
    centres = [[rng.uniform(-2.0, 2.0) for _ in range(n_features)] for _ in range(n_classes)]
    names = [f"x{j}" for j in range(n_features)]
    for _ in range(n_samples):
        y = rng.randrange(n_classes)
        yield {name: rng.gauss(c, 1.0) for name, c in zip(names, centres[y])}, y


def main() -> int:
    n = 50_000
    model = NaiveBayes()
    correct = 0
    start = time.perf_counter()
    for i, (x, y) in enumerate(gaussian_classes(n), start=1):
        correct += model.predict_one(x) == y
        model.learn_one(x, y)
        if i % 10_000 == 0:
            print(f"  {i:>6} samples  accuracy {correct / i:.4f}", flush=True)
    elapsed = time.perf_counter() - start
    print(f"NaiveBayes on {n} samples: accuracy {correct / n:.4f}, {n / elapsed:,.0f} samples/s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
