"""The covariance of a fit with event weights: the sandwich H⁻¹ D H⁻¹.

The weighted fit minimises Σ_k y_k − Σ_i w_i ln m_i, m_i = Σ_k y_k f_k(x_i; θ).
The inverse of its Hessian H, which the fit reports, is the covariance
only when every weight is 1: the weights scale the curvature by w but the
fluctuations of the score by w². The asymptotic covariance of the weighted
estimator (C. Langenbruch, Eur. Phys. J. C 82 (2022) 393, arXiv:1911.01303)
is

    C = H⁻¹ D H⁻¹,   D = Σ_i w_i² g_i g_iᵀ,   g_i = ∂ ln m_i / ∂(y, θ),

the score's variance in D. The extended term Σ_k y_k adds a constant to the
score, not a fluctuation: for a Poisson-distributed number of events the
variance of Σ_i w_i g_i is E[N] E[w² g gᵀ], the uncentred second moment,
which Σ_i w_i² g_i g_iᵀ estimates, so D has no other term.

For the yields g_i = f(i) / m_i exactly; with unit weights the yield block
of D is then Σ_i f_j f_k / m_i², the yield block of H itself.
"""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import tarnwick

from ._belongs import check_belongs
from ._differences import declared_bounds, density_slope
from ._model import FloatArray, Pdf, parameter_names
from ._table import Table, Tabular, convergence_note


@dataclasses.dataclass(frozen=True, eq=False)
class WeightedCovariance(Tabular):
    """The sandwich covariance of a weighted fit beside the fit's own.

    `covariance` and `errors` are along `parameters`, the order of the
    result's ``fit_covariance`` (yields, then the shape parameters as
    declared); `hessian_errors` are the result's errors in that order.
    A parameter held fixed on a bound keeps a zero row and column and a NaN
    error, as in the result. `yield_errors` and `shape_errors` repeat the
    sandwich errors in the shapes of the result's ``yield_errors`` and
    ``shape_errors``.
    """

    parameters: tuple[str, ...]
    values: FloatArray
    covariance: FloatArray
    errors: FloatArray
    hessian_errors: FloatArray
    yield_errors: FloatArray
    shape_errors: dict[str, float]

    fit_success: bool = True
    fit_message: str = ""

    def _tables(self) -> list[Table]:
        with np.errstate(divide="ignore", invalid="ignore"):
            ratios = self.errors / self.hessian_errors
        rows = tuple((name, f"{value:.6g}", f"{hessian:.6g}", f"{sandwich:.6g}", f"{ratio:.3f}")
                     for name, value, hessian, sandwich, ratio in zip(
                         self.parameters, self.values, self.hessian_errors, self.errors, ratios))
        return [Table(title="errors of the weighted fit: the sandwich H⁻¹ D H⁻¹ beside the "
                            "inverse Hessian",
                      header=("parameter", "value", "inverse Hessian", "sandwich", "ratio"),
                      rows=rows, notes=convergence_note(self.fit_success, self.fit_message))]


def weighted_covariance(result: tarnwick.SPlotResult, data: npt.ArrayLike,
                        pdfs: Sequence[Pdf], *, weights: npt.ArrayLike | None = None,
                        shape_parameters: Sequence[tarnwick.ShapeParameter] | None = None,
                        names: Sequence[str] | None = None) -> WeightedCovariance:
    """The sandwich covariance H⁻¹ D H⁻¹ of a weighted extended fit at its
    fitted point (module docstring), with its errors.

    H⁻¹ is the fit's own ``fit_covariance`` on its free parameters (those
    whose row is not all zero); D = Σ_i w_i² g_i g_iᵀ with g_i the
    derivatives of ln m_i: exact for the yields, for the shape parameters
    central differences of the PDFs with the step ∛ε · max(|θ|, 1), made
    one-sided where a declared bound is nearer than the step. The PDFs are
    called once, plus two or three times per free shape parameter.

    With weights other than 1 (efficiency corrections, signed weights) the
    inverse Hessian does not cover and these errors do; with unit weights
    the two agree up to sampling fluctuation (exactly, up to rounding, for
    a fit of yields only).

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
        result's sWeights (a weighted fit's weights, or ones).
    shape_parameters : sequence of tarnwick.ShapeParameter or None, optional
        The declared shape parameters, in the order given to the fit: their
        bounds limit the difference steps, and their order is that of
        ``fit_covariance`` (required when there are several).
    names : sequence of str or None, optional
        The components' names; 'component k' by default.

    Returns
    -------
    WeightedCovariance
        The covariance, its errors (NaN where not determinable, such as a
        parameter held on a bound) and the parameter names; its ``str``
        compares the sandwich errors with the result's.

    Raises
    ------
    ValueError
        If the data, PDFs, weights or shape parameters do not match the fit,
        or the fit has no Hessian.
    """
    fit = check_belongs(result, data, pdfs, weights=weights, shape_parameters=shape_parameters)
    events, w, f, mixture = fit.events, fit.weights, fit.densities, fit.mixture
    assert events is not None and f is not None and mixture is not None
    parameters = parameter_names(result, shape_parameters=shape_parameters, names=names)
    if result.hessian_evaluations == 0:
        raise ValueError("the fit has no Hessian, so no inverse Hessian to build the "
                         "sandwich from: pass a fit that ran to its end")
    n_yields = len(result.yields)
    shape = {name: float(value) for name, value in result.shape_parameters.items()}
    yields = np.asarray(result.yields, dtype=np.float64)
    inverse_hessian = np.asarray(result.fit_covariance, dtype=np.float64)
    free = np.flatnonzero(np.any(inverse_hessian != 0.0, axis=1))

    scores = np.zeros((len(events), len(parameters)))
    scores[:, :n_yields] = f / mixture[:, None]
    bounds = declared_bounds(shape_parameters, parameters[n_yields:])
    for j, name in enumerate(parameters[n_yields:], start=n_yields):
        if j in free:
            slope = density_slope(events, pdfs, shape, name, bounds[name])
            scores[:, j] = (slope @ yields) / mixture

    block = np.ix_(free, free)
    scores_free = scores[:, free]
    d = (scores_free * (w**2)[:, None]).T @ scores_free
    covariance = np.zeros_like(inverse_hessian)
    covariance[block] = inverse_hessian[block] @ d @ inverse_hessian[block]
    covariance[block] = 0.5 * (covariance[block] + covariance[block].T)
    diagonal = np.diag(covariance)
    errors = np.full(len(parameters), np.nan)
    positive = diagonal > 0.0
    errors[positive] = np.sqrt(diagonal[positive])
    hessian_errors = np.concatenate([np.asarray(result.yield_errors, dtype=np.float64),
                                     [result.shape_errors[name] for name in parameters[n_yields:]]])
    values = np.concatenate([yields, [shape[name] for name in parameters[n_yields:]]])
    return WeightedCovariance(
        parameters=parameters,
        values=values,
        covariance=covariance,
        errors=errors,
        hessian_errors=hessian_errors,
        yield_errors=errors[:n_yields].copy(),
        shape_errors={name: float(errors[j])
                      for j, name in sorted(enumerate(parameters[n_yields:], start=n_yields),
                                            key=lambda item: item[1])},
        fit_success=bool(result.success),
        fit_message=str(result.message),
    )
