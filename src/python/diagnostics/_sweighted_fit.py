"""The fit of a control model with the sWeights of one component, and its
errors: the full ones, which include the mass fit's fluctuations and cover;
those with the sWeights taken as fixed; and the inverse Hessian, which does
not cover."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import tarnwick

from ._control_objective import (STEP_TOLERANCE, ControlObjective, Model, NotFinite,
                                 minimise, newton_step_left, run_away)
from ._differences import declared_bounds, density_slope
from ._belongs import check_belongs
from ._model import FloatArray, Pdf, component_labels, component_position, parameter_names
from ._sweighted_covariance import MassFit, influence, sandwich
from ._table import Table, Tabular

# Newton steps after the minimiser: at most this many, none once the step
# left is below POLISHED errors (where F no longer changes visibly).
NEWTON_STEPS = 3
POLISHED = 1e-6


@dataclasses.dataclass(frozen=True, eq=False)
class SWeightedFit(Tabular):
    """A control model fitted with the sWeights of one component.

    Along `parameters` (the control model's, as declared): `values`;
    `errors` and `covariance`, the full ones with the mass fit's
    fluctuations (the errors to quote); `static_errors` and
    `static_covariance`, the sWeights taken as fixed (H⁻¹ D H⁻¹);
    `hessian_errors` and `hessian_covariance`, the inverse Hessian of the
    weighted likelihood, which does not cover. `at_bound` is "lower",
    "upper" or "" per parameter: one on a bound has NaN errors and zero
    rows. Errors are NaN whenever they cannot be determined, with the reason
    in `message`; `success` is False when the fit did not find a minimum
    (`message` says why: the minimiser, a non-finite likelihood, a
    likelihood unbounded below). `minimum` is −Σ_i w_i s_i ln h(t_i) there.
    """

    parameters: tuple[str, ...]
    values: FloatArray
    errors: FloatArray
    covariance: FloatArray
    static_errors: FloatArray
    static_covariance: FloatArray
    hessian_errors: FloatArray
    hessian_covariance: FloatArray
    success: bool
    message: str
    minimum: float
    at_bound: tuple[str, ...]
    component: str = ""

    def _tables(self) -> list[Table]:
        rows = tuple((name, f"{value:.6g}", f"{full:.4g}", f"{static:.4g}", f"{hessian:.4g}",
                      side) for name, value, full, static, hessian, side in zip(
                          self.parameters, self.values, self.errors, self.static_errors,
                          self.hessian_errors, self.at_bound))
        return [Table(f"sWeighted fit of {self.component}: success={self.success}, "
                      f"minimum {self.minimum:.6f}",
                      ("parameter", "value", "error (full)", "sWeights fixed",
                       "inverse Hessian (does not cover)", "bound"), rows,
                      (self.message,), align="lrrrrl")]


class _RecordingValues(dict[str, float]):
    """The parameter dict of the probe call: remembers the names read."""

    def __init__(self, values: dict[str, float]) -> None:
        super().__init__(values)
        self.read: set[str] = set()
        self.missing: str | None = None

    def __getitem__(self, key: str) -> float:
        self.read.add(key)
        if key not in self:
            self.missing = key
        return super().__getitem__(key)

    def get(self, key: str, default: Any = None) -> Any:
        self.read.add(key)
        return super().get(key, default)


def _check_parameters(parameters: Sequence[tarnwick.ShapeParameter]) -> tuple[str, ...]:
    names = []
    for parameter in parameters:
        if not isinstance(parameter, tarnwick.ShapeParameter):
            raise TypeError(f"parameters must be tarnwick.ShapeParameter declarations, got "
                            f"{parameter!r}")
        names.append(parameter.name)
    if not names:
        raise ValueError("parameters is empty: declare the control model's parameters")
    if len(set(names)) != len(names):
        raise ValueError(f"the control parameters' names must be distinct, got {names}")
    return tuple(names)


def _probe(model: Model, control: FloatArray, parameters: Sequence[tarnwick.ShapeParameter],
           n_events: int) -> None:
    """Calls the model once at the start values: ValueError when it reads a
    name not declared, leaves a declared one unread, or returns no density
    per event."""
    values = _RecordingValues({p.name: float(p.initial) for p in parameters})
    try:
        density = np.asarray(model(control, values), dtype=np.float64)
    except KeyError:
        if values.missing is None:
            raise
        raise ValueError(f"the control model reads {values.missing!r}, which parameters does "
                         f"not declare") from None
    unread = [name for name in values if name not in values.read]
    if unread:
        raise ValueError(f"parameters {unread} are not read by the control model (it reads "
                         f"{sorted(values.read)}): declare the model's own parameters")
    if density.shape != (n_events,):
        raise ValueError(f"the control model returned shape {density.shape}, expected "
                         f"({n_events},)")


def _mass_fit(result: tarnwick.SPlotResult, events: FloatArray, pdfs: Sequence[Pdf],
              w: FloatArray, g: FloatArray, shape_names: Sequence[str],
              shape_parameters: Sequence[tarnwick.ShapeParameter] | None) -> MassFit:
    """The mass fit's pieces at its fitted point, from the densities `g` of
    its PDFs there (checked to give the result's sWeights)."""
    n_yields = len(result.yields)
    shape = {name: float(value) for name, value in result.shape_parameters.items()}
    yields = np.asarray(result.yields, dtype=np.float64)
    fit_covariance = np.asarray(result.fit_covariance, dtype=np.float64)
    free = np.flatnonzero(np.any(fit_covariance != 0.0, axis=1))
    rows = np.ascontiguousarray(g.T)
    v = np.asarray(result.covariance, dtype=np.float64)
    bounds = declared_bounds(shape_parameters, shape_names)
    free_shapes = [name for j, name in enumerate(shape_names, start=n_yields) if j in free]
    slopes = [density_slope(events, pdfs, shape, name, bounds[name]).T for name in free_shapes]
    return MassFit(rows, np.ascontiguousarray(np.reshape(slopes, (len(slopes),) + rows.shape)),
                   yields, v, w, free[free < n_yields], fit_covariance[np.ix_(free, free)])


def fit_sweighted(result: tarnwick.SPlotResult, data: npt.ArrayLike, pdfs: Sequence[Pdf],
                  model: Model, parameters: Sequence[tarnwick.ShapeParameter], *,
                  control: npt.ArrayLike, component: int | str = 0,
                  weights: npt.ArrayLike | None = None,
                  shape_parameters: Sequence[tarnwick.ShapeParameter] | None = None,
                  names: Sequence[str] | None = None) -> SWeightedFit:
    """Fits the control model h(t; θ) to the `control` values with the
    sWeights of `component`, maximising Σ_i w_i s_i ln h(t_i; θ) within the
    parameters' bounds (scipy.optimize's TNC, then Newton steps), and gives
    three errors:
    the full ones (the whole chain of mass fit, sWeights and control fit as
    one set of estimating equations; they cover), those with the sWeights
    taken as fixed, and the inverse Hessian (which does not cover).

    Derivatives are central differences (one-sided near a declared bound):
    of ln h for the scores, of the PDFs for the mass fit's shape parameters
    (two calls of each PDF per free shape parameter), and of the objective
    for its Hessian. A likelihood unbounded below (negative sWeights and a
    flexible model) gives ``success=False`` and a message, never a number.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The finished, converged fit.
    data : array_like
        The fit's events, shape (n_events, n_columns).
    pdfs : sequence of callable
        The fit's PDFs, one per component and in its order.
    model : callable
        ``model(control, values) -> densities``: the control model, called on
        the whole `control` array with a dict of its parameters' values,
        returning one density per event, normalised over the control range.
    parameters : sequence of tarnwick.ShapeParameter
        The control model's parameters: names, start values and bounds.
    control : array_like
        The events' control values, n_events rows (1-D or 2-D).
    component : int or str, optional
        The component whose sWeights weight the fit, by index or name.
    weights : array_like or None, optional
        The fit's event weights, checked against those the result's
        sWeights carry; None (the default) takes them from there.
    shape_parameters : sequence of tarnwick.ShapeParameter or None, optional
        The fit's shape parameters as declared, in declared order (required
        when there are several): their order is that of ``fit_covariance``.
    names : sequence of str or None, optional
        The components' names; 'component k' by default.

    Returns
    -------
    SWeightedFit
        The values and the three errors and covariances along `parameters`;
        a parameter on its bound has NaN errors and its side in ``at_bound``.

    Raises
    ------
    ValueError
        Before any fit: if the result's fit did not converge, if the data,
        PDFs, weights or shape parameters are not those of the fit, if
        `control` has not one row per event, if `component` does not exist,
        or if the model reads a name `parameters` does not declare or
        leaves a declared one unread.
    TypeError
        If `parameters` holds anything but ``tarnwick.ShapeParameter``.
    """
    fit = check_belongs(result, data, pdfs, weights=weights, shape_parameters=shape_parameters)
    events, w, g = fit.events, fit.weights, fit.densities
    assert events is not None and g is not None
    labels = component_labels(names, len(result.yields))
    position = component_position(component, labels)
    fit_parameters = parameter_names(result, shape_parameters=shape_parameters, names=names)
    if not result.success:
        raise ValueError(f"result: the fit did not converge ({result.message}); its sWeights "
                         f"and covariance are not those of a maximum")
    if result.hessian_evaluations == 0:
        raise ValueError("result: the fit has no Hessian, so no covariance of the yields and "
                         "shape parameters")
    t = np.asarray(control, dtype=np.float64)
    if t.ndim not in (1, 2) or len(t) != len(events):
        raise ValueError(f"control has shape {t.shape}, expected {len(events)} rows, one per "
                         f"event (1-D or 2-D)")
    declared = _check_parameters(parameters)
    _probe(model, t, parameters, len(events))
    mass = _mass_fit(result, events, pdfs, w, g, fit_parameters[len(labels):],
                     shape_parameters)
    omega = w * mass.sweights(position)
    objective = ControlObjective(model, t, omega, declared,
                                 [(p.lower, p.upper) for p in parameters])
    start = np.array([p.initial for p in parameters], dtype=np.float64)
    return _fitted(objective, start, mass, position, labels[position])


class _Failure(Exception):
    """A control fit that found no minimum: the reason, and where it stopped."""

    def __init__(self, message: str, theta: FloatArray, minimum: float,
                 sides: tuple[str, ...]) -> None:
        super().__init__(message)
        self.theta, self.minimum, self.sides = theta, minimum, sides


def _minimum(objective: ControlObjective, start: FloatArray
             ) -> tuple[FloatArray, float, tuple[str, ...], list[int], FloatArray, str]:
    """The minimum: θ, F(θ), the bound sides, the free parameters, the
    inverse Hessian over them and a message; _Failure when there is none.

    The minimiser's own stop is not the test of convergence (with
    difference gradients it may stop a little short of the minimum, or end
    its line search in rounding there): Newton steps follow, up to
    NEWTON_STEPS while each lowers F and the step left exceeds POLISHED, and
    the last step left must be at most STEP_TOLERANCE of an error."""
    theta, _, message = minimise(objective, start)
    minimum = objective(theta)
    sides = tuple("lower" if x == lower else "upper" if x == upper else ""
                  for x, (lower, upper) in zip(theta, objective.bounds))
    free = [j for j in range(len(theta)) if not sides[j]]
    runaway = [objective.names[j] for j in range(len(theta))
               if sides[j] and run_away(objective, theta, j, minimum)]
    if runaway:
        raise _Failure(f"the weighted likelihood falls ever more steeply towards the bound "
                       f"of {runaway}: it is unbounded below (negative sWeights and a "
                       f"flexible model?)", theta, minimum, sides)
    lower, upper = np.array(objective.bounds).T
    for _ in range(NEWTON_STEPS + 1):
        hessian = objective.hessian(theta, free, minimum)
        if len(free) and np.any(np.linalg.eigvalsh(hessian) <= 0.0):
            raise _Failure("the Hessian of the weighted likelihood is not positive definite: "
                           "no minimum, or a likelihood unbounded below", theta, minimum, sides)
        inverse: FloatArray = np.linalg.inv(hessian).astype(np.float64)
        gradient = objective.gradient(theta)[free]
        step = newton_step_left(gradient, inverse)
        moved = theta.copy()
        moved[free] = np.clip(theta[free] - inverse @ gradient, lower[free], upper[free])
        value = objective(moved) if step > POLISHED else np.inf
        if not value < minimum:
            break
        theta, minimum = moved, value
    if step > STEP_TOLERANCE:
        raise _Failure(f"not converged: the step left to the minimum is {step:.2g} of an "
                       f"error ({message})", theta, minimum, sides)
    return (theta, minimum, sides, free, inverse,
            f"converged (step left {step:.1g} of an error; {message})")


def _fitted(objective: ControlObjective, start: FloatArray, mass: MassFit, component: int,
            label: str) -> SWeightedFit:
    """The control fit and its covariances; a failure as success False."""
    size = len(start)
    zero = np.zeros((size, size))
    covariances = [zero, zero, zero]
    try:
        theta, minimum, sides, free, inverse, message = _minimum(objective, start)
        scores = objective.scores(theta, free)
    except NotFinite as error:
        theta, minimum, sides = np.full(size, np.nan), np.nan, ("",) * size
        ok, message = False, str(error)
    except _Failure as failure:
        theta, minimum, sides = failure.theta, failure.minimum, failure.sides
        ok, message = False, str(failure)
    else:
        ok = True
        block = np.ix_(free, free)
        parts = (sandwich(inverse, influence(mass, component, scores)),
                 sandwich(inverse, objective.weights[:, None] * scores), inverse)
        for k, part in enumerate(parts):
            covariances[k] = zero.copy()
            covariances[k][block] = part
        message = "; ".join([message] + [
            f"{objective.names[j]} on its {sides[j]} bound: held fixed, errors NaN"
            for j in range(size) if sides[j]])
    errors = [_errors(c) for c in covariances]
    return SWeightedFit(objective.names, theta, errors[0], covariances[0], errors[1],
                        covariances[1], errors[2], covariances[2], ok, message, minimum,
                        sides, label)


def _errors(covariance: FloatArray) -> FloatArray:
    """√diag, NaN where the variance is not positive (a parameter held fixed)."""
    diagonal = np.diag(covariance)
    errors = np.full(len(diagonal), np.nan)
    positive = diagonal > 0.0
    errors[positive] = np.sqrt(diagonal[positive])
    return errors
