"""Is each PDF normalised over the fit's windows?

An extended fit reads its yields as event counts only when every PDF
integrates to 1 over the window of each discriminating column it depends
on; a PDF normalised over the real line instead, or over another range,
gives biased yields and no other symptom. Here each PDF is integrated over
the declared windows of the columns it reads,

    I = ∫_{W_1} … ∫_{W_d} f(x_1, …, x_d; other columns held) dx_1 … dx_d,

by tensor-product composite Gauss–Legendre quadrature (10 nodes per panel),
the panels doubled until two estimates agree to 10⁻¹⁰ or the budget of
points is spent. The columns a PDF reads are its `columns` when it has them
(the models of tarnwick.models), and otherwise those whose values change
its output when they are replaced by other points of their window. Columns
without a window are held at a few rows of the data, spread over it; the
integral furthest from 1 is reported.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence

import numpy as np
import numpy.typing as npt

import tarnwick

from ._model import FloatArray, Pdf, as_events, component_labels, densities
from ._table import Table, Tabular

# An integral further than this from 1 is flagged: a shift of the yields
# far below any statistical error, yet far above the quadrature's accuracy.
NORMALISATION_TOLERANCE = 1e-6
# The quadrature stops when two successive estimates agree to this.
_QUADRATURE_AGREEMENT = 1e-10
_NODES_PER_PANEL = 10
_POINT_BUDGET = 2_000_000
# Rows of the data at which the columns without a window are held.
_HELD_ROWS = 5


@dataclasses.dataclass(frozen=True)
class Normalisation(Tabular):
    """The integral of each PDF over the windows of the columns it reads.

    Per PDF (named in `components`):
      columns      the columns integrated over (those with a window that
                   the PDF reads)
      integrals    the integral, at the held row where it is furthest from 1
      quadrature   the change of the integral at the last refinement: the
                   quadrature's accuracy
    For all:
      rows         how many rows of the data held the other columns
      tolerance    |integral − 1| above which a PDF is flagged
    """

    components: tuple[str, ...]
    columns: tuple[tuple[int, ...], ...]
    integrals: tuple[float, ...]
    quadrature: tuple[float, ...]
    rows: int
    tolerance: float = NORMALISATION_TOLERANCE

    @property
    def flagged(self) -> tuple[bool, ...]:
        """Whether each PDF's integral differs from 1 by more than `tolerance`."""
        return tuple(not abs(value - 1.0) <= self.tolerance for value in self.integrals)

    @property
    def normalised(self) -> bool:
        """True when no PDF is flagged."""
        return not any(self.flagged)

    def _rows(self) -> list[tuple[str, str, str, str, str]]:
        return [(name, ", ".join(map(str, columns)) or "none", f"{value:.9f}",
                 f"{value - 1.0:+.2e}", "NOT NORMALISED" if flag else "ok")
                for name, columns, value, flag in zip(self.components, self.columns,
                                                      self.integrals, self.flagged)]

    def _tables(self) -> list[Table]:
        return [Table(f"normalisation over the windows (flagged where |integral − 1| > "
                      f"{self.tolerance:g}; other columns held at {self.rows} row(s))",
                      ("component", "columns", "integral", "− 1", ""),
                      tuple(self._rows()), align="lrrrl")]


def _windows(windows: Mapping[int, Sequence[float]]) -> dict[int, tuple[float, float]]:
    checked = {}
    for column, window in windows.items():
        if isinstance(column, bool) or not isinstance(column, (int, np.integer)) or column < 0:
            raise TypeError(f"windows are keyed by non-negative column indices, got {column!r}")
        low, high = (float(v) for v in window)
        if not (np.isfinite(low) and np.isfinite(high) and low < high):
            raise ValueError(f"the window of column {column} must be finite with low < high, "
                             f"got {tuple(window)!r}")
        checked[int(column)] = (low, high)
    if not checked:
        raise ValueError("no window given: pass windows={column: (low, high), …}")
    return checked


def _held_rows(data: npt.ArrayLike | None, windows: dict[int, tuple[float, float]]
               ) -> FloatArray:
    """The rows at which the columns without a window are held."""
    if data is None:
        missing = [c for c in range(max(windows) + 1) if c not in windows]
        if missing:
            raise ValueError(f"column(s) {missing} have no window: pass data= to hold them "
                             f"at rows of the data")
        return np.array([[0.5 * (windows[c][0] + windows[c][1]) for c in sorted(windows)]])
    events = as_events(data)
    if max(windows) >= events.shape[1]:
        raise ValueError(f"a window is given for column {max(windows)}, but the data have "
                         f"{events.shape[1]} column(s)")
    if not len(events):
        raise ValueError("data has no rows to hold the other columns at")
    picked = np.unique(np.linspace(0, len(events) - 1, min(len(events), _HELD_ROWS)).astype(int))
    held: FloatArray = events[picked]
    return held


def _read_columns(pdf: Pdf, rows: FloatArray, windows: dict[int, tuple[float, float]],
                  shape: Mapping[str, float]) -> tuple[int, ...]:
    """The windowed columns whose values change the PDF's output."""
    declared = getattr(pdf, "columns", None)
    if declared is not None:
        return tuple(c for c in windows if c in tuple(declared))
    rng = np.random.default_rng(0)
    probe = np.repeat(rows, 16, axis=0)
    for column, (low, high) in windows.items():
        probe[:, column] = rng.uniform(low, high, len(probe))
    baseline = densities(probe, [pdf], shape)[:, 0]
    read = []
    for column, (low, high) in windows.items():
        moved = probe.copy()
        moved[:, column] = rng.uniform(low, high, len(probe))
        if not np.array_equal(densities(moved, [pdf], shape)[:, 0], baseline, equal_nan=True):
            read.append(column)
    return tuple(read)


def _integral(pdf: Pdf, row: FloatArray, columns: Sequence[int],
              windows: dict[int, tuple[float, float]],
              shape: Mapping[str, float]) -> tuple[float, float]:
    """(∫ pdf over the windows of `columns` with the rest at `row`, the
    change at the last refinement)."""
    nodes, weights = np.polynomial.legendre.leggauss(_NODES_PER_PANEL)
    panels = 32 if len(columns) == 1 else 8
    previous, change = np.nan, np.inf
    while True:
        points, point_weights = [], []
        for column in columns:
            low, high = windows[column]
            edges = np.linspace(low, high, panels + 1)
            half = 0.5 * np.diff(edges)[:, None]
            points.append((0.5 * (edges[1:] + edges[:-1])[:, None] + half * nodes).ravel())
            point_weights.append((half * weights).ravel())
        grids = np.meshgrid(*points, indexing="ij")
        total_weight = np.ones(grids[0].shape)
        for w in np.meshgrid(*point_weights, indexing="ij"):
            total_weight *= w
        events = np.repeat(row[None, :], grids[0].size, axis=0)
        for column, grid in zip(columns, grids):
            events[:, column] = grid.ravel()
        estimate = float(np.sum(densities(events, [pdf], shape)[:, 0] * total_weight.ravel()))
        change = abs(estimate - previous)
        if change <= _QUADRATURE_AGREEMENT * max(1.0, abs(estimate)) or not np.isfinite(estimate):
            return estimate, change
        if (2 * panels * _NODES_PER_PANEL) ** len(columns) > _POINT_BUDGET:
            return estimate, change
        previous, panels = estimate, 2 * panels


def normalisation(pdfs: Sequence[Pdf], windows: Mapping[int, Sequence[float]],
                  values: Mapping[str, float] | Sequence[tarnwick.ShapeParameter], *,
                  data: npt.ArrayLike | None = None,
                  names: Sequence[str] | None = None) -> Normalisation:
    """The integral of each PDF over the windows of the columns it reads,
    flagged where it differs from 1 by more than 10⁻⁶.

    A PDF that reads none of the windowed columns is integrated over all of
    them. Declare the windows of the discriminating columns only: a PDF is
    not normalised over a control column it does not read.

    Parameters
    ----------
    pdfs : sequence of callable
        The PDFs, each called as ``pdf(events, shape_values)``.
    windows : mapping of int to (float, float)
        The fit window of each discriminating column, by column index.
    values : mapping of str to float, or sequence of tarnwick.ShapeParameter
        The shape point (such as a result's ``shape_parameters``), or the
        declared parameters, taken at their initial values.
    data : array_like or None, optional
        Events whose rows hold the columns without a window (a few rows,
        spread over the data); needed when some column has no window.
    names : sequence of str or None, optional
        One distinct name per PDF; None (the default) for "component 0", ….

    Returns
    -------
    Normalisation
        The integrals and flags; its ``str`` is a table of them.

    Raises
    ------
    ValueError
        If a window is not finite and increasing or names a column the
        data do not have, a column without a window cannot be held (no
        `data`), or a PDF returns other than one value per point.
    TypeError
        If a window's key is not a column index or `names` are not strings.
    """
    checked = _windows(windows)
    labels = component_labels(names, len(pdfs))
    if isinstance(values, Mapping):
        shape = {str(name): float(value) for name, value in values.items()}
    else:
        shape = {parameter.name: parameter.initial for parameter in values}
    rows = _held_rows(data, checked)
    columns, integrals, accuracies = [], [], []
    for pdf in pdfs:
        read = _read_columns(pdf, rows, checked, shape) or tuple(checked)
        results = [_integral(pdf, row, read, checked, shape) for row in rows]
        worst = max(results, key=lambda pair: abs(pair[0] - 1.0) if np.isfinite(pair[0])
                    else np.inf)
        columns.append(read)
        integrals.append(worst[0])
        accuracies.append(max(pair[1] for pair in results))
    return Normalisation(components=labels, columns=tuple(columns),
                         integrals=tuple(integrals), quadrature=tuple(accuracies),
                         rows=len(rows))
