"""The standard problem of the benchmarks: a mass peak over a falling
background, with a control variable that the sWeights unfold.

Two columns: the mass m on [5.0, 5.6] and a control variable t on [0, 10].
Signal: m Gaussian (μ 5.28, σ 0.02), t exponential with lifetime 1.5.
Background: m ∝ exp(λ m) with λ = −2, t exponential with lifetime 0.5.
Every density is truncated to its range and normalised there. 30 % of the
events are signal (the first rows). Events are drawn by inverse CDF from
numpy.random.default_rng(seed).

The fit floats the two yields and μ ∈ [5.2, 5.36] from 5.25,
σ ∈ [0.005, 0.06] from 0.03, λ ∈ [−5, −0.1] from −1; its PDFs see the mass
column only.
"""

from __future__ import annotations

import math
from statistics import NormalDist

import numpy as np

M_LOW, M_HIGH = 5.0, 5.6
T_LOW, T_HIGH = 0.0, 10.0
TRUE = {"mu": 5.28, "sigma": 0.02, "slope": -2.0}
SIGNAL_FRACTION = 0.3
LIFETIMES = (1.5, 0.5)
# name: (initial, lower, upper)
PARAMETERS = {
    "mu": (5.25, 5.2, 5.36),
    "sigma": (0.03, 0.005, 0.06),
    "slope": (-1.0, -5.0, -0.1),
}
SQRT2 = math.sqrt(2.0)
SQRT_2PI = math.sqrt(2.0 * math.pi)


def _normal_cdf(z: float) -> float:
    return 0.5 * (1.0 + math.erf(z / SQRT2))


def _normal_quantile(p: np.ndarray) -> np.ndarray:
    try:
        from scipy.special import ndtri
    except ImportError:
        quantile = NormalDist().inv_cdf
        return np.array([quantile(v) for v in p])
    return ndtri(p)


def _truncated_exponential_t(u: np.ndarray, lifetime: float) -> np.ndarray:
    return -lifetime * np.log1p(-u * (1.0 - math.exp(-(T_HIGH - T_LOW) / lifetime))) + T_LOW


def generate(n_events: int, seed: int = 1) -> np.ndarray:
    """The (n_events, 2) data array [m, t]; signal rows first."""
    rng = np.random.default_rng(seed)
    u = rng.uniform(size=(n_events, 2))
    n_signal = round(SIGNAL_FRACTION * n_events)
    mu, sigma, slope = TRUE["mu"], TRUE["sigma"], TRUE["slope"]
    lo, hi = _normal_cdf((M_LOW - mu) / sigma), _normal_cdf((M_HIGH - mu) / sigma)
    m_signal = mu + sigma * _normal_quantile(lo + u[:n_signal, 0] * (hi - lo))
    e_lo, e_hi = math.exp(slope * M_LOW), math.exp(slope * M_HIGH)
    m_background = np.log(e_lo + u[n_signal:, 0] * (e_hi - e_lo)) / slope
    t_signal = _truncated_exponential_t(u[:n_signal, 1], LIFETIMES[0])
    t_background = _truncated_exponential_t(u[n_signal:, 1], LIFETIMES[1])
    data = np.empty((n_events, 2))
    data[:n_signal, 0] = m_signal
    data[n_signal:, 0] = m_background
    data[:n_signal, 1] = t_signal
    data[n_signal:, 1] = t_background
    return np.clip(data, [M_LOW, T_LOW], [M_HIGH, T_HIGH], out=data)


def signal_density(m: np.ndarray, mu: float, sigma: float) -> np.ndarray:
    """The truncated Gaussian; one temporary, filled in place."""
    norm = _normal_cdf((M_HIGH - mu) / sigma) - _normal_cdf((M_LOW - mu) / sigma)
    z = m - mu
    z *= 1.0 / sigma
    z *= z
    z *= -0.5
    np.exp(z, out=z)
    z *= 1.0 / (sigma * SQRT_2PI * norm)
    return z


def background_density(m: np.ndarray, slope: float) -> np.ndarray:
    """exp(λ m) normalised on the mass range, exponent shifted to M_LOW."""
    norm = math.expm1(slope * (M_HIGH - M_LOW)) / slope
    out = m - M_LOW
    out *= slope
    np.exp(out, out=out)
    out *= 1.0 / norm
    return out


def shape_parameters(tarnwick):
    return [tarnwick.ShapeParameter(name, *spec) for name, spec in PARAMETERS.items()]
