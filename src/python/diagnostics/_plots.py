"""Figures of a fit (matplotlib, imported only when a figure is drawn).

Each function draws into `ax` when given, otherwise into a new figure made
without pyplot (so it works headless and leaves pyplot's state alone), and
returns the Axes; save it with ``ax.figure.savefig(path)``. Components are
labelled by the `names` given (default "component 0", …).
"""

from __future__ import annotations

import math
import re
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import tarnwick

from ._belongs import check_belongs
from ._model import (FloatArray, Pdf, check_index, component_labels, component_position,
                     densities, optional_module)

if TYPE_CHECKING:
    from matplotlib.axes import Axes


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    figure = optional_module("matplotlib.figure").Figure(figsize=(6.4, 4.4),
                                                         layout="constrained")
    axes: Axes = figure.add_subplot()
    return axes


def _fit_axes(ax: Axes | None, pull_ax: Axes | None, pulls: bool) -> tuple[Axes, Axes | None]:
    """The main axes and the pull panel's (None when no panel is drawn)."""
    if ax is None and pull_ax is not None:
        raise ValueError("pull_ax was given without ax: pass both, or neither for a new figure")
    if ax is not None:
        return ax, pull_ax if pulls else None
    if not pulls:
        return _axes(None), None
    figure = optional_module("matplotlib.figure").Figure(figsize=(6.4, 5.6),
                                                         layout="constrained")
    main, panel = figure.subplots(2, 1, sharex=True, height_ratios=[3, 1])
    return main, panel


def _intervals_per_bin(bins: int) -> int:
    """An even number of intervals per bin, about 400 over the range, so that
    the curves look smooth and Simpson's rule integrates each bin."""
    return 2 * max(1, -(-200 // bins))


def _per_bin(curve: FloatArray, bins: int, spacing: float) -> FloatArray:
    """Simpson's rule over each bin of `curve`, sampled at equal `spacing`
    with an even number n of intervals per bin (len(curve) = bins·n + 1)."""
    n = (len(curve) - 1) // bins
    weights = np.ones(n + 1)
    weights[1:-1:2], weights[2:-1:2] = 4.0, 2.0
    rows = n * np.arange(bins)[:, None] + np.arange(n + 1)
    integral: FloatArray = curve[rows] @ weights * (spacing / 3.0)
    return integral


# Round bin widths, times a power of ten.
_ROUND_WIDTHS = (1.0, 1.2, 1.5, 2.0, 2.5, 3.0, 4.0, 5.0, 6.0, 8.0, 10.0)


def _nice_range(values: FloatArray, bins: int) -> tuple[float, float, int]:
    """The range and number of bins (at most `bins`) over `values` with the
    smallest round width (see _ROUND_WIDTHS) whose bins, starting at a
    multiple of the width, cover them."""
    low, high = float(values.min()), float(values.max())
    if not high > low:
        return low - 0.5, high + 0.5, bins
    scale = 10.0 ** math.floor(math.log10((high - low) / bins))
    for mantissa in _ROUND_WIDTHS + tuple(10.0 * m for m in _ROUND_WIDTHS):
        width = mantissa * scale
        start = math.floor(low / width) * width
        n = max(1, math.ceil((high - start) / width))
        if n <= bins:
            return start, start + n * width, n
    return low, high, bins


def _declared_window(pdfs: Sequence[Pdf], column: int) -> tuple[float, float] | None:
    """The `window` (low, high) a PDF declares for `column`, if one does:
    models carry the window they are normalised on."""
    for pdf in pdfs:
        window = getattr(pdf, "window", None)
        declared = getattr(pdf, "column", column)
        if window is not None and (not isinstance(declared, int) or declared == column):
            low, high = window
            return float(low), float(high)
    return None


def _range(values: FloatArray, value_range: tuple[float, float] | None, bins: int,
           pdfs: Sequence[Pdf] = (), column: int = 0) -> tuple[float, float, int]:
    """The histogram's range and number of bins: as given, or the declared
    window in `bins` bins, or the data's extent in round bins."""
    window = value_range or _declared_window(pdfs, column)
    if window is not None:
        return float(window[0]), float(window[1]), bins
    return _nice_range(values, bins)


def _per_unit(label: str | None) -> str:
    """" GeV" for an axis label "m [GeV]" or "m (GeV)"; "" without a unit."""
    match = re.search(r"[\[(]([^\[\]()]+)[\])]\s*$", label or "")
    return f" {match.group(1).strip()}" if match else ""


def _draw_pulls(panel: Axes, centres: FloatArray, pull: FloatArray, width: float,
                lo: float, hi: float) -> None:
    """The pulls as bars, with guides at 0, ±1 and ±2."""
    panel.axhspan(-2.0, 2.0, color="0.93", lw=0)
    panel.axhspan(-1.0, 1.0, color="0.85", lw=0)
    for level, style in ((1.0, ":"), (2.0, "--")):
        for sign in (-1.0, 1.0):
            panel.axhline(sign * level, color="grey", lw=0.6, ls=style)
    panel.bar(centres, pull, width=width, color="grey")
    panel.axhline(0.0, color="black", lw=0.5)
    panel.set_xlim(lo, hi)
    panel.set_ylabel("pull")


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
             weights: npt.ArrayLike | None = None, ax: Axes | None = None,
             names: Sequence[str] | None = None, xlabel: str | None = None,
             ylabel: str | None = None, pulls: bool = True,
             pull_ax: Axes | None = None) -> Axes:
    """The histogram of `column` with Poisson errors (√Σw²), the fitted
    total and components y_k f_k as expected counts per bin, and below them
    a panel of the pulls (data − fit) / √Σw² per bin, with guides at ±1 and
    ±2. The legend gives χ²/ndf, Σ pull² over the bins with a pull against
    their number less the fit's free parameters, and says so when the fit
    did not converge.

    The curves evaluate the PDFs on rows whose other columns are held at
    their medians, so they are the fit's projection when the PDFs depend on
    `column` alone, as the PDFs of a one-dimensional discriminating variable
    do. The fit's count in a bin, for the pulls, is the fitted total density
    integrated over the bin by Simpson's rule on the curve's points; an
    empty bin (no error) has no pull.

    Without `ax`, a new figure holds the fit above a smaller pull panel that
    shares its x axis (the figure's second axes). With `ax`, the pulls go to
    `pull_ax` when it is given and are not drawn otherwise.

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
        The histogram's range; None (the default) for the `window` a PDF
        declares (an attribute (low, high), as models carry), else the
        column's extent widened to bins of a round width (1, 1.2, 1.5, 2,
        2.5, 3, 4, 5, 6 or 8 × 10ⁿ), at most `bins` of them.
    weights : array_like or None, optional
        The fit's event weights; None (the default) takes them from the
        result's sWeights.
    ax : matplotlib.axes.Axes or None, optional
        The axes to draw into; None (the default) for a new figure.
    names : sequence of str or None, optional
        One distinct name per component for the legend; None (the default)
        for "component 0", "component 1", ….
    xlabel, ylabel : str or None, optional
        The axis labels; None (the default) for "column k" and
        "events / <bin width> <unit>", the unit that of `xlabel` when it
        ends in one, as "m [GeV]" or "m (GeV)".
    pulls : bool, optional
        Whether to draw the pull panel (default True).
    pull_ax : matplotlib.axes.Axes or None, optional
        The axes for the pulls when `ax` is given; None (the default) for
        none then.

    Returns
    -------
    matplotlib.axes.Axes
        The axes of the fit (not of the pulls).

    Raises
    ------
    TypeError, ValueError
        If `column` is not a column of the data, the PDFs, weights or names
        do not match the fit, or `pull_ax` is given without `ax`.
    """
    fit = check_belongs(result, data, pdfs, weights=weights)
    events, w = fit.events, fit.weights
    assert events is not None
    labels = component_labels(names, len(pdfs))
    column = _column(events, column)
    lo, hi, bins = _range(events[:, column], range, bins, pdfs, column)
    counts, errors, _, centres, width = _histogram(events[:, column], bins, lo, hi, w)
    n = _intervals_per_bin(bins)
    grid = np.tile(np.median(events, axis=0), (bins * n + 1, 1))
    grid[:, column] = np.linspace(lo, hi, bins * n + 1)
    try:
        density = densities(grid, pdfs, result.shape_parameters) * result.yields
    except ValueError as error:
        raise ValueError(f"{error} on plot_fit's grid of {len(grid)} points: the curves call "
                         f"the PDFs on rows of their own, so a PDF must read the column from "
                         f"the data it is given (not from a column it closed over)") from None
    expected = density * width

    ax, panel = _fit_axes(ax, pull_ax, pulls)
    ax.errorbar(centres, counts, yerr=errors, fmt="o", color="black", ms=3,
                label="data")
    for k, label in enumerate(labels):
        ax.plot(grid[:, column], expected[:, k], "--", label=f"{label} ({result.yields[k]:.0f})")
    fitted = _per_bin(density.sum(axis=1), bins, width / n)
    with np.errstate(divide="ignore", invalid="ignore"):
        pull = np.where(errors > 0.0, (counts - fitted) / errors, np.nan)
    filled = np.isfinite(pull)
    # The free parameters: those whose row of fit_covariance is not all zero.
    n_free = int(np.any(np.asarray(result.fit_covariance) != 0.0, axis=1).sum())
    chi2 = f"χ²/ndf = {float(np.sum(pull[filled] ** 2)):.1f}/{int(filled.sum()) - n_free}"
    ax.plot(grid[:, column], expected.sum(axis=1), "-", color="C3", label=f"fit total ({chi2})")
    ax.set_xlim(lo, hi)
    ax.set_xlabel(f"column {column}" if xlabel is None else xlabel)
    ax.set_ylabel(f"events / {width:.3g}{_per_unit(xlabel)}" if ylabel is None else ylabel)
    ax.legend(title=None if result.success else f"NOT CONVERGED: {result.message}")
    if panel is not None:
        _draw_pulls(panel, centres, pull, width, lo, hi)
        panel.set_xlabel(ax.get_xlabel())
        ax.tick_params(labelbottom=False)
        ax.set_xlabel("")
    return ax


def plot_sweighted(result: tarnwick.SPlotResult, data: npt.ArrayLike, column: int,
                   component: int | str,
                   truth: Callable[[FloatArray], FloatArray] | npt.ArrayLike | None = None, *,
                   bins: int = 40, range: tuple[float, float] | None = None,
                   ax: Axes | None = None, names: Sequence[str] | None = None,
                   xlabel: str | None = None, ylabel: str | None = None) -> Axes:
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
    component : int or str
        The component whose sWeights fill the histogram: its name (one of
        `names`) or its index (negative from the end).
    truth : callable, array_like or None, optional
        The true density or the true values; None (the default) for none.
    bins : int, optional
        The number of bins (default 40).
    range : (float, float) or None, optional
        The histogram's range; None (the default) for the column's extent
        widened to bins of a round width, as in plot_fit.
    ax : matplotlib.axes.Axes or None, optional
        The axes to draw into; None (the default) for a new figure.
    names : sequence of str or None, optional
        One distinct name per component; None (the default) for
        "component 0", "component 1", ….
    xlabel, ylabel : str or None, optional
        The axis labels; None (the default) for "column k" and
        "sWeighted events / <bin width> <unit>" (the unit as in plot_fit).

    Returns
    -------
    matplotlib.axes.Axes
        The axes drawn into.

    Raises
    ------
    TypeError, ValueError
        If `column` is out of range, `component` names no component or is
        out of range, `names` are not one distinct string per component, or
        the data are not those of the fit.
    """
    events = check_belongs(result, data).events
    assert events is not None
    column = _column(events, column)
    labels = component_labels(names, len(result.yields))
    component = component_position(component, labels)
    s = np.asarray(result.sweights, dtype=np.float64)[:, component]
    values = events[:, column]
    lo, hi, bins = _range(values, range, bins)
    counts, errors, edges, centres, width = _histogram(values, bins, lo, hi, s)

    ax = _axes(ax)
    ax.errorbar(centres, counts, yerr=errors, fmt="o", color="black", ms=3,
                label=f"sWeighted, {labels[component]}")
    if callable(truth):
        x = np.linspace(lo, hi, 400)
        ax.plot(x, truth(x) * s.sum() * width, "-", color="C3", label="true distribution")
    elif truth is not None:
        true_counts: Any = np.histogram(np.asarray(truth, dtype=np.float64), bins=edges)[0]
        ax.stairs(true_counts, edges, color="C3", label="true distribution")
    ax.axhline(0.0, color="grey", lw=0.5)
    ax.set_xlim(lo, hi)
    ax.set_xlabel(f"column {column}" if xlabel is None else xlabel)
    ax.set_ylabel(f"sWeighted events / {width:.3g}{_per_unit(xlabel)}" if ylabel is None
                  else ylabel)
    ax.legend(title=None if result.success else f"NOT CONVERGED: {result.message}")
    return ax
