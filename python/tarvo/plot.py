"""Learning-curve plots of prequential results (needs matplotlib: ``pip install matplotlib``).

The figures are built with ``matplotlib.figure.Figure`` alone: nothing here touches
pyplot's global state or matplotlib's back-end, so plotting from a notebook, a GUI or
a server thread leaves their plots as they were.
"""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from typing import Any

from tarvo.evaluate import PrequentialResult

_LABELS = {
    "accuracy": "accuracy",
    "macro_f1": "macro F1",
    "window_accuracy": "windowed accuracy",
    "mae": "MAE",
    "rmse": "RMSE",
    "r2": "R²",
    "window_mae": "windowed MAE",
}

#: The format of a plot written to a path without a suffix (the suffix is added to the path).
DEFAULT_FORMAT = "png"


def label(metric: str) -> str:
    """The display name of a reported metric."""
    return _LABELS.get(metric, metric.replace("_", " "))


def require_matplotlib() -> Any:
    """The ``matplotlib`` package; ``ImportError`` with advice if it is absent. Its back-end is left alone."""
    try:
        import matplotlib
    except ImportError as exc:
        raise ImportError("plotting needs matplotlib: pip install 'matplotlib>=3.8'") from exc
    return matplotlib


def supported_formats() -> list[str]:
    """The file suffixes (without the dot) matplotlib can write."""
    require_matplotlib()
    from matplotlib.backend_bases import FigureCanvasBase

    return sorted(FigureCanvasBase.get_supported_filetypes())


def plot_file(path: str | os.PathLike[str]) -> str:
    """The file a plot to ``path`` is written to: ``path`` itself when it has a suffix, else ``path``
    with ``.png`` added (``curve`` -> ``curve.png``)."""
    text = os.fspath(path)
    suffix = os.path.splitext(text)[1]
    return text if suffix not in ("", ".") else f"{text.rstrip('.')}.{DEFAULT_FORMAT}"


def plot_learning_curves(
    results: Sequence[PrequentialResult] | Mapping[str, PrequentialResult],
    path: str | os.PathLike[str] | None = None,
    *,
    ax: Any = None,
    title: str = "",
    drift_points: Sequence[int] = (),
) -> Any:
    """The learning curves of ``results``: one panel per metric, one line per learner.

    Args:
        results: prequential results, or a mapping of name to result (the names label the
            lines; otherwise each result's ``model``). Only the metrics every result has are drawn.
        path: write the figure to this file (format from its suffix; ``.png`` is added to a
            path without one, see :func:`plot_file`). Without it nothing is written.
        ax: draw into these matplotlib ``Axes`` (one, or a sequence of them: one metric
            each, in order) instead of a new figure of one panel per metric.
        title: the figure's title (with ``ax``: the first axes' title).
        drift_points: known concept changes of the stream, drawn as dashed vertical lines;
            the drifts each learner's detector reported are small ticks on its line.

    Returns the ``matplotlib.figure.Figure`` drawn on (the figure of ``ax`` when given). A new
    figure belongs to no pyplot window and needs no closing: display it in a notebook by
    evaluating it, or keep it with ``fig.savefig``.
    """
    require_matplotlib()
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    if isinstance(results, Mapping):
        named = [(str(name), r) for name, r in results.items()]
    elif isinstance(results, (str, bytes)) or not isinstance(results, Sequence):
        raise TypeError(f"results must be a sequence of results or a mapping of name to result, "
                        f"not {type(results).__name__}")
    else:
        named = [(getattr(r, "model", f"#{i + 1}"), r) for i, r in enumerate(results)]
    for name, r in named:
        if not all(hasattr(r, a) for a in ("steps", "curve", "drifts")):
            raise TypeError(f"results: {name!r} is a {type(r).__name__}, not a prequential result")
    runs = [r for _, r in named]
    metrics = [m for m in (runs[0].curve if runs else {}) if all(m in r.curve for r in runs)]

    if ax is None:
        panels = max(1, len(metrics))
        fig = Figure(figsize=(9, 2.6 * panels + 0.8))
        axes = list(fig.subplots(panels, 1, sharex=True, squeeze=False)[:, 0])
    else:
        axes = [ax] if isinstance(ax, Axes) else list(ax)
        if not axes or not all(isinstance(a, Axes) for a in axes):
            raise TypeError("ax must be a matplotlib Axes or a sequence of them")
        fig = axes[0].get_figure()
        metrics = metrics[: len(axes)]
    for axis, metric in zip(axes, metrics):
        for name, r in named:
            (line,) = axis.plot(r.steps, r.curve[metric], label=name, linewidth=1.3)
            if r.drifts and r.steps:
                ys = [_value_at(r, metric, d) for d in r.drifts]
                axis.plot(r.drifts, ys, linestyle="none", marker="|", markersize=9, color=line.get_color())
        for p in drift_points:
            axis.axvline(p, color="grey", linestyle="--", linewidth=0.9)
        axis.set_ylabel(label(metric))
        axis.grid(True, alpha=0.3)
    axes[min(len(axes), max(1, len(metrics))) - 1].set_xlabel("samples")
    if metrics and named:
        axes[0].legend(loc="best", fontsize="small")
    if ax is None:
        if title:
            fig.suptitle(title)
        fig.tight_layout()
    elif title:
        axes[0].set_title(title)
    if path is not None:
        fig.savefig(plot_file(path), dpi=110)
    return fig


def _value_at(result: PrequentialResult, metric: str, step: int) -> float:
    """The curve's value at the first reading at or after ``step`` (the last one past the end)."""
    for s, v in zip(result.steps, result.curve[metric]):
        if s >= step:
            return v
    return result.curve[metric][-1]
