"""Realistic mass fits against an independent careful fit.

Each sample is fitted by tarnwick and by iminuit (MIGRAD then HESSE, strategy
2) on the same extended negative log-likelihood, data, bounds and start
values. A fit that reports success must be at the likelihood maximum: its
minimum may not lie more than 1e-3 above iminuit's. Its yield errors must be
those of a careful Hessian: within 5 % of HESSE's at tarnwick's point (2 % for
a yield that ends on its bound at 0), computed with the shape parameters that
tarnwick leaves on a bound held fixed, as tarnwick does; a yield on its bound
stays free, with its correlations.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

import tarnwick

iminuit = pytest.importorskip("iminuit")
pytest.importorskip("scipy")
from mass_problems import HI, LO, STANDARD_SHAPES, exp_density, gauss_density, sample_exp  # noqa: E402

EPS = float(np.finfo(float).eps)
NLL_GAP = 1e-3
ERROR_RTOL = 0.05


def signal(data, p):
    return gauss_density(data[:, 0], p["mu"], p["sigma"])


def background(data, p):
    return exp_density(data[:, 0], p["lam"])


def peak_one(data, p):
    return gauss_density(data[:, 0], p["mu1"], p["sigma"])


def peak_two(data, p):
    return gauss_density(data[:, 0], p["mu2"], p["sigma"])


def sample(rng, n_events, peaks):
    """n_events masses: Gaussian peaks (fraction, mu, sigma) over exp(−2 m)."""
    parts = []
    for fraction, mu, sigma in peaks:
        n = int(round(fraction * n_events))
        drawn = rng.normal(mu, sigma, 2 * n + 100)
        parts.append(drawn[(drawn >= LO) & (drawn <= HI)][:n])
    parts.append(sample_exp(rng, n_events - sum(len(p) for p in parts), -2.0))
    return np.concatenate(parts).reshape(-1, 1)


# name: (events, peaks, pdfs, shape parameters, seed)
CASES = {
    "standard_1e5": (100_000, [(0.3, 5.28, 0.02)], [signal, background], STANDARD_SHAPES, 1),
    "no_signal_1e4": (10_000, [], [signal, background], STANDARD_SHAPES, 2),
    # A signal this small has a second, signal-free minimum (zero yield, the
    # peak's shape left anywhere) that both fitters reach in some samples;
    # in this one the maximum has about 270 signal events.
    "small_signal_1e5": (100_000, [(0.003, 5.28, 0.02)], [signal, background], STANDARD_SHAPES, 4),
    "width_and_yield_on_bounds": (
        20_000, [(0.0, 5.28, 0.02)], [signal, background],
        [("mu", 5.28, 5.2, 5.36), ("sigma", 0.03, 0.025, 0.06), ("lam", -1.0, -5.0, -0.1)], 4),
    "three_overlapping_components": (
        50_000, [(0.2, 5.27, 0.015), (0.15, 5.30, 0.015)], [peak_one, peak_two, background],
        [("mu1", 5.26, 5.2, 5.29), ("mu2", 5.31, 5.29, 5.36), ("sigma", 0.02, 0.005, 0.06),
         ("lam", -1.0, -5.0, -0.1)], 5),
}


def careful_fit(data, pdfs, shapes):
    """iminuit on the same objective, box and start, with its Hessian errors."""
    n_comp = len(pdfs)
    yield_names = [f"y{k}" for k in range(n_comp)]
    shape_names = [name for name, *_ in shapes]

    def nll(*x):
        p = dict(zip(shape_names, x[n_comp:]))
        m = sum(y * pdf(data, p) for y, pdf in zip(x[:n_comp], pdfs))
        return sum(x[:n_comp]) - np.sum(np.log(np.maximum(m, 1e-300)))

    start = [len(data) / n_comp] * n_comp + [initial for _, initial, _, _ in shapes]
    fit = iminuit.Minuit(nll, *start, name=yield_names + shape_names)
    fit.errordef = iminuit.Minuit.LIKELIHOOD
    fit.strategy = 2
    for name in yield_names:
        fit.limits[name] = (EPS, None)
    for name, _, lower, upper in shapes:
        fit.limits[name] = (lower, upper)
    fit.migrad()
    fit.hesse()
    return fit


def guarded(pdf, shapes):
    """The PDF, raising when asked for a shape value outside its bounds."""
    def call(data, p):
        for name, _, lower, upper in shapes:
            if not lower <= p[name] <= upper:
                raise ValueError(f"{name} = {p[name]!r} is outside [{lower}, {upper}]")
        return pdf(data, p)
    return call


def on_bound(result, shapes):
    fixed = {}
    for name, _, lower, upper in shapes:
        if result.shape_parameters[name] in (lower, upper):
            fixed[name] = result.shape_parameters[name]
    return fixed


@pytest.mark.heavy
@pytest.mark.parametrize("case", CASES)
def test_fit_reaches_the_maximum_with_careful_errors(case):
    n_events, peaks, pdfs, shapes, seed = CASES[case]
    data = sample(np.random.default_rng(seed), n_events, peaks)
    # The PDFs raise outside the bounds: no evaluation of the fit, its
    # derivatives or its Hessian may step past a bound.
    result = tarnwick.splot(data, [guarded(pdf, shapes) for pdf in pdfs],
                            shape_parameters=[tarnwick.ShapeParameter(*s) for s in shapes])
    assert result.success, result.message

    careful = careful_fit(data, pdfs, shapes)
    assert result.minimum_nll <= careful.fval + NLL_GAP, (result.minimum_nll, careful.fval)

    fixed = on_bound(result, shapes)
    yields_at_zero = [k for k, y in enumerate(result.yields) if y == EPS]
    if case == "no_signal_1e4":
        assert yields_at_zero == [0]  # the case of a yield error at 0
    if fixed or yields_at_zero:
        # HESSE at tarnwick's point; a yield at its bound 0 is differenced
        # on both sides (the likelihood is smooth there), not through
        # iminuit's bound transform, whose derivative vanishes at the bound.
        for k, y in enumerate(result.yields):
            careful.values[f"y{k}"] = y
        for name, value in result.shape_parameters.items():
            careful.values[name] = value
        for k in yields_at_zero:
            careful.limits[f"y{k}"] = (None, None)
        for name in fixed:
            careful.fixed[name] = True
        careful.hesse()
    # Shape parameters held fixed on a bound: no error. Elsewhere: the
    # careful Hessian's error.
    for k, error in enumerate(result.yield_errors):
        rtol = 0.02 if k in yields_at_zero else ERROR_RTOL
        assert error == pytest.approx(careful.errors[f"y{k}"], rel=rtol), k
    for name, error in result.shape_errors.items():
        assert math.isnan(error) if name in fixed else error > 0.0
