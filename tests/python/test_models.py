"""tarnwick.models' backgrounds, polynomials, templates and combinators, and
diagnostics.normalisation: densities against independent references,
normalisation, sampling, fits with fixed parameters and with Sums."""

from __future__ import annotations

import math
import pickle

import numpy as np
import pytest

mpmath = pytest.importorskip("mpmath")
stats = pytest.importorskip("scipy.stats")
integrate = pytest.importorskip("scipy.integrate")
special = pytest.importorskip("scipy.special")

import tarnwick  # noqa: E402
from tarnwick import diagnostics  # noqa: E402
from tarnwick.models import (Argus, Bernstein, Chebyshev, Exponential, Model,  # noqa: E402
                             Product, Sum, Template, Uniform)

mp = mpmath.mp
mp.dps = 50
WINDOW = (5.0, 5.6)
# Double rounding of a density and of its normalisation: a few ulps, with room
# for the condition of the polynomial forms (see _polynomials).
DENSITY_TOLERANCE = 1e-12


class LocalGaussian(Model):
    """A Gaussian normalised over the window, for the fits with Sum."""

    _keywords = ("mu", "sigma")

    def __init__(self, column, window, mu, sigma):
        super().__init__(column, window, mu=mu, sigma=sigma)

    def _unnormalised(self, x, p):
        z = (x - p[0]) / p[1]
        return np.exp(-0.5 * z * z) / (p[1] * math.sqrt(2.0 * math.pi))

    def _primitive(self, x, p):
        return special.ndtr((x - p[0]) / p[1]) - special.ndtr((self.window[0] - p[0]) / p[1])


def mp_normalised(f, window, points=()):
    """x ↦ f(x) / ∫_window f at 50 digits."""
    mass = mp.quad(f, [window[0], *points, window[1]])
    return lambda x: f(mp.mpf(x)) / mass


def mp_exponential(slope, window):
    s, (a, b) = mp.mpf(slope), window
    return lambda x: s * mp.exp(s * mp.mpf(x)) / (mp.exp(s * b) - mp.exp(s * a)) if s else \
        1 / (mp.mpf(b) - a)


def mp_argus(m0, c, p, window):
    m0, c, p = mp.mpf(m0), mp.mpf(c), mp.mpf(p)

    def f(x):
        u = 1 - (x / m0) ** 2
        return x * u**p * mp.exp(c * u) if u > 0 else mp.mpf(0)
    return mp_normalised(f, (window[0], min(window[1], float(m0))))


def mp_chebyshev(coefficients, window):
    a, b = window
    return mp_normalised(lambda x: 1 + sum(c * mp.chebyt(k, (2 * x - a - b) / (b - a))
                                           for k, c in enumerate(coefficients, 1)), window)


def mp_bernstein(coefficients, window):
    a, b = window
    n = len(coefficients) - 1

    def f(x):
        t = (x - a) / (b - a)
        return sum(c * mp.binomial(n, k) * t**k * (1 - t) ** (n - k)
                   for k, c in enumerate(coefficients))
    return mp_normalised(f, window)


def mp_linear_template(edges, counts, window=None):
    edges, counts = np.asarray(edges, float), np.asarray(counts, float)
    density = counts / np.diff(edges)
    nodes = [edges[0], *(0.5 * (edges[1:] + edges[:-1])), edges[-1]]
    values = [density[0], *density, density[-1]]

    def f(x):
        for j in range(len(nodes) - 1):
            if nodes[j] <= x <= nodes[j + 1]:
                t = (x - mp.mpf(nodes[j])) / (mp.mpf(nodes[j + 1]) - nodes[j])
                return values[j] + t * (values[j + 1] - values[j])
        return mp.mpf(0)
    window = window or (edges[0], edges[-1])
    return mp_normalised(f, window, [v for v in nodes if window[0] < v < window[1]])


def truncated(distribution, window):
    mass = distribution.cdf(window[1]) - distribution.cdf(window[0])
    return lambda x: distribution.pdf(x) / mass


EDGES, COUNTS = [5.0, 5.1, 5.25, 5.3, 5.45, 5.6], [4.0, 7.0, 0.0, 3.0, 5.0]
CENTRES = tuple(0.5 * (a + b) for a, b in zip(EDGES[:-1], EDGES[1:]))  # the kinks

# (id, model, values, reference density of one float, breakpoints for quadrature)
CASES = [
    ("uniform", Uniform(0, WINDOW), {}, truncated(stats.uniform(5.0, 0.6), WINDOW), ()),
    *[(f"exponential {s:g}", Exponential(0, WINDOW, slope="s"), {"s": s},
       mp_exponential(s, WINDOW), ()) for s in (-1e3, -2.5, -1e-9, 0.0, 1e-9, 2.5, 1e3)],
    ("exponential 1e3 over 100", Exponential(0, (0.0, 100.0), slope=1e3), {},
     mp_exponential(1e3, (0.0, 100.0)), ()),
    ("argus scipy", Argus(0, (4.0, 5.29), m0="m0", c="c"), {"m0": 5.29, "c": -4.5},
     truncated(stats.argus(3.0, scale=5.29), (4.0, 5.29)), ()),
    ("argus p=1.7 c>0 m0 inside", Argus(0, WINDOW, m0=5.4, c=3.0, p="p"), {"p": 1.7},
     mp_argus(5.4, 3.0, 1.7, WINDOW), (5.4,)),
    ("argus tail c=-60", Argus(0, (1.0, 2.0), m0=5.29, c=-60.0, p=0.5), {},
     mp_argus(5.29, -60.0, 0.5, (1.0, 2.0)), ()),
    ("chebyshev", Chebyshev(0, WINDOW, ["c1", 0.2, "c3", -0.1]), {"c1": -0.3, "c3": 0.15},
     mp_chebyshev([-0.3, 0.2, 0.15, -0.1], WINDOW), ()),
    ("bernstein", Bernstein(0, WINDOW, [1.0, "b1", 0.0, 2.5, "b4", 0.7]),
     {"b1": 0.3, "b4": 1.9}, mp_bernstein([1.0, 0.3, 0.0, 2.5, 1.9, 0.7], WINDOW), ()),
    ("template constant", Template(0, EDGES, COUNTS), {},
     stats.rv_histogram((np.array(COUNTS), np.array(EDGES)), density=False).pdf, EDGES),
    ("template constant, equal bins", Template(0, np.linspace(5.0, 5.6, 6), COUNTS), {},
     stats.rv_histogram((np.array(COUNTS), np.linspace(5.0, 5.6, 6)), density=False).pdf,
     tuple(np.linspace(5.0, 5.6, 6))),
    ("template linear", Template(0, EDGES, COUNTS, "linear"), {},
     mp_linear_template(EDGES, COUNTS), CENTRES),
    ("template linear, part of it", Template(0, EDGES, COUNTS, "linear", window=(5.05, 5.5)),
     {}, mp_linear_template(EDGES, COUNTS, (5.05, 5.5)), CENTRES),
    ("argus c=0", Argus(0, WINDOW, m0=5.45, c=0.0, p=1.5), {}, mp_argus(5.45, 0.0, 1.5, WINDOW),
     (5.45,)),
    ("sum", Sum([Exponential(0, WINDOW, slope="s"), Uniform(0, WINDOW)], ["f"]),
     {"s": -2.0, "f": 0.4},
     lambda x: 0.4 * mp_exponential(-2.0, WINDOW)(x) + (1 - mp.mpf(0.4)) / (mp.mpf(5.6) - 5.0),
     ()),
    ("nested sum", Sum([Sum([Exponential(0, WINDOW, slope=-2.0), Uniform(0, WINDOW)], [0.4]),
                        Bernstein(0, WINDOW, [0.2, "b"])], ["g"]), {"b": 1.0, "g": 0.7},
     lambda x: 0.7 * (0.4 * mp_exponential(-2.0, WINDOW)(x) + mp.mpf(0.6) / (mp.mpf(5.6) - 5))
     + 0.3 * mp_bernstein([0.2, 1.0], WINDOW)(x), ()),
]
IDS = [case[0] for case in CASES]


def grid(model):
    low, high = model.window
    return np.linspace(low, high, 201)


@pytest.mark.heavy
@pytest.mark.parametrize(("name", "model", "values", "reference", "points"), CASES, ids=IDS)
def test_density_matches_an_independent_reference(name, model, values, reference, points):
    x = grid(model)
    x = x[np.all(np.abs(x[:, None] - np.array([np.inf, *points])) > 1e-9, axis=1)]  # a kink
    got = model(x[:, None], values)
    expected = np.array([float(reference(v)) for v in x])
    tiny = expected < 1e-300  # underflows in double precision
    assert np.all(got[tiny] < 1e-290)
    np.testing.assert_allclose(got[~tiny], expected[~tiny], rtol=DENSITY_TOLERANCE, atol=0)
    low, high = model.window
    outside = model(np.array([[low - 1.0], [low], [high + 1e-9]]), values)
    # The masked path (some points outside) agrees with the fast one.
    assert outside[0] == outside[2] == 0.0
    assert outside[1] == model(np.array([[low], [high]]), values)[0]


@pytest.mark.parametrize(("name", "model", "values", "reference", "points"), CASES, ids=IDS)
def test_integrates_to_one_and_integral_matches_quadrature(name, model, values, reference,
                                                           points):
    low, high = model.window
    breaks = sorted({*np.linspace(low, high, 9)[1:-1], *(v for v in points if low < v < high)})

    def f(v):
        return float(model.pdf(np.array([v]), values)[0])
    total = integrate.quad(f, low, high, points=breaks, epsabs=1e-13, epsrel=0.0,
                           limit=500)[0]
    assert total == pytest.approx(1.0, abs=1e-12)
    a, b = low + 0.3 * (high - low), low + 0.55 * (high - low)
    part = integrate.quad(f, a, b, points=[v for v in breaks if a < v < b], epsabs=1e-13,
                          epsrel=0.0, limit=500)[0]
    assert model.integral(a, b, values) == pytest.approx(part, rel=1e-11, abs=1e-14)
    assert model.integral(b - 100.0, b, values) == pytest.approx(model.cdf(b, values), abs=1e-15)


@pytest.mark.parametrize(("name", "model", "values", "reference", "points"), CASES, ids=IDS)
def test_samples_follow_the_model_over_many_seeds(name, model, values, reference, points):
    # p-values of 40 seeded KS tests must themselves be uniform: a sampler
    # that is off fails this, where one lucky seed could pass.
    p_values = []
    for seed in range(40):
        drawn = model.sample(1000, values, np.random.default_rng(seed))
        assert drawn.shape == (1000,)
        assert np.all((drawn >= model.window[0]) & (drawn <= model.window[1]))
        p_values.append(stats.kstest(drawn, lambda v: model.cdf(v, values)).pvalue)
    assert stats.kstest(p_values, "uniform").pvalue > 1e-3


def test_product_samples_factorise_and_integrate_over_boxes():
    product = Product([Exponential(2, WINDOW, slope="s"),
                       Chebyshev(0, (0.0, 8.0), [0.4, "c"])])
    values = {"s": -3.0, "c": 0.2}
    assert product.columns == (2, 0) and product.parameters == ("s", "c")
    drawn = product.sample(200_000, values, np.random.default_rng(3))
    assert drawn.shape == (200_000, 2)
    x_edges, y_edges = np.linspace(5.0, 5.6, 9), np.linspace(0.0, 8.0, 9)
    observed = np.histogram2d(drawn[:, 0], drawn[:, 1], [x_edges, y_edges])[0]
    expected = np.array([[200_000 * product.integral([a, c], [b, d], values)
                          for c, d in zip(y_edges[:-1], y_edges[1:])]
                         for a, b in zip(x_edges[:-1], x_edges[1:])])
    chi2 = float(np.sum((observed - expected) ** 2 / expected))
    assert stats.chi2.sf(chi2, observed.size - 1) > 1e-3
    data = np.column_stack([drawn[:5, 1], np.zeros(5), drawn[:5, 0]])
    np.testing.assert_allclose(product(data, values),
                               product.factors[0](data, values) * product.factors[1](data, values))


def double_gaussian_data():
    rng = np.random.default_rng(11)
    x = np.concatenate([rng.normal(5.28, 0.015, 1500), rng.normal(5.28, 0.04, 1000),
                        rng.uniform(*WINDOW, 2500)])
    return x[(x > WINDOW[0]) & (x < WINDOW[1])][:, None]


def test_sum_of_two_gaussians_reaches_the_hand_written_maximum():
    data = double_gaussian_data()
    parameters = [tarnwick.ShapeParameter("mu", 5.27, lower=5.2, upper=5.35),
                  tarnwick.ShapeParameter("s1", 0.02, lower=0.005, upper=0.03),
                  tarnwick.ShapeParameter("s2", 0.05, lower=0.031, upper=0.1),
                  tarnwick.ShapeParameter("f", 0.5, lower=0.0, upper=1.0)]
    core = Sum([LocalGaussian(0, WINDOW, "mu", "s1"), LocalGaussian(0, WINDOW, "mu", "s2")],
               ["f"])

    def hand(events, v):
        x = events[:, 0]

        def g(s):
            mass = special.ndtr((WINDOW[1] - v["mu"]) / s) - special.ndtr((WINDOW[0] - v["mu"]) / s)
            return np.exp(-0.5 * ((x - v["mu"]) / s) ** 2) / (s * math.sqrt(2 * math.pi) * mass)
        return v["f"] * g(v["s1"]) + (1 - v["f"]) * g(v["s2"])

    flat = Uniform(0, WINDOW)
    with_sum = tarnwick.splot(data, [core, flat], shape_parameters=parameters)
    by_hand = tarnwick.splot(data, [hand, flat], shape_parameters=parameters)
    assert with_sum.success and by_hand.success
    assert with_sum.minimum_nll == pytest.approx(by_hand.minimum_nll, rel=1e-12, abs=1e-9)
    np.testing.assert_allclose(with_sum.yields, by_hand.yields, rtol=1e-6)


def test_a_fixed_slope_fits_as_a_hand_written_pdf_hard_coding_it():
    data = double_gaussian_data()
    parameters = [tarnwick.ShapeParameter("mu", 5.27, lower=5.2, upper=5.35),
                  tarnwick.ShapeParameter("sigma", 0.03, lower=0.005, upper=0.1)]
    slope, width = -0.5, WINDOW[1] - WINDOW[0]

    def background(events, v):
        return np.exp(slope * (events[:, 0] - WINDOW[0])) * (slope / math.expm1(slope * width))

    signal = LocalGaussian(0, WINDOW, "mu", "sigma")
    fixed = tarnwick.splot(data, [signal, Exponential(0, WINDOW, slope=slope)],
                           shape_parameters=parameters)
    coded = tarnwick.splot(data, [signal, background], shape_parameters=parameters)
    np.testing.assert_allclose(fixed.yields, coded.yields, rtol=1e-9)
    np.testing.assert_allclose(fixed.yield_errors, coded.yield_errors, rtol=1e-6)
    for name in ("mu", "sigma"):
        assert fixed.shape_parameters[name] == pytest.approx(coded.shape_parameters[name],
                                                             rel=1e-9)
        assert fixed.shape_errors[name] == pytest.approx(coded.shape_errors[name], rel=1e-6)
    assert (fixed.objective_evaluations, fixed.gradient_evaluations) == \
        (coded.objective_evaluations, coded.gradient_evaluations)


def test_normalisation_flags_a_pdf_normalised_over_the_real_line():
    data = np.column_stack([double_gaussian_data()[:, 0], np.zeros(len(double_gaussian_data()))])

    def real_line(events, v):  # ∫_5^∞ instead of the window: 0.78 of it inside
        return 2.5 * np.exp(-2.5 * (events[:, 0] - WINDOW[0]))

    good = Exponential(0, WINDOW, slope="s")
    check = diagnostics.normalisation([real_line, good, LocalGaussian(0, WINDOW, 5.3, 0.02)],
                                      {0: WINDOW}, {"s": -2.5}, data=data,
                                      names=["real line", "model", "gaussian"])
    assert check.flagged == (True, False, False) and not check.normalised
    assert check.integrals[0] == pytest.approx(-math.expm1(-1.5), rel=1e-9)
    assert check.columns == ((0,), (0,), (0,))
    assert "NOT NORMALISED" in str(check) and "<table>" in check._repr_html_()

    parameters = [tarnwick.ShapeParameter("mu", 5.27, lower=5.2, upper=5.35)]
    signal = LocalGaussian(0, WINDOW, "mu", 0.02)
    result = tarnwick.splot(data, [signal, real_line], shape_parameters=parameters)
    plain = diagnostics.summary(result, shape_parameters=parameters)
    checked = diagnostics.summary(result, shape_parameters=parameters, pdfs=[signal, real_line],
                                  windows={0: WINDOW}, data=data)
    assert plain.valid and not checked.valid
    assert "NO  PDFs normalised over the windows" in str(checked)


def test_normalisation_finds_the_columns_a_hand_written_pdf_reads():
    def both(events, v):  # normalised over column 0's window and column 1's
        return (1.0 + (events[:, 0] - 5.3)) / 0.6 * np.exp(-events[:, 1]) / -math.expm1(-8.0)

    def resolution(events, v):  # conditional on column 2, held at the data's rows
        x, s = events[:, 0], events[:, 2]
        mass = special.ndtr((5.6 - 5.3) / s) - special.ndtr((5.0 - 5.3) / s)
        return np.exp(-0.5 * ((x - 5.3) / s) ** 2) / (s * math.sqrt(2 * math.pi) * mass)

    data = np.column_stack([np.full(7, 5.3), np.ones(7), np.linspace(0.01, 0.05, 7)])
    check = diagnostics.normalisation([both, resolution], {0: WINDOW, 1: (0.0, 8.0)}, {},
                                      data=data)
    assert check.columns == ((0, 1), (0,)) and check.normalised and check.rows == 5
    with pytest.raises(ValueError, match=r"column\(s\) \[2\] have no window"):
        diagnostics.normalisation([both], {0: WINDOW, 1: (0.0, 8.0), 3: (0, 1)}, {})


def test_a_missing_parameter_names_the_missing_and_the_present():
    model = Sum([Exponential(0, WINDOW, slope="slope"), Uniform(0, WINDOW)], ["frac"])
    assert model.parameters == ("frac", "slope")
    with pytest.raises(KeyError, match=r"'slope' \(slope\), which is missing.*'frac', 'other'"):
        model(np.full((3, 1), 5.2), {"frac": 0.5, "other": 1.0})


@pytest.mark.parametrize(("build", "values", "message"), [
    (lambda: Exponential(0, WINDOW, slope="s"), {"s": math.nan}, r"slope \('s'\) = nan"),
    (lambda: Argus(0, WINDOW, m0="m", c=-1.0), {"m": 4.9}, r"m0 \('m'\) = 4.9 must be finite "
                                                          r"and above the window's low edge"),
    (lambda: Argus(0, WINDOW, m0=6.0, c=-1.0, p="p"), {"p": -1.0},
     r"p = -1.0 must be finite and > -1"),
    (lambda: Bernstein(0, WINDOW, [1.0, "b"]), {"b": -0.5},
     r"coefficients\[1\] \('b'\) = -0.5 must be finite and >= 0"),
    (lambda: Bernstein(0, WINDOW, [0.0, "b"]), {"b": 0.0}, "all zero"),
    (lambda: Chebyshev(0, WINDOW, [0.0, "c"]), {"c": 1.2},
     r"with coefficients\[0\] = 0.0, c = 1.2 the polynomial is -0.2 at x = 5.3"),
    (lambda: Chebyshev(0, WINDOW, ["c"]), {"c": -1.01}, r"is -0.01 at x = 5.6"),
    (lambda: Sum([Uniform(0, WINDOW)] * 3, ["f", "g"]), {"f": 0.75, "g": 0.5},
     r"fractions \(f, g\) add up to 1.25, more than 1"),
    (lambda: Sum([Uniform(0, WINDOW)] * 2, ["f"]), {"f": -0.1}, r"fractions\[0\] \('f'\)"),
    (lambda: Sum([Uniform(0, WINDOW), Uniform(0, (5.0, 5.5))], ["f"]), {}, "same column"),
    (lambda: Sum([Uniform(0, WINDOW)] * 2, []), {}, "2 components need 1 fraction"),
    (lambda: Product([Uniform(1, WINDOW), Uniform(1, WINDOW)]), {}, r"column\(s\) \[1\]"),
    (lambda: Template(0, [0.0, 2.0, 1.0], [1, 1]), {}, "strictly increasing"),
    (lambda: Template(0, [0.0, 1.0, 2.0], [1, -1]), {}, "got -1.0 in bin 1"),
    (lambda: Template(0, [0.0, 1.0, 2.0], [1]), {}, "3 edges need 2 counts"),
    (lambda: Template(0, [0.0, 1.0, 2.0], [1, 1], window=(0.5, 2.5)), {}, "not inside"),
    (lambda: Template(0, [0.0, 1.0, 2.0], [0, 1], window=(0.0, 1.0)), {}, "no content"),
    (lambda: Template(0, [0.0, 1.0], [1], "cubic"), {}, "interpolation must be"),
    (lambda: Argus(0, (-1.0, 1.0), m0=2.0, c=-1.0), {}, "x >= 0"),
])
def test_invalid_values_raise_value_error_naming_them(build, values, message):
    with pytest.raises(ValueError, match=message):
        build()(np.full((2, 1), 5.3), values)


def test_the_inside_check_a_fit_skips_is_tied_to_its_read_only_array():
    model = Exponential(0, WINDOW, slope="slope")
    inside = np.linspace(5.1, 5.5, 7)[:, None]
    inside.flags.writeable = False
    first = model(inside, {"slope": -1.0})
    # Another read-only array, with a point outside: its own check, zero there.
    outside = np.array([[4.0], [5.2]])
    outside.flags.writeable = False
    np.testing.assert_array_equal(model(outside, {"slope": -1.0})[0], 0.0)
    np.testing.assert_array_equal(model(inside, {"slope": -1.0}), first)
    copy = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(copy(inside, {"slope": -1.0}), first)
