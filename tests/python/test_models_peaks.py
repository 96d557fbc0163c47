"""The peak shapes of tarnwick.models against independent references: each
density written out in mpmath at 50 digits and normalised by mpmath's
quadrature, SciPy's distributions, quadrature of the model's own density,
and Kolmogorov–Smirnov tests of its draws against its CDF."""

from __future__ import annotations

import math

import numpy as np
import pytest

mpmath = pytest.importorskip("mpmath")
stats = pytest.importorskip("scipy.stats")
integrate = pytest.importorskip("scipy.integrate")
special = pytest.importorskip("scipy.special")
models = pytest.importorskip("tarnwick.models")

mp = mpmath.mp
DENSITY_RTOL = 1e-12  # the bound, a few hundred ulp of the 30σ exponents
MASS_ATOL = 1e-12


def gauss(t):
    return mp.exp(-t * t / 2)


def power_tail(t, beta, n):
    """The low tail below −β in standardised t (scipy.stats.crystalball's)."""
    beta, n = mp.mpf(beta), mp.mpf(n)
    return mp.exp(-beta * beta / 2) * (1 - beta / n * (t + beta)) ** (-n)


def crystal_ball(mu, sigma, low=None, high=None):
    def f(x):
        t = (x - mu) / sigma
        if low is not None and t < -low[0]:
            return power_tail(t, *low)
        if high is not None and t > high[0]:
            return power_tail(-t, *high)
        return gauss(t)
    return f


def johnson_su(mu, sigma, gamma, delta):
    def f(x):
        t = (x - mu) / sigma
        return delta / mp.sqrt(1 + t * t) * gauss(gamma + delta * mp.asinh(t))
    return f


def voigt(mu, sigma, gamma):
    def f(x):
        z = (x - mu + 1j * gamma) / (sigma * mp.sqrt(2))
        return mp.re(mp.exp(-z * z) * mp.erfc(-1j * z))
    return f


G, CB, DCB = models.Gaussian, models.CrystalBall, models.DoubleCrystalBall
JSU, V = models.JohnsonSU, models.Voigtian
# (model with every parameter fixed, 50-digit density up to a constant, the
# points where the reference quadrature splits its range).
CASES = {
    "gauss": (G(0, (5.0, 5.6), mu=5.28, sigma=0.02), crystal_ball(5.28, 0.02),
              [5.28 + 0.02 * k for k in range(-8, 9)]),
    "gauss 30σ above": (G(0, (30.0, 32.0), mu=0.0, sigma=1.0), crystal_ball(0, 1), []),
    "gauss 30-38σ below": (G(0, (-0.38, -0.3), mu=0.0, sigma=0.01),
                           crystal_ball(0, 0.01), []),
    "gauss 40σ below, Φ underflows": (G(0, (-42.0, -40.0), mu=0.0, sigma=1.0),
                                      crystal_ball(0, 1), []),
    "gauss 30σ above, 1e-6σ wide": (G(0, (30.0, 30.000001), mu=0.0, sigma=1.0),
                                    crystal_ball(0, 1), []),
    "cb": (CB(0, (4.0, 6.0), mu=5.0, sigma=0.3, alpha=1.2, n=3.0),
           crystal_ball(5.0, 0.3, low=(1.2, 3.0)), [4.64, 5.0, 5.3, 5.6]),
    "cb α→0": (CB(0, (-20.0, 5.0), mu=0.0, sigma=1.0, alpha=1e-4, n=2.5),
               crystal_ball(0, 1, low=(1e-4, 2.5)), [-1, -1e-4, 1, 2]),
    "cb n→1": (CB(0, (-60.0, 4.0), mu=0.0, sigma=1.0, alpha=1.5, n=1.0 + 1e-9),
               crystal_ball(0, 1, low=(1.5, 1.0 + 1e-9)),
               [-10, -1.5, 0, 1.5]),
    "cb high side": (CB(0, (4.0, 6.0), mu=5.0, sigma=0.3, alpha=0.7, n=4.0, side="high"),
                     crystal_ball(5.0, 0.3, high=(0.7, 4.0)), [4.4, 5.0, 5.21, 5.6]),
    "cb high, 30σ below": (CB(0, (-32.0, -30.0), mu=0.0, sigma=1.0, alpha=2.0, n=3.0,
                              side="high"), crystal_ball(0, 1, high=(2, 3)), []),
    "cb deep in tail": (CB(0, (-400.0, -300.0), mu=0.0, sigma=1.0, alpha=2.0, n=60.0),
                        crystal_ball(0, 1, low=(2, 60)), []),
    "cb α = 40, tail e^-800 below the peak": (CB(0, (-50.0, 3.0), mu=0.0, sigma=1.0, alpha=40.0,
                                                 n=2.0), crystal_ball(0, 1, low=(40, 2)),
                                              [-40, -5, 0]),
    "cb window across a junction 40σ out": (CB(0, (-45.0, -35.0), mu=0.0, sigma=1.0,
                                               alpha=40.0, n=2.0),
                                            crystal_ball(0, 1, low=(40, 2)), [-40]),
    "dcb deep in high tail": (DCB(0, (300.0, 400.0), mu=0.0, sigma=1.0, alpha_low=1.0,
                                 n_low=2.0, alpha_high=2.0, n_high=60.0),
                             crystal_ball(0, 1, low=(1, 2), high=(2, 60)), []),
    "dcb": (DCB(0, (-10.0, 10.0), mu=0.0, sigma=1.0, alpha_low=1.0, n_low=2.0,
                alpha_high=2.0, n_high=5.0),
            crystal_ball(0, 1, low=(1, 2), high=(2, 5)), [-1, 0, 2]),
    "dcb α→0, n→1": (DCB(0, (-30.0, 30.0), mu=0.0, sigma=1.0, alpha_low=1e-3,
                         n_low=1.0 + 1e-7, alpha_high=3.0, n_high=1.0 + 1e-12),
                     crystal_ball(0, 1, low=(1e-3, 1.0 + 1e-7), high=(3, 1.0 + 1e-12)),
                     [-1, -1e-3, 0, 3, 6]),
    "johnson su": (JSU(0, (4.0, 6.0), mu=5.0, sigma=0.3, gamma=0.5, delta=1.5),
                   johnson_su(5.0, 0.3, 0.5, 1.5), [4.5, 5.0, 5.5]),
    "johnson su, z 30-33 above": (JSU(0, (10.0, 13.0), mu=0.0, sigma=1.0, gamma=0.0,
                                      delta=10.0), johnson_su(0, 1, 0, 10), []),
    "voigt": (V(0, (4.0, 6.0), mu=5.0, sigma=0.1, gamma=0.05), voigt(5.0, 0.1, 0.05),
              [4.5, 4.8, 4.9, 5.0, 5.1, 5.2, 5.5]),
    "voigt lorentzian": (V(0, (-100.0, 50.0), mu=0.0, sigma=0.01, gamma=1.0),
                         voigt(0, 0.01, 1.0), [-10, -1, 0, 1, 10]),
    "voigt gaussian": (V(0, (-3.0, 3.0), mu=0.0, sigma=0.5, gamma=0.0),
                       voigt(0, 0.5, 0.0), [-1, 0, 1]),
    "voigt tail": (V(0, (5.0, 50.0), mu=0.0, sigma=1.0, gamma=0.1), voigt(0, 1.0, 0.1),
                   [6, 8, 12, 20]),
}
IDS = list(CASES)


@pytest.fixture(params=IDS)
def hard_case(request):
    return CASES[request.param]


def points(model, count=41):
    low, high = model.window
    return np.linspace(low, high, count)


@pytest.mark.heavy
def test_density_matches_the_50_digit_formula(hard_case):
    model, reference, breaks = hard_case
    low, high = model.window
    with mp.workdps(50):
        knots = [mp.mpf(low)] + [mp.mpf(b) for b in breaks if low < b < high] + [mp.mpf(high)]
        x = points(model)
        values = [reference(mp.mpf(float(v))) for v in x]
        # mpmath's quadrature stops at an absolute tolerance: scale to O(1) first.
        scale = max(values + [reference(k) for k in knots])
        mass = mp.quad(lambda v: reference(v) / scale, knots) * scale
        expected = np.array([float(v / mass) for v in values])
    np.testing.assert_allclose(model(x, {}), expected, rtol=DENSITY_RTOL, atol=0)


def test_density_integrates_to_one_and_cdf_follows_quadrature(hard_case):
    model, _, breaks = hard_case
    low, high = model.window
    inner = [b for b in breaks if low < b < high]
    x = points(model, 9)
    density = lambda v: float(model(np.array([v]), {})[0])  # noqa: E731
    pieces = [integrate.quad(density, a, b, epsabs=1e-14, epsrel=1e-13, limit=200)[0]
              for a, b in zip([low, *inner], [*inner, high])]
    assert abs(math.fsum(pieces) - 1.0) < MASS_ATOL
    expected = [integrate.quad(density, low, v, points=[b for b in inner if b < v] or None,
                               epsabs=1e-14, epsrel=1e-13, limit=200)[0] for v in x]
    np.testing.assert_allclose(model.cdf(x, {}), expected, rtol=0, atol=1e-12)
    a, b = x[2], x[6]
    assert model.integral(a, b, {}) == pytest.approx(expected[6] - expected[2], abs=1e-12)


@pytest.mark.parametrize("name", ["gauss", "cb", "cb high side", "johnson su", "voigt"])
def test_shape_is_scipys(name):
    model, _, _ = CASES[name]
    low, high = model.window
    x = points(model)
    mu, sigma, *rest = (model._bound[key] for key in model._keywords)
    if name == "gauss":
        frozen = stats.norm(loc=mu, scale=sigma)
    elif name == "cb":
        frozen = stats.crystalball(beta=rest[0], m=rest[1], loc=mu, scale=sigma)
    elif name == "cb high side":
        # The mirror image: the low-side shape of −x about −μ.
        frozen = stats.crystalball(beta=rest[0], m=rest[1], loc=-mu, scale=sigma)
        x, low, high = -x, -high, -low
    elif name == "johnson su":
        frozen = stats.johnsonsu(a=rest[0], b=rest[1], loc=mu, scale=sigma)
    if name == "voigt":
        profile = lambda v: special.voigt_profile(v - mu, sigma, rest[0])  # noqa: E731
        mass = integrate.quad(profile, low, high, points=[mu - 0.2, mu, mu + 0.2], epsabs=1e-15,
                              epsrel=1e-13, limit=200)[0]
        expected = profile(x) / mass
    else:
        expected = frozen.pdf(x) / (frozen.cdf(high) - frozen.cdf(low))
    got = model(-x if name == "cb high side" else x, {})
    np.testing.assert_allclose(got, expected, rtol=DENSITY_RTOL, atol=0)


@pytest.mark.parametrize("model", [CASES["cb"][0], CASES["cb high side"][0], CASES["dcb"][0],
                                   CASES["dcb α→0, n→1"][0]], ids=["low", "high", "dcb", "dcb"
                                                                  " limits"])
def test_crystal_ball_and_its_slope_are_continuous_at_the_junctions(model):
    bound = dict(zip(model._keywords, (model._bound[k] for k in model._keywords)))
    mu, sigma = bound["mu"], bound["sigma"]
    junctions = [mu - bound[k] * sigma for k in ("alpha", "alpha_low") if k in bound
                 and getattr(model, "side", "low") == "low"]
    junctions += [mu + bound[k] * sigma for k in ("alpha", "alpha_high") if k in bound
                  and getattr(model, "side", "high") == "high"]
    assert junctions
    h = 1e-5 * sigma
    for j in junctions:
        f = model(np.array([j - 2 * h, j - h, j, j + h, j + 2 * h]), {})
        assert f[1] == pytest.approx(f[3], rel=1e-4)
        # One-sided slopes of second order from each side agree.
        left = (3 * f[2] - 4 * f[1] + f[0]) / (2 * h)
        right = (-3 * f[2] + 4 * f[3] - f[4]) / (2 * h)
        assert left == pytest.approx(right, rel=1e-5, abs=1e-6 * f[2] / sigma)


@pytest.mark.heavy
def test_draws_follow_the_cdf_over_many_seeds(hard_case):
    """40 seeds of 2000 draws: the KS p-values must themselves be uniform."""
    model, _, _ = hard_case
    cdf = lambda v: model.cdf(v, {})  # noqa: E731
    p_values = []
    for seed in range(40):
        draws = model.sample(2000, {}, np.random.default_rng(seed))
        low, high = model.window
        assert draws.shape == (2000,) and draws.min() >= low and draws.max() <= high
        p_values.append(stats.kstest(draws, cdf).pvalue)
    assert stats.kstest(p_values, "uniform").pvalue > 1e-3


@pytest.mark.parametrize("name", [name for name in IDS if name not in ("voigt", "voigt lorentzian",
                                                                         "voigt gaussian")])
def test_inverse_cdf_draws_are_exact(name):
    """These shapes draw by inverting their CDF at one uniform number per
    event (the Voigtian only where its window holds little of the profile):
    the CDF of each draw gives that number back, up to the draw's rounding."""
    model = CASES[name][0]
    draws = model.sample(500, {}, np.random.default_rng(3))
    error = np.abs(model.cdf(draws, {}) - np.random.default_rng(3).random(500))
    assert np.all(error <= 1e-11 + np.spacing(np.abs(draws)) * model(draws, {}))


@pytest.mark.parametrize("model, values, match", [
    (G(0, (0, 1), mu="mu", sigma="s"), {"mu": 0.5, "s": 0.0}, r"sigma \('s'\) = 0.0"),
    (G(0, (0, 1), mu="mu", sigma=0.1), {"mu": math.nan}, r"mu = nan"),
    (CB(0, (0, 1), mu=0.5, sigma=0.1, alpha="a", n=2.0), {"a": -1.0}, r"alpha \('a'\) = -1.0"),
    (CB(0, (0, 1), mu=0.5, sigma=0.1, alpha=1.0, n="n"), {"n": 1.0}, r"n = 1.0"),
    (DCB(0, (0, 1), mu=0.5, sigma=0.1, alpha_low=1.0, n_low=2.0, alpha_high=0.0,
         n_high=2.0), {}, r"alpha_high = 0.0"),
    (DCB(0, (0, 1), mu=0.5, sigma=0.1, alpha_low=1.0, n_low=0.5, alpha_high=1.0,
         n_high=2.0), {}, r"n_low = 0.5"),
    (JSU(0, (0, 1), mu=0.5, sigma=0.1, gamma=0.0, delta="d"), {"d": -2.0}, r"delta \('d'\)"),
    (V(0, (0, 1), mu=0.5, sigma=0.1, gamma="g"), {"g": -0.1}, r"gamma \('g'\) = -0.1"),
    (V(0, (0, 1), mu=0.5, sigma=math.inf, gamma=0.1), {}, r"sigma = inf"),
])
def test_invalid_parameters_are_named_with_their_value(model, values, match):
    for call in (lambda: model(np.array([0.5]), values),
                 lambda: model.sample(3, values, np.random.default_rng(0))):
        with pytest.raises(ValueError, match=match):
            call()


def test_a_missing_name_is_named_beside_the_present_ones():
    model = CB(0, (0, 1), mu="mu", sigma="width", alpha=1.0, n=2.0)
    assert model.parameters == ("mu", "width")
    with pytest.raises(KeyError, match=r"'width' \(sigma\).*present are 'mu', 'other'"):
        model(np.array([0.5]), {"mu": 0.5, "other": 1.0})
    with pytest.raises(ValueError, match="side"):
        CB(0, (0, 1), mu=0.5, sigma=0.1, alpha=1.0, n=2.0, side="left")


WINDOW = (5.0, 5.6)


def exponential_background(data, values):
    slope = values["slope"]
    return slope * np.exp(slope * (data[:, 0] - WINDOW[0])) / math.expm1(
        slope * (WINDOW[1] - WINDOW[0]))


def hand_written_gaussian(sigma=None):
    def pdf(data, values):
        mu, width = values["mu"], sigma if sigma is not None else values["sigma"]
        scale = width * math.sqrt(2.0)
        mass = 0.5 * (math.erf((WINDOW[1] - mu) / scale) - math.erf((WINDOW[0] - mu) / scale))
        return np.exp(-0.5 * ((data[:, 0] - mu) / width) ** 2) / (width * math.sqrt(2 * math.pi)
                                                                  * mass)
    return pdf


@pytest.mark.parametrize("sigma", [0.02, "sigma"], ids=["sigma fixed", "every parameter free"])
def test_a_fit_with_the_model_equals_the_hand_written_one(sigma):
    tarnwick = pytest.importorskip("tarnwick")
    rng = np.random.default_rng(7)
    signal = models.Gaussian(0, WINDOW, mu=5.28, sigma=0.02).sample(1500, {}, rng)
    u = rng.random(4000)
    background = WINDOW[0] + np.log1p(u * math.expm1(-2.0 * 0.6)) / -2.0
    data = rng.permutation(np.concatenate([signal, background]))[:, None]
    declared = [tarnwick.ShapeParameter("mu", 5.27, 5.2, 5.35),
                tarnwick.ShapeParameter("slope", -1.0, -10.0, -0.01)]
    if sigma == "sigma":
        declared.append(tarnwick.ShapeParameter("sigma", 0.025, 0.005, 0.1))
    fits = [tarnwick.splot(data, [pdf, exponential_background], shape_parameters=declared)
            for pdf in (models.Gaussian(0, WINDOW, mu="mu", sigma=sigma),
                        hand_written_gaussian(None if sigma == "sigma" else sigma))]
    model, hand = fits
    assert model.success and hand.success
    np.testing.assert_allclose(model.yields, hand.yields, rtol=1e-9)
    np.testing.assert_allclose(model.yield_errors, hand.yield_errors, rtol=1e-6)
    for name in hand.shape_parameters:
        assert model.shape_parameters[name] == pytest.approx(hand.shape_parameters[name],
                                                             rel=1e-9)
        assert model.shape_errors[name] == pytest.approx(hand.shape_errors[name], rel=1e-6)
    assert (model.objective_evaluations, model.gradient_evaluations,
            model.hessian_evaluations) == (hand.objective_evaluations,
                                           hand.gradient_evaluations, hand.hessian_evaluations)
