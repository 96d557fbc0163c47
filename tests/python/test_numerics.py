"""The sPlot covariance and sWeights, recomputed independently in NumPy.

At the fitted yields y and the PDF values f_k(i) at the fitted shape values,
with weights w_i and mixture density m_i = sum_k y_k f_k(i):

    I(j, k) = sum_i w_i f_j(i) f_k(i) / m_i^2,   V = I^-1,
    s(i, r) = w_i sum_k V(r, k) f_k(i) / m_i.

Since (I y)_j = sum_i w_i f_j(i) / m_i, the sWeight column sums are
sum_i s(i, r) = (V I y)_r = y_r for any yields: they hold by construction.
The covariance row sums sum_k V(r, k) = (V 1)_r equal y_r only where I y = 1,
that is where the likelihood is stationary in the yields: at a true maximum.
"""

from __future__ import annotations

import numpy as np
import pytest

import tarnwick
from conftest import gaussian


def signal(data, shape):
    return gaussian(data[:, 0], shape["mu"], shape["sigma"])


def background(data, shape):
    # exp(-slope * x) normalised on [0, 1]
    slope = shape["slope"]
    return slope * np.exp(-slope * data[:, 0]) / -np.expm1(-slope)


def control(data, shape):
    return gaussian(data[:, 1], 0.0, 1.0)


PDFS = [signal, background]


@pytest.fixture(scope="module")
def sample():
    rng = np.random.default_rng(2024)
    x = np.concatenate([rng.normal(0.4, 0.04, 300), -np.log1p(-rng.uniform(size=700)
                                                             * -np.expm1(-2.0)) / 2.0])
    y = rng.normal(size=x.size)
    data = np.column_stack([x, y])
    weights = rng.uniform(0.5, 1.5, size=x.size)
    return data, weights


def parameters():
    return [tarnwick.ShapeParameter("mu", 0.45, 0.2, 0.8),
            tarnwick.ShapeParameter("sigma", 0.06, 0.01, 0.2),
            tarnwick.ShapeParameter("slope", 1.0, 0.1, 10.0)]


def recompute(result, data, weights):
    f = np.column_stack([pdf(data, result.shape_parameters) for pdf in PDFS])
    m = f @ result.yields
    information = (f * (weights / m**2)[:, None]).T @ f
    covariance = np.linalg.inv(information)
    sweights = weights[:, None] * (f @ covariance.T) / m[:, None]
    return covariance, sweights


@pytest.mark.parametrize("weighted", [False, True], ids=["unit", "weighted"])
def test_converged_fit_matches_an_independent_computation(sample, weighted):
    data, weights = sample
    w = weights if weighted else np.ones(len(data))
    result = tarnwick.splot(data, PDFS, shape_parameters=parameters(),
                            weights=w if weighted else None)
    assert result.success
    covariance, sweights = recompute(result, data, w)
    np.testing.assert_allclose(result.covariance, covariance, rtol=1e-10)
    np.testing.assert_allclose(result.sweights, sweights, rtol=1e-10,
                               atol=1e-10 * np.abs(sweights).max())
    np.testing.assert_allclose(result.sweights.sum(axis=0), result.yields, rtol=1e-10)
    # Stationary in the yields: the covariance rows sum to the yields, to
    # within how close the optimizer stops to the maximum (about 2e-5 here).
    np.testing.assert_allclose(result.covariance.sum(axis=1), result.yields, rtol=1e-4)
    # The fitted shape values are near the simulated ones.
    assert abs(result.shape_parameters["mu"] - 0.4) < 0.01
    assert abs(result.shape_parameters["sigma"] - 0.04) < 0.01


def test_column_sums_hold_without_convergence_but_row_sums_do_not(sample):
    data, _ = sample
    result = tarnwick.splot(data, PDFS, shape_parameters=parameters(), max_steps=2)
    assert not result.success
    covariance, sweights = recompute(result, data, np.ones(len(data)))
    np.testing.assert_allclose(result.covariance, covariance, rtol=1e-10)
    np.testing.assert_allclose(result.sweights.sum(axis=0), result.yields, rtol=1e-10)
    row_sums = result.covariance.sum(axis=1)
    assert np.max(np.abs(row_sums - result.yields) / result.yields) > 1e-3


def test_sweights_follow_event_order_and_pdf_order(sample):
    data, _ = sample
    order = np.random.default_rng(5).permutation(len(data))
    straight = tarnwick.splot(data, PDFS, shape_parameters=parameters())
    permuted = tarnwick.splot(data[order], PDFS[::-1], shape_parameters=parameters())
    np.testing.assert_allclose(permuted.sweights, straight.sweights[order][:, ::-1],
                               rtol=1e-5, atol=1e-6)


def test_a_control_variable_is_unfolded(sample):
    # The sWeighted distribution of a variable independent of the mass
    # reproduces each component's own distribution: here the signal's
    # control variable has mean 0 and variance 1.
    data, _ = sample
    result = tarnwick.splot(data, PDFS, shape_parameters=parameters())
    s = result.sweights[:, 0]
    mean = np.sum(s * data[:, 1]) / s.sum()
    assert abs(mean) < 0.2
    assert np.sum(s * data[:, 1] ** 2) / s.sum() == pytest.approx(1.0, abs=0.25)


def test_negative_weight_flips_the_row(sample):
    data, weights = sample
    w = weights.copy()
    w[3] = -w[3]
    result = tarnwick.splot(data, PDFS, shape_parameters=parameters(), weights=w)
    _, sweights = recompute(result, data, w)
    np.testing.assert_allclose(result.sweights[3], sweights[3], rtol=1e-10)
    # The row of an event is proportional to its weight.
    f = np.array([pdf(data[3:4], result.shape_parameters)[0] for pdf in PDFS])
    m = f @ result.yields
    np.testing.assert_allclose(result.sweights[3], w[3] * (result.covariance @ f) / m, rtol=1e-10)
    assert np.all(np.sign(result.sweights[3]) == -np.sign(result.covariance @ f))
