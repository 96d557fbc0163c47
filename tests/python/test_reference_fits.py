"""Eight small fits against the results of an independent model of the algorithm.

Messages and evaluation counts must match exactly; fitted values, the minimum,
the sPlot covariance and the sWeights to 1e-9 relative; the uncertainties,
which come from a differently computed pseudo-inverse, to 1e-6 relative. A
parameter that ends on its bound is held fixed for the covariance: its
uncertainty is NaN (null in the table) when it is a shape parameter; a yield
on its bound keeps its uncertainty unless its variance is 0 up to rounding.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf, gauss_fixed_pdf, gauss_mu_pdf

VALUE_RTOL = 1e-9
ERROR_RTOL = 1e-6


def mu_parameter(initial=0.35, lower=0.0, upper=1.0):
    return [tarnwick.ShapeParameter("mu", initial, lower, upper)]


def run_case(case, gauss_flat, empty_window):
    if case == "one_flat_pdf":
        return tarnwick.splot(np.full((100, 1), 0.5), [flat_pdf])
    if case == "large_yield":
        return tarnwick.splot(np.array([[0.1], [0.7]]), [flat_pdf], weights=[1e5, 1e5])
    if case == "gauss_flat_mu":
        return tarnwick.splot(gauss_flat, [gauss_mu_pdf, flat_pdf], shape_parameters=mu_parameter())
    if case == "gauss_flat_mu_3_steps":
        return tarnwick.splot(gauss_flat, [gauss_mu_pdf, flat_pdf], shape_parameters=mu_parameter(),
                              max_steps=3)
    if case == "gauss_flat_weighted":
        weights = 0.5 + (np.arange(len(gauss_flat)) % 3) * 0.25
        return tarnwick.splot(gauss_flat, [gauss_mu_pdf, flat_pdf], shape_parameters=mu_parameter(),
                              weights=weights)
    if case == "empty_window":
        return tarnwick.splot(empty_window, [gauss_fixed_pdf, flat_pdf])
    if case == "gauss_flat_mu_on_bound":
        return tarnwick.splot(gauss_flat, [gauss_mu_pdf, flat_pdf],
                              shape_parameters=mu_parameter(lower=0.31))
    if case == "empty_window_mu":
        return tarnwick.splot(empty_window, [gauss_mu_pdf, flat_pdf],
                              shape_parameters=mu_parameter(0.5, 0.45, 0.55))
    raise AssertionError(case)


def correctly_rounded_nll(case, result, gauss_flat, empty_window):
    """The NLL at the fitted point as math.fsum of the yields' sum and every
    event's term: the module must return exactly this double."""
    data = {"one_flat_pdf": np.full((100, 1), 0.5), "large_yield": np.array([[0.1], [0.7]]),
            "empty_window": empty_window, "empty_window_mu": empty_window}.get(case, gauss_flat)
    pdfs = {"one_flat_pdf": [flat_pdf], "large_yield": [flat_pdf],
            "empty_window": [gauss_fixed_pdf, flat_pdf]}.get(case, [gauss_mu_pdf, flat_pdf])
    weights = np.ones(len(data))
    if case == "large_yield":
        weights = np.array([1e5, 1e5])
    if case == "gauss_flat_weighted":
        weights = 0.5 + (np.arange(len(data)) % 3) * 0.25
    values = [pdf(data, dict(result.shape_parameters)) for pdf in pdfs]
    yield_sum = 0.0
    for y in result.yields:
        yield_sum += y
    terms = [yield_sum]
    for i, w in enumerate(weights):
        m = 0.0
        for y, f in zip(result.yields, values):
            m += y * f[i]
        terms.append(-(w * math.log(max(m, 1e-300))))
    return math.fsum(terms)


CASES = ["one_flat_pdf", "large_yield", "gauss_flat_mu", "gauss_flat_mu_3_steps",
         "gauss_flat_weighted", "empty_window", "gauss_flat_mu_on_bound", "empty_window_mu"]


def assert_errors_match(actual, expected):
    expected = np.array([np.nan if e is None else e for e in expected], dtype=float)
    np.testing.assert_array_equal(np.isnan(actual), np.isnan(expected))
    known = ~np.isnan(expected)
    np.testing.assert_allclose(np.asarray(actual)[known], expected[known], rtol=ERROR_RTOL)


@pytest.mark.parametrize("case", CASES)
def test_reference_fit(case, expected_fits, gauss_flat_data, empty_window_data):
    expected = expected_fits[case]
    result = run_case(case, gauss_flat_data, empty_window_data)
    rtol = VALUE_RTOL
    assert result.message == expected["message"]
    assert result.success is expected["success"]
    assert (result.gradient_evaluations, result.hessian_evaluations) == (
        expected["gradient_evaluations"], expected["hessian_evaluations"])
    assert result.objective_evaluations == expected["objective_evaluations"]
    # Entries that vanish by cancellation (a column sum of order 1e-11 next to
    # yields of order 1e3) are compared on the scale of the fit's yields.
    scale = rtol * float(np.sum(np.abs(expected["yields"])))
    assert result.minimum_nll == pytest.approx(expected["minimum_nll"], rel=VALUE_RTOL)
    assert result.minimum_nll == correctly_rounded_nll(case, result, gauss_flat_data,
                                                       empty_window_data)
    np.testing.assert_allclose(result.yields, expected["yields"], rtol=rtol)
    np.testing.assert_allclose(result.covariance, expected["covariance"], rtol=rtol)
    rows = np.asarray(expected["sweights_first_rows"])
    np.testing.assert_allclose(result.sweights[: len(rows)], rows, rtol=rtol)
    np.testing.assert_allclose(result.sweights.sum(axis=0), expected["sweights_column_sums"],
                               rtol=rtol, atol=scale)
    assert result.shape_parameters.keys() == expected["shape_parameters"].keys()
    for name, value in expected["shape_parameters"].items():
        assert result.shape_parameters[name] == pytest.approx(value, rel=rtol)
    assert_errors_match(list(result.shape_errors.values()),
                        list(expected["shape_errors"].values()))
    assert_errors_match(result.yield_errors, expected["yield_errors"])
