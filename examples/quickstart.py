"""A complete sPlot analysis with tarnwick, from simulated events to sWeights.

The story: a sample of 10 000 candidate decays, each with two measured
quantities,

* an invariant mass in [5.0, 5.6] GeV, where signal candidates form a narrow
  Gaussian peak near 5.28 GeV on top of a smoothly falling, exponential
  combinatorial background, and
* a decay time in picoseconds, the "control" variable: signal decays with a
  lifetime of 1.5 ps, background with an effective lifetime of 0.4 ps.

The mass is the discriminating variable: we fit it with a two-component model
(Gaussian signal plus exponential background) whose three shape parameters,
the peak position, the peak width and the background slope, are fitted
together with the two yields. The sWeights from that fit then let us look at
the decay time of the signal alone, without ever modelling the decay time:
a signal-weighted average of the decay times estimates the signal lifetime.

Run it with ``python examples/quickstart.py``.
"""

from __future__ import annotations

import math
import time

import numpy as np
import numpy.typing as npt

import tarnwick

MASS_LOW, MASS_HIGH = 5.0, 5.6  # GeV, the fit window
SQRT_2PI = math.sqrt(2.0 * math.pi)

# ----------------------------------------------------------------------------
# 1. Simulate the events. A real analysis reads them from its data files; a
#    fixed seed makes this run reproducible.
# ----------------------------------------------------------------------------
rng = np.random.default_rng(seed=20240611)
n_signal_true, n_background_true = 2_000, 8_000
true_mu, true_sigma, true_slope = 5.279, 0.018, -2.5  # GeV, GeV, 1/GeV
true_signal_lifetime, true_background_lifetime = 1.5, 0.4  # ps

signal_mass = rng.normal(true_mu, true_sigma, size=n_signal_true)
# Draw an exponential truncated to the window by inverting its CDF.
u = rng.uniform(size=n_background_true)
span = math.exp(true_slope * (MASS_HIGH - MASS_LOW))
background_mass = MASS_LOW + np.log1p(u * (span - 1.0)) / true_slope

mass = np.concatenate([signal_mass, background_mass])
decay_time = np.concatenate(
    [
        rng.exponential(true_signal_lifetime, size=n_signal_true),
        rng.exponential(true_background_lifetime, size=n_background_true),
    ]
)
inside = (mass > MASS_LOW) & (mass < MASS_HIGH)
# One row per event: column 0 the mass, column 1 the decay time. The rows are
# shuffled so that signal and background are mixed, as in real data.
events = np.column_stack([mass[inside], decay_time[inside]])
events = events[rng.permutation(len(events))]

# ----------------------------------------------------------------------------
# 2. The component PDFs. Each is called with the whole data array and a dict
#    of all shape-parameter values, and returns one density per event. Both
#    are normalised over the fit window, so the fitted yields are event counts.
# ----------------------------------------------------------------------------
FloatArray = npt.NDArray[np.float64]


def signal_pdf(data: FloatArray, shape: dict[str, float]) -> FloatArray:
    """A Gaussian in the mass, normalised to the fit window."""
    mu, sigma = shape["mu"], shape["sigma"]
    m = data[:, 0]
    inside_window = 0.5 * (
        math.erf((MASS_HIGH - mu) / (sigma * math.sqrt(2.0)))
        - math.erf((MASS_LOW - mu) / (sigma * math.sqrt(2.0)))
    )
    density = np.exp(-0.5 * ((m - mu) / sigma) ** 2) / (sigma * SQRT_2PI)
    return density / inside_window


def background_pdf(data: FloatArray, shape: dict[str, float]) -> FloatArray:
    """An exponential exp(slope * (m - low)) in the mass, normalised to the window."""
    slope = shape["slope"]
    m = data[:, 0]
    norm = math.expm1(slope * (MASS_HIGH - MASS_LOW)) / slope
    return np.exp(slope * (m - MASS_LOW)) / norm


# The shared shape parameters: name, start value and inclusive bounds. The
# start values are deliberately a little off, as they would be in practice.
shape_parameters = [
    tarnwick.ShapeParameter("mu", 5.27, lower=5.2, upper=5.35),
    tarnwick.ShapeParameter("sigma", 0.025, lower=0.005, upper=0.1),
    tarnwick.ShapeParameter("slope", -1.0, lower=-10.0, upper=-0.01),
]

# ----------------------------------------------------------------------------
# 3. One call: the joint extended maximum-likelihood fit of the two yields and
#    the three shape parameters, then the sPlot covariance and the sWeights.
# ----------------------------------------------------------------------------
start = time.perf_counter()
result = tarnwick.splot(
    events,
    [signal_pdf, background_pdf],
    shape_parameters=shape_parameters,
)
elapsed = time.perf_counter() - start

# ----------------------------------------------------------------------------
# 4. The summary.
# ----------------------------------------------------------------------------
print(f"{len(events)} events, fit took {elapsed:.3f} s")
print(f"optimizer: success={result.success}, message: {result.message}")
print(
    f"evaluations: {result.objective_evaluations} objective, "
    f"{result.gradient_evaluations} gradient, {result.hessian_evaluations} Hessian"
)
print(f"minimum negative log-likelihood: {result.minimum_nll:.6f}")
print()
print("yields")
for name, value, error, truth in zip(
    ["signal", "background"],
    result.yields,
    result.yield_errors,
    [n_signal_true, n_background_true],
):
    print(f"  {name:<10} {value:10.1f} ± {error:6.1f}   (simulated {truth})")
print("shape parameters")
truths = {"mu": true_mu, "sigma": true_sigma, "slope": true_slope}
for name, value in result.shape_parameters.items():
    error = result.shape_errors[name]
    print(f"  {name:<10} {value:10.5f} ± {error:.5f}   (simulated {truths[name]})")

# The sWeights: one row per event (in the input order), one column per PDF.
signal_weights = result.sweights[:, 0]
print()
print("sWeights")
print(
    f"  sum of signal sWeights {signal_weights.sum():10.3f} "
    f"against the fitted signal yield {result.yields[0]:10.3f}"
)
# The sWeighted mean decay time of an exponential estimates its lifetime.
signal_lifetime = float(np.sum(signal_weights * events[:, 1]) / signal_weights.sum())
print(
    f"  sWeighted mean signal decay time {signal_lifetime:.3f} ps "
    f"(simulated lifetime {true_signal_lifetime} ps)"
)
