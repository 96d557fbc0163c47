"""The sandwich covariance of weighted fits and the factorisation test,
against NumPy, scipy and the sweights package."""

from __future__ import annotations

import numpy as np
import pytest
from scipy import stats

import tarnwick
from conftest import gaussian
from tarnwick import diagnostics

MU = [tarnwick.ShapeParameter("mu", 0.25, 0.0, 1.0)]
NAMES = ["signal", "background"]
SLOPE = 10.0


def peak(data, shape):
    return gaussian(data[:, 0], shape.get("mu", 0.3), 0.05)


def falling(data, shape):
    """exp(−10 m) normalised on [0, 1]."""
    return SLOPE * np.exp(-SLOPE * data[:, 0]) / -np.expm1(-SLOPE)


PDFS = [peak, falling]


def mixture(seed, n_signal=2000, n_background=8000, slope=0.0, noise=1):
    """Column 0 a peak at 0.3 over a steeply falling background on [0, 1];
    column 1 a decay time of mean 1.5 in the signal and 0.4 in the
    background, whose mean grows with the mass in the signal by `slope` per
    peak width; then `noise` columns of noise; and exponential weights."""
    rng = np.random.default_rng(seed)
    background = -np.log1p(-rng.uniform(size=n_background) * -np.expm1(-SLOPE)) / SLOPE
    mass = np.concatenate([rng.normal(0.3, 0.05, n_signal), background])
    scale = np.concatenate([1.5 * (1 + slope * (mass[:n_signal] - 0.3) / 0.05),
                            np.full(n_background, 0.4)])
    columns = [mass, rng.exponential(np.clip(scale, 0.1, None))]
    columns += [rng.normal(size=len(mass)) if j % 2 else rng.exponential(size=len(mass))
                for j in range(noise)]
    return np.column_stack(columns), rng.exponential(1.0, len(mass))


def test_sandwich_of_the_yields_matches_numpy():
    data, w = mixture(1)
    result = tarnwick.splot(data, PDFS, weights=w)
    sandwich = diagnostics.weighted_covariance(result, data, PDFS, weights=w, names=NAMES)
    f = np.column_stack([peak(data, {}), falling(data, {})])
    g = f / (f @ result.yields)[:, None]
    d = np.einsum("i,ij,ik->jk", w**2, g, g)
    expected = result.fit_covariance @ d @ result.fit_covariance
    np.testing.assert_allclose(sandwich.covariance, expected, rtol=1e-10)
    np.testing.assert_allclose(sandwich.yield_errors, np.sqrt(np.diag(expected)), rtol=1e-10)
    # Exponential weights: E[w²] / E[w] = 2, so the sandwich errors are
    # about √2 times the inverse Hessian's.
    assert sandwich.yield_errors / result.yield_errors == pytest.approx([1.4, 1.4], rel=0.1)
    assert sandwich.parameters == ("signal", "background") and sandwich.shape_errors == {}
    assert "signal" in str(sandwich) and "sandwich" in str(sandwich)


@pytest.mark.parametrize("shape_parameters, rtol", [(None, 1e-6), (MU, 0.05)])
def test_unit_weights_give_the_ordinary_covariance(shape_parameters, rtol):
    # The yield blocks of D and H are the same sum Σ f_j f_k / m², so for
    # yields alone the sandwich is H⁻¹ up to the fit's difference Hessian;
    # a shape parameter agrees only to sampling precision.
    data, _ = mixture(2)
    result = tarnwick.splot(data, PDFS, shape_parameters=shape_parameters)
    sandwich = diagnostics.weighted_covariance(result, data, PDFS,
                                               shape_parameters=shape_parameters)
    np.testing.assert_allclose(sandwich.covariance, result.fit_covariance, rtol=rtol,
                               atol=rtol * np.abs(result.fit_covariance).max())
    if shape_parameters:
        assert sandwich.shape_errors["mu"] == pytest.approx(result.shape_errors["mu"], rel=rtol)


def test_a_parameter_held_on_its_bound_keeps_a_zero_row_and_nan_error():
    data, w = mixture(3)
    bounded = [tarnwick.ShapeParameter("mu", 0.7, 0.6, 1.0)]
    result = tarnwick.splot(data, PDFS, shape_parameters=bounded, weights=w)
    assert result.shape_parameters["mu"] == 0.6 and np.isnan(result.shape_errors["mu"])
    sandwich = diagnostics.weighted_covariance(result, data, PDFS, weights=w,
                                               shape_parameters=bounded)
    assert np.isnan(sandwich.shape_errors["mu"]) and np.isnan(sandwich.errors[2])
    assert not sandwich.covariance[2].any() and not sandwich.covariance[:, 2].any()
    assert np.isfinite(sandwich.yield_errors).all() and (sandwich.yield_errors > 0).all()


@pytest.mark.parametrize("change, message", [
    (lambda d, p, w: (d, p, w[:-1]), "weights has length 9999"),
    (lambda d, p, w: (d, p[:1], w), "1 PDFs given for a fit of 2 components"),
    (lambda d, p, w: (d[:-1], p, w[:-1]), "data has 9999 events"),
])
def test_weighted_covariance_rejects_inputs_not_of_the_fit(change, message):
    data, w = mixture(4)
    result = tarnwick.splot(data, PDFS, weights=w)
    with pytest.raises(ValueError, match=message):
        data, pdfs, weights = change(data, PDFS, w)
        diagnostics.weighted_covariance(result, data, pdfs, weights=weights)


@pytest.mark.heavy
def test_independent_columns_give_uniform_p_values_and_a_correlation_is_flagged():
    # The components' control means differ (1.5 against 0.4), where an
    # sWeighted correlation with the mass itself would be biased; under the
    # steep background the sWeighted means' own fluctuation is a sizeable
    # part of the error, which the width of z = correlation / error checks.
    z = []
    for seed in range(40):
        data, _ = mixture(10 + seed, noise=11)
        result = tarnwick.splot(data, PDFS, shape_parameters=MU)
        check = diagnostics.independence(result, data, [0], range(1, 13), names=NAMES)
        z.append(check.correlation[:, 0] / check.correlation_error[:, 0])
        p_values = check.p_value
    widths = np.std(z, axis=(0, 2), ddof=1)
    assert widths == pytest.approx([1.0, 1.0], abs=0.1)
    assert stats.kstest(np.ravel(stats.norm.sf(np.abs(z)) * 2), "uniform").pvalue > 0.01
    np.testing.assert_allclose(p_values[:, 0], 2 * stats.norm.sf(np.abs(z[-1])), rtol=1e-9)

    data, _ = mixture(30, slope=0.2)
    result = tarnwick.splot(data, PDFS, shape_parameters=MU)
    check = diagnostics.independence(result, data, [0], [1, 2], names=NAMES,
                                     sample=mixture(31, 2000, 0, slope=0.2)[0])
    assert check.p_value[0, 0, 0] < 1e-4 and check.correlation[0, 0, 0] > 0
    assert check.p_value[0, 0, 1] > 1e-3
    assert check.sample_tau_p_value[0, 0] < 1e-4 < check.sample_tau_p_value[0, 1]
    text = str(check)
    assert "signal" in text and "background" in text and "Kendall" in text


def test_kendall_tau_matches_scipy_and_sweights():
    sweights = pytest.importorskip("sweights")
    rng = np.random.default_rng(5)
    x = rng.normal(size=3000)
    y = 0.2 * x + rng.normal(size=3000)
    tau, error, _ = diagnostics.kendall_tau(x, y)
    assert tau == pytest.approx(stats.kendalltau(x, y).statistic, abs=1e-12)
    # Without ties sweights gives the same deviation under independence.
    assert error == pytest.approx(sweights.kendall_tau(x, y)[1], rel=1e-12)
    # With ties the deviation carries the tie terms; scipy's asymptotic
    # p-value uses the same variance of the score.
    tied_x, tied_y = np.round(x), np.round(y * 2)
    tau, error, p_value = diagnostics.kendall_tau(tied_x, tied_y)
    expected = stats.kendalltau(tied_x, tied_y, method="asymptotic")
    assert tau == pytest.approx(expected.statistic, abs=1e-12)
    assert p_value == pytest.approx(expected.pvalue, rel=1e-9)
    assert error > sweights.kendall_tau(tied_x, tied_y)[1]


@pytest.mark.parametrize("arguments, error, message", [
    (dict(discriminant_columns=[0], control_columns=[0]), ValueError, "both discriminating"),
    (dict(discriminant_columns=[0], control_columns=[3]), ValueError, "out of range"),
    (dict(discriminant_columns=0, control_columns=[1]), TypeError, "sequence of column"),
    (dict(discriminant_columns=[0], control_columns=[1], sample=np.ones((5, 2))), ValueError,
     "sample has 2 columns"),
    (dict(discriminant_columns=[0], control_columns=[1], names=["a"]), ValueError,
     "1 names given"),
])
def test_independence_rejects_bad_columns_samples_and_names(arguments, error, message):
    data, _ = mixture(6, 200, 800)
    result = tarnwick.splot(data, PDFS)
    with pytest.raises(error, match=message):
        diagnostics.independence(result, data, **arguments)
