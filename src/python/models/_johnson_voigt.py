"""The Johnson SU and Voigtian peaks.

Johnson SU is a Gaussian in z = γ + δ asinh((x − μ)/σ), so its distribution
function is Φ(z) and its mass, primitive and quantile are the normal ones of
_gaussian in z. The Voigtian has no elementary primitive: its integrals are
composite Gauss–Legendre sums on panels a fraction of its width near the
peak, growing geometrically away from it, kept per parameter point.
"""

from __future__ import annotations

import math
import threading
from collections import OrderedDict
from collections.abc import Sequence

import numpy as np
from scipy import special  # type: ignore[import-untyped, unused-ignore]

from ._base import FloatArray, Model, Parameter, inverse_cdf_draw
from ._gaussian import (SQRT_2PI, nearest_to_zero, normal_mass, normal_quantile,
                        require_finite, require_positive)

_SQRT_HALF = math.sqrt(0.5)


class JohnsonSU(Model):
    r"""The Johnson SU distribution, normalised over the window.

    With t = (x − μ)/σ and z = γ + δ asinh(t),

    .. math:: f(x) = \frac{\delta}{\sigma\sqrt{2\pi}\sqrt{1+t^2}}\,
              \frac{e^{-z^2/2}}{\Phi(z_b) - \Phi(z_a)}

    on the window [a, b], the shape of ``scipy.stats.johnsonsu(a=gamma,
    b=delta, loc=mu, scale=sigma)``; the mass is the normal mass in z, taken
    on the side where it is small.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high) the density is normalised over.
    mu, sigma, gamma, delta : str or float
        Location, scale, skewness and tail weight: each a name (free) or a
        number (fixed).

    Raises
    ------
    ValueError
        At a call, for sigma ≤ 0, delta ≤ 0 or a parameter that is not finite.
    """

    _keywords = ("mu", "sigma", "gamma", "delta")

    def __init__(self, column: int, window: Sequence[float], *, mu: Parameter,
                 sigma: Parameter, gamma: Parameter, delta: Parameter) -> None:
        super().__init__(column, window, mu=mu, sigma=sigma, gamma=gamma, delta=delta)

    def _check(self, p: tuple[float, ...]) -> None:
        require_finite(self, "mu", p[0])
        require_positive(self, "sigma", p[1])
        require_finite(self, "gamma", p[2])
        require_positive(self, "delta", p[3])

    def _z_window(self, p: tuple[float, ...]) -> tuple[float, float, float]:
        mu, sigma, gamma, delta = p
        za, zb = (gamma + delta * math.asinh((edge - mu) / sigma) for edge in self.window)
        return za, zb, nearest_to_zero(za, zb)

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        # exp(−(z² − z₀²)/2)/√(1 + t²); δ goes with the mass.
        mu, sigma, gamma, delta = p
        z0 = self._z_window(p)[2]
        t = np.subtract(x, mu)
        t *= 1.0 / sigma
        z = np.arcsinh(t)
        z *= delta * _SQRT_HALF
        z += gamma * _SQRT_HALF
        np.multiply(z, z, out=z)
        np.subtract(0.5 * z0 * z0, z, out=z)
        np.exp(z, out=z)
        if max(abs(edge - mu) for edge in self.window) < 1e150 * sigma:
            np.multiply(t, t, out=t)
            t += 1.0
            np.sqrt(t, out=t)
        else:  # t² would overflow
            np.hypot(t, 1.0, out=t)
        z /= t
        return z

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        mu, sigma, gamma, delta = p
        za, _, z0 = self._z_window(p)
        z = gamma + delta * np.arcsinh((np.asarray(x, dtype=np.float64) - mu) / sigma)
        return sigma / delta * SQRT_2PI * normal_mass(za, z, z0)

    def _mass(self, p: tuple[float, ...]) -> float:
        za, zb, z0 = self._z_window(p)
        return float(p[1] / p[3] * SQRT_2PI * normal_mass(za, zb, z0)[()])

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        mu, sigma, gamma, delta = p
        za, zb, _ = self._z_window(p)
        z = normal_quantile(rng.random(n), za, zb)
        z -= gamma
        z *= 1.0 / delta
        np.sinh(z, out=z)
        z *= sigma
        z += mu
        return np.clip(z, *self.window, out=z)


_NODES, _WEIGHTS = np.polynomial.legendre.leggauss(24)
_CACHED_POINTS = 16
_SLICE = 1 << 15  # points per Gauss–Legendre evaluation of the primitive
# Fits on several threads may share a model; its cache is updated under this
# lock (a module-level one, so that models still pickle).
_CACHE_LOCK = threading.Lock()


class Voigtian(Model):
    r"""A Gaussian of width σ convolved with a Lorentzian of half-width γ,
    normalised over the window.

    .. math:: f(x) = \frac{V(x - \mu; \sigma, \gamma)}{\int_a^b V(y - \mu;
              \sigma, \gamma)\,dy}, \qquad V(u; \sigma, \gamma) =
              \frac{\operatorname{Re} w\bigl((u + i\gamma)/(\sigma\sqrt2)\bigr)}
              {\sigma\sqrt{2\pi}}

    (``scipy.special.voigt_profile``, w the Faddeeva function). The mass and
    primitive are 24-point Gauss–Legendre sums on panels of (σ + γ)/2 within
    8(σ + γ) of μ, widening by 1.5 per panel beyond, cached per parameter
    point. Draws are μ + σ N + γ C (N normal, C Cauchy) kept inside the
    window when it holds at least 5 % of the profile, a polished numerical
    inverse of the primitive otherwise.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high) the density is normalised over.
    mu, sigma, gamma : str or float
        The peak position, the Gaussian width and the Lorentzian half-width:
        each a name (free) or a number (fixed).

    Raises
    ------
    ValueError
        At a call, for sigma ≤ 0, gamma < 0 or a parameter that is not finite.
    """

    _keywords = ("mu", "sigma", "gamma")

    def __init__(self, column: int, window: Sequence[float], *, mu: Parameter,
                 sigma: Parameter, gamma: Parameter) -> None:
        super().__init__(column, window, mu=mu, sigma=sigma, gamma=gamma)
        self._panels: OrderedDict[tuple[float, ...], tuple[FloatArray, FloatArray]] = \
            OrderedDict()

    def _check(self, p: tuple[float, ...]) -> None:
        require_finite(self, "mu", p[0])
        require_positive(self, "sigma", p[1])
        if not (p[2] >= 0.0 and math.isfinite(p[2])):
            raise self._invalid("gamma", p[2], "must be finite and non-negative")

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        density = np.subtract(x, p[0])
        return np.asarray(special.voigt_profile(density, p[1], p[2], out=density),
                          dtype=np.float64)

    def _edges_and_cumulative(self, p: tuple[float, ...]) -> tuple[FloatArray, FloatArray]:
        """The panel edges over the window and the integral up to each."""
        with _CACHE_LOCK:
            cached = self._panels.get(p)
            if cached is not None:
                self._panels.move_to_end(p)
                return cached
        mu, sigma, gamma = p
        low, high = self.window
        width = sigma + gamma
        reach = max(abs(low - mu), abs(high - mu)) / width
        offsets = list(np.arange(0.5, 8.01, 0.5))
        while offsets[-1] < reach:
            offsets.append(1.5 * offsets[-1])
        points = mu + width * np.array(offsets)
        points = np.concatenate([[low, mu, high], points, 2.0 * mu - points])
        edges = np.unique(points[(points >= low) & (points <= high)])
        cumulative = np.concatenate([[0.0], np.cumsum(self._panel_sums(edges[:-1], edges[1:], p))])
        with _CACHE_LOCK:
            self._panels[p] = (edges, cumulative)
            if len(self._panels) > _CACHED_POINTS:
                self._panels.popitem(last=False)
        return edges, cumulative

    def _panel_sums(self, a: FloatArray, b: FloatArray, p: tuple[float, ...]) -> FloatArray:
        """The Gauss–Legendre integral over each [a_k, b_k]."""
        half = 0.5 * (b - a)
        nodes = (0.5 * (a + b))[:, None] + half[:, None] * _NODES
        values = special.voigt_profile(nodes - p[0], p[1], p[2])
        return np.asarray(half * (values @ _WEIGHTS), dtype=np.float64)

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        edges, cumulative = self._edges_and_cumulative(p)
        x = np.asarray(x, dtype=np.float64)
        flat = np.clip(x.ravel(), edges[0], edges[-1])
        panel = np.clip(np.searchsorted(edges, flat, side="right") - 1, 0, len(edges) - 2)
        result = cumulative[panel]
        # In slices, so that the nodes of many points stay a modest array.
        for start in range(0, flat.size, _SLICE):
            part = slice(start, start + _SLICE)
            result[part] += self._panel_sums(edges[panel[part]], flat[part], p)
        return np.asarray(result.reshape(x.shape), dtype=np.float64)

    def _mass(self, p: tuple[float, ...]) -> float:
        return float(self._edges_and_cumulative(p)[1][-1])

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        mass = self._mass(p)
        if mass < 0.05:
            return inverse_cdf_draw(self, n, p, rng)
        mu, sigma, gamma = p
        low, high = self.window
        kept: list[FloatArray] = []
        remaining = n
        while remaining > 0:
            batch = int(remaining / mass * 1.1) + 16
            x = mu + sigma * rng.standard_normal(batch) + gamma * rng.standard_cauchy(batch)
            x = x[(x >= low) & (x <= high)][:remaining]
            kept.append(x)
            remaining -= x.size
        return np.concatenate(kept) if kept else np.empty(0)
