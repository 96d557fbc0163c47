"""The factorisation test of sPlot: whether the control variables are
independent of the discriminating ones within the components.

sPlot gives a component's control distribution only when, within every
component, the density factorises as f_j(m) h_j(t) (m discriminating, t
control). Then the mean of t given m is the mixture of the components'
means,

    E[t | m] = Σ_j p_j(m) τ_j,     p_j(m) = y_j f_j(m) / Σ_l y_l f_l(m),

with τ_j the component means, which the sWeights estimate (τ̂_j =
Σ_i s_j(i) t_i / Σ_i s_j(i)). The residual r_i = t_i − Σ_j p_j(i) τ̂_j then
has mean zero at every m, and its correlation with m where component k
lives is the test of that component.

The posterior probabilities p_j(i) need no PDF calls: the sWeights are
s(i) = w_i V f(i) / m_i, so w_i p_j(i) = y_j (V⁻¹ s(i))_j, and the event
weight is w_i = Σ_j y_j (V⁻¹ s(i))_j (which is Σ_r s(i, r) only at a
converged maximum with no yield on its bound).
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import tarnwick

from ._belongs import check_belongs, fit_weights
from ._model import FloatArray, as_events, check_index, component_labels, optional_module
from ._table import Table, Tabular, convergence_note

_erfc = np.frompyfunc(math.erfc, 1, 1)


@dataclasses.dataclass(frozen=True, eq=False)
class Independence(Tabular):
    """The factorisation test of one fit.

    ``correlation[k, d, c]`` is the correlation within component k (its
    posterior probabilities as weights) of discriminating column
    ``discriminant_columns[d]`` with the residual of control column
    ``control_columns[c]``; ``correlation_error`` its standard error and
    ``p_value`` the two-sided p-value of "no correlation". The ``sample_*``
    arrays, indexed [d, c], hold Kendall's τ-b on the supplied simulation
    sample, the standard deviation of τ-b under independence (with ties)
    and its two-sided p-value; None when no sample was given.
    """

    components: tuple[str, ...]
    discriminant_columns: tuple[int, ...]
    control_columns: tuple[int, ...]
    correlation: FloatArray
    correlation_error: FloatArray
    p_value: FloatArray
    sample_tau: FloatArray | None = None
    sample_tau_error: FloatArray | None = None
    sample_tau_p_value: FloatArray | None = None

    fit_success: bool = True
    fit_message: str = ""

    def _tables(self) -> list[Table]:
        pairs = [(d, column, c, control) for d, column in enumerate(self.discriminant_columns)
                 for c, control in enumerate(self.control_columns)]
        header = ("component", "column", "control", "correlation", "± error", "p-value")
        rows = tuple((name, str(column), str(control), f"{self.correlation[k, d, c]:+.4f}",
                      f"{self.correlation_error[k, d, c]:.4f}", f"{self.p_value[k, d, c]:.3g}")
                     for k, name in enumerate(self.components)
                     for d, column, c, control in pairs)
        tables = [Table(title="factorisation test: correlation of the discriminating with the "
                              "control columns within each component",
                        header=header, rows=rows,
                        notes=convergence_note(self.fit_success, self.fit_message))]
        if self.sample_tau is not None:
            assert self.sample_tau_error is not None and self.sample_tau_p_value is not None
            tables.append(Table(
                title="Kendall's τ on the simulation sample",
                header=("column", "control", "τ", "± error", "p-value"),
                rows=tuple((str(column), str(control), f"{self.sample_tau[d, c]:+.4f}",
                            f"{self.sample_tau_error[d, c]:.4f}",
                            f"{self.sample_tau_p_value[d, c]:.3g}")
                           for d, column, c, control in pairs), align="rrrrr"))
        return tables


def _columns(columns: Sequence[int], n_columns: int, what: str) -> tuple[int, ...]:
    if isinstance(columns, (int, np.integer)):
        raise TypeError(f"{what}s must be a sequence of column indices, got {columns!r}")
    indices = tuple(check_index(column, n_columns, what, f"the data's {n_columns} column(s)")
                    % n_columns for column in columns)
    if not indices:
        raise ValueError(f"no {what}s given: pass at least one column index")
    return indices


def _two_sided(z: FloatArray) -> FloatArray:
    """The two-sided normal p-value of z."""
    return np.asarray(_erfc(np.abs(z) / math.sqrt(2.0)), dtype=np.float64)


def _tie_terms(values: FloatArray) -> tuple[float, float, float]:
    """Σ c(c−1)/2, Σ c(c−1)(c−2) and Σ c(c−1)(2c+5) over the counts c of
    the tied values."""
    counts = np.unique(values, return_counts=True)[1].astype(np.float64)
    counts = counts[counts > 1]
    return (float(np.sum(counts * (counts - 1) / 2)),
            float(np.sum(counts * (counts - 1) * (counts - 2))),
            float(np.sum(counts * (counts - 1) * (2 * counts + 5))))


def kendall_tau(x: FloatArray, y: FloatArray) -> tuple[float, float, float]:
    """Kendall's τ-b of two unweighted columns, its standard deviation under
    independence and the two-sided p-value of τ = 0.

    The score S = Σ_{i<j} sign(x_i − x_j) sign(y_i − y_j) has, under
    independence, mean 0 and (with ties of counts c in x and d in y)

        Var S = [n(n−1)(2n+5) − Σ c(c−1)(2c+5) − Σ d(d−1)(2d+5)] / 18
                + Σ c(c−1) Σ d(d−1) / (2n(n−1))
                + Σ c(c−1)(c−2) Σ d(d−1)(d−2) / (9n(n−1)(n−2)),

    and τ-b = S / √((n₀ − n_x)(n₀ − n_y)) with n₀ = n(n−1)/2 and n_x, n_y the
    tied pairs; without ties its deviation is √(2(2n+5) / (9n(n−1))). τ-b
    itself comes from scipy's O(n log n) count (scipy is needed here only).

    Parameters
    ----------
    x, y : ndarray
        The two columns, one value per event, of equal length (at least 3).

    Returns
    -------
    tuple of float
        τ-b, its standard deviation under independence and the p-value.

    Raises
    ------
    ValueError
        If the columns differ in length, have fewer than 3 values, or one
        of them is constant (τ-b is then undefined).
    ImportError
        If scipy is not installed.
    """
    x, y = np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64)
    if len(x) != len(y):
        raise ValueError(f"x has {len(x)} values and y {len(y)}: pass two columns of equal "
                         f"length")
    if len(x) < 3:
        raise ValueError(f"Kendall's τ needs at least 3 events, got {len(x)}")
    for label, column in (("x", x), ("y", y)):
        if np.all(column == column[0]):
            raise ValueError(f"{label} is constant ({column[0]!r} at every event): Kendall's τ "
                             f"is undefined")
    stats = optional_module("scipy.stats")
    n = float(len(x))
    tau = float(stats.kendalltau(x, y).statistic)
    x_pairs, x_cubic, x_quadratic = _tie_terms(x)
    y_pairs, y_cubic, y_quadratic = _tie_terms(y)
    pairs = n * (n - 1) / 2
    variance = ((n * (n - 1) * (2 * n + 5) - x_quadratic - y_quadratic) / 18
                + (2 * x_pairs) * (2 * y_pairs) / (2 * n * (n - 1))
                + x_cubic * y_cubic / (9 * n * (n - 1) * (n - 2)))
    with np.errstate(divide="ignore", invalid="ignore"):
        error = float(np.sqrt(variance / ((pairs - x_pairs) * (pairs - y_pairs))))
        p_value = float(_two_sided(np.asarray(tau / error)))
    return tau, error, p_value


def _residual_correlation(m: FloatArray, t: FloatArray, posterior: FloatArray,
                          weights: FloatArray, s: FloatArray,
                          k: int) -> tuple[float, float]:
    """The correlation of m with the residual of t within component k, and
    its standard error (see `independence`)."""
    means = s.T @ t / s.sum(axis=0)
    residual = t - posterior @ means
    p = weights * posterior[:, k]
    centred = m - np.sum(p * m) / np.sum(p)
    g = posterior[:, k] * centred
    statistic = np.sum(weights * g * residual)
    # The statistic's dependence on the sWeighted means τ̂_j, through
    # ∂T/∂τ_j = −G_j, enters each event's influence with τ̂_j's own.
    slopes = (weights * g) @ posterior
    influence = weights * g * residual - (s * (t[:, None] - means) / s.sum(axis=0)) @ slopes
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = np.sqrt(np.sum(p * centred**2) * np.sum(p * residual**2))
        return float(statistic / scale), float(np.sqrt(np.sum(influence**2)) / scale)


def independence(result: tarnwick.SPlotResult, data: npt.ArrayLike,
                 discriminant_columns: Sequence[int], control_columns: Sequence[int], *,
                 sample: npt.ArrayLike | None = None,
                 names: Sequence[str] | None = None) -> Independence:
    """Tests, per component, that each control column is independent of
    each discriminating column, as sPlot requires.

    For component k, discriminating column m and control column t, the
    statistic is T = Σ_i w_i p_k(i) (m_i − m̄_k) r_i, with r_i = t_i −
    Σ_j p_j(i) τ̂_j the residual of t from its mean under factorisation
    (module docstring), p_j(i) the fitted posterior probabilities, w_i the
    event weights and m̄_k the p_k-weighted mean of m. It is reported as the
    correlation T / √(Σ w p_k (m − m̄_k)² · Σ w p_k r²), whose magnitude is
    at most 1 for positive weights. (The sWeighted Pearson coefficient of m
    and t is not used: sWeights do not give a component's distribution of
    the discriminating variable, and a signal peak's sWeighted variance of
    m comes out negative.)

    Its standard error is the delta-method (sandwich) one, treating the
    fitted yields and shape parameters as fixed: √(Σ_i ψ_i²) over the same scale, with the
    per-event influence ψ_i = w_i p_k(i) (m_i − m̄_k) r_i − Σ_j G_j s_j(i)
    (t_i − τ̂_j) / Σ s_j and G_j = Σ_i w_i p_k(i) (m_i − m̄_k) p_j(i), the
    second term carrying the fluctuation of the sWeighted means (some
    sWeights negative). For independent columns it is about 1/√n_k, n_k
    the component's effective size. The p-value is two-sided, from
    z = T / √(Σ ψ²).

    A correlation in one component also shows, more weakly, in the
    components that overlap it in m.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The fit of `data`.
    data : array_like
        The events of the fit, shape (n_events, n_columns).
    discriminant_columns, control_columns : sequence of int
        The columns of the discriminating and of the control variables
        (negative from the end); no column may be in both.
    sample : array_like or None, optional
        An unweighted sample of one component (such as its simulation),
        columns as in `data`: Kendall's τ-b between each discriminating and
        each control column is computed on it (see `kendall_tau`).
    names : sequence of str or None, optional
        The components' names, in the fit's order; 'component k' by default.

    Returns
    -------
    Independence
        Arrays indexed [component, discriminant, control], and [discriminant,
        control] for the sample; its ``str`` is a table of them.

    Raises
    ------
    ValueError, TypeError
        If `data` is not the fit's, a column index is not a column of the
        data or is in both lists, `names` do not match the components, or
        the sample has other columns than the data or fewer than 3 events.
    ImportError
        If a `sample` is given and scipy is not installed.
    """
    events = check_belongs(result, data).events
    assert events is not None
    n_columns = events.shape[1]
    discriminants = _columns(discriminant_columns, n_columns, "discriminant column")
    controls = _columns(control_columns, n_columns, "control column")
    shared = sorted(set(discriminants) & set(controls))
    if shared:
        raise ValueError(f"column(s) {shared} are given as both discriminating and control: "
                         f"pass each column in one list only")
    labels = component_labels(names, len(result.yields))

    s = np.asarray(result.sweights, dtype=np.float64)
    yields = np.asarray(result.yields, dtype=np.float64)
    weights = fit_weights(result)
    weighted_posterior = np.linalg.solve(np.asarray(result.covariance, dtype=np.float64),
                                         s.T).T * yields
    with np.errstate(divide="ignore", invalid="ignore"):
        posterior = np.where(weights[:, None] != 0.0, weighted_posterior / weights[:, None], 0.0)

    shape = (len(labels), len(discriminants), len(controls))
    correlation = np.empty(shape)
    error = np.empty(shape)
    for k in range(len(labels)):
        for d, column in enumerate(discriminants):
            for c, control in enumerate(controls):
                correlation[k, d, c], error[k, d, c] = _residual_correlation(
                    events[:, column], events[:, control], posterior, weights, s, k)
    with np.errstate(divide="ignore", invalid="ignore"):
        p_value = _two_sided(correlation / error)

    sample_arrays: tuple[FloatArray | None, ...] = (None, None, None)
    if sample is not None:
        simulated = as_events(sample)
        if simulated.shape[1] != n_columns:
            raise ValueError(f"sample has {simulated.shape[1]} columns, data {n_columns}: "
                             f"pass a sample with the data's columns")
        if len(simulated) < 3:
            raise ValueError(f"sample has {len(simulated)} events; Kendall's τ needs at "
                             f"least 3")
        taus = np.array([[kendall_tau(simulated[:, column], simulated[:, control])
                          for control in controls] for column in discriminants])
        sample_arrays = (taus[..., 0], taus[..., 1], taus[..., 2])
    return Independence(labels, discriminants, controls, correlation, error, p_value,
                        sample_tau=sample_arrays[0], sample_tau_error=sample_arrays[1],
                        sample_tau_p_value=sample_arrays[2], fit_success=bool(result.success),
                        fit_message=str(result.message))
