"""The Gaussian over a window, and the tail-safe normal integrals and
quantiles that the Crystal Ball and Johnson SU shapes share.

Far in a tail both Φ(a) and Φ(b) round to 1 (or their difference to 0), so
the mass Φ(b) − Φ(a) is taken on the side of the mean where both are small
and written with the scaled complementary error function
erfcx(z) = exp(z²) erfc(z):

    Φ(t) = ½ erfcx(−t/√2) exp(−t²/2)        (t < 0),

so that exp(t₀²/2) [Φ(b) − Φ(a)] for b ≤ −1 is

    ½ [erfcx(−b/√2) e^{−(b²−t₀²)/2} − erfcx(−a/√2) e^{−(a²−t₀²)/2}],

where t₀ is the point of the window nearest the mean: every exponent is ≤ 0
and nothing under- or overflows, even 40σ away. Near the mean the
difference of two erf values (a sum where the interval straddles it) is
exact, and on intervals too narrow for either difference a short
Gauss–Legendre sum is. Quantiles invert Φ in logarithms,

    log Φ(x) = logaddexp(log(1 − u) + log Φ(a), log u + log Φ(b)),

with scipy.special.ndtri_exp, then take one Newton step on the exact mass.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
from scipy import special  # type: ignore[import-untyped, unused-ignore]

from ._base import FloatArray, Model, Parameter

SQRT_2PI = math.sqrt(2.0 * math.pi)
_SQRT_HALF = math.sqrt(0.5)
_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(12)


def nearest_to_zero(low: float, high: float) -> float:
    """The point of [low, high] nearest 0: where a centred Gaussian peaks."""
    return min(max(0.0, low), high)


def _normal_mass_of_floats(t1: float, t2: float, t0: float) -> float | None:
    """`normal_mass` of two numbers without array overhead (a fit asks for
    the window's mass at every call), or None on a narrow interval, which
    the array code integrates."""
    lo, hi = (-t2, -t1) if t1 + t2 > 0.0 else (t1, t2)
    if (hi - lo) * max(1.0, -lo) < 0.25:
        return None
    if hi > -1.0:
        return 0.5 * (math.erf(hi * _SQRT_HALF) - math.erf(lo * _SQRT_HALF)) \
            * math.exp(0.5 * t0 * t0)
    return 0.5 * (float(special.erfcx(-hi * _SQRT_HALF)) * math.exp(-0.5 * (hi - t0) * (hi + t0))
                  - float(special.erfcx(-lo * _SQRT_HALF))
                  * math.exp(-0.5 * (lo - t0) * (lo + t0)))


def normal_mass(t1: Any, t2: Any, t0: float) -> FloatArray:
    """exp(t₀²/2) (Φ(t2) − Φ(t1)) element-wise, for t1 ≤ t2 inside an
    interval whose point nearest 0 is t0 (so |t0| ≤ |t| on [t1, t2])."""
    if isinstance(t1, float) and isinstance(t2, float):
        mass = _normal_mass_of_floats(t1, t2, t0)
        if mass is not None:
            return np.asarray(mass)
    t1, t2 = np.broadcast_arrays(np.asarray(t1, dtype=np.float64),
                                 np.asarray(t2, dtype=np.float64))
    # Mirror each interval onto the side of the mean that holds most of it:
    # afterwards lo ≤ 0 and lo ≤ −hi, and Φ(lo), Φ(hi) are the small ones.
    flip = t1 + t2 > 0.0
    lo = np.where(flip, -t2, t1)
    hi = np.where(flip, -t1, t2)
    out = np.empty(lo.shape)
    # On an interval across which the exponent changes by less than about ¼
    # (narrow windows, and a CDF just above the window's edge) the difference
    # would cancel; 12-point Gauss–Legendre integrates exp(−(t² − t₀²)/2)
    # there to rounding.
    narrow = (hi - lo) * np.maximum(1.0, -lo) < 0.25
    if narrow.any():
        a, b = lo[narrow], hi[narrow]
        half = 0.5 * (b - a)
        t = (0.5 * (a + b))[:, None] + half[:, None] * _NODES
        out[narrow] = half * (np.exp(-0.5 * (t - t0) * (t + t0)) @ _WEIGHTS) / SQRT_2PI
    near = ~narrow & (hi > -1.0)
    if near.any():
        # The interval reaches within 1σ of the mean, so |t0| ≤ 1.
        out[near] = 0.5 * (special.erf(hi[near] * _SQRT_HALF)
                           - special.erf(lo[near] * _SQRT_HALF)) * math.exp(0.5 * t0 * t0)
    far = ~narrow & ~near
    if far.any():
        a, b = lo[far], hi[far]
        out[far] = 0.5 * (special.erfcx(-b * _SQRT_HALF) * np.exp(-0.5 * (b - t0) * (b + t0))
                          - special.erfcx(-a * _SQRT_HALF) * np.exp(-0.5 * (a - t0) * (a + t0)))
    return out


def normal_quantile(u: FloatArray, ta: float, tb: float) -> FloatArray:
    """The standard normal truncated to [ta, tb] at the probabilities u
    (u in [0, 1), overwritten): increasing in u."""
    flip = ta + tb > 0.0
    lo, hi = (-tb, -ta) if flip else (ta, tb)
    # Mirrored, the probability is 1 − u, so the two logarithms swap.
    target = (1.0 - u) if flip else u.copy()
    log_lo, log_hi = float(special.log_ndtr(lo)), float(special.log_ndtr(hi))
    with np.errstate(divide="ignore"):
        # u = 0 gives log u = −inf, which logaddexp takes as a zero weight.
        log_u = np.log(u)
        np.log1p(-u, out=u)
    weight_lo, weight_hi = (log_u, u) if flip else (u, log_u)
    weight_lo += log_lo
    weight_hi += log_hi
    np.logaddexp(weight_lo, weight_hi, out=u)
    t = np.asarray(special.ndtri_exp(u), dtype=np.float64)
    np.clip(t, lo, hi, out=t)
    # One Newton step on the exact mass: the logarithms above lose the last
    # digits in a window much narrower than its distance from the mean.
    t0 = nearest_to_zero(lo, hi)
    target *= normal_mass(lo, hi, t0)
    step = normal_mass(lo, t, t0) - target
    step *= SQRT_2PI * np.exp(0.5 * (t - t0) * (t + t0))
    t -= step
    np.clip(t, lo, hi, out=t)
    if flip:
        np.negative(t, out=t)
    return t


def require_finite(model: Model, keyword: str, value: float) -> None:
    if not math.isfinite(value):
        raise model._invalid(keyword, value, "must be finite")


def require_positive(model: Model, keyword: str, value: float) -> None:
    if not value > 0.0 or value == math.inf:
        raise model._invalid(keyword, value, "must be positive and finite")


class Gaussian(Model):
    r"""A Gaussian normalised over the window.

    .. math:: f(x) = \frac{\exp(-\tfrac12 ((x-\mu)/\sigma)^2)}
              {\sigma\sqrt{2\pi}\,[\Phi(t_b) - \Phi(t_a)]},
              \qquad t_{a,b} = \frac{a,b - \mu}{\sigma}

    on the window [a, b]; the mass is taken on the side of the mean where
    Φ(t_a) and Φ(t_b) are small, so windows far in a tail stay exact.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high) the density is normalised over.
    mu, sigma : str or float
        The mean and width: a name (free) or a number (fixed).

    Raises
    ------
    ValueError
        At a call, for sigma ≤ 0 or a parameter that is not finite.
    """

    _keywords = ("mu", "sigma")
    _native_shape = "gaussian"

    def __init__(self, column: int, window: Sequence[float], *, mu: Parameter,
                 sigma: Parameter) -> None:
        super().__init__(column, window, mu=mu, sigma=sigma)

    def _check(self, p: tuple[float, ...]) -> None:
        require_finite(self, "mu", p[0])
        require_positive(self, "sigma", p[1])

    def _standard_window(self, p: tuple[float, ...]) -> tuple[float, float, float]:
        mu, sigma = p
        ta, tb = (self.window[0] - mu) / sigma, (self.window[1] - mu) / sigma
        return ta, tb, nearest_to_zero(ta, tb)

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        # exp(−(t² − t₀²)/2): at most 1 on the window, never underflowing there.
        mu, sigma = p
        t0 = self._standard_window(p)[2]
        density = np.subtract(x, mu)
        np.multiply(density, density, out=density)
        density *= -0.5 / (sigma * sigma)
        density += 0.5 * t0 * t0
        return np.exp(density, out=density)

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        mu, sigma = p
        ta, _, t0 = self._standard_window(p)
        return sigma * SQRT_2PI * normal_mass(ta, (np.asarray(x) - mu) / sigma, t0)

    def _mass(self, p: tuple[float, ...]) -> float:
        ta, tb, t0 = self._standard_window(p)
        return float(p[1] * SQRT_2PI * normal_mass(ta, tb, t0)[()])

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        mu, sigma = p
        ta, tb, _ = self._standard_window(p)
        t = normal_quantile(rng.random(n), ta, tb)
        t *= sigma
        t += mu
        return np.clip(t, *self.window, out=t)
