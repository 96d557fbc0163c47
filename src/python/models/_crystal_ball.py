r"""Crystal Ball shapes: a Gaussian core with power-law tails.

In the standardised variable t = (x − μ)/σ a low tail of parameters (β, m)
(β = α, m = n) replaces the core below −β by

    f(t) = exp(−β²/2) r(t)^(−m),     r(t) = 1 + (−β − t) β/m,

which matches the core exp(−t²/2) and its derivative at t = −β; a high
tail is its mirror image above +β. The tail's integral from a to b ≤ −β is

    (m/β) r_b^(1−m) h(m, log(r_a/r_b)),   h(m, L) = (1 − e^{−(m−1)L})/(m−1),

with log(r_a/r_b) = log1p((b − a) β/(m r_b)) and h written with expm1: it
tends to L as m → 1 and stays exact there; (m/β) h stays finite as β → 0.
Every piece is scaled by 1/f(t₀), t₀ the point of the window where the
density peaks, so nothing underflows far in a tail.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._base import FloatArray, Model, Parameter
from ._gaussian import (SQRT_2PI, nearest_to_zero, normal_mass, normal_quantile,
                        require_finite, require_positive)

Tail = tuple[float, float] | None  # (β, m) of one side, or no tail there


def _h(m: float, log_ratio: FloatArray) -> FloatArray:
    """(1 − exp(−(m − 1) L))/(m − 1), which is L at m = 1."""
    d = m - 1.0
    if d == 0.0:
        return log_ratio
    return np.asarray(-np.expm1(-d * log_ratio) / d, dtype=np.float64)


def _tail_log_density(t: float, tail: tuple[float, float]) -> float:
    beta, m = tail
    return -0.5 * beta * beta - m * math.log1p((-beta - t) * beta / m)


def _tail_integral(a: FloatArray, b: FloatArray, tail: tuple[float, float],
                   log_scale: float) -> FloatArray:
    """exp(log_scale) ∫_a^b of the low tail, for a ≤ b ≤ −β."""
    beta, m = tail
    r_b = 1.0 + (-beta - b) * beta / m
    log_ratio = np.log1p((b - a) * beta / (m * r_b))
    return np.asarray(np.exp(log_scale - 0.5 * beta * beta - (m - 1.0) * np.log(r_b))
                      * (m / beta) * _h(m, log_ratio), dtype=np.float64)


class _CrystalBallShape(Model):
    """The Crystal Ball engine: the core and up to two tails, in
    standardised coordinates; subclasses say which tails exist."""

    def _shape(self, p: tuple[float, ...]) -> tuple[float, float, Tail, Tail]:
        raise NotImplementedError

    def _check(self, p: tuple[float, ...]) -> None:
        for keyword, value in zip(self._keywords, p):
            if keyword == "mu":
                require_finite(self, keyword, value)
            elif keyword.startswith("n"):  # n, n_low, n_high: the tails' powers
                if not (value > 1.0 and math.isfinite(value)):
                    raise self._invalid(keyword, value, "must be finite and greater than 1")
            else:
                require_positive(self, keyword, value)

    def _layout(self, p: tuple[float, ...]) -> tuple[float, float, Tail, Tail, float]:
        """μ, σ, the tails and log f(t₀) at the window's peak t₀."""
        mu, sigma, low, high = self._shape(p)
        t0 = nearest_to_zero((self.window[0] - mu) / sigma, (self.window[1] - mu) / sigma)
        if low is not None and t0 < -low[0]:
            log_peak = _tail_log_density(t0, low)
        elif high is not None and t0 > high[0]:
            log_peak = _tail_log_density(-t0, high)
        else:
            log_peak = -0.5 * t0 * t0
        return mu, sigma, low, high, log_peak

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        mu, sigma, low, high, log_peak = self._layout(p)
        density = np.subtract(x, mu)
        np.multiply(density, density, out=density)
        density *= -0.5 / (sigma * sigma)
        density -= log_peak
        np.exp(density, out=density)
        x, flat = np.ravel(x), density.reshape(-1)  # the tails are filled in by index
        for tail, sign in ((low, -1.0), (high, 1.0)):
            if tail is None:
                continue
            beta, m = tail
            junction = mu + sign * beta * sigma
            index = np.flatnonzero(x < junction if sign < 0 else x > junction)
            if index.size:
                # r − 1 = |x − junction| β/(m σ); then
                # exp(−β²/2 − m log r − log f(t₀)).
                y = np.subtract(x[index], junction)
                y *= sign * beta / (m * sigma)
                np.log1p(y, out=y)
                y *= -m
                y += -0.5 * beta * beta - log_peak
                flat[index] = np.exp(y, out=y)
        return density

    def _pieces(self, t: FloatArray, p: tuple[float, ...]) -> FloatArray:
        """∫ from the window's low edge to t (standardised, t inside the window)
        of the scaled density."""
        mu, sigma, low, high, log_peak = self._layout(p)
        ta = (self.window[0] - mu) / sigma
        tb = (self.window[1] - mu) / sigma
        total = np.zeros(np.shape(t))
        core_low, core_high = ta, tb
        if low is not None:
            core_low = max(ta, -low[0])
            if ta < -low[0]:
                total += _tail_integral(np.full_like(total, ta), np.minimum(t, -low[0]), low,
                                        -log_peak)
        if high is not None:
            core_high = min(tb, high[0])
            if tb > high[0]:
                # The mirror image of the low tail: from s = max(ta, β) to t,
                # ∫_s^t f = ∫_{−t}^{−s} f_low.
                start = max(ta, high[0])
                total += _tail_integral(-np.maximum(t, start), np.full_like(total, -start),
                                        high, -log_peak)
        if core_low < core_high:
            c0 = nearest_to_zero(core_low, core_high)
            scale = math.exp(-log_peak - 0.5 * c0 * c0)
            upper = np.clip(t, core_low, core_high)
            total += SQRT_2PI * scale * normal_mass(core_low, upper, c0)
        return total

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        mu, sigma = self._shape(p)[:2]
        return sigma * self._pieces((np.asarray(x, dtype=np.float64) - mu) / sigma, p)

    def _mass(self, p: tuple[float, ...]) -> float:
        mu, sigma = self._shape(p)[:2]
        return float(sigma * self._pieces(np.array((self.window[1] - mu) / sigma), p))

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        """Inverse CDF piece by piece: the tails in closed form, the core as a
        truncated normal."""
        mu, sigma, low, high, log_peak = self._layout(p)
        ta = (self.window[0] - mu) / sigma
        tb = (self.window[1] - mu) / sigma
        edges = [ta, tb]
        if low is not None and ta < -low[0]:
            edges.insert(1, min(-low[0], tb))
        if high is not None and tb > high[0]:
            edges.insert(len(edges) - 1, max(high[0], edges[-2]))
        cumulative = self._pieces(np.array(edges), p)
        v = rng.random(n) * cumulative[-1]
        piece = np.clip(np.searchsorted(cumulative, v, side="right") - 1, 0, len(edges) - 2)
        t = np.empty(n)
        for k in range(len(edges) - 1):
            index = np.flatnonzero(piece == k)
            if index.size == 0:
                continue
            a, b = edges[k], edges[k + 1]
            w = v[index] - cumulative[k]
            if low is not None and b <= -low[0]:
                t[index] = np.clip(_tail_quantile(a, w, low, log_peak), a, b)
            elif high is not None and a >= high[0]:
                # Mirrored: the high tail from t to b is the low tail from −b to −t.
                rest = cumulative[k + 1] - cumulative[k] - w
                t[index] = np.clip(-_tail_quantile(-b, rest, high, log_peak), a, b)
            else:
                u = w / (cumulative[k + 1] - cumulative[k])
                t[index] = normal_quantile(np.clip(u, 0.0, 1.0), a, b)
        t *= sigma
        t += mu
        return np.clip(t, *self.window, out=t)


def _tail_quantile(a: float, w: FloatArray, tail: tuple[float, float],
                   log_peak: float) -> FloatArray:
    """The s ≥ a (below −β) whose scaled low-tail integral from a is w.

    With r_a = r(a) and Λ = log(r_a/r_s), that integral is
    e^{−log f(t₀) − β²/2} (m/β) r_a^(1−m) expm1((m − 1)Λ)/(m − 1), solved for
    Λ with log1p, and s = a − (m/β) r_a expm1(−Λ): local to a, so a window
    deep in the tail keeps its precision.
    """
    beta, m = tail
    r_a = 1.0 + (-beta - a) * beta / m
    # g = w (β/m) r_a^(m−1) e^{log f(t₀) + β²/2}, in logarithms: the factor
    # alone can overflow where w is tiny (a tail far below the core's peak).
    log_factor = math.log(beta / m) + (m - 1.0) * math.log(r_a) + log_peak + 0.5 * beta * beta
    with np.errstate(divide="ignore"):
        g = np.exp(np.log(np.maximum(w, 0.0)) + log_factor)
    d = m - 1.0
    log_ratio = np.log1p(d * g) / d if d != 0.0 else g
    return np.asarray(a - (m / beta) * r_a * np.expm1(-log_ratio), dtype=np.float64)


class CrystalBall(_CrystalBallShape):
    r"""A Gaussian core with one power-law tail, normalised over the window.

    With t = (x − μ)/σ and the tail on the low side,

    .. math:: f(x) \propto \begin{cases} e^{-t^2/2} & t > -\alpha \\
              e^{-\alpha^2/2}\,\bigl(1 - \tfrac{\alpha}{n}(t + \alpha)\bigr)^{-n}
              & t \le -\alpha \end{cases}

    the shape of ``scipy.stats.crystalball(beta=alpha, m=n, loc=mu,
    scale=sigma)``; ``side="high"`` is its mirror image (the tail above
    μ + ασ). The density and its derivative are continuous at the junction.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high) the density is normalised over.
    mu, sigma, alpha, n : str or float
        The core's mean and width, the junction in units of σ and the tail's
        power: each a name (free) or a number (fixed).
    side : {"low", "high"}
        The side of the tail.

    Raises
    ------
    ValueError
        For a side other than "low" or "high"; at a call, for sigma ≤ 0,
        alpha ≤ 0, n ≤ 1 or a parameter that is not finite.
    """

    _keywords = ("mu", "sigma", "alpha", "n")
    _native_shape = "crystal_ball"

    def __init__(self, column: int, window: Sequence[float], *, mu: Parameter,
                 sigma: Parameter, alpha: Parameter, n: Parameter, side: str = "low") -> None:
        if side not in ("low", "high"):
            raise ValueError(f"side must be 'low' or 'high', got {side!r}")
        super().__init__(column, window, mu=mu, sigma=sigma, alpha=alpha, n=n)
        self.side = side

    def _shape(self, p: tuple[float, ...]) -> tuple[float, float, Tail, Tail]:
        mu, sigma, alpha, n = p
        return (mu, sigma, (alpha, n), None) if self.side == "low" else \
            (mu, sigma, None, (alpha, n))

    def _native(self) -> tuple[Any, ...] | None:  # type: ignore[override]
        """The description names the side in the shape: crystal_ball_low or
        crystal_ball_high."""
        own = super()._native()
        return None if own is None else (f"crystal_ball_{self.side}", *own[1:])

    def __repr__(self) -> str:
        return f"{super().__repr__()[:-1]}, side={self.side!r})"


class DoubleCrystalBall(_CrystalBallShape):
    r"""A Gaussian core with a power-law tail on each side, normalised over
    the window.

    With t = (x − μ)/σ,

    .. math:: f(x) \propto \begin{cases}
              e^{-\alpha_l^2/2}\,\bigl(1 - \tfrac{\alpha_l}{n_l}(t + \alpha_l)\bigr)^{-n_l}
              & t < -\alpha_l \\ e^{-t^2/2} & -\alpha_l \le t \le \alpha_h \\
              e^{-\alpha_h^2/2}\,\bigl(1 + \tfrac{\alpha_h}{n_h}(t - \alpha_h)\bigr)^{-n_h}
              & t > \alpha_h \end{cases}

    continuous with its derivative at both junctions.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high) the density is normalised over.
    mu, sigma, alpha_low, n_low, alpha_high, n_high : str or float
        The core's mean and width, and each tail's junction (in units of σ)
        and power: each a name (free) or a number (fixed).

    Raises
    ------
    ValueError
        At a call, for sigma ≤ 0, an alpha ≤ 0, an n ≤ 1 or a parameter that
        is not finite.
    """

    _keywords = ("mu", "sigma", "alpha_low", "n_low", "alpha_high", "n_high")
    _native_shape = "double_crystal_ball"

    def __init__(self, column: int, window: Sequence[float], *, mu: Parameter,
                 sigma: Parameter, alpha_low: Parameter, n_low: Parameter,
                 alpha_high: Parameter, n_high: Parameter) -> None:
        super().__init__(column, window, mu=mu, sigma=sigma, alpha_low=alpha_low,
                         n_low=n_low, alpha_high=alpha_high, n_high=n_high)

    def _shape(self, p: tuple[float, ...]) -> tuple[float, float, Tail, Tail]:
        mu, sigma, alpha_low, n_low, alpha_high, n_high = p
        return mu, sigma, (alpha_low, n_low), (alpha_high, n_high)
