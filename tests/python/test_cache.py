"""The per-PDF cache: Python is called once per distinct shape point in a row."""

from __future__ import annotations

import weakref

import numpy as np
import pytest

import tarnwick
from conftest import gaussian


class Recording:
    """A Gaussian PDF in column 0 (mean shape['mu'], width 0.05) that records its calls."""

    def __init__(self, mutate=False):
        self.points = []
        self.mutate = mutate

    def __call__(self, data, shape):
        self.points.append(dict(shape))
        values = gaussian(data[:, 0], shape["mu"], 0.05)
        if self.mutate:
            shape["mu"] = 1e6
            shape["extra"] = 1.0
        return values


def flat(data, shape):
    return np.ones(len(data))


def test_without_shape_parameters_the_probe_is_the_only_call(two_peaks):
    calls = []

    def pdf(data, shape):
        calls.append(shape)
        return gaussian(data[:, 0], 0.3, 0.05)

    result = tarnwick.splot(two_peaks, [pdf, flat])
    assert result.success
    assert result.objective_evaluations > 10
    assert calls == [{}]


def test_python_is_called_only_when_the_point_changes(two_peaks):
    pdf = Recording()
    result = tarnwick.splot(two_peaks, [pdf, flat],
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    points = [p["mu"] for p in pdf.points]
    assert points[0] == 0.35
    # Consecutive calls are at different points: every repeat is a cache hit.
    assert all(a != b for a, b in zip(points, points[1:]))
    # Of all likelihood evaluations (n = 3 parameters: 2n per gradient,
    # 4n² + 2n for the Hessian), most only move the yields.
    total = (result.objective_evaluations + 6 * result.gradient_evaluations
             + 42 * result.hessian_evaluations)
    assert len(points) < total / 2


def test_the_dict_is_new_at_every_call(two_peaks):
    plain, mutating = Recording(), Recording(mutate=True)
    parameters = [tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]
    expected = tarnwick.splot(two_peaks, [plain, flat], shape_parameters=parameters)
    result = tarnwick.splot(two_peaks, [mutating, flat], shape_parameters=parameters)
    assert mutating.points == plain.points
    assert all(p.keys() == {"mu"} for p in mutating.points)
    np.testing.assert_array_equal(result.yields, expected.yields)


@pytest.mark.parametrize("view", [False, True])
def test_an_output_the_pdf_keeps_is_copied(two_peaks, view):
    # Both PDFs write into one buffer and return it, or a fresh view of it:
    # each output must be taken before the other PDF overwrites it.
    buffer = np.empty(len(two_peaks))

    def peak(data, shape):
        buffer[:] = gaussian(data[:, 0], shape["mu"], 0.05)
        return buffer[:] if view else buffer

    def flat_into_buffer(data, shape):
        buffer[:] = 1.0
        return buffer

    parameters = [tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]
    expected = tarnwick.splot(two_peaks, [Recording(), flat], shape_parameters=parameters)
    result = tarnwick.splot(two_peaks, [peak, flat_into_buffer], shape_parameters=parameters)
    np.testing.assert_array_equal(result.yields, expected.yields)
    np.testing.assert_array_equal(result.sweights, expected.sweights)


def test_an_output_the_pdf_reaches_by_a_weak_reference_is_copied(two_peaks):
    # A fresh output kept without a copy could still be changed through a weak
    # reference: here the second PDF halves the first one's latest output and
    # makes one value negative, after the first one's values were checked.
    refs = []

    def peak(data, shape):
        out = gaussian(data[:, 0], shape["mu"], 0.05)
        refs.append(weakref.ref(out))
        return out

    def flat_that_tampers(data, shape):
        latest = refs[-1]()
        if latest is not None:
            latest *= 0.5
            latest[0] = -1.0
        return flat(data, shape)

    parameters = [tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]
    expected = tarnwick.splot(two_peaks, [Recording(), flat], shape_parameters=parameters)
    result = tarnwick.splot(two_peaks, [peak, flat_that_tampers], shape_parameters=parameters)
    np.testing.assert_array_equal(result.yields, expected.yields)
    np.testing.assert_array_equal(result.sweights, expected.sweights)
