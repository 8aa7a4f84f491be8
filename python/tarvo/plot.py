"""Learning-curve plots of prequential results (needs matplotlib: ``pip install matplotlib``)."""

from __future__ import annotations

import os
from collections.abc import Sequence
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


def label(metric: str) -> str:
    """The display name of a reported metric."""
    return _LABELS.get(metric, metric.replace("_", " "))


def require_matplotlib() -> Any:
    """The ``matplotlib.pyplot`` module on the file-only Agg back-end; ``ImportError`` with advice if absent."""
    try:
        import matplotlib
    except ImportError as exc:
        raise ImportError("plotting needs matplotlib: pip install 'matplotlib>=3.8'") from exc
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def supported_formats() -> list[str]:
    """The file suffixes (without the dot) matplotlib can write."""
    require_matplotlib()
    from matplotlib.backend_bases import FigureCanvasBase

    return sorted(FigureCanvasBase.get_supported_filetypes())


def plot_learning_curves(
    results: Sequence[PrequentialResult],
    path: str | os.PathLike[str],
    *,
    title: str = "",
    drift_points: Sequence[int] = (),
) -> None:
    """Write one panel per metric, one line per learner, to ``path`` (format from its suffix).

    ``drift_points`` (known concept changes of the stream) are drawn as dashed
    vertical lines; the drifts each learner's detector reported as small ticks
    on its line.
    """
    plt = require_matplotlib()
    metrics = [m for m in (results[0].curve if results else {}) if all(m in r.curve for r in results)]
    panels = max(1, len(metrics))
    fig, axes = plt.subplots(panels, 1, figsize=(9, 2.6 * panels + 0.8), sharex=True, squeeze=False)
    for ax, metric in zip(axes[:, 0], metrics):
        for r in results:
            (line,) = ax.plot(r.steps, r.curve[metric], label=r.model, linewidth=1.3)
            if r.drifts and r.steps:
                ys = [_value_at(r, metric, d) for d in r.drifts]
                ax.plot(r.drifts, ys, linestyle="none", marker="|", markersize=9, color=line.get_color())
        for p in drift_points:
            ax.axvline(p, color="grey", linestyle="--", linewidth=0.9)
        ax.set_ylabel(label(metric))
        ax.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel("samples")
    if metrics and results:
        axes[0, 0].legend(loc="best", fontsize="small")
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def _value_at(result: PrequentialResult, metric: str, step: int) -> float:
    """The curve's value at the first reading at or after ``step`` (the last one past the end)."""
    for s, v in zip(result.steps, result.curve[metric]):
        if s >= step:
            return v
    return result.curve[metric][-1]
