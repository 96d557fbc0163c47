"""Checks of a finished fit: the sPlot closure relations, the quality of the
sWeights, and whether the PDFs read the control variables.

At the maximum of the extended likelihood Σ_k y_k − Σ_i w_i ln m_i, with
m_i = Σ_k y_k f_k(i), the derivative by each yield vanishes:

    Σ_i w_i f_k(i) / m_i = 1                      (the sum rule)

Multiplying the information matrix I(j, k) = Σ_i w_i f_j(i) f_k(i) / m_i²
by the yields gives (I y)_j = Σ_i w_i f_j(i) / m_i = 1, so with V = I⁻¹

    Σ_k V(r, k) = y_r,   Σ_i s(i, r) = y_r,   Σ_r s(i, r) = w_i.

Each relation holds only at a converged maximum; a fit stopped early, a PDF
that is not normalised or a parameter held at a bound breaks some of them.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence

import numpy as np
import numpy.typing as npt

import tarnwick

from ._belongs import check_belongs
from ._model import (Pdf, as_events, bound_sides, check_index, check_result, component_labels,
                     component_names, densities)
from ._table import Table, Tabular, convergence_note


@dataclasses.dataclass(frozen=True)
class Closure(Tabular):
    """The closure relations of one fit; every entry is zero at a converged
    maximum up to rounding (and, for sums of sWeights, the fit's tolerance).

    Per component, in PDF order (`components` holds their names):
      sum_rule                    Σ_i w_i f_k(i)/m_i − 1
      sweight_sum_minus_yield     Σ_i s(i, k) − y_k
      covariance_sum_minus_yield  Σ_j V(k, j) − y_k
    For the whole fit:
      max_event_deviation         max_i |Σ_k s(i, k) − w_i|
      information_residual        max |I V − 1| over the matrix entries
      information_condition       the 2-norm condition number of I
      at_bound                    parameters whose fitted value equals a bound
    """

    components: tuple[str, ...]
    sum_rule: tuple[float, ...]
    sweight_sum_minus_yield: tuple[float, ...]
    covariance_sum_minus_yield: tuple[float, ...]
    max_event_deviation: float
    information_residual: float
    information_condition: float
    at_bound: tuple[str, ...]
    shape_bounds_checked: bool
    success: bool
    message: str

    def _tables(self) -> list[Table]:
        bounds = ", ".join(self.at_bound) or "none"
        if not self.shape_bounds_checked:
            bounds += " (shape-parameter bounds not given: yields checked only)"

        def row(label: str, values: Sequence[float]) -> tuple[str, ...]:
            return (label,) + tuple(f"{value:+.3e}" for value in values)

        relations = Table(
            title=f"closure of the fit (optimizer success={self.success}: {self.message})",
            header=("",) + self.components,
            rows=(row("Σ_i w_i f_k(i)/m_i − 1", self.sum_rule),
                  row("Σ_i s(i,k) − y_k", self.sweight_sum_minus_yield),
                  row("Σ_j V(k,j) − y_k", self.covariance_sum_minus_yield)))
        whole = Table(rows=(("max_i |Σ_k s(i,k) − w_i|", f"{self.max_event_deviation:.3e}"),
                            ("max |I·V − 1|", f"{self.information_residual:.3e}"),
                            ("cond(I)", f"{self.information_condition:.3e}")),
                      notes=(f"parameters on a bound: {bounds}",)
                      + convergence_note(self.success, self.message))
        return [relations, whole]


def _at_bound(result: tarnwick.SPlotResult, names: Sequence[str],
              shape_parameters: Sequence[tarnwick.ShapeParameter] | None) -> tuple[str, ...]:
    yield_sides, shape_sides = bound_sides(result, shape_parameters)
    found = [f"yield {name}" for name, side in zip(names, yield_sides) if side]
    found += [f"{name} (at its {side} bound {result.shape_parameters[name]:g})"
              for name, side in shape_sides.items() if side]
    return tuple(found)


def closure(result: tarnwick.SPlotResult, data: npt.ArrayLike, pdfs: Sequence[Pdf], *,
            weights: npt.ArrayLike | None = None,
            shape_parameters: Sequence[tarnwick.ShapeParameter] | None = None,
            names: Sequence[str] | None = None) -> Closure:
    """The closure relations of `result`, recomputed from the data and PDFs.

    `data`, `pdfs`, `weights` and `shape_parameters` must be those of the
    fit, which is checked first (ValueError names the one that does not
    belong; weights default to those the result carries). The PDFs are
    called once each at the fitted shape parameters. The declared
    `shape_parameters`, when given, let the check name shape parameters that
    ended on one of their bounds (whose errors are then NaN or meaningless);
    yields are always checked against their lower bound, the machine epsilon.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The finished fit.
    data : array_like
        The fit's events, shape (n_events, n_columns).
    pdfs : sequence of callable
        The fit's PDFs, one per component and in its order.
    weights : array_like or None, optional
        The fit's event weights; None (the default) takes them from the
        result's sWeights.
    shape_parameters : sequence of tarnwick.ShapeParameter or None, optional
        The fit's declared shape parameters, for the check of their bounds.
    names : sequence of str or None, optional
        One distinct name per component, in the fit's order; None (the
        default) for "component 0", "component 1", ….

    Returns
    -------
    Closure
        The sum rules and the parameters found on a bound; its ``str`` is a
        table of them.

    Raises
    ------
    ValueError
        If the data, PDFs, weights, declarations or names do not belong to
        the result.
    TypeError
        If `names` is not a sequence of strings.
    """
    fit = check_belongs(result, data, pdfs, weights=weights, shape_parameters=shape_parameters)
    labels = component_labels(names, len(pdfs))
    w, f, mixture = fit.weights, fit.densities, fit.mixture
    assert f is not None and mixture is not None
    yields = np.asarray(result.yields, dtype=np.float64)
    covariance = np.asarray(result.covariance, dtype=np.float64)
    sweights = np.asarray(result.sweights, dtype=np.float64)
    # f/m first: m² alone underflows where the density is below 1e-154.
    scaled = f / mixture[:, None]
    information = (scaled * w[:, None]).T @ scaled
    return Closure(
        components=labels,
        sum_rule=tuple(float(v) for v in (w / mixture) @ f - 1.0),
        sweight_sum_minus_yield=tuple(float(v) for v in sweights.sum(axis=0) - yields),
        covariance_sum_minus_yield=tuple(float(v) for v in covariance.sum(axis=1) - yields),
        max_event_deviation=float(np.max(np.abs(sweights.sum(axis=1) - w), initial=0.0)),
        information_residual=float(
            np.max(np.abs(information @ covariance - np.eye(len(yields))), initial=0.0)),
        information_condition=float(np.linalg.cond(information)),
        at_bound=_at_bound(result, labels, shape_parameters),
        shape_bounds_checked=shape_parameters is not None,
        success=result.success,
        message=result.message,
    )


@dataclasses.dataclass(frozen=True)
class SWeightQuality(Tabular):
    """Per component (named in `components`): Σ s², the effective sample
    size (Σ s)² / Σ s² (the number of unweighted events carrying the same
    statistical power), and the fraction and sum of the negative sWeights."""

    components: tuple[str, ...]
    sum_of_squares: tuple[float, ...]
    effective_size: tuple[float, ...]
    negative_fraction: tuple[float, ...]
    negative_total: tuple[float, ...]

    fit_success: bool = True
    fit_message: str = ""

    def _tables(self) -> list[Table]:
        rows = zip(self.components, self.sum_of_squares, self.effective_size,
                   self.negative_fraction, self.negative_total)
        return [Table(title="sWeight quality",
                      header=("component", "Σ s²", "(Σ s)²/Σ s²", "negative", "Σ s < 0"),
                      rows=tuple((name, f"{squares:.1f}", f"{size:.1f}", f"{fraction:.1%}",
                                  f"{total:.1f}")
                                 for name, squares, size, fraction, total in rows),
                      notes=convergence_note(self.fit_success, self.fit_message))]


def sweight_quality(result: tarnwick.SPlotResult, *,
                    names: Sequence[str] | None = None) -> SWeightQuality:
    """Σ s², effective sample size and negative weights of each component.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The finished fit.
    names : sequence of str or None, optional
        One distinct name per component, in the fit's order; None (the
        default) for "component 0", "component 1", ….

    Returns
    -------
    SWeightQuality
        One entry per component in each field; its ``str`` is a table of
        them.

    Raises
    ------
    TypeError, ValueError
        If `names` is not one distinct string per component.
    """
    check_result(result)
    s = np.asarray(result.sweights, dtype=np.float64)
    labels = component_labels(names, s.shape[1])
    squares = (s**2).sum(axis=0)
    with np.errstate(divide="ignore", invalid="ignore"):
        size = s.sum(axis=0) ** 2 / squares
    negative = s < 0.0
    fraction = negative.mean(axis=0) if len(s) else np.zeros(s.shape[1])
    return SWeightQuality(
        components=labels,
        sum_of_squares=tuple(float(v) for v in squares),
        effective_size=tuple(float(v) for v in size),
        negative_fraction=tuple(float(v) for v in fraction),
        negative_total=tuple(float(v) for v in np.where(negative, s, 0.0).sum(axis=0)),
        fit_success=bool(result.success),
        fit_message=str(result.message),
    )


def _shape_point(result: tarnwick.SPlotResult | None,
                 shape_parameters: (Mapping[str, float]
                                    | Sequence[tarnwick.ShapeParameter] | None)
                 ) -> dict[str, float]:
    """The fitted shape parameters of `result`, or without a fit those given."""
    if result is not None:
        check_result(result)
        return {str(name): float(value) for name, value in result.shape_parameters.items()}
    if shape_parameters is None:
        return {}
    if isinstance(shape_parameters, Mapping):
        return {str(name): float(value) for name, value in shape_parameters.items()}
    return {parameter.name: parameter.initial for parameter in shape_parameters}


@dataclasses.dataclass(frozen=True)
class Leak:
    """PDF `pdf` (the function's name) of component `name` (at index
    `component`) changes its output when control column `column` is
    shuffled, by up to `max_change` in absolute value."""

    pdf: str
    component: int
    column: int
    max_change: float
    name: str


@dataclasses.dataclass(frozen=True)
class Leakage(Tabular):
    """The outcome of control_leakage: every (PDF, column) pair that leaks.
    False in a boolean context when nothing leaks."""

    columns: tuple[int, ...]
    leaks: tuple[Leak, ...]
    fit_success: bool = True
    fit_message: str = ""

    def __bool__(self) -> bool:
        return bool(self.leaks)

    def _tables(self) -> list[Table]:
        notes = convergence_note(self.fit_success, self.fit_message)
        if not self.leaks:
            return [Table(title=f"no PDF reads the control column(s) {list(self.columns)}",
                          notes=notes)]
        return [Table(title="the sWeights are not valid for these control columns:",
                      header=("component", "PDF", "reads column", "largest change"),
                      rows=tuple((leak.name, leak.pdf, str(leak.column), f"{leak.max_change:.3g}")
                                 for leak in self.leaks), align="llrr", notes=notes)]


def control_leakage(result: tarnwick.SPlotResult | None, data: npt.ArrayLike,
                    pdfs: Sequence[Pdf], control_columns: Sequence[int], *, seed: int = 0,
                    shape_parameters: (Mapping[str, float]
                                       | Sequence[tarnwick.ShapeParameter] | None) = None,
                    names: Sequence[str] | None = None) -> Leakage:
    """Calls each PDF with each control column shuffled across events and
    reports every PDF whose output changes.

    An sWeighted control distribution is only that of the component when
    the PDFs do not depend on the control variable; a PDF that reads it
    (often by a wrong column index) is the commonest misuse of sPlot.
    The PDFs are called at the fitted shape parameters of `result`; before
    a fit (`result` None) at `shape_parameters`, a dict of values or the
    declared parameters taken at their initial values. The shuffle is
    seeded by `seed`.

    Parameters
    ----------
    result : tarnwick.SPlotResult or None
        The fit whose shape point the PDFs are called at; None to check the
        PDFs before a fit, at `shape_parameters`.
    data : array_like
        The events, shape (n_events, n_columns).
    pdfs : sequence of callable
        The PDFs of the fit.
    control_columns : sequence of int
        The columns of the control variables (negative from the end).
    seed : int, optional
        Seed of the shuffle (default 0).
    shape_parameters : mapping of str to float, sequence of tarnwick.ShapeParameter, or None
        The shape point when `result` is None (ignored otherwise); None
        for PDFs without shape parameters.
    names : sequence of str or None, optional
        One distinct name per component, in the PDFs' order, for the
        report; None (the default) for "component 0", "component 1", ….

    Returns
    -------
    Leakage
        Every (PDF, column) pair whose output changed; false in a boolean
        context when there is none.

    Raises
    ------
    TypeError, ValueError
        If a control column is not an integer or not a column of `data`, a
        PDF returns other than one value per event, or `names` are not one
        distinct string per PDF.
    """
    events = as_events(data)
    n_columns = events.shape[1]
    columns = [check_index(column, n_columns, "control column",
                           f"the data's {n_columns} column(s)") for column in control_columns]
    shape = _shape_point(result, shape_parameters)
    rng = np.random.default_rng(seed)
    functions = component_names(pdfs)
    labels = component_labels(names, len(pdfs))
    fitted = None if result is None else check_belongs(result, events, pdfs).densities
    baseline = densities(events, pdfs, shape) if fitted is None else fitted
    leaks = []
    for column in columns:
        shuffled = events.copy()
        shuffled[:, column] = rng.permutation(events[:, column])
        changed = densities(shuffled, pdfs, shape)
        for k in range(len(pdfs)):
            if not np.array_equal(changed[:, k], baseline[:, k], equal_nan=True):
                change = float(np.nanmax(np.abs(changed[:, k] - baseline[:, k]), initial=0.0))
                leaks.append(Leak(functions[k], k, column, change, labels[k]))
    if result is None:
        return Leakage(tuple(columns), tuple(leaks))
    return Leakage(tuple(columns), tuple(leaks), bool(result.success), str(result.message))

