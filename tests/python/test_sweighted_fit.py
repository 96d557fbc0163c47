"""fit_sweighted: its full covariance against a brute-force sandwich of the
stacked estimating equations, its invariances, a bootstrap of the whole
chain, and the inputs it rejects."""

from __future__ import annotations

import re

import numpy as np
import pytest

import tarnwick
from conftest import gaussian
from tarnwick import diagnostics

SHAPES = [tarnwick.ShapeParameter("mu", 0.28, 0.0, 1.0),
          tarnwick.ShapeParameter("k", 8.0, 2.0, 20.0)]
POLYNOMIAL = [tarnwick.ShapeParameter("a", 0.0, -1.0, 1.2),
              tarnwick.ShapeParameter("b", 0.0, -0.6, 1.1)]
NAMES = ["signal", "background"]


def peak(data, shape):
    return gaussian(data[:, 0], shape["mu"], 0.05)


def falling(data, shape):
    """k exp(−k m) normalised on [0, 1]."""
    k = shape["k"]
    return k * np.exp(-k * data[:, 0]) / -np.expm1(-k)


def polynomial(t, values):
    """1 + a (t − ½) + b (t² − ⅓): a density on [0, 1] for small a, b, whose
    two terms are strongly correlated."""
    return 1.0 + values["a"] * (t - 0.5) + values["b"] * (t**2 - 1.0 / 3.0)


def decay_on(t_max):
    """The density exp(−t/τ)/τ truncated to [0, t_max]."""
    def decay(t, values):
        tau = values["tau"]
        return np.exp(-t / tau) / (-tau * np.expm1(-t_max / tau))
    return decay


PDFS = [peak, falling]


def sample(seed, n_signal=1500, n_background=3000, same_control=False):
    """Mass in [0, 1], a peak at 0.3 over exp(−8 m); control column 0 in
    [0, 1], the polynomial (a, b) = (0.6, 0.9) for the signal and 2 (1 − t)
    for the background (the polynomial too when `same_control`); column 1
    decay times of lifetimes 1.5 and 0.5 (clipped below 10, the tail
    beyond is e⁻²⁰⁰); and event weights."""
    rng = np.random.default_rng(seed)
    background = -np.log1p(-rng.uniform(size=n_background) * -np.expm1(-8.0)) / 8.0
    mass = np.concatenate([rng.normal(0.3, 0.05, n_signal), background])

    def from_polynomial(n):
        t = rng.uniform(size=4 * n)
        keep = rng.uniform(size=4 * n) * 1.9 < polynomial(t, {"a": 0.6, "b": 0.9})
        return t[keep][:n]

    control_background = (from_polynomial(n_background) if same_control else
                          1.0 - np.sqrt(rng.uniform(size=n_background)))
    control = np.concatenate([from_polynomial(n_signal), control_background])
    background_tau = 1.5 if same_control else 0.5
    times = np.concatenate([rng.exponential(tau, n) for tau, n in ((1.5, n_signal),
                                                                  (background_tau, n_background))])
    return (mass.reshape(-1, 1), np.column_stack([control, np.minimum(times, 9.99)]),
            rng.uniform(0.5, 1.5, len(mass)))


def stacked_sandwich(mass, control, w, result, theta):
    """Cov(θ) as A⁻¹ B A⁻ᵀ of the stacked per-event functions of
    ζ = (θ = (a, b), N, φ = (μ, k), W₀₀, W₀₁, W₁₁), with A from central
    differences of their sum and the mass block of A the fit's own Hessian."""
    m, t = mass[:, 0], control

    def per_event(zeta):
        a, b, n0, n1, mu, k, w00, w01, w11 = zeta
        g = np.column_stack([peak(mass, {"mu": mu}), falling(mass, {"k": k})])
        dg = np.column_stack([g[:, 0] * (m - mu) / 0.05**2,
                              g[:, 1] * (1 / k - m - 1 / np.expm1(k))])
        f = g @ [n0, n1]
        u = g / f[:, None]
        v = (dg * [n0, n1]) / f[:, None]
        sweight = u @ np.linalg.inv([[w00, w01], [w01, w11]])[0]
        h = polynomial(t, {"a": a, "b": b})
        s = np.column_stack([(t - 0.5) / h, (t**2 - 1 / 3) / h])
        parts = [sweight[:, None] * s, u, v, u[:, :1] ** 2, u[:, :1] * u[:, 1:], u[:, 1:] ** 2]
        return w[:, None] * np.hstack(parts)

    yields = list(result.yields)
    g = np.column_stack([peak(mass, result.shape_parameters),
                         falling(mass, result.shape_parameters)])
    u = g / (g @ yields)[:, None]
    information = (w[:, None] * u).T @ u
    zeta = np.array(list(theta) + yields + [result.shape_parameters["mu"],
                                            result.shape_parameters["k"],
                                            information[0, 0], information[0, 1],
                                            information[1, 1]])
    psi = per_event(zeta)
    a = np.empty((9, 9))
    for j in range(9):
        step = 1e-5 * abs(zeta[j])
        up, down = zeta.copy(), zeta.copy()
        up[j] += step
        down[j] -= step
        a[:, j] = (per_event(up).sum(axis=0) - per_event(down).sum(axis=0)) / (2 * step)
    a[6:, 6:] -= np.eye(3)                                # the constants −W of W's equations
    a[2:6, 2:6] = -np.linalg.inv(result.fit_covariance)   # the fit's Hessian, as it reports it
    inverse = np.linalg.inv(a)
    return (inverse @ psi.T @ psi @ inverse.T)[:2, :2], a


def fitted(seed=1, column=0, weighted=True, model=polynomial, parameters=POLYNOMIAL, unit=1.0,
           **kwargs):
    mass, control, w = sample(seed, **kwargs)
    w = w if weighted else None
    result = tarnwick.splot(mass, PDFS, shape_parameters=SHAPES, weights=w)
    fit = diagnostics.fit_sweighted(result, mass, PDFS, model, parameters,
                                    control=control[:, column] * unit, weights=w,
                                    shape_parameters=SHAPES, names=NAMES)
    assert fit.success, fit.message
    return fit, (mass, control[:, column] * unit, w, result)


def test_full_covariance_is_the_stacked_sandwich_and_its_influences_sum_to_zero():
    from tarnwick.diagnostics._sweighted_covariance import influence
    from tarnwick.diagnostics._model import densities
    from tarnwick.diagnostics._sweighted_fit import _mass_fit

    fit, (mass, t, w, result) = fitted()
    brute, _ = stacked_sandwich(mass, t, w, result, fit.values)
    np.testing.assert_allclose(fit.covariance, brute, rtol=1e-6)
    # Strongly correlated parameters, whose covariance an elementwise
    # product of the sandwich's matrices would get wrong.
    assert fit.covariance[0, 1] / np.prod(fit.errors) < -0.9
    assert np.all(fit.errors > fit.hessian_errors * 1.3)
    h = polynomial(t, dict(zip(fit.parameters, fit.values)))
    scores = np.column_stack([(t - 0.5) / h, (t**2 - 1 / 3) / h])
    g = densities(mass, PDFS, result.shape_parameters)
    psi = influence(_mass_fit(result, mass, PDFS, w, g, ["mu", "k"], SHAPES), 0, scores)
    np.testing.assert_allclose(psi.sum(axis=0), 0.0, atol=1e-6 * np.abs(psi).sum(axis=0).max())
    text = str(fit)
    assert "does not cover" in text and "0.4587" in text and "signal" in text
    assert ">a</td>" in fit._repr_html_() and "does not cover" in fit._repr_html_()


def test_control_in_other_units_scales_every_error_by_the_same_factor():
    plain, _ = fitted(column=1, model=decay_on(10.0),
                      parameters=[tarnwick.ShapeParameter("tau", 1.0, 0.05, 10.0)])
    scaled, _ = fitted(column=1, model=decay_on(1e4), unit=1e3,
                       parameters=[tarnwick.ShapeParameter("tau", 1e3, 50.0, 1e4)])
    np.testing.assert_allclose(scaled.values, plain.values * 1e3, rtol=1e-7)
    for field in ("errors", "static_errors", "hessian_errors"):
        np.testing.assert_allclose(getattr(scaled, field), getattr(plain, field) * 1e3,
                                   rtol=1e-6)


LIFETIME = [tarnwick.ShapeParameter("tau", 1.0, 0.05, 10.0)]


def test_full_errors_reduce_to_fixed_sweights_when_every_component_has_one_control_shape():
    # The terms beyond the fixed-sWeight sandwich are Σ_i w_i w_{b,i} s_i
    # and J, both zero in expectation when the control variable has the
    # fitted distribution in every component.
    same, _ = fitted(column=1, weighted=False, model=decay_on(10.0), parameters=LIFETIME,
                     same_control=True)
    assert same.errors[0] == pytest.approx(same.static_errors[0], rel=2e-3)
    other, _ = fitted(column=1, weighted=False, model=decay_on(10.0), parameters=LIFETIME)
    assert other.errors[0] > 1.01 * other.static_errors[0]


@pytest.mark.heavy
def test_a_bootstrap_of_the_whole_chain_agrees_with_the_full_error():
    # 600 signal among 3600 events: the inverse Hessian's error is too
    # small here, the full one within the bootstrap's own error.
    fit, (mass, t, _, _) = fitted(column=1, weighted=False, model=decay_on(10.0),
                                  parameters=LIFETIME, n_signal=600, n_background=3000)
    rng = np.random.default_rng(7)
    taus = []
    for _ in range(100):
        rows = np.repeat(np.arange(len(t)), rng.poisson(1.0, len(t)))
        result = tarnwick.splot(mass[rows], PDFS, shape_parameters=SHAPES)
        replica = diagnostics.fit_sweighted(result, mass[rows], PDFS, decay_on(10.0),
                                            LIFETIME, control=t[rows], shape_parameters=SHAPES)
        assert replica.success, replica.message
        taus.append(replica.values[0])
    spread, precision = np.std(taus, ddof=1), 2 / np.sqrt(2 * (len(taus) - 1))
    assert spread == pytest.approx(fit.errors[0], rel=precision)
    assert fit.hessian_errors[0] < spread * (1 - precision)


def cosine(t, values):
    """1 − c cos 2π(t − ½) on [0, 1]: zero at t = ½ when c = 1."""
    return 1.0 - values["c"] * np.cos(2 * np.pi * (t - 0.5))


@pytest.mark.parametrize("upper, message", [
    (1.0, "density is 0.0 at event .* unbounded below"),
    (0.999, "falls ever more steeply towards the bound of \\['c'\\]"),
])
def test_a_likelihood_unbounded_below_is_reported_not_fitted(upper, message):
    # The events below the peak, whose signal sWeights are negative, sit at
    # t = ½: the weighted likelihood grows without limit as h(½) → 0.
    mass, control, _ = sample(3, 1000, 3000)
    t = np.where(mass[:, 0] < 0.15, 0.5, control[:, 0])
    result = tarnwick.splot(mass, PDFS, shape_parameters=SHAPES)
    fit = diagnostics.fit_sweighted(result, mass, PDFS, cosine,
                                    [tarnwick.ShapeParameter("c", 0.0, -0.9, upper)],
                                    control=t, shape_parameters=SHAPES)
    assert not fit.success
    assert re.search(message, fit.message), fit.message
    assert np.isnan(fit.errors).all()


def test_a_parameter_ending_on_its_bound_has_nan_errors_and_its_side():
    fit, _ = fitted(weighted=False, same_control=True)
    assert fit.success and fit.at_bound == ("upper", "") and fit.values[0] == 1.2
    assert np.isnan([fit.errors[0], fit.static_errors[0], fit.hessian_errors[0]]).all()
    assert not fit.covariance[0].any() and np.isfinite(fit.errors[1]) and fit.errors[1] > 0
    assert "a on its upper bound" in fit.message
    # The only parameter on its bound, 2.76 (not 2.76 / 11 · 11 in floating
    # point: the minimiser works in units of the start value).
    alone, _ = fitted(column=1, model=decay_on(10.0),
                      parameters=[tarnwick.ShapeParameter("tau", 11.0, 2.76, 20.0)])
    assert alone.values[0] == 2.76 and alone.at_bound == ("lower",)
    assert np.isnan(alone.errors).all() and not alone.covariance.any()


def _no_convergence(mass, control, w):
    return dict(result=tarnwick.splot(mass, PDFS, shape_parameters=SHAPES, max_steps=1))


@pytest.mark.parametrize("change, message", [
    (lambda m, t, w: dict(control=t[:-1]), "control has shape \\(999,\\), expected 1000"),
    (lambda m, t, w: dict(component="kaon"), "no component is named 'kaon'"),
    (lambda m, t, w: dict(component=2), "component 2 is out of range"),
    (lambda m, t, w: dict(parameters=POLYNOMIAL + [tarnwick.ShapeParameter("c", 0.0)]),
     "parameters \\['c'\\] are not read by the control model"),
    (lambda m, t, w: dict(parameters=POLYNOMIAL[:1]), "the control model reads 'b'"),
    (_no_convergence, "result: the fit did not converge"),
    (lambda m, t, w: dict(weights=w), "weights do not belong to the fit"),
    (lambda m, t, w: dict(data=m[::-1]), "the data or the pdfs do not belong to the fit"),
    (lambda m, t, w: dict(pdfs=PDFS[:1]), "1 PDFs given for a fit of 2 components"),
])
def test_inputs_that_do_not_belong_together_are_rejected_before_any_fit(change, message):
    mass, control, w = sample(2, 300, 700)
    calls = []

    def model(t, values):
        calls.append(dict(values))
        return polynomial(t, values)

    arguments = dict(result=tarnwick.splot(mass, PDFS, shape_parameters=SHAPES), data=mass,
                     pdfs=PDFS, model=model, parameters=POLYNOMIAL, control=control[:, 0],
                     shape_parameters=SHAPES, names=NAMES)
    arguments.update(change(mass, control[:, 0], w))
    with pytest.raises(ValueError, match=message):
        diagnostics.fit_sweighted(**arguments)
    assert len(calls) <= 1
