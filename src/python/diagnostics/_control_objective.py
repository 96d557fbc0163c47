"""The weighted negative log-likelihood of a control model, its minimum
within the bounds, and the signs that it has none.

F(θ) = −Σ_i ω_i ln h(t_i; θ), ω_i the event weight times the sWeight. With
negative ω a flexible model can drive F to −∞ (h → 0 where ω < 0); the fit
then reports failure rather than a number:

* a value of F that is not finite (the density zero, negative or NaN at an
  event) stops the minimiser at once;
* a parameter that ends on a bound where F is concave along it, falling ever
  more steeply towards the bound, and falls there through the events of
  negative weight alone (those of positive weight would rise), marks a
  run-away;
* a Hessian of the free parameters that is not positive definite, or a
  Newton step left to the minimum larger than 10⁻³ of an error, marks a
  point that is no minimum.
"""

from __future__ import annotations

import itertools
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np

from ._differences import (Bounds, curvature_stencil, slope, slope_stencil)
from ._model import FloatArray, optional_module

# The fit has converged when the Newton step left to the minimum is at most
# this fraction of every free parameter's error: no estimate moves by
# anything a user could see.
STEP_TOLERANCE = 1e-3
MAX_EVALUATIONS = 500
EPSILON = float(np.finfo(np.float64).eps)
FORWARD_STEP_FACTOR = EPSILON ** 0.5

Model = Callable[[FloatArray, dict[str, float]], Any]


class NotFinite(Exception):
    """The weighted log-likelihood is not finite at a point: the message
    says where and at which event."""


class ControlObjective:
    """F(θ) over the parameters `names` (module docstring), counting calls."""

    def __init__(self, model: Model, control: FloatArray, weights: FloatArray,
                 names: Sequence[str], bounds: Sequence[Bounds]) -> None:
        self.model, self.control, self.weights = model, control, weights
        self.names, self.bounds = tuple(names), tuple(bounds)
        self.calls = 0

    def log_density(self, theta: FloatArray) -> FloatArray:
        """ln h(t_i; θ) per event; NotFinite where h is not positive."""
        logs = self._logs(theta)
        if not np.all(np.isfinite(logs)):
            self._not_finite(theta)
        return logs

    def __call__(self, theta: FloatArray) -> float:
        # One sum checks every event: a log that is not finite (h zero,
        # negative, infinite or NaN) makes it infinite or NaN whatever the
        # weight. An elementwise product and sum rather than a BLAS dot.
        total = float(np.sum(self.weights * self._logs(theta)))
        if not np.isfinite(total):
            self._not_finite(theta)
        return -total

    def parts(self, theta: FloatArray) -> tuple[float, float]:
        """F's sums over the events of positive and of negative weight."""
        terms = -self.weights * self.log_density(theta)
        negative = self.weights < 0.0
        return float(np.sum(terms[~negative])), float(np.sum(terms[negative]))

    def _logs(self, theta: FloatArray) -> FloatArray:
        self.calls += 1
        density = np.asarray(self.model(self.control, self._values(theta)), dtype=np.float64)
        if density.shape != (len(self.weights),):
            raise ValueError(f"the control model returned shape {density.shape}, expected "
                             f"({len(self.weights)},)")
        with np.errstate(divide="ignore", invalid="ignore"):
            logs: FloatArray = np.log(density)
        return logs

    def _values(self, theta: FloatArray) -> dict[str, float]:
        return {name: float(x) for name, x in zip(self.names, theta)}

    def _not_finite(self, theta: FloatArray) -> None:
        values = self._values(theta)
        density = np.asarray(self.model(self.control, values), dtype=np.float64)
        bad = np.flatnonzero(~(np.isfinite(density) & (density > 0.0)))
        i = bad[0] if len(bad) else 0
        raise NotFinite(
            f"the control model's density is {density[i]} at event {i} (sWeight "
            f"{self.weights[i]:.4g}; {len(bad)} such event(s)) for {values}: the weighted "
            f"likelihood is not finite there" + (
                ", and with a negative sWeight unbounded below" if self.weights[i] < 0
                else ""))

    def value_and_forward_slope(self, theta: FloatArray) -> tuple[float, FloatArray]:
        """F and its gradient by forward differences of step √ε · max(|θ|, 1)
        (backward at an upper bound): one call per parameter beyond F, for
        the minimiser; the convergence test takes central differences."""
        value = self(theta)
        gradient = np.empty(len(theta))
        for j, x in enumerate(theta):
            step = FORWARD_STEP_FACTOR * max(abs(float(x)), 1.0)
            if x + step > self.bounds[j][1]:
                step = -step
            gradient[j] = (self(self.shifted(theta, j, step)) - value) / step
        return value, gradient

    def shifted(self, theta: FloatArray, j: int, offset: float) -> FloatArray:
        moved = np.array(theta, dtype=np.float64)
        moved[j] += offset
        return moved

    def gradient(self, theta: FloatArray) -> FloatArray:
        return np.array([float(slope(lambda offset: np.asarray(
            self(self.shifted(theta, j, offset))), float(theta[j]), self.bounds[j]))
            for j in range(len(theta))])

    def scores(self, theta: FloatArray, free: Sequence[int]) -> FloatArray:
        """s_i = ∂ ln h_i / ∂θ_j for the parameters `free`, (n_events, len(free))."""
        columns = [slope(lambda offset: self.log_density(self.shifted(theta, j, offset)),
                         float(theta[j]), self.bounds[j]) for j in free]
        return np.column_stack(columns) if columns else np.empty((len(self.weights), 0))

    def hessian(self, theta: FloatArray, free: Sequence[int], minimum: float) -> FloatArray:
        """∂²F/∂θ_j∂θ_l over `free`: curvature stencils on the diagonal, products
        of slope stencils with the curvature step off it."""
        size = len(free)
        h = np.zeros((size, size))
        for p, j in enumerate(free):
            h[p, p] = sum(c * (minimum if o == 0.0 else self(self.shifted(theta, j, o)))
                          for o, c in curvature_stencil(float(theta[j]), self.bounds[j]))
        for (p, j), (q, l) in itertools.combinations(enumerate(free), 2):
            total = 0.0
            for (oj, cj), (ol, cl) in itertools.product(
                    slope_stencil(float(theta[j]), self.bounds[j], curvature=True),
                    slope_stencil(float(theta[l]), self.bounds[l], curvature=True)):
                point = self.shifted(self.shifted(theta, j, oj), l, ol)
                total += cj * cl * (minimum if oj == ol == 0.0 else self(point))
            h[p, q] = h[q, p] = total
        return h


def minimise(objective: ControlObjective, start: FloatArray) -> tuple[FloatArray, bool, str]:
    """The minimum of F within the bounds by the truncated Newton method of
    scipy.optimize (TNC), from `start`: the point, the minimiser's success
    and its message.

    TNC keeps to box bounds by projection, so a parameter can end exactly
    on its bound. scipy's L-BFGS-B took 13–35 ms per call of its core on a
    loaded machine (its BLAS threads), whatever the number of events."""
    optimize = optional_module("scipy.optimize")
    scale = np.maximum(np.abs(start), 1.0)

    def scaled(x: FloatArray) -> tuple[float, FloatArray]:
        value, gradient = objective.value_and_forward_slope(x * scale)
        return value, gradient * scale

    bounds = [(lower / s, upper / s) for (lower, upper), s in zip(objective.bounds, scale)]
    fitted = optimize.minimize(scaled, start / scale, jac=True, method="TNC", bounds=bounds,
                               options={"maxfun": MAX_EVALUATIONS})
    theta = np.clip(fitted.x * scale, [b[0] for b in objective.bounds],
                    [b[1] for b in objective.bounds])
    # A bound reached in the scaled coordinates comes back within rounding
    # of the declared one: it is that bound.
    for j, bounds_j in enumerate(objective.bounds):
        for bound in bounds_j:
            if abs(theta[j] - bound) <= 4.0 * EPSILON * max(abs(bound), scale[j]):
                theta[j] = bound
    return theta, bool(fitted.success), str(fitted.message)


def run_away(objective: ControlObjective, theta: FloatArray, j: int, minimum: float) -> bool:
    """Whether F runs away towards the bound of parameter j: concave along it
    there, falling ever more steeply, and falling only through the events of
    negative weight while those of positive weight alone would rise.

    (Concavity alone is no proof: a lifetime's F is concave far above its
    minimum, where the positive weights pull back from a lower bound.)"""
    curvature = sum(c * (minimum if o == 0.0 else objective(objective.shifted(theta, j, o)))
                    for o, c in curvature_stencil(float(theta[j]), objective.bounds[j]))
    if not curvature < 0.0:
        return False
    inward = next(o for o, _ in curvature_stencil(float(theta[j]), objective.bounds[j])
                  if o != 0.0)
    at_bound = objective.parts(theta)
    inside = objective.parts(objective.shifted(theta, j, inward))
    positive_rises = at_bound[0] >= inside[0]
    negative_falls = at_bound[1] < inside[1]
    return bool(positive_rises and negative_falls)


def newton_step_left(gradient: FloatArray, inverse_hessian: FloatArray) -> float:
    """max_j |(H⁻¹ g)_j| / √(H⁻¹)_jj: the step to the minimum in errors."""
    step = inverse_hessian @ gradient
    return float(np.max(np.abs(step) / np.sqrt(np.diag(inverse_hessian)), initial=0.0))
