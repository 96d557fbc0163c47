"""The cost of evaluating tarnwick.models at 10⁶ events, against the fastest
straightforward NumPy expression of the same normalised density and, where
numba-stats has the same shape, against numba-stats.

    python benchmarks/models.py [--events N] [--repeats R]

Each case is (name, model, values, numpy_expression, numba_stats_expression
or None); the expressions take the column x and return the same densities.
"""

from __future__ import annotations

import argparse
import math
import time
from collections.abc import Callable
from typing import Any

import numpy as np
from scipy import integrate, special, stats

from tarnwick import models

try:
    import numba_stats
    from numba_stats import (bernstein, crystalball, crystalball_ex, truncexpon,  # noqa: F401
                             truncnorm, uniform, voigt)
except ImportError:  # numba-stats is optional: its column stays empty
    numba_stats = None

Case = tuple[str, Any, dict[str, float], Callable[[np.ndarray], np.ndarray],
             Callable[[np.ndarray], np.ndarray] | None]


def cases(x: np.ndarray) -> list[Case]:
    """Every shape's case; the window is [x.min(), x.max()] rounded out."""
    table: list[Case] = []
    # -- peaks --
    table += peak_cases(x)
    # -- backgrounds, polynomials, templates and combinators --
    table += background_cases(x)
    return table


def peak_cases(x: np.ndarray) -> list[Case]:
    """The peaks, each beside its density written directly in NumPy with the
    normalisation as a precomputed constant; the Crystal Ball tails are
    filled in through masks, as one would by hand (np.where would take the
    power of every event)."""
    low, high = np.floor(10 * x.min()) / 10, np.ceil(10 * x.max()) / 10
    window = (low, high)
    table: list[Case] = []

    mu, sigma = 5.28, 0.02
    norm = 1 / (sigma * np.sqrt(2 * np.pi) * (special.ndtr((high - mu) / sigma)
                                              - special.ndtr((low - mu) / sigma)))
    k = -0.5 / sigma**2
    table.append(("Gaussian", models.Gaussian(0, window, mu="mu", sigma="sigma"),
                  {"mu": mu, "sigma": sigma}, lambda x: norm * np.exp(k * (x - mu) ** 2),
                  (lambda x: truncnorm.pdf(x, low, high, mu, sigma)) if numba_stats else None))

    beta, m = 1.5, 3.0
    ref = stats.crystalball(beta=beta, m=m, loc=mu, scale=sigma)
    cb_norm = ref.pdf(mu) / (ref.cdf(high) - ref.cdf(low))  # scipy's constant at t = 0

    def crystal_ball_numpy(x: np.ndarray) -> np.ndarray:
        t = (x - mu) / sigma
        out = np.exp(-0.5 * t * t)
        tail = t < -beta
        out[tail] = np.exp(-0.5 * beta**2) * (1 - beta / m * (t[tail] + beta)) ** -m
        return cb_norm * out

    table.append(("CrystalBall", models.CrystalBall(0, window, mu="mu", sigma="sigma",
                                                    alpha="alpha", n="n"),
                  {"mu": mu, "sigma": sigma, "alpha": beta, "n": m}, crystal_ball_numpy,
                  (lambda x: crystalball.pdf(x, beta, m, mu, sigma)) if numba_stats else None))

    beta_h, m_h = 2.0, 5.0
    dcb = models.DoubleCrystalBall(0, window, mu="mu", sigma="sigma", alpha_low="al",
                                   n_low="nl", alpha_high="ah", n_high="nh")
    dcb_values = {"mu": mu, "sigma": sigma, "al": beta, "nl": m, "ah": beta_h, "nh": m_h}
    dcb_norm = 1 / dcb._mass(dcb.resolve(dcb_values))

    def double_crystal_ball_numpy(x: np.ndarray) -> np.ndarray:
        t = (x - mu) / sigma
        out = np.exp(-0.5 * t * t)
        tail = t < -beta
        out[tail] = np.exp(-0.5 * beta**2) * (1 - beta / m * (t[tail] + beta)) ** -m
        tail = t > beta_h
        out[tail] = np.exp(-0.5 * beta_h**2) * (1 + beta_h / m_h * (t[tail] - beta_h)) ** -m_h
        return dcb_norm * out

    table.append(("DoubleCrystalBall", dcb, dcb_values, double_crystal_ball_numpy,
                  (lambda x: crystalball_ex.pdf(x, beta, m, sigma, beta_h, m_h, sigma, mu))
                  if numba_stats else None))

    gamma, delta = 0.4, 1.3
    ref = stats.johnsonsu(a=gamma, b=delta, loc=mu, scale=sigma)
    jsu_norm = delta / (sigma * np.sqrt(2 * np.pi) * (ref.cdf(high) - ref.cdf(low)))

    def johnson_su_numpy(x: np.ndarray) -> np.ndarray:
        t = (x - mu) / sigma
        return jsu_norm / np.sqrt(1 + t * t) * np.exp(-0.5 * (gamma + delta * np.arcsinh(t)) ** 2)

    table.append(("JohnsonSU", models.JohnsonSU(0, window, mu="mu", sigma="sigma",
                                                gamma="gamma", delta="delta"),
                  {"mu": mu, "sigma": sigma, "gamma": gamma, "delta": delta}, johnson_su_numpy,
                  None))

    width = 0.01
    voigt_mass = integrate.quad(lambda v: special.voigt_profile(v - mu, sigma, width), low, high,
                                points=[mu], epsabs=1e-15, epsrel=1e-13, limit=200)[0]
    table.append(("Voigtian", models.Voigtian(0, window, mu="mu", sigma="sigma", gamma="gamma"),
                  {"mu": mu, "sigma": sigma, "gamma": width},
                  lambda x: special.voigt_profile(x - mu, sigma, width) / voigt_mass,
                  (lambda x: voigt.pdf(x, width, mu, sigma)) if numba_stats else None))
    return table


def background_cases(x: np.ndarray) -> list[Case]:
    """The backgrounds, polynomials, templates and a Sum, on [5.0, 5.6]."""
    from tarnwick.models import (Argus, Bernstein, Chebyshev, Exponential, Sum, Template,
                                 Uniform)
    low, high = 5.0, 5.6
    width = high - low
    slope = -2.5
    exponential_norm = slope / math.expm1(slope * width)
    slope2 = -8.0
    exponential_norm2 = slope2 / math.expm1(slope2 * width)
    m0, c = 5.7, -4.0
    u_high, u_low = 1.0 - (high / m0) ** 2, 1.0 - (low / m0) ** 2
    argus_norm = 1.0 / (0.5 * m0 * m0 * math.gamma(1.5) / (-c) ** 1.5
                        * (special.gammainc(1.5, -c * u_low) - special.gammainc(1.5, -c * u_high)))
    chebyshev = [1.0, -0.3, 0.2, 0.1]
    chebyshev_norm = 1.0 / (0.5 * width * (2.0 + 2.0 * chebyshev[2] / (1.0 - 4.0)))
    beta = np.array([1.0, 0.3, 2.5, 0.7])
    bernstein_norm = len(beta) / (width * beta.sum())
    edges = np.linspace(low, high, 21)
    counts = np.arange(1.0, 21.0)
    density = counts / np.diff(edges) / counts.sum()
    nodes = np.concatenate([[low], 0.5 * (edges[1:] + edges[:-1]), [high]])
    node_values = np.concatenate([[density[0]], density, [density[-1]]])
    linear_norm = 1.0 / np.trapezoid(node_values, nodes)

    def argus(v: np.ndarray) -> np.ndarray:
        u = 1.0 - (v / m0) ** 2
        return v * np.sqrt(u) * np.exp(c * u) * argus_norm

    def bernstein(v: np.ndarray) -> np.ndarray:
        t = (v - low) / width
        s = 1.0 - t
        return (beta[0] * s**3 + 3.0 * beta[1] * s * s * t + 3.0 * beta[2] * s * t * t
                + beta[3] * t**3) * bernstein_norm

    numba = numba_stats
    window = (low, high)
    return [
        ("Uniform", Uniform(0, window), {}, lambda v: np.full(len(v), 1.0 / width),
         numba and (lambda v: numba.uniform.pdf(v, low, width))),
        ("Exponential", Exponential(0, window, slope="slope"), {"slope": slope},
         lambda v: np.exp(slope * (v - low)) * exponential_norm,
         numba and (lambda v: numba.truncexpon.pdf(v, low, high, low, -1.0 / slope))),
        ("Argus", Argus(0, window, m0="m0", c="c"), {"m0": m0, "c": c}, argus, None),
        ("Chebyshev (3)", Chebyshev(0, window, ["c1", "c2", "c3"]),
         dict(zip(["c1", "c2", "c3"], chebyshev[1:])),
         lambda v: np.polynomial.chebyshev.chebval((2.0 * v - low - high) / width, chebyshev)
         * chebyshev_norm, None),
        ("Bernstein (3)", Bernstein(0, window, ["b0", "b1", "b2", "b3"]),
         dict(zip(["b0", "b1", "b2", "b3"], beta)), bernstein,
         numba and (lambda v: numba.bernstein.density(v, beta, low, high) * bernstein_norm)),
        ("Template constant", Template(0, edges, counts), {},
         lambda v: density[np.clip(((v - low) * (20 / width)).astype(np.intp), 0, 19)], None),
        ("Template linear", Template(0, edges, counts, "linear"), {},
         lambda v: np.interp(v, nodes, node_values) * linear_norm, None),
        ("Sum (Exp + Exp)", Sum([Exponential(0, window, slope="slope"),
                                 Exponential(0, window, slope="slope2")], ["f"]),
         {"slope": slope, "slope2": slope2, "f": 0.3},
         lambda v: (0.3 * exponential_norm) * np.exp(slope * (v - low))
         + (0.7 * exponential_norm2) * np.exp(slope2 * (v - low)), None),
        ("Sum (Exp + Uniform)", Sum([Exponential(0, window, slope="slope"), Uniform(0, window)],
                                    ["f"]), {"slope": slope, "f": 0.3},
         lambda v: (0.3 * exponential_norm) * np.exp(slope * (v - low)) + 0.7 / width, None),
    ]


def best_times(functions: list[Callable[[], object]], repeats: int) -> list[float]:
    """The shortest time of each function over `repeats` rounds, the
    functions taking turns within each round, so that all of them meet the
    same load of a shared machine and the same state of the allocator."""
    for function in functions:
        function()
    times: list[list[float]] = [[] for _ in functions]
    for _ in range(repeats):
        for function, measured in zip(functions, times):
            start = time.perf_counter()
            function()
            measured.append(time.perf_counter() - start)
    return [min(measured) for measured in times]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=15)
    arguments = parser.parse_args()
    rng = np.random.default_rng(1)
    x = rng.uniform(5.0, 5.6, arguments.events)
    data = x[:, None].copy()
    print(f"{'shape':<22} {'model ms':>9} {'numpy ms':>9} {'ratio':>6} {'numba-stats ms':>15}")
    for name, model, values, expression, numba in cases(x):
        reference = expression(x)
        got = model(data, values)
        difference = float(np.max(np.abs(got - reference) / np.maximum(np.abs(reference), 1e-300)))
        functions: list[Callable[[], object]] = [lambda: model(data, values),
                                                 lambda: expression(x)]
        if numba:
            functions.append(lambda: numba(x))
        t_model, t_numpy, *rest = best_times(functions, arguments.repeats)
        t_numba = rest[0] if rest else float("nan")
        print(f"{name:<22} {1e3 * t_model:>9.2f} {1e3 * t_numpy:>9.2f} "
              f"{t_model / t_numpy:>6.2f} {1e3 * t_numba:>15.2f}   (max rel. diff {difference:.1e})")


if __name__ == "__main__":
    main()
