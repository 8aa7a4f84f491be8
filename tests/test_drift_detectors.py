"""The drift detectors beyond ADWIN and EDDM: DDM, HDDM_A, HDDM_W, PageHinkley and KSWIN.

Independent models written from the methods' definitions (the detectors must follow them update by
update), the methods' worked properties, and the interface the detectors share with ADWIN, in tables
over the five.
"""

from __future__ import annotations

import math
import pickle
import random

import numpy as np
import pytest

import _tarvo_core as core
import _tarvo_extra as extra
from random_reference import MT19937, uniform_int
from tarvo import batch
from tarvo.evaluate import prequential

# ---------------------------------------------------------------- models from the definitions


class ModelDDM:
    def __init__(self, min_num_instances=30, warning_level=2.0, out_control_level=3.0):
        self.least, self.warn_at, self.drift_at = min_num_instances, warning_level, out_control_level
        self.reset()

    def reset(self):
        self.n, self.p, self.minimum = 0, 0.0, None
        self.drift = self.warning = False

    def update(self, v):
        if self.drift:
            self.reset()
        self.n += 1
        self.p += (v - self.p) / self.n
        s = math.sqrt(self.p * (1.0 - self.p) / self.n)
        self.warning = False
        if self.n < self.least:
            return
        if s > 0 and (self.minimum is None or self.p + s <= self.minimum[0] + self.minimum[1]):
            self.minimum = (self.p, s)
        if self.minimum is not None:
            p_min, s_min = self.minimum
            self.drift = self.p + s >= p_min + self.drift_at * s_min
            self.warning = not self.drift and self.p + s >= p_min + self.warn_at * s_min

    def statistics(self):
        return self.p


def _level(gap, bound_drift, bound_warning):
    return 2 if gap >= bound_drift else (1 if gap >= bound_warning else 0)


class ModelHDDMA:
    """Means of every value and of the prefix at the cut point; Hoeffding's bound for their difference."""

    def __init__(self, drift_confidence=0.001, warning_confidence=0.005, two_sided=False):
        self.ad, self.aw, self.two = drift_confidence, warning_confidence, two_sided
        self.reset()

    def reset(self):
        self.n = self.total = 0.0
        self.low = self.high = None  # (count, sum) of the cut prefixes
        self.drift = self.warning = False

    def _eps(self, cut, alpha):
        return math.sqrt((self.n - cut) / (2.0 * self.n * cut) * math.log(1.0 / alpha))

    def update(self, v):
        if self.drift:
            self.reset()
        self.n += 1.0
        self.total += v
        log_inv = math.log(1.0 / self.ad)
        mean = self.total / self.n
        bound = math.sqrt(log_inv / (2.0 * self.n))
        if self.low is None or mean + bound < self.low[1] / self.low[0] + math.sqrt(log_inv / (2.0 * self.low[0])):
            self.low = (self.n, self.total)
        if self.two and (self.high is None or
                         mean - bound > self.high[1] / self.high[0] - math.sqrt(log_inv / (2.0 * self.high[0]))):
            self.high = (self.n, self.total)
        level = 0
        if self.low[0] < self.n:
            level = _level(mean - self.low[1] / self.low[0], self._eps(self.low[0], self.ad),
                           self._eps(self.low[0], self.aw))
        if self.two and level < 2 and self.high[0] < self.n:
            level = max(level, _level(self.high[1] / self.high[0] - mean, self._eps(self.high[0], self.ad),
                                      self._eps(self.high[0], self.aw)))
        self.drift, self.warning = level == 2, level == 1

    def statistics(self):
        return self.total / self.n if self.n else 0.0


class ModelHDDMW:
    """EWMAs of every value, at the cut point and after it; McDiarmid's bound for their difference."""

    def __init__(self, drift_confidence=0.001, warning_confidence=0.005, lambda_=0.05, two_sided=False):
        self.ad, self.aw, self.lam, self.two = drift_confidence, warning_confidence, lambda_, two_sided
        self.reset()

    def reset(self):
        self.z = None  # (ewma, sum of squared weights)
        self.sides = {"up": [None, None], "down": [None, None]}  # [cut, after]
        self.drift = self.warning = False

    def _add(self, e, v):
        if e is None:
            return (v, 1.0)
        keep = 1.0 - self.lam
        return (self.lam * v + keep * e[0], self.lam * self.lam + keep * keep * e[1])

    @staticmethod
    def _bound(w, alpha):
        return math.sqrt(w / 2.0 * math.log(1.0 / alpha))

    def update(self, v):
        if self.drift:
            self.reset()
        self.z = self._add(self.z, v)
        bound = self._bound(self.z[1], self.ad)
        for name, sign in (("up", 1.0), ("down", -1.0)):
            if name == "down" and not self.two:
                continue
            side = self.sides[name]
            cut = side[0]
            # up: Z + bound below the cut's; down: Z - bound above the cut's
            if cut is None or sign * (self.z[0] + sign * bound) < sign * (cut[0] + sign * self._bound(cut[1], self.ad)):
                side[0], side[1] = self.z, None
            else:
                side[1] = self._add(side[1], v)
        level = 0
        for name, sign in (("up", 1.0), ("down", -1.0)):
            if (name == "down" and not self.two) or level == 2:
                continue
            cut, after = self.sides[name]
            if after is not None:
                w = cut[1] + after[1]
                gap = (after[0] - cut[0]) if sign > 0 else (cut[0] - after[0])
                level = max(level, _level(gap, self._bound(w, self.ad), self._bound(w, self.aw)))
        self.drift, self.warning = level == 2, level == 1

    def statistics(self):
        return self.z[0] if self.z else 0.0


class ModelPageHinkley:
    def __init__(self, min_instances=30, delta=0.005, threshold=50.0, alpha=0.9999):
        self.least, self.delta, self.threshold, self.alpha = min_instances, delta, threshold, alpha
        self.reset()

    def reset(self):
        self.n, self.mean, self.m, self.m_min = 0, 0.0, 0.0, None
        self.drift = False
        self.warning = False

    def update(self, v):
        if self.drift:
            self.reset()
        self.n += 1
        self.mean += (v - self.mean) / self.n
        self.m = self.alpha * self.m + (v - self.mean - self.delta)
        self.m_min = self.m if self.m_min is None else min(self.m_min, self.m)
        self.drift = self.n >= self.least and self.m - self.m_min > self.threshold

    def statistics(self):
        return self.m - self.m_min


class ModelKSWIN:
    def __init__(self, alpha=0.005, window_size=100, stat_size=30, seed=0):
        self.alpha, self.n, self.r, self.seed = alpha, window_size, stat_size, seed
        self.reset()

    def reset(self):
        self.window, self.gen, self.d = [], MT19937(self.seed & 0xFFFFFFFF), 0.0
        self.drift = self.warning = False

    def update(self, v):
        self.drift = False
        self.window = (self.window + [v])[-self.n:]
        if len(self.window) < self.n:
            return
        older = self.n - self.r
        positions = list(range(older))
        for i in range(self.r):
            j = uniform_int(self.gen, i, older - 1)
            positions[i], positions[j] = positions[j], positions[i]
        drawn = [self.window[p] for p in positions[:self.r]]
        recent = self.window[-self.r:]
        # sup |F_drawn - F_recent| over every value of either sample
        self.d = max(abs(sum(a <= t for a in drawn) - sum(b <= t for b in recent)) for t in drawn + recent) / self.r
        if self.d > math.sqrt(-math.log(self.alpha) / self.r):
            self.drift = True
            self.window = recent

    def statistics(self):
        return self.d


# (class, model, parameter sets, whether the values must lie in [0, 1])
DETECTORS = {
    "DDM": (extra.DDM, ModelDDM,
            [{}, {"min_num_instances": 5, "warning_level": 1.5, "out_control_level": 2.5}], True),
    "HDDM_A": (extra.HDDM_A, ModelHDDMA,
               [{}, {"two_sided": True}, {"drift_confidence": 0.02, "warning_confidence": 0.2}], True),
    "HDDM_W": (extra.HDDM_W, ModelHDDMW,
               [{}, {"two_sided": True, "lambda_": 0.1, "drift_confidence": 0.2, "warning_confidence": 0.4},
                {"lambda_": 1.0, "drift_confidence": 0.7, "warning_confidence": 0.9}], True),
    "PageHinkley": (extra.PageHinkley, ModelPageHinkley,
                    [{}, {"min_instances": 1, "delta": 0.0, "threshold": 5.0, "alpha": 1.0},
                     {"threshold": 3.0, "alpha": 0.9}], False),
    "KSWIN": (extra.KSWIN, ModelKSWIN,
              [{}, {"window_size": 20, "stat_size": 10, "alpha": 0.05, "seed": 7}, {"seed": -1}], False),
}
NAMES = list(DETECTORS)
STATISTIC = {"DDM": "estimation", "HDDM_A": "estimation", "HDDM_W": "estimation", "PageHinkley": "statistic",
             "KSWIN": "statistic"}


def errors(seed: int, n: int = 6000, rates=(0.05, 0.3, 0.6, 0.15)) -> list[float]:
    """0/1 errors whose rate changes every n / len(rates) updates."""
    rng = random.Random(seed)
    return [float(rng.random() < rates[i * len(rates) // n]) for i in range(n)]


def bounded_values(seed: int, n: int = 6000) -> list[float]:
    """Values in [0, 1] around 0.1, then around 0.85, alternating every 1500 updates."""
    rng = random.Random(seed)
    return [min(1.0, max(0.0, (0.85 if (i // 1500) % 2 else 0.1) + (rng.random() + rng.random() - 1.0) * 0.15))
            for i in range(n)]


def real_values(seed: int, n: int = 6000) -> list[float]:
    rng = random.Random(seed)
    return [rng.gauss([0.0, 3.0, -1.0, 0.5][i * 4 // n], 1.0 + (i // 1000) % 2) for i in range(n)]


def flags(detector, values):
    out = []
    for v in values:
        detector.update(v)
        out.append((detector.drift_detected, getattr(detector, "warning_detected", False)))
    return out


CASES = [(name, params, kind) for name, (_, _, sets, bounded) in DETECTORS.items() for params in sets
         for kind in (("errors", "bounded") if bounded else ("errors", "real"))]


@pytest.mark.parametrize("name, params, kind", CASES, ids=[f"{n}-{i}-{k}" for i, (n, _, k) in enumerate(CASES)])
def test_every_update_follows_the_model(name, params, kind):
    cls, model_cls, _, _ = DETECTORS[name]
    values = {"errors": errors, "bounded": bounded_values, "real": real_values}[kind](len(params))
    ours, model = cls(**params), model_cls(**params)
    seen = 0
    for i, v in enumerate(values):
        ours.update(v)
        model.update(v)
        assert (ours.drift_detected, getattr(ours, "warning_detected", False)) == (model.drift, model.warning), i
        seen += model.drift
        assert getattr(ours, STATISTIC[name]) == pytest.approx(model.statistics(), rel=1e-12, abs=1e-12), i
    assert seen, "the stream should make the detector fire"


# ---------------------------------------------------------------- detection and silence


def step(before: float, after: float, at: int, n: int, seed: int) -> list[float]:
    rng = random.Random(seed)
    return [float(rng.random() < (before if i < at else after)) for i in range(n)]


# (detector, stream kind, updates within which a change at update 2000 is found, updates before it
# with no alarm). The real values are normal with sd 1: Page-Hinkley's defaults suit errors, and
# KSWIN's false alarms on continuous values come every few hundred updates (see below).
CHANGES = [
    ("DDM", "errors", 200, 1000), ("HDDM_A", "errors", 100, 1000), ("HDDM_W", "errors", 50, 1000),
    ("PageHinkley", "errors", 150, 1000), ("KSWIN", "errors", 100, 1000), ("HDDM_A", "bounded", 100, 1000),
    ("DDM", "bounded", 250, 1000), ("HDDM_W", "bounded", 100, 1000), ("PageHinkley", "real", 100, 200),
    ("KSWIN", "real", 100, 0),
]


@pytest.mark.parametrize("name, kind, within, quiet", CHANGES)
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_an_abrupt_change_is_detected_soon(name, kind, within, quiet, seed):
    if kind == "errors":
        values = step(0.1, 0.7, 2000, 3000, seed)
    else:
        rng = random.Random(seed)
        values = [rng.random() * 0.3 + (0.6 if i >= 2000 else 0.0) if kind == "bounded"
                  else rng.gauss(3.0 if i >= 2000 else 0.0, 1.0) for i in range(3000)]
    fired = [i for i, (drift, _) in enumerate(flags(DETECTORS[name][0](), values)) if drift]
    assert not [i for i in fired if 2000 - quiet <= i < 2000], fired
    assert fired and any(2000 <= i < 2000 + within for i in fired), fired


def test_kswin_false_alarms_on_steady_values_come_at_about_alpha_per_update():
    """KSWIN tests every update of a full window at level alpha, drawing new older values each
    time: on steady continuous values its false alarms come at a rate near alpha per update."""
    rng = random.Random(5)
    values = [rng.gauss(0.0, 1.0) for _ in range(40000)]
    rate = sum(d for d, _ in flags(extra.KSWIN(), values)) / len(values)
    assert 0.2 * 0.005 < rate < 2 * 0.005


@pytest.mark.parametrize("name", NAMES)
def test_a_steady_error_rate_raises_nothing(name):
    cls = DETECTORS[name][0]
    periodic = [1.0 if i % 5 == 0 else 0.0 for i in range(20000)]
    assert not any(d or w for d, w in flags(cls(), periodic))
    for seed in range(3):
        values = [float(v) for v in (np.random.default_rng(seed).random(1000) < 0.25)]
        assert not any(d for d, _ in flags(cls(), values)), seed


@pytest.mark.parametrize("name", ["HDDM_A", "HDDM_W"])
def test_two_sided_adds_the_fall_of_the_mean(name):
    """Every second prediction wrong, then every twentieth: only the two-sided test reports the fall."""
    cls = DETECTORS[name][0]
    values = [float(i % 2 == 0) for i in range(1000)] + [float(i % 20 == 0) for i in range(1000)]
    assert not any(d or w for d, w in flags(cls(), values))
    fired = [i for i, (d, _) in enumerate(flags(cls(two_sided=True), values)) if d]
    assert fired and 1000 <= fired[0] < 1100


def test_ddm_warns_before_its_drift_on_a_step_change():
    """Every tenth prediction wrong, then every one: the warning is raised before the drift and
    stays on until it, and the drift turns it off."""
    values = [1.0 if i % 10 == 0 else 0.0 for i in range(500)] + [1.0] * 100
    trace = flags(extra.DDM(), values)
    first_warning = next(i for i, (_, w) in enumerate(trace) if w)
    first_drift = next(i for i, (d, _) in enumerate(trace) if d)
    assert 500 <= first_warning < first_drift < 520
    assert all(w for _, w in trace[first_warning:first_drift])
    assert trace[first_drift] == (True, False)


def test_ddm_a_run_of_right_predictions_sets_no_minimum():
    """After 1000 right predictions one error is no drift (a minimum of p + s = 0 would make it
    one), while a burst of errors is."""
    ddm = extra.DDM()
    trace = flags(ddm, [0.0] * 1000 + [1.0] + [0.0] * 200)
    assert not any(d or w for d, w in trace)
    trace = flags(ddm, [1.0] * 20)
    assert any(d for d, _ in trace)


@pytest.mark.parametrize(
    "threshold, min_instances, drift",
    [(8.0, 1, False), (7.999, 1, True), (7.999, 5, True), (7.999, 6, False)],
)
def test_page_hinkley_threshold_is_strict_and_waits_for_min_instances(threshold, min_instances, drift):
    """0, 0, 0, 0, 10 with delta 0 and no fading: the mean is 2 at the fifth value, so the sum rises
    from its minimum 0 to exactly 8 = m_5 - M_5; only a threshold below 8 reports it, and only when
    min_instances <= 5."""
    ph = extra.PageHinkley(min_instances=min_instances, delta=0.0, threshold=threshold, alpha=1.0)
    trace = flags(ph, [0.0, 0.0, 0.0, 0.0, 10.0])
    assert ph.statistic == 8.0
    assert [d for d, _ in trace] == [False] * 4 + [drift]


@pytest.mark.parametrize("params", [{}, {"min_instances": 10, "threshold": 3.0, "alpha": 0.99, "delta": 0.1}])
def test_page_hinkley_reports_exactly_when_the_statistic_passes_the_threshold(params):
    ph = extra.PageHinkley(**params)
    count = 0
    for v in real_values(3):
        ph.update(v)
        count = 1 if count == -1 else count + 1
        assert ph.drift_detected == (count >= ph.min_instances and ph.statistic > ph.threshold)
        if ph.drift_detected:
            count = -1  # the next update starts afresh


def test_kswin_is_reproducible_for_a_seed():
    values = real_values(11, 3000)

    def statistics(detector):
        out = []
        for v in values:
            detector.update(v)
            out.append((detector.statistic, detector.drift_detected))
        return out

    first = statistics(extra.KSWIN(seed=3))
    assert statistics(extra.KSWIN(seed=3)) == first
    assert statistics(extra.KSWIN(seed=4)) != first
    again = extra.KSWIN(seed=3)
    statistics(again)
    again.reset()  # re-seeds: a used detector replays a fresh one
    assert statistics(again) == first


def test_kswin_keeps_the_newest_values_after_a_drift():
    """Forty zeros, then fives: the distance is the share of fives among the newest ten, so the
    eighth five passes sqrt(-ln(0.005) / 10) = 0.73; the window keeps those newest ten."""
    k = extra.KSWIN(window_size=40, stat_size=10, seed=2)
    trace = flags(k, [0.0] * 40 + [5.0] * 8)
    assert [d for d, _ in trace].index(True) == 47 and k.statistic == 0.8 and k.size == 10


# ---------------------------------------------------------------- the interface shared with ADWIN


@pytest.mark.parametrize("name", NAMES)
def test_a_drift_shows_only_right_after_its_update_and_the_next_starts_afresh(name):
    detector = DETECTORS[name][0]()
    values = errors(1) if DETECTORS[name][3] else real_values(1)
    trace = flags(detector, values)
    fired = [i for i, (d, _) in enumerate(trace) if d]
    assert fired and all(b - a > 1 for a, b in zip(fired, fired[1:]))
    fresh = DETECTORS[name][0]()
    detector = DETECTORS[name][0]()
    for v in values[:fired[0] + 1]:
        detector.update(v)
    rest = values[fired[0] + 1:]
    if name == "KSWIN":  # its window keeps the newest stat_size values
        assert detector.size == detector.stat_size
    else:
        assert flags(detector, rest) == flags(fresh, rest)


@pytest.mark.parametrize("name", NAMES)
def test_reset_replays_a_fresh_detector(name):
    values = errors(2) if DETECTORS[name][3] else real_values(2)
    used = DETECTORS[name][0]()
    flags(used, values[:2500])
    used.reset()
    assert (used.drift_detected, getattr(used, "warning_detected", False)) == (False, False)
    assert flags(used, values) == flags(DETECTORS[name][0](), values)


# (detector, value refused); a refused value leaves the detector as it was.
REFUSED = [(n, v) for n in ("DDM", "HDDM_A", "HDDM_W") for v in (-0.001, 1.5, math.nan, math.inf, -math.inf)] + [
    (n, v) for n in ("PageHinkley", "KSWIN") for v in (math.nan, math.inf, -math.inf)]


@pytest.mark.parametrize("name, value", REFUSED)
def test_a_value_outside_the_method_is_refused_and_changes_nothing(name, value):
    detector = DETECTORS[name][0]()
    flags(detector, errors(3)[:1990])
    before = pickle.dumps(detector)
    with pytest.raises(ValueError, match=rf"{name}\.update: the value must"):
        detector.update(value)
    assert pickle.dumps(detector) == before
    with pytest.raises(TypeError):
        detector.update("1")
    with pytest.raises(TypeError):
        detector.update(value=0.0)  # positional only, as ADWIN's


@pytest.mark.parametrize(
    "cls, kwargs, message",
    [
        (extra.HDDM_A, {"drift_confidence": 0.0}, "'drift_confidence' must lie in \\(0, 1\\)"),
        (extra.HDDM_A, {"warning_confidence": 1.0}, "'warning_confidence' must lie in \\(0, 1\\)"),
        (extra.HDDM_W, {"drift_confidence": math.nan}, "'drift_confidence' must lie in \\(0, 1\\), got nan"),
        (extra.HDDM_W, {"lambda_": 0.0}, "'lambda_' must lie in \\(0, 1\\]"),
        (extra.HDDM_W, {"lambda_": 1.5}, "'lambda_' must lie in \\(0, 1\\]"),
        (extra.KSWIN, {"alpha": 1.0}, "'alpha' must lie in \\(0, 1\\)"),
        (extra.KSWIN, {"stat_size": 0}, "'stat_size' must be at least 1"),
        (extra.KSWIN, {"window_size": 59}, "'window_size' must be at least twice 'stat_size'"),
        (extra.KSWIN, {"window_size": -2**31, "stat_size": 2**31 - 1}, "'window_size' must be at least twice"),
    ],
)
def test_unusable_parameters_raise_value_error(cls, kwargs, message):
    with pytest.raises(ValueError, match=message):
        cls(**kwargs)


# ---------------------------------------------------------------- as the detector of an evaluation


def _classification_rows(n=3000):
    rng = np.random.default_rng(4)
    X = rng.normal(size=(n, 3))
    y = (X[:, 0] > 0).astype(int)
    y[n // 2:] = 1 - y[n // 2:]  # the concept flips half-way
    return X, y


@pytest.mark.parametrize("name", NAMES)
def test_every_prequential_path_feeds_each_detector_the_same_errors(name):
    """The native batch, its Python loop and the loop over dicts report the same drifts, which are
    those of the detector fed the 0/1 errors by hand."""
    cls = DETECTORS[name][0]
    X, y = _classification_rows()
    result, predicted = batch.prequential(core.NaiveBayes(), X, y, detector=cls(), predictions=True, progress=False)
    rows = [({f"x{j}": float(v) for j, v in enumerate(row)}, int(label)) for row, label in zip(X, y)]
    again = prequential(core.NaiveBayes(), rows, None, detector=cls(), progress=False)
    by_hand = cls()
    expected = []
    for n, (label, guess) in enumerate(zip(y[1:], predicted[1:]), start=2):  # the first row only trains
        by_hand.update(0.0 if guess == label else 1.0)
        if by_hand.drift_detected:
            expected.append(n)
    assert result.drifts == again.drifts == expected and expected


@pytest.mark.parametrize("name", NAMES)
def test_a_regressor_takes_the_detectors_of_real_values_only(name):
    cls = DETECTORS[name][0]
    X = np.arange(40.0).reshape(20, 2)
    y = np.arange(20.0)
    if DETECTORS[name][3]:
        with pytest.raises(TypeError, match=f"detector: {name} watches a classifier's 0/1 errors"):
            batch.prequential(core.LinearRegression(), X, y, detector=cls())
    else:
        result = batch.prequential(core.LinearRegression(), X, y, detector=cls(), progress=False)
        assert result.n_samples == 20


# ---------------------------------------------------------------- the command line


@pytest.mark.parametrize("name", NAMES)
def test_the_command_line_runs_each_detector(capsys, name):
    from tarvo.cli import main

    status = main(["evaluate", "--no-progress", "--model", "NaiveBayes", "--data", "sea", "--samples", "3000",
                   "--detector", name])
    out = capsys.readouterr().out
    assert status == 0 and f"Drift detected by {name}(" in out


@pytest.mark.parametrize(
    "argv, tail",
    [
        (["--model", "LinearRegression", "--data", "friedman", "--detector", "HDDM_W"],
         "--detector HDDM_W watches a classifier's 0/1 errors; a regressor's errors are unbounded (use ADWIN, "
         "PageHinkley or KSWIN)"),
        (["--model", "NaiveBayes", "--detector", "KSWIN", "--drift-delta", "0.01"],
         "--drift-delta sets ADWIN's delta; --detector KSWIN runs at its defaults"),
    ],
)
def test_the_command_line_refuses_a_detector_that_cannot_run(capsys, argv, tail):
    from tarvo.cli import main

    with pytest.raises(SystemExit) as info:
        main(["evaluate", "--no-progress", "--samples", "100", *argv])
    err = capsys.readouterr().err
    assert info.value.code == 2 and err.rstrip().endswith(tail)


def test_list_shows_the_detectors(capsys):
    from tarvo.cli import main

    assert main(["list"]) == 0
    out = capsys.readouterr().out
    assert "Drift detectors (--detector NAME" in out and all(f"  {n} " in out for n in NAMES)
    assert main(["list", "KSWIN"]) == 0
    assert "KSWIN: Kolmogorov-Smirnov windowing drift detector" in capsys.readouterr().out
