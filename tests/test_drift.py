"""ADWIN and EDDM: worked streams, bucket shapes, degenerate inputs and independent models."""

from __future__ import annotations

import math
import random

import pytest

import _tarvo_core as core

# Independent models, written from the definitions, for the seeded comparisons.


class ModelADWIN:
    def __init__(self, delta=0.002, clock=32, max_buckets=5, min_window_length=5, grace_period=10):
        self.delta, self.clock, self.mb = delta, clock, max_buckets
        self.mwl, self.grace = min_window_length, grace_period
        self.rows = [[]]  # each row: [total, variance] pairs, oldest first
        self.total = self.var = self.width = 0.0
        self.tick = 0
        self.drift = False

    def update(self, value):
        self.width += 1
        self.rows[0].append([value, 0.0])
        self.drift = False
        if self.width > 1:
            n = self.width
            d = value - self.total / (n - 1)
            self.var += (n - 1) * (d * d) / n
        self.total += value
        k = 0
        while k < len(self.rows) and len(self.rows[k]) == self.mb + 1:
            if k == len(self.rows) - 1:
                self.rows.append([])
            n = 2.0**k
            (t1, v1), (t2, v2) = self.rows[k][0], self.rows[k][1]
            diff = t1 / n - t2 / n
            self.rows[k + 1].append([t1 + t2, (v1 + v2) + n * n * (diff * diff) / (2 * n)])
            del self.rows[k][:2]
            k += 1
        self.tick += 1
        if self.tick % self.clock or self.width <= self.grace:
            return
        while self.cut():
            self.drift = True

    def cut(self):
        w, s = self.width, self.total
        n0 = s0 = 0.0
        n1, s1 = w, s
        for k in range(len(self.rows) - 1, -1, -1):
            row = self.rows[k]
            for i, (t, _) in enumerate(row):
                if k == 0 and i == len(row) - 1:
                    return False
                n1 -= 2.0**k
                if n1 <= 0:
                    return False
                n0 += 2.0**k
                s0 += t
                s1 -= t
                if n1 >= self.mwl and n0 >= self.mwl and w > 1:
                    mu0, mu1 = s0 / n0, s1 / n1
                    v = self.var / w
                    try:
                        dd = math.log(2 * math.log(w) / self.delta)
                    except (ValueError, ZeroDivisionError):
                        continue
                    m = 1 / (n0 - self.mwl + 1) + 1 / (n1 - self.mwl + 1)
                    under = 2 * m * v * dd
                    if not (dd >= 0 and under >= 0):
                        continue
                    if abs(mu0 - mu1) > math.sqrt(under) + 0.6666666666666666 * dd * m:
                        self.drop()
                        return True
        return False

    def drop(self):
        r = len(self.rows) - 1
        b = 2.0**r
        tb, vb = self.rows[r].pop(0)
        self.width -= b
        self.total -= tb
        mu_b = tb / b
        mu = self.total / self.width if self.width > 0 else 0.0
        self.var -= vb + self.width * b * ((mu_b - mu) * (mu_b - mu)) / (self.width + b)
        while len(self.rows) > 1 and not self.rows[-1]:
            self.rows.pop()


def adwin_trace(detector, values):
    out = []
    for v in values:
        detector.update(v)
        out.append((detector.drift_detected if hasattr(detector, "drift_detected") else detector.drift))
    return out


def zeros_then_ones(n_zeros=1000, n=1400):
    return [0.0] * n_zeros + [1.0] * (n - n_zeros)


def test_adwin_step_change_drifts_at_the_stated_updates():
    a = core.ADWIN()
    seen = []
    for i, v in enumerate(zeros_then_ones(n=5000), start=1):
        a.update(v)
        if a.drift_detected:
            seen.append((i, a.width, a.estimation))
    assert seen == [(1024, 56.0, 24 / 56), (1056, 72.0, 56 / 72), (1088, 88.0, 1.0)]


def test_adwin_constant_stream_never_drifts(probe):
    result = probe.adwin_histogram([1.0] * 20000)
    assert result["drifts"] == []
    assert result["width"] == 20000.0 and len(result["rows"]) == 12


def test_adwin_no_test_before_the_first_clock_tick():
    a = core.ADWIN()
    for i in range(1, 32):
        a.update(0.0 if i <= 15 else 1000.0)
        assert not a.drift_detected
    a.update(1000.0)
    assert a.drift_detected


def test_adwin_flag_clears_on_next_update():
    a = core.ADWIN()
    for v in zeros_then_ones(n=1024):
        a.update(v)
    assert a.drift_detected
    a.update(1.0)
    assert not a.drift_detected


def test_adwin_small_window_statistics():
    a = core.ADWIN()
    assert (a.estimation, a.variance, a.width) == (0.0, 0.0, 0.0)
    for v in (1, 2, 3):
        a.update(v)
    assert (a.estimation, a.width) == (2.0, 3.0)
    assert a.variance == pytest.approx(2 / 3)
    a.reset()
    assert (a.estimation, a.variance, a.width, a.drift_detected) == (0.0, 0.0, 0.0, False)


@pytest.mark.parametrize(
    "n, shape",
    [(5, [5]), (6, [4, 1]), (7, [5, 1]), (8, [4, 2]), (16, [4, 4, 1])],
)
def test_adwin_bucket_shapes(probe, n, shape):
    rows = probe.adwin_histogram([float(i) for i in range(n)], max_buckets=5)["rows"]
    assert [len(r) for r in rows] == shape


def test_adwin_merged_buckets_hold_sum_and_spread(probe):
    rows = probe.adwin_histogram([float(i) for i in range(16)], max_buckets=5)["rows"]
    assert rows[0] == [(12.0, 0.0), (13.0, 0.0), (14.0, 0.0), (15.0, 0.0)]
    assert rows[1] == [(9.0, 0.5), (13.0, 0.5), (17.0, 0.5), (21.0, 0.5)]
    assert rows[2] == [(6.0, 5.0)]  # 0..3: mean 1.5, squared deviations 5


def test_adwin_tests_stay_on_the_clock_across_drifts(probe):
    rng = random.Random(11)
    values = [rng.gauss(0 if (i // 700) % 2 else 3, 1) for i in range(6000)]
    drifts = probe.adwin_histogram(values, clock=32)["drifts"]
    assert len(drifts) > 3 and all(d % 32 == 0 for d in drifts)


@pytest.mark.parametrize("mb", [1, 2, 5])
def test_adwin_histogram_invariants_on_drifting_stream(probe, mb):
    rng = random.Random(mb)
    values = [float(rng.random() < (0.1 if (i // 900) % 2 else 0.8)) for i in range(8000)]
    result = probe.adwin_histogram(values, max_buckets=mb, clock=4)
    rows = result["rows"]
    assert result["drifts"]
    assert result["width"] == sum(len(r) * 2**k for k, r in enumerate(rows))
    assert result["estimation"] * result["width"] == pytest.approx(sum(t for r in rows for t, _ in r))
    assert all(len(r) <= mb for r in rows)
    assert len(rows) == 1 or rows[-1], "the last row holds the oldest bucket"


@pytest.mark.parametrize("clock, delta", [(32, 0.1), (4, 0.002), (1, 0.5)])
def test_adwin_single_bucket_rows_follow_the_model(clock, delta):
    # max_buckets 1 empties rows in the middle of the histogram; after a cut
    # deletes the last row, the oldest bucket must still be found.
    rng = random.Random(clock)
    values = [rng.gauss(0 if (i // 150) % 2 else 10, 1) for i in range(3000)]
    model = ModelADWIN(delta=delta, max_buckets=1, clock=clock)
    ours = core.ADWIN(delta=delta, max_buckets=1, clock=clock)
    for v in values:
        model.update(v)
        ours.update(v)
        assert (ours.drift_detected, ours.width) == (model.drift, model.width)
    assert (ours.estimation, ours.variance) == (model.total / model.width, model.var / model.width)


@pytest.mark.parametrize(
    "params",
    [
        {},
        {"delta": 0.2, "clock": 1},
        {"delta": 1e-5, "clock": 7, "max_buckets": 2, "min_window_length": 1, "grace_period": 0},
        {"delta": 0.05, "clock": 3, "max_buckets": 3, "min_window_length": 12, "grace_period": 40},
        {"delta": 0.9, "clock": 2, "min_window_length": -2, "grace_period": -5},
        {"delta": 5.0, "clock": 1},  # the log bound goes negative: never a cut
    ],
)
@pytest.mark.parametrize("kind", ["bernoulli", "gauss", "scaled"])
def test_adwin_matches_model_exactly(params, kind):
    rng = random.Random(f"{kind} {sorted(params.items())}")
    values = []
    level = 0.0
    for i in range(4000):
        if i % 600 == 0:
            level = rng.uniform(-2, 2)
        if kind == "bernoulli":
            values.append(float(rng.random() < 0.5 + level / 5))
        elif kind == "gauss":
            values.append(rng.gauss(level, 1.0))
        else:
            values.append(rng.gauss(level, 0.01) * 1e12)
    ours, model = core.ADWIN(**params), ModelADWIN(**params)
    assert adwin_trace(ours, values) == adwin_trace(model, values)
    assert (ours.width, ours.estimation, ours.variance) == (model.width, model.total / model.width,
                                                            model.var / model.width)


def test_adwin_row_count_stays_logarithmic(probe):
    rng = random.Random(9)
    result = probe.adwin_histogram([rng.random() for _ in range(10**6)])
    assert result["width"] > 5e5
    assert len(result["rows"]) <= math.log2(result["width"] / 5) + 2


@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf])
def test_adwin_non_finite_values_do_not_cut(bad):
    a = core.ADWIN(clock=1)
    values = [0.0] * 100 + [bad] + [1.0] * 500
    assert not any(adwin_trace(a, values))
    assert a.width == 601.0
    assert not math.isfinite(a.estimation)


@pytest.mark.parametrize(
    "kwargs, name",
    [({"clock": 0}, "clock"), ({"clock": -32}, "clock"), ({"max_buckets": 0}, "max_buckets"),
     ({"max_buckets": -1}, "max_buckets")],
)
def test_adwin_rejects_unusable_clock_and_bucket_limit(kwargs, name):
    with pytest.raises(ValueError, match=f"'{name}' must be at least 1"):
        core.ADWIN(**kwargs)


def test_adwin_python_surface():
    a = core.ADWIN(0.1, 16, 3, 4, 8)
    assert a.delta == 0.1
    a.delta = 0.5
    assert a.delta == 0.5
    with pytest.raises(TypeError):
        a.update(value=1.0)
    with pytest.raises(AttributeError):
        a.width = 3.0
    big = core.ADWIN(max_buckets=2**31 - 1)  # rows grow as they fill
    for _ in range(100):
        big.update(0.5)
    assert (big.width, big.estimation) == (100.0, 0.5)


def test_adwin_reset_behaves_as_fresh():
    values = zeros_then_ones(n=1500)
    a = core.ADWIN()
    adwin_trace(a, values[:777])
    a.reset()
    assert adwin_trace(a, values) == adwin_trace(core.ADWIN(), values)


def test_adwin_native_owner_use(probe):
    values = zeros_then_ones(n=3000) + [0.0] * 2000
    drifts, width, *defaults = probe.adwin_default_copy(0.002, values)
    assert defaults == [32, 5, 5, 10]
    assert drifts >= 2 and 0 < width < 2000


# EDDM


class ModelEDDM:
    def __init__(self, warm_start=30, alpha=0.95, beta=0.9):
        self.warm, self.alpha, self.beta = warm_start, alpha, beta
        self.reset()

    def reset(self):
        self.count = self.mean = self.m2 = 0.0
        self.n = self.last = self.errors = 0
        self.max = -1.0
        self.drift = self.warning = False

    def update(self, x):
        if self.drift:
            self.reset()
        p = self.n
        self.n += 1
        if x != 1:
            return
        e = self.errors
        self.errors += 1
        d = float(self.n - self.last)
        self.count += 1
        delta = d - self.mean
        self.mean = self.mean + delta / self.count
        self.m2 = self.m2 + delta * (d - self.mean)
        if p >= self.warm:
            s = math.sqrt(self.m2 / (self.count - 1)) if self.count > 1 else 0.0
            m2s = self.mean + 2 * s
            if m2s > self.max:
                self.max = m2s
            elif e >= self.warm:
                r = m2s / self.max
                if r < self.beta:
                    self.drift = True
                else:
                    self.warning = r < self.alpha
        self.last = self.n


def eddm_example(n=1200):
    return [(1 if i % 10 == 0 else 0) if i <= 1000 else 1 for i in range(1, n + 1)]


def test_eddm_example_stream():
    e = core.EDDM()
    flags = []
    for x in eddm_example():
        e.update(x)
        flags.append((e.warning_detected, e.drift_detected))
    assert flags[1086] == (False, False)
    assert all(w for w, _ in flags[1087:1122])  # updates 1088 to 1122
    assert [i + 1 for i, (_, d) in enumerate(flags) if d][:1] == [1122]
    assert flags[1122] == (False, False)  # update 1123 starts afresh


@pytest.mark.parametrize("stream", [[0] * 3000, [2, -1, 0, 7] * 700, [1] * 3000])
def test_eddm_steady_streams_raise_nothing(stream):
    e = core.EDDM()
    for x in stream:
        e.update(x)
        assert not (e.warning_detected or e.drift_detected)


@pytest.mark.parametrize(
    "params", [{}, {"warm_start": 5, "alpha": 0.99, "beta": 0.97}, {"warm_start": 0}, {"alpha": 0.8, "beta": 0.8}]
)
def test_eddm_matches_model(params):
    rng = random.Random(len(params))
    ours, model = core.EDDM(**params), ModelEDDM(**params)
    rate = 0.1
    for i in range(20000):
        if i % 2500 == 0:
            rate = rng.choice([0.02, 0.1, 0.3, 0.6])
        x = 1 if rng.random() < rate else rng.choice([0, 2, -5])
        ours.update(x)
        model.update(x)
        assert (ours.warning_detected, ours.drift_detected) == (model.warning, model.drift), i


def test_eddm_rejects_alpha_below_beta():
    with pytest.raises(ValueError, match=r"^'alpha' must be greater or equal to 'beta'\.$"):
        core.EDDM(alpha=0.9, beta=0.95)
    core.EDDM(alpha=0.9, beta=0.9)


def test_eddm_reset_and_properties():
    e = core.EDDM(12, 0.97, 0.8)
    assert (e.warm_start, e.alpha, e.beta) == (12, 0.97, 0.8)
    for x in eddm_example(1110):
        e.update(x)
    e.alpha = 0.5  # not checked against beta on assignment
    e.reset()
    assert (e.warning_detected, e.drift_detected) == (False, False)
    assert (e.warm_start, e.alpha, e.beta) == (12, 0.5, 0.8)
    with pytest.raises(TypeError):
        e.update(x=1)
    with pytest.raises(TypeError):
        e.update(1.0)
    with pytest.raises(TypeError):
        e.update(2**31)
