"""Smooth background shapes: the flat density, the exponential and the ARGUS
threshold function, each normalised over its window in closed form.

Exponential, f(x) ∝ exp(s x) on [a, b] (width w = b − a). It is evaluated as
exp(s (x − e)) with e the edge where it is largest (a for s < 0, b for
s > 0), so that no value exceeds 1 and nothing overflows for |s w| up to
the whole double range. Then

    s < 0:  F(x) = ∫_a^x exp(s (t − a)) dt = expm1(s (x − a)) / s,
    s > 0:  F(x) = ∫_a^x exp(s (t − b)) dt = exp(s (x − b)) · (−expm1(−s (x − a))) / s,

both exact to rounding for |s| from 1e-300 to overflow (at s = 0: x − a).

ARGUS, f(x) ∝ x (1 − (x/m0)²)^p exp(c (1 − (x/m0)²)) on 0 ≤ x < m0 (zero
above). With u = 1 − (x/m0)², x dx = −(m0²/2) du and

    ∫ f dx = (m0²/2) ∫ u^p exp(c u) du,
    ∫_0^U u^p e^{cu} du = Γ(p+1) P(p+1, −cU) / (−c)^{p+1}             (c < 0)
                        = e^{cU} U^{p+1}/(p+1) · ₁F₁(1; p+2; −cU)     (any c; Kummer),

P the regularised lower incomplete gamma function. For c < 0 differences
of P over the window are taken from the upper tail Q = 1 − P when both
ends lie there, so a window far from the threshold keeps its precision; for
c > 0 the density is scaled by exp(−c u_max) (u_max at the window's low
edge), with which the Kummer form never overflows.
"""

from __future__ import annotations

import importlib
import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._base import FloatArray, Model, Parameter, inverse_cdf_draw


def _special() -> Any:
    """scipy.special, imported when an Argus first needs it (SciPy is the
    models' one dependency beyond NumPy, and only some shapes use it)."""
    return importlib.import_module("scipy.special")


class Uniform(Model):
    """The flat density 1/(b − a) on the window [a, b]."""

    _native_shape = "uniform"

    def __init__(self, column: int, window: Sequence[float]) -> None:
        super().__init__(column, window)

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        low, high = self.window
        return np.full(x.shape, 1.0 / (high - low))

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        low, high = self.window
        return (x - low) / (high - low)

    def _mass(self, p: tuple[float, ...]) -> float:
        return 1.0

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        low, high = self.window
        return rng.uniform(low, high, n)


class Exponential(Model):
    """f(x) ∝ exp(slope · x) on the window, any sign of the slope.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high) over which the density is normalised.
    slope : str or float
        A parameter name (free) or a number (fixed).
    """

    _keywords = ("slope",)
    _native_shape = "exponential"

    def __init__(self, column: int, window: Sequence[float], *,
                 slope: Parameter = "slope") -> None:
        super().__init__(column, window, slope=slope)

    def _check(self, p: tuple[float, ...]) -> None:
        if not math.isfinite(p[0]):
            raise self._invalid("slope", p[0], "must be finite")

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        slope = p[0]
        low, high = self.window
        t = np.subtract(x, high if slope > 0.0 else low)
        t *= slope
        return np.exp(t, out=t)

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        slope = p[0]
        low, high = self.window
        if slope == 0.0:
            return np.subtract(x, low)
        if slope < 0.0:
            return np.expm1(slope * (x - low)) / slope
        return np.exp(slope * (x - high)) * -np.expm1(-slope * (x - low)) / slope

    def _mass(self, p: tuple[float, ...]) -> float:
        slope = p[0]
        low, high = self.window
        if slope == 0.0:
            return high - low
        return -math.expm1(-abs(slope) * (high - low)) / abs(slope)

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        # Inverse of F/F(b), from the edge where the density is largest.
        slope = p[0]
        low, high = self.window
        u = rng.random(n)
        if slope == 0.0:
            return low + u * (high - low)
        rate = -abs(slope)
        distance = np.log1p(u * math.expm1(rate * (high - low))) / rate
        return np.clip(low + distance if slope < 0.0 else high - distance, low, high)


class Argus(Model):
    """The ARGUS threshold shape x (1 − (x/m0)²)^p exp(c (1 − (x/m0)²)),
    zero above the endpoint m0; the window must start at 0 or above.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high), 0 ≤ low.
    m0, c, p : str or float
        The endpoint (> low), the curvature and the power (> −1); each a
        parameter name (free) or a number (fixed). The usual ARGUS function
        has p = 0.5 and c = −χ²/2.
    """

    _keywords = ("m0", "c", "p")

    def __init__(self, column: int, window: Sequence[float], *,
                 m0: Parameter = "m0", c: Parameter = "c", p: Parameter = 0.5) -> None:
        super().__init__(column, window, m0=m0, c=c, p=p)
        if self.window[0] < 0.0:
            raise ValueError(f"Argus: the window must lie at x >= 0, got {self.window}")

    def _check(self, p: tuple[float, ...]) -> None:
        m0, c, power = p
        if not (math.isfinite(m0) and m0 > self.window[0]):
            raise self._invalid("m0", m0, f"must be finite and above the window's low "
                                          f"edge {self.window[0]!r}")
        if not math.isfinite(c):
            raise self._invalid("c", c, "must be finite")
        if not (math.isfinite(power) and power > -1.0):
            raise self._invalid("p", power, "must be finite and > -1")

    def _u_range(self, m0: float) -> tuple[float, float]:
        """u = 1 − (x/m0)² at the window's edges: (u at high, u at low)."""
        low, high = self.window
        return max(0.0, 1.0 - (min(high, m0) / m0) ** 2), 1.0 - (low / m0) ** 2

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        m0, c, power = p
        u = np.multiply(x, 1.0 / m0)
        u *= u
        np.subtract(1.0, u, out=u)
        np.maximum(u, 0.0, out=u)
        exponent = c * u if c <= 0.0 else c * (u - self._u_range(m0)[1])
        if power == 0.5:
            density = np.sqrt(u, out=u)
        elif power != 1.0:
            with np.errstate(divide="ignore"):
                density = np.power(u, power, out=u)
        else:
            density = u
        if power < 0.0:
            density[density == np.inf] = 0.0
        density *= np.exp(exponent, out=exponent)
        density *= x
        return density

    def _scaled_mass_below(self, u: FloatArray, p: tuple[float, ...]) -> FloatArray:
        """∫_0^u t^p e^{c t} dt, times exp(−c u_max) when c > 0."""
        m0, c, power = p
        a = power + 1.0
        special = _special()
        result: FloatArray
        if c == 0.0:
            result = np.power(u, a) / a
        elif c > 0.0:
            u_max = self._u_range(m0)[1]
            result = (np.exp(c * (u - u_max)) * np.power(u, a) / a
                      * special.hyp1f1(1.0, a + 1.0, -c * u))
        else:
            result = (special.gammainc(a, -c * u)
                      * math.exp(special.gammaln(a) - a * math.log(-c)))
        return result

    def _mass_between(self, u_small: FloatArray, u_large: FloatArray,
                      p: tuple[float, ...]) -> FloatArray:
        """(m0²/2) ∫_{u_small}^{u_large} u^p e^{cu} du (scaled as above)."""
        m0, c, power = p
        a = power + 1.0
        if c < 0.0 and -c * float(np.min(u_small)) > a:
            # Both ends in the upper tail of the gamma distribution.
            special = _special()
            scale = math.exp(special.gammaln(a) - a * math.log(-c))
            inner = (special.gammaincc(a, -c * u_small) - special.gammaincc(a, -c * u_large))
            result: FloatArray = 0.5 * m0 * m0 * scale * inner
            return result
        return 0.5 * m0 * m0 * (self._scaled_mass_below(u_large, p)
                                - self._scaled_mass_below(u_small, p))

    def _u_of(self, x: FloatArray, m0: float) -> FloatArray:
        return np.maximum(1.0 - (np.minimum(x, m0) / m0) ** 2, 0.0)

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        u_low = np.full(np.shape(x), self._u_range(p[0])[1])
        return self._mass_between(self._u_of(x, p[0]), u_low, p)

    def _mass(self, p: tuple[float, ...]) -> float:
        u_high, u_low = self._u_range(p[0])
        return float(self._mass_between(np.array([u_high]), np.array([u_low]), p)[0])

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        # In u = 1 − (x/m0)², distributed as u^p e^{cu} on [u_high, u_low]: for
        # c < 0 a truncated gamma distribution, inverted through P⁻¹ (or Q⁻¹
        # in its upper tail), for c = 0 a power law; for c > 0 the base's
        # numerical inverse, kept on the support below m0.
        m0, c, power = p
        low, high = self.window
        a = power + 1.0
        u_high, u_low = self._u_range(m0)
        t = rng.random(n)
        if c > 0.0:
            return np.clip(inverse_cdf_draw(self, n, p, rng), low, min(high, m0))
        if c == 0.0:
            u = (u_low**a - t * (u_low**a - u_high**a)) ** (1.0 / a)
        elif -c * u_high > a:
            special = _special()
            q_low, q_high = special.gammaincc(a, -c * u_low), special.gammaincc(a, -c * u_high)
            u = special.gammainccinv(a, q_low + t * (q_high - q_low)) / -c
        else:
            special = _special()
            p_low, p_high = special.gammainc(a, -c * u_low), special.gammainc(a, -c * u_high)
            u = special.gammaincinv(a, p_low - t * (p_low - p_high)) / -c
        x: FloatArray = m0 * np.sqrt(np.clip(1.0 - u, 0.0, 1.0))
        return np.clip(x, low, min(high, m0))
