"""Figures of a fit (matplotlib, imported only when a figure is drawn).

Each function draws into `ax` when given, otherwise into a new figure made
without pyplot (so it works headless and leaves pyplot's state alone), and
returns the Axes; save it with ``ax.figure.savefig(path)``.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import tarnwick

from ._model import (FloatArray, Pdf, as_events, check_fit_events, check_index, check_pdf_count,
                     component_names, densities, event_weights, optional_module)

if TYPE_CHECKING:
    from matplotlib.axes import Axes


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    figure = optional_module("matplotlib.figure").Figure(figsize=(6.4, 4.4),
                                                         layout="constrained")
    axes: Axes = figure.add_subplot()
    return axes


def _range(values: FloatArray, value_range: tuple[float, float] | None) -> tuple[float, float]:
    if value_range is not None:
        return value_range
    return float(values.min()), float(values.max())


def _column(events: FloatArray, column: int) -> int:
    return check_index(column, events.shape[1], "column",
                       f"the data's {events.shape[1]} column(s)")


def _histogram(values: FloatArray, bins: int, lo: float, hi: float,
               w: FloatArray) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray, float]:
    """The weighted counts, their errors √Σw², the bin edges and centres, and the
    bin width."""
    counts, edges = np.histogram(values, bins=bins, range=(lo, hi), weights=w)
    squares, _ = np.histogram(values, bins=bins, range=(lo, hi), weights=w**2)
    centres, width = 0.5 * (edges[1:] + edges[:-1]), edges[1] - edges[0]
    return counts, np.sqrt(squares), edges, centres, width


def plot_fit(result: tarnwick.SPlotResult, data: npt.ArrayLike, pdfs: Sequence[Pdf],
             column: int, *, bins: int = 50, range: tuple[float, float] | None = None,
             weights: npt.ArrayLike | None = None, ax: Axes | None = None) -> Axes:
    """The histogram of `column` with Poisson errors (√Σw²), and the fitted
    total and components y_k f_k as expected counts per bin.

    The curves evaluate the PDFs on rows whose other columns are held at
    their medians, so they are the fit's projection when the PDFs depend on
    `column` alone, as the PDFs of a one-dimensional discriminating variable
    do.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The finished fit.
    data : array_like
        The events, shape (n_events, n_columns).
    pdfs : sequence of callable
        The fit's PDFs, one per component and in its order.
    column : int
        The column to histogram (negative from the end).
    bins : int, optional
        The number of bins (default 50).
    range : (float, float) or None, optional
        The histogram's range; None (the default) for the column's extent.
    weights : array_like or None, optional
        The event weights; None (the default) for unweighted events.
    ax : matplotlib.axes.Axes or None, optional
        The axes to draw into; None (the default) for a new figure.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into.

    Raises
    ------
    TypeError, ValueError
        If `column` is not a column of the data, or the PDFs or weights do
        not match the fit.
    """
    events = as_events(data)
    check_pdf_count(result, pdfs)
    column = _column(events, column)
    w = event_weights(weights, len(events))
    lo, hi = _range(events[:, column], range)
    counts, errors, _, centres, width = _histogram(events[:, column], bins, lo, hi, w)
    grid = np.tile(np.median(events, axis=0), (400, 1))
    grid[:, column] = np.linspace(lo, hi, 400)
    expected = densities(grid, pdfs, result.shape_parameters) * result.yields * width

    ax = _axes(ax)
    ax.errorbar(centres, counts, yerr=errors, fmt="o", color="black", ms=3,
                label="data")
    for k, name in enumerate(component_names(pdfs)):
        ax.plot(grid[:, column], expected[:, k], "--", label=f"{name} ({result.yields[k]:.0f})")
    ax.plot(grid[:, column], expected.sum(axis=1), "-", color="C3", label="fit total")
    ax.set_xlim(lo, hi)
    ax.set_xlabel(f"column {column}")
    ax.set_ylabel(f"events / {width:.3g}")
    ax.legend()
    return ax


def plot_sweighted(result: tarnwick.SPlotResult, data: npt.ArrayLike, column: int,
                   component: int, truth: Callable[[FloatArray], FloatArray] | npt.ArrayLike
                   | None = None, *, bins: int = 40,
                   range: tuple[float, float] | None = None, ax: Axes | None = None) -> Axes:
    """The histogram of `column` filled with the sWeights of `component`,
    with errors √(Σ s²) per bin.

    `truth`, when given, is the true distribution to compare with: a
    callable density of the variable integrating to one (drawn as the sum
    of the component's sWeights times the density times the bin width), or
    the true values themselves (histogrammed).

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The finished fit.
    data : array_like
        The events the fit was made on, shape (n_events, n_columns).
    column : int
        The column to histogram (negative from the end).
    component : int
        The component whose sWeights fill the histogram (negative from the
        end).
    truth : callable, array_like or None, optional
        The true density or the true values; None (the default) for none.
    bins : int, optional
        The number of bins (default 40).
    range : (float, float) or None, optional
        The histogram's range; None (the default) for the column's extent.
    ax : matplotlib.axes.Axes or None, optional
        The axes to draw into; None (the default) for a new figure.

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into.

    Raises
    ------
    TypeError, ValueError
        If `column` or `component` is out of range, or the data are not
        those of the fit.
    """
    events = as_events(data)
    check_fit_events(result, events)
    column = _column(events, column)
    n_components = len(result.yields)
    component = check_index(component, n_components, "component",
                            f"a fit of {n_components} component(s)")
    s = np.asarray(result.sweights, dtype=np.float64)[:, component]
    values = events[:, column]
    lo, hi = _range(values, range)
    counts, errors, edges, centres, width = _histogram(values, bins, lo, hi, s)

    ax = _axes(ax)
    ax.errorbar(centres, counts, yerr=errors, fmt="o", color="black", ms=3,
                label=f"sWeighted, component {component}")
    if callable(truth):
        x = np.linspace(lo, hi, 400)
        ax.plot(x, truth(x) * s.sum() * width, "-", color="C3", label="true distribution")
    elif truth is not None:
        true_counts: Any = np.histogram(np.asarray(truth, dtype=np.float64), bins=edges)[0]
        ax.stairs(true_counts, edges, color="C3", label="true distribution")
    ax.axhline(0.0, color="grey", lw=0.5)
    ax.set_xlim(lo, hi)
    ax.set_xlabel(f"column {column}")
    ax.set_ylabel(f"sWeighted events / {width:.3g}")
    ax.legend()
    return ax
