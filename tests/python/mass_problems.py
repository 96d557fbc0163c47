"""Mass-fit problems shared by the fit-quality benchmark and its test.

Every problem is a mass fit in the window [LO, HI] = [5.0, 5.6]: a peak
(Gaussian, or two Gaussians of one mean) over an exponential background,
each density truncated to the window and normalised there. The samplers
draw from the same truncated densities by inverting their distribution
functions, so a seed fixes a sample exactly.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Callable, Optional

import numpy as np
from scipy.special import ndtr, ndtri

LO, HI = 5.0, 5.6
WIDTH = HI - LO
INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


# ---------------------------------------------------------------- densities
#
# All densities work on a contiguous mass column and use only vectorised
# numpy; the window constants are computed once at import.


def gauss_norm(mu: float, sigma: float) -> float:
    """Probability of N(mu, sigma) inside the window."""
    return float(ndtr((HI - mu) / sigma) - ndtr((LO - mu) / sigma))


def gauss_density(m: np.ndarray, mu: float, sigma: float) -> np.ndarray:
    """N(mu, sigma) truncated to the window and normalised."""
    z = (m - mu) * (1.0 / sigma)
    out = np.square(z, out=z)
    out *= -0.5
    np.exp(out, out=out)
    out *= INV_SQRT_2PI / (sigma * gauss_norm(mu, sigma))
    return out


def double_gauss_density(m: np.ndarray, mu: float, sigma: float) -> np.ndarray:
    """0.6 N(mu, sigma) + 0.4 N(mu, 2.5 sigma), truncated and normalised."""
    wide = 2.5 * sigma
    a = 0.6 * gauss_norm(mu, sigma)
    b = 0.4 * gauss_norm(mu, wide)
    total = a + b
    # gauss_density normalises each peak on its own; reweight so that the
    # pair integrates to one over the window.
    out = gauss_density(m, mu, sigma)
    out *= a / total
    out += (b / total) * gauss_density(m, mu, wide)
    return out


def exp_density(m: np.ndarray, lam: float) -> np.ndarray:
    """exp(lam m) truncated to the window and normalised."""
    # lam exp(lam (m - LO)) / (exp(lam W) - 1): stable for any sign of lam.
    out = m - LO
    out *= lam
    np.exp(out, out=out)
    out *= lam / math.expm1(lam * WIDTH)
    return out


# ---------------------------------------------------------------- sampling


def sample_gauss(rng, n: int, mu: float, sigma: float) -> np.ndarray:
    lo, hi = ndtr((LO - mu) / sigma), ndtr((HI - mu) / sigma)
    u = rng.random(n)
    return mu + sigma * ndtri(lo + u * (hi - lo))


def sample_double_gauss(rng, n: int, mu: float, sigma: float) -> np.ndarray:
    wide = 2.5 * sigma
    a = 0.6 * gauss_norm(mu, sigma)
    b = 0.4 * gauss_norm(mu, wide)
    n_core = int(rng.binomial(n, a / (a + b)))
    out = np.concatenate([sample_gauss(rng, n_core, mu, sigma),
                          sample_gauss(rng, n - n_core, mu, wide)])
    rng.shuffle(out)
    return out


def sample_exp(rng, n: int, lam: float) -> np.ndarray:
    u = rng.random(n)
    return LO + np.log1p(u * math.expm1(lam * WIDTH)) / lam


# ---------------------------------------------------------------- problems
#
# A problem is: a generator of the mass column, the component PDFs as
# functions of (mass, shape dict), the shape parameters as
# (name, initial, lower, upper), and optionally the event weights and the
# start yields as functions of the event count, and sizes the problem always
# runs at besides those asked for.


@dataclass
class Problem:
    generate: Callable
    pdfs: list
    shapes: list
    weights: Optional[Callable] = None
    initial_yields: Optional[Callable] = None
    extra_sizes: tuple = ()


STANDARD_SHAPES = [("mu", 5.25, 5.2, 5.36), ("sigma", 0.03, 0.005, 0.06),
                   ("lam", -1.0, -5.0, -0.1)]


def make_peak_generator(signal_count, double=False):
    """Masses of signal_count(n) peak events over an exp(-2 m) background."""
    sampler = sample_double_gauss if double else sample_gauss

    def generate(rng, n):
        n_sig = signal_count(n)
        m = np.concatenate([sampler(rng, n_sig, 5.28, 0.02),
                            sample_exp(rng, n - n_sig, -2.0)])
        rng.shuffle(m)
        return m

    return generate


def make_peak_problem(signal_fraction, shapes=STANDARD_SHAPES, double=False,
                      signal_count=None, weights=None):
    if signal_count is None:
        signal_count = lambda n: int(round(signal_fraction * n))
    signal = double_gauss_density if double else gauss_density
    pdfs = [lambda m, s: signal(m, s["mu"], s["sigma"]),
            lambda m, s: exp_density(m, s["lam"])]
    return Problem(make_peak_generator(signal_count, double), pdfs, shapes,
                   weights=weights)


def cyclic_weights(n):
    """w_i = 0.5, 0.75, 1.0, 0.5, ... in event order."""
    return 0.5 + 0.25 * (np.arange(n) % 3)


def make_fixed_shapes_problem():
    """600 signal events, shapes fixed at the truth, started from (0, n)."""
    pdfs = [lambda m, s: gauss_density(m, 5.28, 0.02),
            lambda m, s: exp_density(m, -2.0)]
    return Problem(make_peak_generator(lambda n: 600), pdfs, [],
                   initial_yields=lambda n: [0.0, float(n)],
                   extra_sizes=(400_000,))


def make_three_component_problem():
    def generate(rng, n):
        n1, n2 = int(round(0.20 * n)), int(round(0.15 * n))
        m = np.concatenate([sample_gauss(rng, n1, 5.27, 0.015),
                            sample_gauss(rng, n2, 5.30, 0.015),
                            sample_exp(rng, n - n1 - n2, -2.0)])
        rng.shuffle(m)
        return m

    pdfs = [lambda m, s: gauss_density(m, s["mu1"], s["sigma"]),
            lambda m, s: gauss_density(m, s["mu2"], s["sigma"]),
            lambda m, s: exp_density(m, s["lam"])]
    shapes = [("mu1", 5.26, 5.2, 5.29), ("mu2", 5.31, 5.29, 5.36),
              ("sigma", 0.02, 0.005, 0.06), ("lam", -1.0, -5.0, -0.1)]
    return Problem(generate, pdfs, shapes)


# New cases go at the end: a case's seed follows from its position.
CASES = {
    "standard": lambda: make_peak_problem(0.30),
    "no_signal": lambda: make_peak_problem(0.0),
    "small_signal": lambda: make_peak_problem(0.003),
    "on_bounds": lambda: make_peak_problem(
        0.30, [("mu", 5.25, 5.2, 5.36), ("sigma", 0.03, 0.025, 0.06),
               ("lam", -1.0, -5.0, -0.1)]),
    "double_gauss": lambda: make_peak_problem(0.30, double=True),
    "three_comp": make_three_component_problem,
    "rare_signal": lambda: make_peak_problem(None, signal_count=lambda n: 1000),
    "signal_3pct": lambda: make_peak_problem(0.03),
    "weighted": lambda: make_peak_problem(0.30, weights=cyclic_weights),
    "fixed_shapes_far_start": make_fixed_shapes_problem,
}
CASE_TITLES = {
    "standard": "standard",
    "no_signal": "no signal",
    "small_signal": "small signal (0.3 %)",
    "on_bounds": "on bounds (σ ≥ 0.025)",
    "double_gauss": "double Gaussian peak",
    "three_comp": "three components",
    "rare_signal": "rare signal (1000 events)",
    "signal_3pct": "3 % signal",
    "weighted": "weighted (w = 0.5, 0.75, 1)",
    "fixed_shapes_far_start": "fixed shapes, 600 signal, start (0, n)",
}


def seed_for(case_index: int, n: int):
    e = round(math.log10(n))
    if 10 ** e == n:
        return 7919 * (case_index + 1) + e
    # Other sizes would share the seed of the nearest power of ten.
    return [7919 * (case_index + 1), n]
