"""Shapes normalised over the fit window, ready to hand to tarnwick.splot.

Each model is declared on one column of the data and a window; each of its
parameters is a name (free: read from the dict of shape-parameter values)
or a number (fixed)::

    signal = Gaussian(column=0, window=(5.0, 5.6), mu="mu", sigma=0.02)
    background = Exponential(column=0, window=(5.0, 5.6), slope="slope")
    tarnwick.splot(data, [signal, background], shape_parameters=[...])

A model is called as ``model(data, values)`` like any PDF of the fit, so
models and hand-written PDFs mix freely. Every model also offers ``pdf``,
``cdf``, ``integral(low, high, values)`` and ``sample(n, values, rng)``.
"""

from ._backgrounds import Argus, Exponential, Uniform
from ._base import Model
from ._combinators import Product, Sum
from ._crystal_ball import CrystalBall, DoubleCrystalBall
from ._gaussian import Gaussian
from ._johnson_voigt import JohnsonSU, Voigtian
from ._polynomials import Bernstein, Chebyshev
from ._template import Template

__all__ = [
    "Model",
    "Uniform",
    "Gaussian",
    "Exponential",
    "CrystalBall",
    "DoubleCrystalBall",
    "Chebyshev",
    "Bernstein",
    "Argus",
    "JohnsonSU",
    "Voigtian",
    "Template",
    "Sum",
    "Product",
]
