"""The library models of the native-evaluation tests, built the same way
in each of their files."""

from __future__ import annotations

import numpy as np

from tarnwick import models

WINDOW = (5.0, 5.6)
# The densities of the native evaluation and NumPy's differ only in their
# exp, erf and erfc, each within an ulp or two of the truth.
MAX_ULP = 4.0


def gaussian(window=WINDOW):
    return models.Gaussian(column=0, window=window, mu="mu", sigma="sigma")


def exponential(window=WINDOW):
    return models.Exponential(column=0, window=window, slope="slope")


def sum_of(*components, fractions):
    return models.Sum(list(components), fractions)


def chebyshev(*coefficients, window=WINDOW):
    return models.Chebyshev(column=0, window=window, coefficients=list(coefficients))


def bernstein(*coefficients):
    return models.Bernstein(column=0, window=WINDOW, coefficients=list(coefficients))


def template(interpolation="constant", equal=True, window=None, column=0):
    """A histogram of 24 bins with an empty one, equal or not."""
    rng = np.random.default_rng(7)
    edges = np.linspace(*WINDOW, 25) if equal else \
        np.sort(np.concatenate([WINDOW, rng.uniform(*WINDOW, 23)]))
    counts = rng.integers(0, 40, 24).astype(float)
    counts[5] = 0.0
    return models.Template(column, edges, counts, interpolation, window)


def product(*factors):
    return models.Product(list(factors))


def crystal_ball(side="low", window=WINDOW):
    return models.CrystalBall(column=0, window=window, mu="mu", sigma="sigma", alpha="alpha",
                              n="n", side=side)


def double_crystal_ball(window=WINDOW):
    return models.DoubleCrystalBall(column=0, window=window, mu="mu", sigma="sigma",
                                    alpha_low="al", n_low="nl", alpha_high="ah", n_high="nh")


CB = {"mu": 5.28, "sigma": 0.02, "alpha": 1.5, "n": 3.0}
DCB = {"mu": 5.28, "sigma": 0.02, "al": 1.5, "nl": 3.0, "ah": 2.0, "nh": 10.0}


PEAK = {"mu": 5.28, "sigma": 0.02}
