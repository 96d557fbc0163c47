"""The cost of evaluating tarnwick.models at 10⁶ events, against the fastest
straightforward NumPy expression of the same normalised density and, where
numba-stats has the same shape, against numba-stats.

    python benchmarks/models.py [--events N] [--repeats R]

Each case is (name, model, values, numpy_expression, numba_stats_expression
or None); the expressions take the column x and return the same densities.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from typing import Any

import numpy as np
from scipy import integrate, special, stats

from tarnwick import models

try:
    import numba_stats
    from numba_stats import crystalball, crystalball_ex, truncnorm, voigt
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


def best_time(function: Callable[[], object], repeats: int) -> float:
    function()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


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
        t_model = best_time(lambda: model(data, values), arguments.repeats)
        t_numpy = best_time(lambda: expression(x), arguments.repeats)
        t_numba = best_time(lambda: numba(x), arguments.repeats) if numba else float("nan")
        print(f"{name:<22} {1e3 * t_model:>9.2f} {1e3 * t_numpy:>9.2f} "
              f"{t_model / t_numpy:>6.2f} {1e3 * t_numba:>15.2f}   (max rel. diff {difference:.1e})")


if __name__ == "__main__":
    main()
