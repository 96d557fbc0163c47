"""Library models evaluated natively by splot: their densities against the
models' NumPy evaluation (and the exact values where NumPy's own rounding is
magnified), their checks and messages, and which models are native."""

from __future__ import annotations

import numpy as np
import pytest

import tarnwick
from crystal_ball_reference import exact_crystal_ball, junction_points, ulps_from_exact
from native_model_builders import (CB, DCB, MAX_ULP, PEAK, WINDOW, bernstein, chebyshev,
                                   crystal_ball, double_crystal_ball, exponential, gaussian,
                                   product, sum_of, template)
from tarnwick import models


# (model, parameter point, evaluated natively): the standard peak, a peak
# 1σ inside an edge and a fixed mean; windows 1σ to 70σ into either tail,
# windows 0.05σ and 0.02σ wide and one just beside the mean (cancelling erf
# terms), which are evaluated through Python; slopes from ±1e-9 to ±1e3 per
# unit.
HARD_CASES = [
    (gaussian(), {"mu": 5.28, "sigma": 0.02}, True),
    (gaussian(), {"mu": 5.02, "sigma": 0.02}, True),
    (gaussian(), {"mu": 4.98, "sigma": 0.02}, False),
    (gaussian(), {"mu": 5.3, "sigma": 30.0}, False),
    (models.Gaussian(column=0, window=WINDOW, mu=5.3, sigma="sigma"), {"sigma": 0.05}, True),
    (gaussian(), {"mu": 4.4, "sigma": 0.02}, False),
    (gaussian(), {"mu": 6.4, "sigma": 0.02}, False),
    (gaussian(), {"mu": 5.62, "sigma": 0.02}, False),
    (gaussian(), {"mu": 5.6199, "sigma": 0.02}, False),
    (gaussian((5.0, 5.001)), {"mu": 5.28, "sigma": 0.02}, False),
    *[(exponential(), {"slope": s}, True) for s in (-1e3, -2.5, -1e-9, 0.0, 1e-9, 2.5, 1e3)],
    (models.Uniform(column=0, window=WINDOW), {}, True),
    # Sums with free and fixed fractions, nested, with a component at a
    # point of its own Python path (a peak far beside the window) or one
    # never native (a Voigtian): the Sum's native arithmetic is its
    # components', weighted in the models' order.
    (sum_of(gaussian(), exponential(), fractions=["f"]), {**PEAK, "slope": -2.0, "f": 0.3}, True),
    (sum_of(gaussian(), exponential(), fractions=[1.0]), {**PEAK, "slope": 1e3}, True),
    (sum_of(sum_of(gaussian(), models.Gaussian(0, WINDOW, mu="mu", sigma="wide"),
                   fractions=["core"]), exponential(), fractions=["f"]),
     {**PEAK, "wide": 0.06, "core": 0.7, "slope": -2.5, "f": 0.4}, True),
    (sum_of(gaussian(), models.Uniform(0, WINDOW), chebyshev("c1"), fractions=["f", 0.25]),
     {**PEAK, "c1": -0.4, "f": 0.75}, True),
    (sum_of(chebyshev("c1", "c2"), sum_of(bernstein("b0", 0.5), models.Uniform(0, WINDOW),
                                          fractions=[0.0]), fractions=["f"]),
     {"c1": 0.3, "c2": -0.2, "b0": 3.0, "f": 1e-300}, True),
    (sum_of(chebyshev("c1"), bernstein("b0", "b1"), models.Uniform(0, WINDOW),
            fractions=["f", "f2"]), {"c1": -0.7, "b0": 0.2, "b1": 5.0, "f": 0.35, "f2": 0.6}, True),
    (sum_of(gaussian(), exponential(), fractions=["f"]), {"mu": 4.4, "sigma": 0.02,
                                                          "slope": -2.0, "f": 0.3}, False),
    (sum_of(models.Voigtian(0, WINDOW, mu=5.3, sigma=0.01, gamma=0.01), exponential(),
            fractions=["f"]), {"slope": -2.0, "f": 0.3}, False),
    # Chebyshev series of degrees 0 to 7, steep, nearly touching zero,
    # with zero coefficients (which NumPy trims) and huge ones, on a window
    # far from 0 and a wide one; a negative series, which the model words.
    (chebyshev(), {}, True),
    (chebyshev("c1"), {"c1": 0.999}, True),
    (chebyshev("c1", 0.0, "c3", 0.0), {"c1": -0.3, "c3": 0.05}, True),
    (chebyshev(*(f"c{k}" for k in range(1, 8))),
     {f"c{k}": (-0.5) ** k for k in range(1, 8)}, True),
    (chebyshev("c1", "c2", window=(-1e4, 3e5)), {"c1": 1e-9, "c2": 0.3}, True),
    (chebyshev("c1", "c2", window=(1e6, 1e6 + 1e-3)), {"c1": 0.5, "c2": 0.4}, True),
    (chebyshev("c1", "c2"), {"c1": 1e3, "c2": 2e3}, False),
    (chebyshev("c1"), {"c1": -1.5}, False),
    # Bernstein series: coefficients over 600 decades, zeros, degree 9.
    (bernstein("b0", "b1", "b2", "b3"), {"b0": 1e-300, "b1": 1e300, "b2": 0.0, "b3": 2.0}, True),
    (bernstein(*(f"b{k}" for k in range(10))), {f"b{k}": 1.0 + k % 3 * 0.37 for k in range(10)},
     True),
    (bernstein(0.0, "b1"), {"b1": 0.0}, False),
    # Histograms looked up by arithmetic or bisection, interpolated, on a
    # window inside their edges; one in a Sum.
    *[(template(kind, equal), {}, True) for kind in ("constant", "linear") for equal in (1, 0)],
    *[(template(kind, window=(5.13, 5.41)), {}, True) for kind in ("constant", "linear")],
    (sum_of(gaussian(), template("linear"), fractions=["f"]), {**PEAK, "f": 0.3}, True),
    # Components that read no parameter, whose values are kept, after ones
    # that do, nested.
    (sum_of(gaussian(), models.Exponential(0, WINDOW, slope=-2.0),
            sum_of(bernstein(0.3, 0.5, 2.0), template(), fractions=[0.4]), fractions=["f", 0.2]),
     {**PEAK, "f": 0.5}, True),
    # Products: each factor on its own column, one a Sum, one reading no
    # parameter; a factor at a point of its Python path, or never native,
    # makes the whole product Python's.
    (product(models.Gaussian(1, (0.0, 1.0), mu="m1", sigma="s1"), template("linear")),
     {"m1": 0.4, "s1": 0.1}, True),
    (product(exponential(), models.Sum([models.Gaussian(1, (0.0, 1.0), mu=0.5, sigma="s1"),
                                        models.Uniform(1, (0.0, 1.0))], ["f"])),
     {"slope": -2.0, "s1": 0.2, "f": 0.6}, True),
    (product(models.Sum([models.Gaussian(1, (0.0, 1.0), mu=0.5, sigma="s1"),
                         models.Uniform(1, (0.0, 1.0))], ["f"]), exponential()),
     {"slope": -2.0, "s1": 0.2, "f": 0.6}, True),
    (product(template(column=1), chebyshev("c1")), {"c1": 0.3}, True),
    (product(gaussian(), models.Exponential(1, (0.0, 1.0), slope="slope")),
     {"mu": 4.4, "sigma": 0.02, "slope": 1.0}, False),
    (product(exponential(), models.Voigtian(1, (0.0, 1.0), mu=0.5, sigma=0.1, gamma=0.1)),
     {"slope": -2.0}, False),
    # Crystal Balls: either side and both; powers from 1 + 1e-7 to 200 and
    # junctions from 0.05σ to 6σ; a window holding only the tail, 20σ to
    # 90σ below the peak; the core's piece of the mass narrow (a quadrature),
    # beyond 1σ (erfcx) or beside the peak (cancelling erf terms), which are
    # evaluated through Python.
    (crystal_ball(), CB, True),
    (crystal_ball("high"), CB, True),
    (crystal_ball(), {**CB, "alpha": 2.0, "n": 10.0}, True),
    (crystal_ball(), {**CB, "alpha": 0.05, "n": 1.0000001}, True),
    (crystal_ball(), {**CB, "alpha": 6.0, "n": 200.0}, True),
    (crystal_ball("high"), {**CB, "alpha": 0.3, "n": 50.0}, True),
    (crystal_ball(), {**CB, "mu": 6.5, "sigma": 0.01, "n": 30.0}, True),
    (crystal_ball("high"), {**CB, "mu": 4.6, "n": 1.5}, True),
    (double_crystal_ball(), DCB, True),
    (double_crystal_ball(), {"mu": 5.3, "sigma": 0.005, "al": 0.5, "nl": 1.2, "ah": 0.8,
                             "nh": 80.0}, True),
    (crystal_ball(), {**CB, "mu": 5.6298}, False),
    (crystal_ball(), {**CB, "mu": 5.63, "alpha": 3.0}, False),
    (crystal_ball(), {**CB, "mu": 4.99}, False),
]


def ulp_distance(a: np.ndarray, b: np.ndarray) -> float:
    scale = np.spacing(np.maximum(np.abs(a), np.abs(b)))
    return float(np.max(np.abs(a - b) / scale))


def without_exp(model) -> bool:
    """Whether the model's densities involve no exp, erf or erfc: the
    native arithmetic then has the same bits as NumPy's."""
    if isinstance(model, models.Sum):
        return all(without_exp(part) for part in model.components)
    if isinstance(model, models.Product):
        return all(without_exp(part) for part in model.factors)
    return isinstance(model, (models.Chebyshev, models.Bernstein, models.Uniform,
                              models.Template))


def events_in(model, outside: bool) -> np.ndarray:
    """4001 events spread over the window of each column the model reads
    (in opposite orders on alternate columns), and two outside the first
    factor's window (on its window's edges for the others)."""
    factors = model.factors if isinstance(model, models.Product) else [model]
    data = np.zeros((4001 + 2 * outside, max(part.column for part in factors) + 1))
    for k, part in enumerate(factors):
        low, high = part.window
        x = np.linspace(low, high, 4001)[::(-1) ** k]
        beyond = [low - 1.0, high + 1.0] if k == 0 else [low, high]
        data[:, part.column] = np.concatenate([x, beyond]) if outside else x
    return data


@pytest.mark.parametrize(("model", "point", "natively"), HARD_CASES)
def test_native_densities_equal_numpy_within_4_ulp(model, point, natively):
    power_law = isinstance(model, (models.CrystalBall, models.DoubleCrystalBall))
    # Events all inside the window and some outside: a Sum's arithmetic
    # differs between the two.
    for data in (events_in(model, False), events_in(model, True)):
        if power_law:  # the tails' junctions and the points beside them too
            x = np.sort(np.concatenate([data[:, 0], junction_points(model, point)]))
            data = x.reshape(-1, 1)
        native = tarnwick._native_densities(model, data, point)
        assert (native is not None) == natively
        if native is None:
            return
        expected = model(data, point)
        assert np.count_nonzero(native) == np.count_nonzero(expected)
        if not power_law:
            assert ulp_distance(native, expected) <= (0.0 if without_exp(model) else MAX_ULP)
            continue
        # NumPy's log1p, within an ulp, costs the tails up to |m log1p(y)|
        # ulp. The native tails are within about 1.3 ulp of exact, the
        # scaling adds ½ and the native mass (its tail integrals by the C
        # library's log1p, exp and expm1) may differ from NumPy's by an ulp
        # or so; the two agree wherever NumPy's densities are close to exact.
        exact = exact_crystal_ball(model, x, point)
        assert np.max(ulps_from_exact(native, exact)) <= 3.5
        close = ulps_from_exact(expected, exact) <= 2.0
        assert ulp_distance(native[close], expected[close]) <= MAX_ULP


def test_only_the_library_classes_are_native():
    class Shifted(models.Gaussian):
        pass

    class Joint(models.Product):
        pass

    data = np.full((3, 1), 5.3)
    point = {"mu": 5.3, "sigma": 0.1}
    assert tarnwick._native_densities(Shifted(0, WINDOW, mu="mu", sigma="sigma"), data,
                                      point) is None
    assert tarnwick._native_densities(lambda d, p: d[:, 0], data, point) is None
    assert tarnwick._native_densities(Joint([models.Uniform(0, WINDOW)]), data, point) is None
    assert tarnwick._native_densities(models.Voigtian(0, WINDOW, mu=5.3, sigma=0.1, gamma=0.1),
                                      data, point) is None


def joint_peak():
    return product(models.Gaussian(1, (0.0, 1.0), mu="m", sigma="s"),
                   models.Exponential(0, WINDOW, slope="k"))


# Values the models reject: each Crystal Ball keyword in turn; a product's
# factors in their order.
INVALID_VALUES = [
    (crystal_ball(), {**CB, "mu": np.inf}),
    (crystal_ball("high"), {**CB, "sigma": 0.0}),
    (crystal_ball(), {**CB, "alpha": -1.0, "n": 1.0}),
    (crystal_ball(), {**CB, "n": 1.0}),
    (crystal_ball("high"), {**CB, "n": np.nan}),
    (double_crystal_ball(), {**DCB, "al": np.inf}),
    (double_crystal_ball(), {**DCB, "nl": np.inf, "ah": 0.0}),
    (double_crystal_ball(), {**DCB, "ah": -0.0}),
    (double_crystal_ball(), {**DCB, "nh": 0.5}),
    (joint_peak(), {"m": 0.5, "s": -1.0, "k": np.nan}),
    (joint_peak(), {"m": 0.5, "s": 0.1, "k": np.inf}),
    (joint_peak(), {"m": np.nan, "s": -1.0, "k": np.nan}),
]


@pytest.mark.parametrize(("model", "point"), INVALID_VALUES)
def test_an_invalid_value_has_the_models_message(model, point):
    data = np.column_stack([np.full(3, 5.3), np.full(3, 0.5)])
    with pytest.raises(ValueError) as python:
        model(data, point)
    with pytest.raises(ValueError) as native:
        tarnwick._native_densities(model, data, point)
    assert str(native.value) == f"PDF evaluation failed: ValueError: {python.value}"


def test_a_sum_weights_its_native_crystal_balls_as_their_own_densities():
    # Six- and four-parameter leaves in one tree, each reading its own slice.
    parts = [double_crystal_ball(), exponential(), models.CrystalBall(
        0, WINDOW, mu="mu2", sigma="sigma", alpha="al", n="nh", side="high")]
    point = {**DCB, "mu2": 5.4, "slope": -2.0, "f": 0.5, "g": 0.3}
    data = np.linspace(*WINDOW, 2001).reshape(-1, 1)
    total = tarnwick._native_densities(sum_of(*parts, fractions=["f", "g"]), data, point)
    own = [tarnwick._native_densities(part, data, point) for part in parts]
    assert ulp_distance(total, 0.5 * own[0] + 0.3 * own[1] + 0.2 * own[2]) <= MAX_ULP
