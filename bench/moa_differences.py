"""Why some of our drift detectors' detections differ from MOA's: plain-Python replicas, checked on both.

Each replica below is a few lines of one detector, with a switch for the one rule where our
detector and MOA's part ways. With the switch at ours, the replica must report exactly the rows
our detector reports; at MOA's, exactly the rows MOA's reports (found by experiment on MOA as a
black box). Run from the repository with the MOA peer configured (see ``moa_peer``):

    PYTHONPATH=build/release:python:bench python bench/moa_differences.py

It prints, for each detector, on how many seeded streams each replica matches each side.
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np

import bench_drift_detectors as drift
import bench_moa_peer as peer
import moa_peer


def page_hinkley(v: np.ndarray, minimum: bool, n_min: int = 30, delta: float = 0.005, lam: float = 50.0,
                 alpha: float = 0.9999) -> list[int]:
    """A drift when m_t - M_t > lam (Page's test: minimum=True, ours) or when m_t > lam (MOA's)."""
    fired, t, mean, m, low = [], 0, 0.0, 0.0, math.inf
    for i, x in enumerate(v.tolist()):
        t += 1
        mean += (x - mean) / t
        m = alpha * m + (x - mean - delta)
        low = min(low, m)
        if t >= n_min and (m - low if minimum else m) > lam:
            fired.append(i)
            t, mean, m, low = 0, 0.0, 0.0, math.inf
    return fired


def ddm(v: np.ndarray, moa: bool, n_min: int = 30, level: float = 3.0) -> list[int]:
    """Ours keeps (p_min, s_min) only when s > 0 and tests from update n_min; MOA's also when s = 0, from n_min - 1."""
    fired, n, p, p_min, s_min = [], 0, 0.0, math.inf, math.inf
    for i, x in enumerate(v.tolist()):
        n += 1
        p += (x - p) / n
        s = math.sqrt(p * (1 - p) / n)
        if n < (n_min - 1 if moa else n_min):
            continue
        if p + s <= p_min + s_min and (moa or s > 0):
            p_min, s_min = p, s
        if p + s >= p_min + level * s_min if not moa else p + s > p_min + level * s_min:
            fired.append(i)
            n, p, p_min, s_min = 0, 0.0, math.inf, math.inf
    return fired


def hddm_a(v: np.ndarray, log_of: float, confidence: float = 0.001) -> list[int]:
    """One-sided A-test; the drift bound is sqrt(m / 2 ln(log_of / confidence)): 1 ours, 2 MOA's."""
    fired, n, total, cut_n, cut_total = [], 0, 0.0, 0, 0.0
    for i, x in enumerate(v.tolist()):
        n += 1
        total += x
        bound = math.sqrt(math.log(1 / confidence) / 2)
        if cut_n == 0 or total / n + bound / math.sqrt(n) <= cut_total / cut_n + bound / math.sqrt(cut_n):
            cut_n, cut_total = n, total
        if cut_n < n:
            m = (n - cut_n) / (cut_n * n)
            if total / n - cut_total / cut_n >= math.sqrt(m / 2 * math.log(log_of / confidence)):
                fired.append(i)
                n, total, cut_n, cut_total = 0, 0.0, 0, 0.0
    return fired


def eddm(v: np.ndarray, ddof: int, warm: int = 30, beta: float = 0.9) -> list[int]:
    """The distances between errors, with the sample (ddof 1, ours) or population (ddof 0) standard deviation."""
    fired: list[int] = []
    fresh = True
    for i, x in enumerate(v.tolist()):
        if fresh:
            count = mean = m2 = 0.0
            n = last = errors = 0
            best, fresh = -1.0, False
        before, n = n, n + 1
        if x != 1:
            continue
        e, errors = errors, errors + 1
        d = n - last
        count += 1
        step = d - mean
        mean += step / count
        m2 += step * (d - mean)
        last = n
        if before < warm:
            continue
        value = mean + 2 * (math.sqrt(m2 / (count - ddof)) if count > ddof else 0.0)
        if value > best:
            best = value
        elif e >= warm and value / best < beta:
            fired.append(i)
            fresh = True
    return fired


REPLICAS: dict[str, tuple[Callable[[np.ndarray], list[int]], Callable[[np.ndarray], list[int]], str]] = {
    "PageHinkley": (lambda v: page_hinkley(v, True), lambda v: page_hinkley(v, False),
                    "m_t - M_t > threshold (ours, Page's test) against m_t > threshold (MOA)"),
    "DDM": (lambda v: ddm(v, False), lambda v: ddm(v, True),
            "a minimum only where s > 0, tests from update 30 (ours) against a minimum at s = 0 too, from update 29 (MOA)"),
    "HDDM_A": (lambda v: hddm_a(v, 1.0), lambda v: hddm_a(v, 2.0),
               "one-sided bound ln(1/alpha) (ours) against ln(2/alpha) (MOA, one-sided setting)"),
    "EDDM": (lambda v: eddm(v, 1), lambda v: eddm(v, 0),
             "sample standard deviation (ours) against the population one (MOA)"),
}


def main() -> None:
    reason = moa_peer.unavailable()
    if reason is not None:
        raise SystemExit(reason)
    streams = [np.array(drift.errors(kind, drift.CHANGE_AT + drift.HORIZON, seed))
               for kind in ("abrupt", "gradual") for seed in range(10)]
    streams += [np.array(drift.errors(f"steady {level}", 30_000, 0)) for level in ("0.1", "0.3")]
    for name, (as_ours, as_moa, rule) in REPLICAS.items():
        m = peer.MATCHED[name]
        ours = [peer.ours_fired(m.ours, v, name == "EDDM") for v in streams]
        setup = {"name": name, "cls": m.moa_cls, "kwargs": m.moa_kwargs}
        _, out = moa_peer.call("drift", {"detectors": [setup], "repeat": 1}, {
            "values": np.concatenate(streams), "offsets": np.cumsum([0] + [len(v) for v in streams]),
            "timing_values": np.zeros(10)})
        fired, cuts = out[f"fired/{name}"], out[f"cuts/{name}"]
        theirs = [fired[a:b].tolist() for a, b in zip(cuts[:-1], cuts[1:])]
        a = [as_ours(v) for v in streams]
        b = [as_moa(v) for v in streams]
        n = len(streams)
        print(f"{name}: {rule}\n  replica as ours matches ours on {sum(x == y for x, y in zip(a, ours))}/{n} streams; "
              f"as MOA matches MOA on {sum(x == y for x, y in zip(b, theirs))}/{n} "
              f"(first drift: {sum(x[:1] == y[:1] for x, y in zip(b, theirs))}/{n}); "
              f"ours and MOA agree on {sum(x == y for x, y in zip(ours, theirs))}/{n}")


if __name__ == "__main__":
    main()
