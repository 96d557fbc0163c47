"""The densities of the Crystal Ball models computed exactly after their own
rounded steps, for comparing the native evaluation and NumPy's with the
truth."""

from __future__ import annotations

import numpy as np
import pytest


def exact_crystal_ball(model, x: np.ndarray, point) -> np.ndarray:
    """The model's densities with its rounded steps up to each exponent
    (the core's, or a tail's ratio y and offset) and the rest exact: exp
    (of −m log1p(y) + offset in a tail) at 50 digits, times the model's
    1/mass; as (hi, lo) doubles, zero outside the window."""
    mpmath = pytest.importorskip("mpmath")
    p = model.resolve(point)
    mu, sigma, low, high, log_peak = model._layout(p)
    scale = 1.0 / model._mass(p)
    with mpmath.workdps(50):
        out = np.zeros((2, x.size))
        for i, v in enumerate(x):
            if not model.window[0] <= v <= model.window[1]:
                continue
            d = v - mu
            exponent = mpmath.mpf(d * d * (-0.5 / (sigma * sigma)) - log_peak)
            for tail, sign in ((low, -1.0), (high, 1.0)):
                if tail is not None and sign * (v - (mu + sign * tail[0] * sigma)) > 0.0:
                    beta, m = tail
                    y = (v - (mu + sign * beta * sigma)) * (sign * beta / (m * sigma))
                    exponent = -m * mpmath.log1p(y) + (-0.5 * beta * beta - log_peak)
            value = mpmath.exp(exponent) * scale
            out[0, i] = float(value)
            out[1, i] = float(value - out[0, i])
    return out


def ulps_from_exact(values: np.ndarray, exact: np.ndarray) -> np.ndarray:
    hi, lo = exact
    return np.abs((values - hi) - lo) / np.spacing(np.where(hi == 0.0, 1.0, hi))


def junction_points(model, point) -> np.ndarray:
    """Events within a few ulp of each junction μ ∓ ασ."""
    p = model.resolve(point)
    mu, sigma, low, high = model._shape(p)
    points = []
    for tail, sign in ((low, -1.0), (high, 1.0)):
        if tail is not None:
            junction = mu + sign * tail[0] * sigma
            points += [junction, *np.nextafter(junction, [-np.inf, np.inf]),
                       junction - 1e-13, junction + 1e-13]
    return np.clip(points, *model.window)
