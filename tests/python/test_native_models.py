"""Library models evaluated natively by splot: fits against the same fits
through Python, counts, errors and the cache of their NumPy evaluation, the
gradient's points on several threads, and models mixed with hand-written
PDFs."""

from __future__ import annotations

import contextlib
import os

import numpy as np
import pytest

import tarnwick
from native_model_builders import (WINDOW, bernstein, chebyshev, exponential, gaussian,
                                   product, sum_of)
from tarnwick import models


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


@pytest.mark.parametrize("case", ["models", "sum+chebyshev", "crystal ball+exponential",
                                  "products"])
def test_a_fit_of_models_has_the_same_bits_on_one_cpu_and_on_all(case):
    # With enough events a fit of models alone evaluates each gradient's
    # points at once, on a thread per CPU.
    make, shapes = FITS[case][:2]
    rng = np.random.default_rng(3)
    data = np.column_stack([np.concatenate([rng.normal(5.28, 0.02, 3000),
                                            5.0 + rng.exponential(0.5, 9000) % 0.6]),
                            rng.uniform(0.0, 1.0, 12000)])
    with one_cpu():
        alone = tarnwick.splot(data, make(), shape_parameters=shapes)
    assert_identical(tarnwick.splot(data, make(), shape_parameters=shapes), alone)


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
