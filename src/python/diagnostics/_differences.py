"""Finite differences in the parameters, kept inside their declared bounds.

A first derivative is a central difference with the step ∛ε · max(|θ|, 1),
which balances truncation against rounding; where a declared bound is nearer
than the step it becomes the three-point one-sided difference

    f'(θ) ≈ (−3 f(θ) + 4 f(θ + h) − f(θ + 2h)) / 2h    (or its mirror image),

of the same second order, so that no function is called outside its bounds.
A second derivative uses the step ε^¼ · max(|θ|, 1) and, near a bound, the
four-point one-sided (2 f(θ) − 5 f(θ + h) + 4 f(θ + 2h) − f(θ + 3h)) / h².
"""

from __future__ import annotations

import math
from collections.abc import Callable, Mapping, Sequence
from typing import Any

import numpy as np

from ._model import FloatArray, Pdf, densities

# The first-derivative step factor: the cube root of the machine epsilon.
STEP_FACTOR = float(np.finfo(np.float64).eps) ** (1.0 / 3.0)
# The second-derivative step factor: the fourth root of the machine epsilon.
CURVATURE_STEP_FACTOR = float(np.finfo(np.float64).eps) ** 0.25

Bounds = tuple[float, float]
# (offset, coefficient) pairs: f' ≈ Σ coefficient · f(θ + offset).
Stencil = list[tuple[float, float]]


def declared_bounds(shape_parameters: Sequence[Any] | None,
                    names: Sequence[str]) -> dict[str, Bounds]:
    """Each parameter's (lower, upper) bounds; unbounded when none are declared."""
    if shape_parameters is None:
        return {name: (-math.inf, math.inf) for name in names}
    return {parameter.name: (parameter.lower, parameter.upper)
            for parameter in shape_parameters}


def slope_stencil(value: float, bounds: Bounds, *, curvature: bool = False) -> Stencil:
    """The points and weights of ∂f/∂θ at `value` (module docstring); with
    `curvature`, the second derivatives' step, for the factors of a mixed one."""
    lower, upper = bounds
    step = (CURVATURE_STEP_FACTOR if curvature else STEP_FACTOR) * max(abs(value), 1.0)
    if value - step >= lower and value + step <= upper:
        return [(step, 0.5 / step), (-step, -0.5 / step)]
    if value + 2.0 * step <= upper:
        return [(0.0, -1.5 / step), (step, 2.0 / step), (2.0 * step, -0.5 / step)]
    if value - 2.0 * step >= lower:
        return [(0.0, 1.5 / step), (-step, -2.0 / step), (-2.0 * step, 0.5 / step)]
    # An interval narrower than two steps: the widest central difference in
    # it; none on a bound of such an interval (the parameter is then fixed).
    step = min(value - lower, upper - value)
    return [(step, 0.5 / step), (-step, -0.5 / step)] if step > 0.0 else []


def curvature_stencil(value: float, bounds: Bounds) -> Stencil:
    """The points and weights of ∂²f/∂θ² at `value` (module docstring)."""
    lower, upper = bounds
    step = CURVATURE_STEP_FACTOR * max(abs(value), 1.0)
    square = step * step
    if value - step >= lower and value + step <= upper:
        return [(step, 1.0 / square), (0.0, -2.0 / square), (-step, 1.0 / square)]
    direction = 1.0 if value + 3.0 * step <= upper else -1.0
    if direction < 0.0 and value - 3.0 * step < lower:
        step = min(value - lower, upper - value)
        square = step * step
        if step == 0.0:
            return []
        return [(step, 1.0 / square), (0.0, -2.0 / square), (-step, 1.0 / square)]
    return [(direction * k * step, c / square)
            for k, c in enumerate((2.0, -5.0, 4.0, -1.0))]


def slope(at: Callable[[float], FloatArray], value: float, bounds: Bounds) -> FloatArray:
    """∂f/∂θ at `value` of f(θ) = at(θ − value), by `slope_stencil`."""
    stencil = slope_stencil(value, bounds)
    total: FloatArray = sum((coefficient * at(offset) for offset, coefficient in stencil),
                            start=np.zeros(()))
    return total


def density_slope(events: FloatArray, pdfs: Sequence[Pdf], shape: Mapping[str, float],
                  name: str, bounds: Bounds) -> FloatArray:
    """∂f_k(i)/∂θ for shape parameter `name`, shape (n_events, n_components):
    two calls of every PDF (three near a bound)."""
    value = shape[name]

    def at(offset: float) -> FloatArray:
        return densities(events, pdfs, {**shape, name: value + offset})

    return slope(at, value, bounds)
