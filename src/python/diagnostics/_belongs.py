"""The check at the door: do the data, PDFs, weights and declarations handed
to a diagnostic belong to the fit they are given with?

The result itself fingerprints its inputs. Its sWeights are

    s(i, r) = w_i Σ_k V(r, k) f_k(i) / m_i,   m_i = Σ_k y_k f_k(i),

so V⁻¹ s(i) = w_i f(i) / m_i, and since Σ_k y_k f_k(i) / m_i = 1,

    w_i = Σ_k y_k (V⁻¹ s(i))_k

recovers each event's weight exactly, converged or not (Σ_k s(i, k) equals
w_i only at a converged maximum with no yield on its bound), though only to
cond(V)·ε. Given the data and PDFs (one call of each at the fitted point),
u(i) = V f(i) / m_i is computed again: every s(i) must be a multiple of
u(i), or the data or the PDFs are not the fit's, and that multiple is w_i
to rounding, whatever V's condition. The declared shape
parameters' order is checked by their errors: ``fit_covariance`` follows the
declaration, ``shape_errors`` is keyed by name, so √diag of the one must
equal the other in the declared order.
"""

from __future__ import annotations

import dataclasses
import itertools
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._model import (FloatArray, Pdf, as_events, check_fit_events, check_pdf_count,
                     check_result, densities, event_weights, fitted_mixture)

# Every comparison here repeats the fit's own arithmetic at the same point,
# so inputs that belong differ from the result by rounding only: about
# cond(V)·ε, below 1e-12 for any fit whose V is usable (measured: 3e-16 for
# the sWeights, 2e-15 for the recovered weights). Inputs that do not belong
# change the sWeights and weights at order one. 1e-7 of each column's
# largest value leaves five orders of magnitude on either side.
BELONGING_TOLERANCE = 1e-7


@dataclasses.dataclass(frozen=True, eq=False)
class Belonging:
    """The checked inputs of a fit, ready for a diagnostic to use.

    `weights` are those given or, when none were, those the result carries
    (exactly ones for an unweighted fit); `densities` and `mixture` are the
    PDFs at the fitted point, None when no PDFs were checked.
    """

    events: FloatArray | None
    weights: FloatArray
    weighted: bool
    densities: FloatArray | None
    mixture: FloatArray | None


def fit_weights(result: Any) -> FloatArray:
    """w_i = Σ_k y_k (V⁻¹ s(i))_k, the event weights the fit was made with."""
    s = np.asarray(result.sweights, dtype=np.float64)
    covariance = np.asarray(result.covariance, dtype=np.float64)
    if s.shape[1] == 0:
        return np.ones(len(s))
    yields = np.asarray(result.yields, dtype=np.float64)
    return np.asarray(np.linalg.solve(covariance, s.T).T @ yields, dtype=np.float64)


def _solve_tolerance(result: Any) -> float:
    """The relative tolerance of `fit_weights`: solving with V loses up to
    cond(V)·ε, so the tolerance widens (a thousandfold above that) for a V
    so badly conditioned that 10⁻⁷ would not hold."""
    covariance = np.asarray(result.covariance, dtype=np.float64)
    if covariance.size == 0:
        return BELONGING_TOLERANCE
    condition = float(np.linalg.cond(covariance))
    return max(BELONGING_TOLERANCE, 1e3 * condition * float(np.finfo(np.float64).eps))


def _check_weights(weights: npt.ArrayLike | None, carried: FloatArray,
                   tolerance: float) -> FloatArray:
    """The weights given, when they are those the sWeights carry; those
    carried when none are given (exactly ones when they are ones)."""
    n_events = len(carried)
    scale = tolerance * max(float(np.max(np.abs(carried), initial=0.0)), 1.0)
    if weights is None:
        # An unweighted fit gives ones back up to rounding: exactly ones then.
        return np.ones(n_events) if np.all(np.abs(carried - 1.0) <= scale) else carried
    given = event_weights(weights, n_events)
    differ = np.flatnonzero(np.abs(given - carried) > scale)
    if len(differ):
        i = differ[0]
        raise ValueError(
            f"weights do not belong to the fit: at event {i} the fit's sWeights give the "
            f"weight {carried[i]:.6g}, weights has {given[i]:.6g} ({len(differ)} event(s) "
            f"differ); pass the fit's weights, or none to take them from the result")
    return given


def check_declarations(result: Any, shape_parameters: Sequence[Any] | None) -> None:
    """ValueError unless `shape_parameters` are the fit's, by name and in its
    order (see the module docstring)."""
    if shape_parameters is None:
        return
    fitted = result.shape_parameters
    declared = [parameter.name for parameter in shape_parameters]
    if sorted(declared) != sorted(fitted):
        raise ValueError(f"shape_parameters {declared} are not those of the fit "
                         f"{sorted(fitted)}: pass the fit's declarations")
    n_yields = len(result.yields)
    diagonal = np.diag(np.asarray(result.fit_covariance, dtype=np.float64))[n_yields:]
    with np.errstate(invalid="ignore"):
        expected = np.where(diagonal > 0.0, np.sqrt(np.abs(diagonal)), np.nan)
    errors = np.array([result.shape_errors[name] for name in declared], dtype=np.float64)
    if not np.allclose(errors, expected, rtol=BELONGING_TOLERANCE, atol=0.0, equal_nan=True):
        raise ValueError(f"shape_parameters are declared in the order {declared}, which is "
                         f"not the fit's (the errors of fit_covariance's diagonal do not "
                         f"match shape_errors): pass them in the order given to the fit")


def _mismatch(result: Any, events: FloatArray, pdfs: Sequence[Pdf], f: FloatArray) -> str:
    """What does not belong, when the recomputed sWeights differ: the PDFs'
    order, the columns' order, or else the data or the PDFs themselves."""
    s = np.asarray(result.sweights, dtype=np.float64)
    n_components, n_columns = f.shape[1], events.shape[1]
    if n_components <= 4:
        for order in itertools.permutations(range(n_components)):
            if list(order) != sorted(order) and _parallel(result, f[:, order])[1]:
                return (f"pdfs do not belong to the fit in this order: they match it as "
                        f"pdfs{list(order)}; pass them in the fit's order")
    if 1 < n_columns <= 3:
        shape = dict(result.shape_parameters)
        for order in itertools.permutations(range(n_columns)):
            if list(order) != sorted(order):
                with np.errstate(all="ignore"):
                    moved = densities(events[:, order], pdfs, shape)
                if _parallel(result, moved)[1]:
                    return (f"data do not belong to the fit: its columns match the fit as "
                            f"data[:, {list(order)}]; pass the columns in the fit's order")
    differ = np.flatnonzero(~_parallel(result, f)[2])
    return (f"the data or the pdfs do not belong to the fit: the sWeights recomputed from "
            f"them at the fitted point differ from result.sweights at {len(differ)} of "
            f"{len(s)} events (first at event {differ[0]}); pass the data and PDFs the fit "
            f"was made with")


def _scale(s: FloatArray) -> FloatArray:
    largest = np.max(np.abs(s), axis=0, initial=0.0)
    return np.asarray(BELONGING_TOLERANCE * np.maximum(largest, 1e-300), dtype=np.float64)


def _parallel(result: Any, f: FloatArray) -> tuple[FloatArray, bool, npt.NDArray[np.bool_]]:
    """With u(i) = V f(i) / m_i the sWeights must be s(i) = w_i u(i): the
    weights c_i = s(i)·u(i) / u(i)·u(i) that fit best, whether every s(i) is
    c_i u(i) to the tolerance, and which events are."""
    s = np.asarray(result.sweights, dtype=np.float64)
    yields = np.asarray(result.yields, dtype=np.float64)
    covariance = np.asarray(result.covariance, dtype=np.float64)
    with np.errstate(all="ignore"):
        u = (f @ covariance.T) / (f @ yields)[:, None]
        carried = np.einsum("ik,ik->i", s, u) / np.einsum("ik,ik->i", u, u)
        close = np.all(np.abs(s - carried[:, None] * u) <= _scale(s), axis=1)
    return np.asarray(carried, dtype=np.float64), bool(close.all()), close


def check_belongs(result: Any, data: npt.ArrayLike | None = None,
                  pdfs: Sequence[Pdf] | None = None, *, weights: npt.ArrayLike | None = None,
                  shape_parameters: Sequence[Any] | None = None) -> Belonging:
    """Checks that the inputs given belong to `result`, before any work.

    The declarations' names and order, the weights (taken from the result
    when None), the data's event count and, given both data and PDFs, the
    sWeights recomputed from them; ValueError naming the input that does
    not belong, TypeError when `result` is not a fit.
    """
    check_result(result)
    check_declarations(result, shape_parameters)
    events = None if data is None else as_events(data)
    if events is not None:
        check_fit_events(result, events)
    if events is None or pdfs is None:
        w = _check_weights(weights, fit_weights(result), _solve_tolerance(result))
        return Belonging(events, w, bool(np.any(w != 1.0)), None, None)
    check_pdf_count(result, pdfs)
    f = densities(events, pdfs, result.shape_parameters)
    mixture = fitted_mixture(f, np.asarray(result.yields, dtype=np.float64))
    carried, parallel, _ = _parallel(result, f)
    if not parallel:
        raise ValueError(_mismatch(result, events, pdfs, f))
    w = _check_weights(weights, carried, BELONGING_TOLERANCE)
    return Belonging(events, w, bool(np.any(w != 1.0)), f, mixture)
