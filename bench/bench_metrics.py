"""Metric and drift-detector updates per call, against the floor; ADWIN also timed natively.

Each update is timed through the harness like every learner (a Python step
calling the method, against a step calling the floor function). The notes add
bare calls (the bound method mapped over prebuilt arguments in C), which leave
only the call itself and the native work, next to the floor function and to a
do-nothing method taking the same arguments: the gap between those two floors
is the cost of calling a method rather than a function.
"""

from __future__ import annotations

import itertools
import random
from collections import deque

import _tarvo_core as core
import _tarvo_probe as probe
from harness import Row, per_item_us, per_sample_us


def bare_us(fn, items, pairs: bool) -> float:
    """Best-of-three microseconds per call of ``fn`` mapped over ``items`` in C."""

    def whole_run(_):
        deque(itertools.starmap(fn, items) if pairs else map(fn, items), maxlen=0)

    return per_item_us(whole_run, [None]) / len(items)


def streams(n: int):
    rng = random.Random(7)
    labels = [(rng.randrange(3), rng.randrange(3)) for _ in range(n)]
    values = [(rng.gauss(0, 1), rng.gauss(0, 1)) for _ in range(n)]
    # A classifier's 0/1 errors whose rate jumps half-way, so the detectors work.
    errors = [1.0 if rng.random() < (0.2 if i < n // 2 else 0.6) else 0.0 for i in range(n)]
    return labels, values, errors, [int(e) for e in errors]


# The same step shapes as the measured updates, on the do-nothing methods.
METHOD_STEPS = {
    "labels": lambda m, item: m.labels(*item),
    "values": lambda m, item: m.values(*item),
    "value": lambda m, item: m.value(item),
    "label": lambda m, item: m.label(item),
}


def run(quick: bool) -> list[Row]:
    n = 50_000 if quick else 300_000
    labels, values, errors, int_errors = streams(n)
    # Each kind of argument: its stream and its floor function; the do-nothing
    # method of the same name on FloorUpdater is the method floor.
    kinds = {
        "labels": (labels, probe.floor_update_labels),
        "values": (values, probe.floor_update_values),
        "value": (errors, probe.floor_update_value),
        "label": (int_errors, probe.floor_update_label),
    }
    pair_update = "update(y_true, y_pred)"
    cases = [
        ("Accuracy", pair_update, core.Accuracy, "labels"),
        ("MacroPrecision", pair_update, core.MacroPrecision, "labels"),
        ("MacroRecall", pair_update, core.MacroRecall, "labels"),
        ("MacroF1", pair_update, core.MacroF1, "labels"),
        ("WindowMetric", "update(predicted, actual)", core.WindowMetric, "labels"),
        ("MAE", pair_update, core.MAE, "values"),
        ("RMSE", pair_update, core.RMSE, "values"),
        ("WindowRegressionMetric", pair_update, core.WindowRegressionMetric, "values"),
        ("R2", pair_update, core.R2, "values"),
        ("ADWIN", "update(value)", core.ADWIN, "value"),
        ("EDDM", "update(x)", core.EDDM, "label"),
    ]
    rows = []
    for name, operation, cls, kind in cases:
        items, floor = kinds[kind]
        pairs = isinstance(items[0], tuple)
        if pairs:
            ours = per_sample_us(cls, lambda m, item: m.update(*item), items)
            floor_us = per_item_us(lambda item: floor(*item), items)
        else:
            ours = per_sample_us(cls, lambda m, item: m.update(item), items)
            floor_us = per_item_us(lambda item: floor(item), items)
        method_us = per_sample_us(probe.FloorUpdater, METHOD_STEPS[kind], items)
        bare = bare_us(cls().update, items, pairs)
        bare_floor = bare_us(floor, items, pairs)
        bare_method = bare_us(getattr(probe.FloorUpdater(), kind), items, pairs)
        row = Row(name, operation, ours, floor_us)
        row.extra = {"method_floor_us": method_us, "bare_us": bare, "bare_floor_us": bare_floor,
                     "bare_method_floor_us": bare_method}
        row.notes = (
            f"{ours / method_us:.2f}× a do-nothing method; bare calls: {bare * 1000:.0f} ns, "
            f"floor function {bare_floor * 1000:.0f} ns ({bare / bare_floor:.2f}×), "
            f"floor method {bare_method * 1000:.0f} ns ({bare / bare_method:.2f}×)"
        )
        rows.append(row)

    adwin = next(row for row in rows if row.component == "ADWIN")
    n_native = 10**6 if quick else 10**7
    adwin.native_ns = min(probe.adwin_native_ns(n_native)[0] for _ in range(1 if quick else 3))
    adwin.notes += f"; native over {n_native:.0e} updates"
    return rows
