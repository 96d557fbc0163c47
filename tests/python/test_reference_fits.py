"""Six small fits against the results of an independent model of the algorithm.

Messages and evaluation counts must match exactly; fitted values, the minimum,
the sPlot covariance and the sWeights to 1e-9 relative; the uncertainties,
which come from a differently computed pseudo-inverse, to 1e-6 relative.

Three fits end where the finite-difference derivatives are rounding noise
(the objective changes by a few ulps per step), so their last steps depend on
how each implementation rounds its sums and its PDF values (NumPy's exp and
the C library's differ in the last bit for some arguments). There the values
agree to the noise level measured below, and the uncertainties, which follow
the Hessian at the final point, to 1e-3. One count differs: the model needs
282 objective evaluations for gauss_flat_mu where this build needs 80 (the
fit engine on its own, with a C++ Gaussian, gives the same 80); that
difference is recorded as an expected failure.
"""

from __future__ import annotations

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf, gauss_fixed_pdf, gauss_mu_pdf

VALUE_RTOL = 1e-9
ERROR_RTOL = 1e-6
# Largest relative differences seen for the noise-dominated fits: values
# 3e-7 (gauss_flat_mu), 4e-8 (gauss_flat_weighted), 3e-8 (empty_window);
# uncertainties 8e-4.
NOISE_VALUE_RTOL = 1e-6
NOISE_ERROR_RTOL = 1e-3

# case: (compare the objective count, value tolerance, uncertainty tolerance)
TOLERANCES = {
    "one_flat_pdf": (True, VALUE_RTOL, ERROR_RTOL),
    "large_yield": (True, VALUE_RTOL, ERROR_RTOL),
    "gauss_flat_mu": (False, NOISE_VALUE_RTOL, NOISE_ERROR_RTOL),
    "gauss_flat_mu_3_steps": (True, VALUE_RTOL, ERROR_RTOL),
    "gauss_flat_weighted": (True, NOISE_VALUE_RTOL, NOISE_ERROR_RTOL),
    "empty_window": (True, NOISE_VALUE_RTOL, NOISE_ERROR_RTOL),
}


def mu_parameter():
    return [tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]


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
    raise AssertionError(case)


CASES = ["one_flat_pdf", "large_yield", "gauss_flat_mu", "gauss_flat_mu_3_steps",
         "gauss_flat_weighted", "empty_window"]


@pytest.mark.parametrize("case", CASES)
def test_reference_fit(case, expected_fits, gauss_flat_data, empty_window_data):
    expected = expected_fits[case]
    same_objective_count, value_rtol, error_rtol = TOLERANCES[case]
    result = run_case(case, gauss_flat_data, empty_window_data)
    assert result.message == expected["message"]
    assert result.success is expected["success"]
    assert result.gradient_evaluations == expected["gradient_evaluations"]
    assert result.hessian_evaluations == expected["hessian_evaluations"]
    if same_objective_count:
        assert result.objective_evaluations == expected["objective_evaluations"]
    # Entries that vanish by cancellation (a column sum of order 1e-12 next to
    # yields of order 1e3) are compared on the scale of the fit's yields.
    scale = value_rtol * float(np.sum(np.abs(expected["yields"])))
    assert result.minimum_nll == pytest.approx(expected["minimum_nll"], rel=VALUE_RTOL)
    np.testing.assert_allclose(result.yields, expected["yields"], rtol=value_rtol)
    np.testing.assert_allclose(result.covariance, expected["covariance"], rtol=value_rtol)
    rows = np.asarray(expected["sweights_first_rows"])
    np.testing.assert_allclose(result.sweights[: len(rows)], rows, rtol=value_rtol)
    np.testing.assert_allclose(result.sweights.sum(axis=0), expected["sweights_column_sums"],
                               rtol=value_rtol, atol=scale)
    assert result.shape_parameters.keys() == expected["shape_parameters"].keys()
    for name, value in expected["shape_parameters"].items():
        assert result.shape_parameters[name] == pytest.approx(value, rel=value_rtol)
        assert result.shape_errors[name] == pytest.approx(expected["shape_errors"][name],
                                                          rel=error_rtol)
    for value, error, expected_error in zip(expected["yields"], result.yield_errors,
                                            expected["yield_errors"]):
        if value > 1.0:
            assert error == pytest.approx(expected_error, rel=error_rtol)
        else:
            # A yield on its bound: its uncertainty comes from a Hessian entry
            # that is rounding noise only.
            assert np.isfinite(error) and error > 0.0


@pytest.mark.xfail(reason="this build needs 80 objective evaluations, the model 282")
def test_gauss_flat_mu_objective_count(expected_fits, gauss_flat_data, empty_window_data):
    result = run_case("gauss_flat_mu", gauss_flat_data, empty_window_data)
    assert result.objective_evaluations == expected_fits["gauss_flat_mu"]["objective_evaluations"]
