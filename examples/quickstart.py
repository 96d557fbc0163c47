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
the decay time of the signal alone, without ever modelling the background's
decay time: a fit of the decay times weighted with the signal sWeights
measures the signal lifetime, with errors that include the mass fit's own.

The analysis is one ``tarnwick.diagnostics.SPlot``: the events, PDFs,
shape parameters and the components' names are given to it once, and each
check is a method. The fit's summary (validity flags, the parameters with
their errors, the correlation matrix) comes first; then the checks: the sPlot closure relations (which hold only at a converged
maximum), the quality of the sWeights, a test that no PDF reads the decay
time, bootstrap replicas of the fit, and the factorisation test (is the
decay time independent of the mass within each component?). The components are named "signal"
and "background" throughout. With matplotlib installed it draws the mass fit
with its pulls and the sWeighted decay time against the true distribution.

Run it with ``python examples/quickstart.py [figure-folder]``; the figures
go to ``examples/figures`` by default.
"""

from __future__ import annotations

import math
import sys
import time
from pathlib import Path

import numpy as np
import numpy.typing as npt

import tarnwick
from tarnwick import diagnostics, models

MASS_LOW, MASS_HIGH = 5.0, 5.6  # GeV, the fit window

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
# 2. The component PDFs, from tarnwick.models. Each is called with the whole
#    data array and a dict of all shape-parameter values, and returns one
#    density per event, normalised over the fit window, so the fitted yields
#    are event counts. A parameter given as a name is read from the dict
#    (free); given as a number it is fixed.
# ----------------------------------------------------------------------------
FloatArray = npt.NDArray[np.float64]
window = (MASS_LOW, MASS_HIGH)

signal_pdf = models.Gaussian(column=0, window=window, mu="mu", sigma="sigma")
background_pdf = models.Exponential(column=0, window=window, slope="slope")
# The same peak with its width fixed at 18 MeV: a number instead of a name,
# and no shape parameter to declare for it (see the second fit below).
fixed_sigma = 0.018  # GeV
signal_fixed_width = models.Gaussian(column=0, window=window, mu="mu", sigma=fixed_sigma)

# The shared shape parameters: name, start value and inclusive bounds. The
# start values are deliberately a little off, as they would be in practice.
shape_parameters = [
    tarnwick.ShapeParameter("mu", 5.27, lower=5.2, upper=5.35),
    tarnwick.ShapeParameter("sigma", 0.025, lower=0.005, upper=0.1),
    tarnwick.ShapeParameter("slope", -1.0, lower=-10.0, upper=-0.01),
]

# ----------------------------------------------------------------------------
# 3. The analysis: its inputs given once, then one call for the joint
#    extended maximum-likelihood fit of the two yields and the three shape
#    parameters, the sPlot covariance and the sWeights.
# ----------------------------------------------------------------------------
# with_progress wraps the PDFs to show the calls a fit makes as it runs;
# the fit itself is unchanged (a fit of millions of events is where it helps).
with diagnostics.with_progress([signal_pdf, background_pdf], desc="fit: PDF calls") as pdfs:
    analysis = diagnostics.SPlot(
        events, pdfs, shape_parameters=shape_parameters, names=["signal", "background"]
    )
    start = time.perf_counter()
    result = analysis.fit().result
    elapsed = time.perf_counter() - start
analysis.with_pdfs([signal_pdf, background_pdf])  # the checks need no progress bar
# The fit with the peak width fixed: only the free parameters are declared.
fixed_width_result = tarnwick.splot(
    events, [signal_fixed_width, background_pdf],
    shape_parameters=[p for p in shape_parameters if p.name != "sigma"],
)

# ----------------------------------------------------------------------------
# 4. The summary: the validity of the minimum, every parameter with its error
#    (yields by component name, then the shape parameters as declared) and
#    their correlations; in Jupyter it shows as an HTML table.
# ----------------------------------------------------------------------------
print(f"{len(events)} events, fit took {elapsed:.3f} s")
print(
    f"evaluations: {result.objective_evaluations} objective, "
    f"{result.gradient_evaluations} gradient, {result.hessian_evaluations} Hessian"
)
print(analysis.summary())
print(
    f"simulated: signal {n_signal_true}, background {n_background_true}, "
    f"mu {true_mu}, sigma {true_sigma}, slope {true_slope}"
)
print(
    f"with sigma fixed at {fixed_sigma}: signal yield "
    f"{fixed_width_result.yields[0]:.1f} ± {fixed_width_result.yield_errors[0]:.1f}, "
    f"mu {fixed_width_result.shape_parameters['mu']:.5f}"
)

# The sWeights: one row per event (in the input order), one column per PDF.
signal_weights = analysis.sweights[:, 0]
# The signal lifetime: an unbinned fit of exp(−t/τ)/τ to the decay times,
# weighted with the signal sWeights. Its errors come three ways: the full
# ones, which include the fluctuations of the mass fit behind the sWeights
# (quote these); those that take the sWeights as fixed numbers; and the
# inverse Hessian of the weighted likelihood, which does not cover.
decay_times = events[:, 1]


def decay_time_pdf(t: FloatArray, values: dict[str, float]) -> FloatArray:
    """The signal decay-time model exp(−t/τ)/τ, normalised on t ≥ 0."""
    tau = values["tau"]
    density: FloatArray = np.exp(-t / tau) / tau
    return density


lifetime = analysis.fit_sweighted(
    decay_time_pdf, [tarnwick.ShapeParameter("tau", 1.0, 0.05, 20.0)],
    control=decay_times, component="signal",
)
print(lifetime)
signal_lifetime, lifetime_error = float(lifetime.values[0]), float(lifetime.errors[0])
print(
    f"\nsum of signal sWeights {signal_weights.sum():.3f} (fitted yield {result.yields[0]:.3f}); "
    f"signal lifetime {signal_lifetime:.3f} ± {lifetime_error:.3f} ps "
    f"(simulated {true_signal_lifetime} ps; sWeights fixed ± {lifetime.static_errors[0]:.3f}, "
    f"inverse Hessian ± {lifetime.hessian_errors[0]:.3f}, which does not cover)\n"
)

# ----------------------------------------------------------------------------
# 5. The checks no fit summary shows by itself.
# ----------------------------------------------------------------------------
print(analysis.closure())
print(analysis.sweight_quality())
print(analysis.control_leakage(control_columns=[1]))
print(analysis.bootstrap(n=20, seed=1))

# The factorisation test: within each component the decay time must not
# depend on the mass. The correlation of the mass with the decay time's
# residual is near 0 (p-values spread over (0, 1)) when it holds. Kendall's τ
# on a simulated signal sample tests the same on pure signal.
simulated_signal = np.column_stack(
    [rng.normal(true_mu, true_sigma, size=5_000), rng.exponential(true_signal_lifetime, size=5_000)]
)
print(analysis.independence([0], [1], sample=simulated_signal))

# ----------------------------------------------------------------------------
# 6. The figures (matplotlib is optional; without it they are skipped).
# ----------------------------------------------------------------------------
folder = Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).parent / "figures"
try:
    from matplotlib.axes import Axes
except ImportError:
    print("\nmatplotlib is not installed: no figures")
else:
    folder.mkdir(parents=True, exist_ok=True)

    def save(axes: Axes, name: str) -> None:
        """Saves the figure the plot functions drew `axes` into, at 150 dpi."""
        figure = axes.get_figure(root=True)
        assert figure is not None
        figure.savefig(folder / name, dpi=150)

    # The fit above, the pulls (data − fit) / error per bin below, χ²/ndf in
    # the legend; the y label takes the unit of the x label.
    fit_axes = analysis.plot_fit(0, range=(MASS_LOW, MASS_HIGH), xlabel="mass [GeV]")
    fit_axes.set_title(f"{len(events)} simulated decays and the fitted model")
    save(fit_axes, "mass_fit.png")

    def true_decay_time(t: FloatArray) -> FloatArray:
        """The simulated signal decay-time density."""
        return np.exp(-t / true_signal_lifetime) / true_signal_lifetime

    time_axes = analysis.plot_sweighted(
        1, "signal", truth=true_decay_time, range=(0.0, 8.0), xlabel="decay time [ps]"
    )
    time_axes.set_title(f"signal decay time: τ = {signal_lifetime:.3f} ± {lifetime_error:.3f} ps")
    save(time_axes, "signal_decay_time.png")
    print(f"\nfigures written to {folder}/mass_fit.png and {folder}/signal_decay_time.png")
