"""A fit at a glance: is the minimum valid, the parameters with their errors
and bounds, and their correlations, all labelled in the order of
``fit_covariance``.

The closure check here needs the result alone. With r_k = Σ_i w_i f_k(i)/m_i − 1
the sum rule's residual and V = I⁻¹ the sPlot covariance, (I y)_k = 1 + r_k
gives

    Σ_j V(k, j) − y_k = −(V r)_k,

the Newton step that would take the yields to the maximum of the likelihood:
zero at a converged maximum, and small beside the yield's error √V(k, k)
when the fit stopped close to it. Σ_i s(i, k) − y_k = (V I y)_k − y_k is
zero whenever V inverts I, converged or not, so it measures only the
rounding of the sWeights; both are reported as one largest residual. A yield
held on its lower bound, where the likelihood still falls towards the
bound, breaks the first relation (through V, for the other yields too).
"""

from __future__ import annotations

import dataclasses
from collections.abc import Mapping, Sequence

import numpy as np
import numpy.typing as npt

import tarnwick

from ._belongs import check_belongs
from ._model import FloatArray, Pdf, bound_sides, parameter_names
from ._normalisation import Normalisation, normalisation
from ._table import Table, Tabular

# The closure holds when no yield is further from the maximum than this
# fraction of its error: a stop that close to the maximum moves no estimate
# by anything a user could see.
CLOSURE_TOLERANCE = 1e-3


@dataclasses.dataclass(frozen=True)
class Summary(Tabular):
    """The validity of a fit, its parameters and their correlations.

    Parameters are listed in the order of the result's ``fit_covariance``:
    the yields (by component name), then the shape parameters in the order
    they were declared; `parameters` holds that order.

    Validity flags:
      converged            the optimizer's success, with its `message`
      errors_finite        every free parameter's error is finite
      positive_definite    the fit covariance of the free parameters admits
                           a Cholesky factorisation
      closure_residual     max_k of |Σ_j V(k,j) − y_k| and |Σ_i s(i,k) − y_k|
      closure_step         max_k |Σ_j V(k,j) − y_k| / √V(k,k): the step to
                           the maximum left in each yield, in its error
      closure_holds        closure_step ≤ 10⁻³
      weighted             event weights other than 1 were given: the errors
                           are the inverse Hessian's, which do not cover for
                           weighted events (see ``weighted_covariance``)
      weights_given        whether the fit's weights were passed (else they
                           are those the result's sWeights carry)
      normalisation        the PDFs' integrals over the declared windows
                           (``normalisation``), when `windows` were given;
                           a PDF not normalised makes the fit not valid
    Per parameter:
      values, errors       the fitted value and the reported error
      at_bound             "lower", "upper" or "" (shape parameters are
                           checked only when their declarations are given,
                           see `shape_bounds_checked`)
      fixed                held fixed for the covariance (on a bound: NaN
                           error and a zero row in ``fit_covariance``)
      correlation          the correlation matrix, NaN in the rows and
                           columns of fixed parameters
    """

    parameters: tuple[str, ...]
    values: tuple[float, ...]
    errors: tuple[float, ...]
    at_bound: tuple[str, ...]
    fixed: tuple[bool, ...]
    correlation: tuple[tuple[float, ...], ...]
    converged: bool
    message: str
    errors_finite: bool
    positive_definite: bool
    closure_residual: float
    closure_step: float
    closure_holds: bool
    weighted: bool
    shape_bounds_checked: bool
    weights_given: bool = True
    normalisation: Normalisation | None = None

    @property
    def valid(self) -> bool:
        """True when the fit converged with finite errors, a positive
        definite covariance and the closure holding (and, when checked, with
        every PDF normalised over its windows)."""
        return (self.converged and self.errors_finite and self.positive_definite
                and self.closure_holds
                and (self.normalisation is None or self.normalisation.normalised))

    @property
    def on_bound(self) -> tuple[str, ...]:
        """The names of the parameters found on a bound."""
        return tuple(name for name, side in zip(self.parameters, self.at_bound) if side)

    def _flags(self) -> list[tuple[str, bool, str]]:
        """(check, passed, remark) for each row of the validity table."""
        bounds = ", ".join(self.on_bound) or "none"
        if not self.shape_bounds_checked:
            bounds += " (shape-parameter bounds not given: yields checked only)"
        n_free = self.fixed.count(False)
        return [
            ("converged", self.converged, self.message),
            ("errors finite", self.errors_finite, ""),
            ("covariance positive definite", self.positive_definite,
             f"on the {n_free} free parameter(s)"),
            ("closure Σ_j V(k,j) = y_k", self.closure_holds,
             f"largest residual {self.closure_residual:.2e}, "
             f"{self.closure_step:.2e} of a yield's error"),
            ("no parameter on a bound", not self.on_bound, bounds),
            ("errors have coverage", not self.weighted, self._coverage_remark()),
        ] + self._normalisation_flag()

    def _normalisation_flag(self) -> list[tuple[str, bool, str]]:
        if self.normalisation is None:
            return []
        check = self.normalisation
        remark = ", ".join(f"{name}: ∫ = {value:.7g}" for name, value, flag in
                           zip(check.components, check.integrals, check.flagged) if flag)
        return [("PDFs normalised over the windows", check.normalised,
                 remark or f"|∫ − 1| ≤ {check.tolerance:g} for every PDF")]

    def _coverage_remark(self) -> str:
        if self.weighted:
            return ("weighted events: the errors are the inverse Hessian's, whose coverage "
                    "is wrong for weighted fits; use weighted_covariance")
        return ""

    def _rows(self) -> tuple[tuple[str, ...], ...]:
        """(name, value, error, bound) for each parameter, formatted."""
        rows = []
        for name, value, error, side, fixed in zip(self.parameters, self.values, self.errors,
                                                   self.at_bound, self.fixed):
            bound = side + (" (fixed)" if fixed else "")
            rows.append((name, f"{value:.6g}", f"{error:.3g}", bound))
        return tuple(rows)

    def _tables(self) -> list[Table]:
        flags = Table(title=f"fit summary: {'valid' if self.valid else 'NOT VALID'}",
                      rows=tuple(("ok" if passed else "NO", check, remark)
                                 for check, passed, remark in self._flags()), align="lll")
        parameters = Table(header=("parameter", "value", "error", "at bound"),
                           rows=self._rows(), align="lrrl")
        correlation = Table(
            title="correlation", header=("",) + self.parameters,
            rows=tuple((name,) + tuple(f"{value:.3f}" for value in row)
                       for name, row in zip(self.parameters, self.correlation)))
        return [flags, parameters, correlation]


def _correlation(covariance: FloatArray, free: npt.NDArray[np.bool_]) -> FloatArray:
    """C(i, j)/√(C(i, i) C(j, j)); NaN in the rows and columns of fixed
    parameters and of parameters whose variance is not positive."""
    diagonal = np.diag(covariance)
    usable = free & (diagonal > 0.0)
    scale = np.where(usable, np.sqrt(np.where(usable, diagonal, 1.0)), np.nan)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        correlation: FloatArray = covariance / np.outer(scale, scale)
    np.fill_diagonal(correlation, np.where(usable, 1.0, np.nan))
    return correlation


def _positive_definite(covariance: FloatArray) -> bool:
    if not np.isfinite(covariance).all():
        return False
    try:
        np.linalg.cholesky(covariance)
    except np.linalg.LinAlgError:
        return False
    return True


def summary(result: tarnwick.SPlotResult, *, weights: npt.ArrayLike | None = None,
            shape_parameters: Sequence[tarnwick.ShapeParameter] | None = None,
            names: Sequence[str] | None = None,
            pdfs: Sequence[Pdf] | None = None,
            windows: Mapping[int, Sequence[float]] | None = None,
            data: npt.ArrayLike | None = None) -> Summary:
    """The validity flags, the parameter table and the correlation matrix
    of `result`, from the result alone.

    The closure is checked through Σ_j V(k, j) = y_k, which holds only at
    the maximum (its residual is the Newton step that remains to it), and
    Σ_i s(i, k) = y_k; the sum rule itself, which needs the data and PDFs,
    is in ``closure``. A parameter counts as free unless its row of
    ``fit_covariance`` is all zero, which is how the fit holds a shape
    parameter that ended on a bound.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The finished fit.
    shape_parameters : sequence of tarnwick.ShapeParameter or None, optional
        The fit's declared shape parameters: they give the order of the
        shape parameters in ``fit_covariance`` (needed when there are two or
        more) and their bounds, so that those on a bound are named.
    names : sequence of str or None, optional
        One distinct name per component, in the fit's order; None (the
        default) for "component 0", "component 1", ….
    weights : array_like or None, optional
        The fit's event weights, checked against those the result's
        sWeights carry; None (the default) takes them from there. When any
        differs from 1 the summary warns that the reported errors do not
        cover.
    pdfs : sequence of callable or None, optional
        The fit's PDFs; needed with `windows`.
    windows : mapping of int to (float, float) or None, optional
        The fit window of each discriminating column: when given, each PDF
        is integrated over them at the fitted shape parameters (see
        ``normalisation``) and the summary flags any whose integral is not 1.
    data : array_like or None, optional
        The fit's events, to hold the columns without a window (see
        ``normalisation``); with `pdfs`, checked to be the fit's.

    Returns
    -------
    Summary
        Its ``str`` is a plain-text table, and Jupyter shows it as HTML.

    Raises
    ------
    ValueError
        If the fit has two or more shape parameters and `shape_parameters`
        is not given, if `shape_parameters` are not those of the fit in its
        order, if `names` are not one distinct name per component, if
        `weights` are not the fit's, if `windows` are given without `pdfs`,
        or if the PDFs and data given are not the fit's.
    TypeError
        If `names` is not a sequence of strings.
    """
    fit = check_belongs(result, data if pdfs is not None else None, pdfs, weights=weights,
                        shape_parameters=shape_parameters)
    parameters = parameter_names(result, shape_parameters=shape_parameters, names=names)
    checked = None
    if windows is not None:
        if pdfs is None:
            raise ValueError("windows= needs the fit's PDFs, one per component: pass pdfs=")
        checked = normalisation(pdfs, windows, result.shape_parameters, data=data,
                                names=parameters[:len(result.yields)])
    n_yields = len(result.yields)
    values = np.concatenate([np.asarray(result.yields, dtype=np.float64),
                             [result.shape_parameters[name] for name in parameters[n_yields:]]])
    errors = np.concatenate([np.asarray(result.yield_errors, dtype=np.float64),
                             [result.shape_errors[name] for name in parameters[n_yields:]]])
    fit_covariance = np.asarray(result.fit_covariance, dtype=np.float64)
    free = np.any(fit_covariance != 0.0, axis=1)
    yields = values[:n_yields]
    covariance = np.asarray(result.covariance, dtype=np.float64)
    step = np.abs(covariance.sum(axis=1) - yields)
    with np.errstate(divide="ignore", invalid="ignore"):
        relative_step = float(np.max(step / np.sqrt(np.diag(covariance)), initial=0.0))
    yield_sides, shape_sides = bound_sides(result, shape_parameters)
    rounding = np.abs(np.asarray(result.sweights, dtype=np.float64).sum(axis=0) - yields)
    return Summary(
        parameters=parameters,
        values=tuple(float(v) for v in values),
        errors=tuple(float(v) for v in errors),
        at_bound=yield_sides + tuple(shape_sides.get(name, "")
                                     for name in parameters[n_yields:]),
        fixed=tuple(bool(not v) for v in free),
        correlation=tuple(tuple(float(v) for v in row)
                          for row in _correlation(fit_covariance, free)),
        converged=bool(result.success),
        message=str(result.message),
        errors_finite=bool(np.isfinite(errors[free]).all()),
        positive_definite=_positive_definite(fit_covariance[np.ix_(free, free)]),
        closure_residual=float(np.max(np.concatenate([step, rounding]), initial=0.0)),
        closure_step=relative_step,
        closure_holds=relative_step <= CLOSURE_TOLERANCE,
        weighted=fit.weighted,
        shape_bounds_checked=shape_parameters is not None,
        weights_given=weights is not None,
        normalisation=checked,
    )
