"""Library models evaluated natively by splot: the densities, fits, counts,
errors and cache of their NumPy evaluation, and models mixed with
hand-written PDFs."""

from __future__ import annotations

import contextlib
import os

import numpy as np
import pytest

import tarnwick
from crystal_ball_reference import exact_crystal_ball, junction_points, ulps_from_exact
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


@pytest.mark.parametrize("point", [{"m": 0.5, "s": -1.0, "k": np.nan},
                                   {"m": 0.5, "s": 0.1, "k": np.inf},
                                   {"m": np.nan, "s": -1.0, "k": np.nan}])
def test_a_product_reports_its_factors_first_invalid_value(point):
    model = product(models.Gaussian(1, (0.0, 1.0), mu="m", sigma="s"),
                    models.Exponential(0, WINDOW, slope="k"))
    data = np.column_stack([np.full(3, 5.3), np.full(3, 0.5)])
    with pytest.raises(ValueError) as python:
        model(data, point)
    with pytest.raises(ValueError) as native:
        tarnwick._native_densities(model, data, point)
    assert str(native.value) == f"PDF evaluation failed: ValueError: {python.value}"


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


def python_path(pdf):
    """The same PDF, evaluated through Python."""
    return lambda data, values: pdf(data, values)


# A second column on [0, 1]: a peak for the signal, a falling histogram
# for the background.
UNIT = (0.0, 1.0)


def falling_template(column=1, window=UNIT):
    edges = np.linspace(*window, 21)
    return models.Template(column, edges, np.exp(-3.0 * np.linspace(0.0, 1.0, 20)), "linear")


@pytest.fixture(scope="module")
def standard_data() -> np.ndarray:
    rng = np.random.default_rng(28)
    peak = models.Gaussian(0, WINDOW, mu=5.28, sigma=0.02).sample(800, {}, rng)
    tail = models.Exponential(0, WINDOW, slope=-2.0).sample(1200, {}, rng)
    second = np.concatenate([models.Gaussian(1, UNIT, mu=0.5, sigma=0.15).sample(800, {}, rng),
                             falling_template().sample(1200, {}, rng)])
    return np.column_stack([np.concatenate([peak, tail]), second])


SHAPES = [tarnwick.ShapeParameter("mu", 5.27, 5.2, 5.35),
          tarnwick.ShapeParameter("sigma", 0.03, 0.005, 0.1),
          tarnwick.ShapeParameter("slope", -1.0, -10.0, 10.0)]


def hand_written_exponential(data, values):
    s = values["slope"]
    x = data[:, 0]
    return s * np.exp(s * (x - WINDOW[0])) / np.expm1(s * (WINDOW[1] - WINDOW[0]))


# Densities a few ulp apart move the fitted values by up to about 1e-10
# relative: the finite-difference gradients amplify them. (A fit through
# Python whose densities are moved by one ulp at random moves as much.) The
# Crystal Balls' tails differ from NumPy's by NumPy's own error, up to
# |m log1p(y)| ulp, and their fits are flatter: one ulp of random noise in
# the Python path's densities moves them by up to 5e-7.
FIT_RTOL = 1e-9
POWER_LAW_FIT_RTOL = 1e-6


@contextlib.contextmanager
def one_cpu():
    """This thread on one CPU: a fit then evaluates its points one after
    another, through the PDFs' caches."""
    cpus = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(cpus)})
    try:
        yield
    finally:
        os.sched_setaffinity(0, cpus)


def assert_identical(a, b):
    for field in ("yields", "yield_errors", "covariance", "sweights"):
        np.testing.assert_array_equal(getattr(a, field), getattr(b, field))
    for field in ("shape_parameters", "shape_errors"):
        assert list(getattr(a, field)) == list(getattr(b, field))
        np.testing.assert_array_equal(list(getattr(a, field).values()),
                                      list(getattr(b, field).values()))
    assert (a.minimum_nll, a.message) == (b.minimum_nll, b.message)


def assert_same_fit(native, python, rtol=FIT_RTOL):
    np.testing.assert_allclose(native.yields, python.yields, rtol=rtol)
    for name, value in python.shape_parameters.items():
        assert native.shape_parameters[name] == pytest.approx(value, rel=rtol)
    np.testing.assert_allclose(native.yield_errors, python.yield_errors, rtol=max(rtol, 1e-7))
    assert native.minimum_nll == pytest.approx(python.minimum_nll, rel=1e-14)
    counts = ("objective_evaluations", "gradient_evaluations", "hessian_evaluations")
    assert [getattr(native, c) for c in counts] == [getattr(python, c) for c in counts]
    assert native.message == python.message


def double_peak():
    return sum_of(gaussian(), models.Gaussian(0, WINDOW, mu="mu", sigma="wide"),
                  fractions=["core"])


WIDE = tarnwick.ShapeParameter("wide", 0.05, 0.03, 0.2)
CORE = tarnwick.ShapeParameter("core", 0.5, 0.0, 1.0)
C1 = tarnwick.ShapeParameter("c1", 0.0, -0.9, 0.9)
C2 = tarnwick.ShapeParameter("c2", 0.0, -0.4, 0.4)
B1, B2 = (tarnwick.ShapeParameter(f"b{k}", 1.0, 0.0, 5.0) for k in (1, 2))
S1 = tarnwick.ShapeParameter("s1", 0.2, 0.05, 0.5)
ALPHA = tarnwick.ShapeParameter("alpha", 1.5, 0.3, 5.0)


@pytest.fixture(scope="module")
def crystal_ball_data() -> np.ndarray:
    rng = np.random.default_rng(28)
    peak = models.CrystalBall(0, WINDOW, mu=5.28, sigma=0.02, alpha=1.2, n=3.0).sample(800, {}, rng)
    tail = models.Exponential(0, WINDOW, slope=-2.0).sample(1200, {}, rng)
    return np.concatenate([peak, tail]).reshape(-1, 1)


# (PDFs, shape parameters, the PDFs computed at every point, the data, the
# tolerance of the fitted values): a histogram, which reads no parameter,
# is computed once.
FITS = {
    "models": (lambda: [gaussian(), exponential()], SHAPES, 2, "standard_data", FIT_RTOL),
    "model+hand-written": (lambda: [gaussian(), hand_written_exponential], SHAPES, 1,
                           "standard_data", FIT_RTOL),
    "sum+chebyshev": (lambda: [double_peak(), chebyshev("c1", "c2")],
                      [*SHAPES[:2], WIDE, CORE, C1, C2], 2, "standard_data", FIT_RTOL),
    "chebyshev+bernstein": (lambda: [chebyshev("c1", "c2"), bernstein(1.0, "b1", "b2")],
                            [tarnwick.ShapeParameter("c1", 0.0, -0.5, 0.5),
                             tarnwick.ShapeParameter("c2", 0.0, -0.3, 0.3), B1, B2], 2,
                            "standard_data", FIT_RTOL),
    "gaussian+template": (lambda: [gaussian(), falling_template(0, WINDOW)], SHAPES[:2], 1,
                          "standard_data", FIT_RTOL),
    "products": (lambda: [product(gaussian(), models.Gaussian(1, UNIT, mu=0.5, sigma="s1")),
                          product(exponential(), falling_template())], [*SHAPES, S1], 2,
                 "standard_data", FIT_RTOL),
    "crystal ball+exponential": (
        lambda: [models.CrystalBall(0, WINDOW, mu="mu", sigma="sigma", alpha="alpha", n=3.0),
                 exponential()], [*SHAPES, ALPHA], 2, "crystal_ball_data", POWER_LAW_FIT_RTOL),
    "double crystal ball+exponential": (
        lambda: [models.DoubleCrystalBall(0, WINDOW, mu="mu", sigma="sigma", alpha_low="alpha",
                                          n_low=3.0, alpha_high="ah", n_high=5.0),
                 exponential()], [*SHAPES, ALPHA, tarnwick.ShapeParameter("ah", 2.0, 0.3, 5.0)],
        2, "crystal_ball_data", POWER_LAW_FIT_RTOL),
}


@pytest.mark.parametrize("case", list(FITS))
def test_a_fit_with_native_models_equals_the_fit_through_python(request, case):
    make, shapes, native_pdfs, data_name, rtol = FITS[case]
    data = request.getfixturevalue(data_name)
    pdfs = make()
    hand_written_calls = []

    def counted(pdf):
        def call(data, values):
            hand_written_calls.append(dict(values))
            return pdf(data, values)
        return call

    library = (models.Model, models.Product)
    native_run = [pdf if isinstance(pdf, library) else counted(pdf) for pdf in pdfs]
    with one_cpu():
        before = tarnwick._native_model_evaluations()
        native = tarnwick.splot(data, native_run, shape_parameters=shapes)
        computed = tarnwick._native_model_evaluations() - before
    first_calls = list(hand_written_calls)  # the calls of this fit
    # On every CPU, a fit of models alone evaluates each gradient's points
    # at once, on several threads: the same bits.
    assert_identical(tarnwick.splot(data, native_run, shape_parameters=shapes), native)
    calls = []

    def recorded(data, values):
        calls.append(dict(values))
        return pdfs[0](data, values)

    python = tarnwick.splot(data, [recorded, *map(python_path, pdfs[1:])],
                            shape_parameters=shapes)
    assert native.success and python.success
    assert_same_fit(native, python, rtol)
    # The cache: a native model computes where its own parameters change
    # from the point before (a step in another component's parameters is a
    # hit), counted over the points the Python PDFs were called at after the
    # probe. In one fit the count is exact (a hand-written PDF beside the
    # model is called at every new point); between the two fits, whose
    # points differ in the last bits, it agrees within a few: one fit may
    # meet a point again by rounding where the other does not.
    def own_changes(points):
        return sum(sum(any(a[name] != b[name] for name in pdf.parameters)
                       for a, b in zip(points, points[1:]))
                   for pdf in pdfs if isinstance(pdf, library))

    if first_calls:
        assert computed == own_changes(first_calls)
    assert abs(computed - own_changes(calls)) <= 4 * native_pdfs
    assert len(calls) > 10
    assert all(a != b for a, b in zip(calls, calls[1:]))


def test_points_outside_the_native_forms_are_evaluated_through_python(standard_data):
    # A Gaussian more than four times wider than the window: its mass is a
    # quadrature at every point of the fit, which the model computes itself,
    # so the fit is the Python path's exactly.
    shapes = [SHAPES[0], tarnwick.ShapeParameter("sigma", 5.0, 2.5, 20.0), SHAPES[2]]
    before = tarnwick._native_model_evaluations()
    native = tarnwick.splot(standard_data, [gaussian(), exponential()], shape_parameters=shapes)
    computed = tarnwick._native_model_evaluations() - before
    python = tarnwick.splot(standard_data, [python_path(gaussian()), exponential()],
                            shape_parameters=shapes)
    assert native.shape_parameters == python.shape_parameters
    assert list(native.yields) == list(python.yields)
    assert native.objective_evaluations == python.objective_evaluations
    assert computed > 0  # the exponential stays native


def test_an_invalid_value_fails_the_fit_with_the_models_message(standard_data):
    # Started above the peak's width with a lower bound below 0, the fit's
    # first step takes sigma below 0.
    shapes = [SHAPES[0], tarnwick.ShapeParameter("sigma", 0.08, -0.05, 0.1), SHAPES[2]]
    with pytest.raises(tarnwick.SPlotError) as raised:
        tarnwick.splot(standard_data, [gaussian(), exponential()], shape_parameters=shapes)
    message = str(raised.value)
    head = "PDF evaluation failed: ValueError: Gaussian: sigma = "
    assert message.startswith(head)
    sigma = float(message[len(head):].split()[0])
    with pytest.raises(ValueError) as python:
        gaussian()(standard_data, {"mu": 5.28, "sigma": sigma})
    assert message == f"PDF evaluation failed: ValueError: {python.value}"
    assert raised.value.__notes__ == ["raised in PDF 0"]


def test_a_value_only_the_model_judges_fails_as_through_python(standard_data):
    # The fit drives the Chebyshev series negative at the window's edge: the
    # point goes to the model itself, so the message and the note of where
    # it was raised are the Python path's.
    shapes = [tarnwick.ShapeParameter("c1", 0.0, -0.9, 0.9),
              tarnwick.ShapeParameter("c2", 0.0, -0.4, 0.4),
              tarnwick.ShapeParameter("b1", 1.0, 0.0, 5.0)]
    errors = []
    for wrap in (lambda pdf: pdf, python_path):
        pdfs = [chebyshev("c1", "c2"), bernstein(1.0, "b1")]
        with pytest.raises(tarnwick.SPlotError) as raised:
            tarnwick.splot(standard_data, [wrap(pdf) for pdf in pdfs], shape_parameters=shapes)
        errors.append((str(raised.value), raised.value.__notes__[0].splitlines()[0]))
    assert errors[0] == errors[1]
    assert errors[0][0].startswith("PDF evaluation failed: ValueError: Chebyshev: with c1 = ")


# A value each Crystal Ball keyword rejects: checked keyword by keyword.
INVALID_CRYSTAL_BALLS = [
    (crystal_ball(), {**CB, "mu": np.inf}),
    (crystal_ball("high"), {**CB, "sigma": 0.0}),
    (crystal_ball(), {**CB, "alpha": -1.0, "n": 1.0}),
    (crystal_ball(), {**CB, "n": 1.0}),
    (crystal_ball("high"), {**CB, "n": np.nan}),
    (double_crystal_ball(), {**DCB, "al": np.inf}),
    (double_crystal_ball(), {**DCB, "nl": np.inf, "ah": 0.0}),
    (double_crystal_ball(), {**DCB, "ah": -0.0}),
    (double_crystal_ball(), {**DCB, "nh": 0.5}),
]


@pytest.mark.parametrize(("model", "point"), INVALID_CRYSTAL_BALLS)
def test_an_invalid_crystal_ball_value_has_the_models_message(model, point):
    data = np.full((3, 1), 5.3)
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
