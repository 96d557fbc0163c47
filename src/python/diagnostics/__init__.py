"""Checks, resampling, progress and figures for tarnwick fits.

Everything here is built on a finished ``tarnwick.SPlotResult``, the data
and PDFs of the fit, and NumPy; matplotlib, tqdm and dask are used when
installed and only by the functions that need them.

* ``summary`` — validity flags, parameter table and correlation matrix;
* ``parameter_names`` — the names along the axes of ``fit_covariance``;
* ``closure`` — the sPlot sum rules and the parameters left on a bound;
* ``sweight_quality`` — Σ s², effective sample size, negative weights;
* ``control_leakage`` — whether any PDF reads a control variable;
* ``normalisation`` — whether each PDF integrates to 1 over the fit windows;
* ``independence`` — whether the control variables are independent of the
  discriminating ones within each component (and Kendall's τ on a sample);
* ``weighted_covariance`` — the sandwich covariance of a fit with event
  weights, whose errors cover where the inverse Hessian's do not;
* ``fit_sweighted`` — the fit of a control model with one component's
  sWeights, with errors that include the mass fit's fluctuations;
* ``bootstrap`` — replicate fits over resampled events;
* ``toy_study`` — datasets drawn from the models and fitted again: pulls,
  widths and coverage;
* ``apply_sweights`` — sWeights for more data, chunk by chunk or on dask;
* ``with_progress`` — PDF wrappers that show a long fit's progress;
* ``plot_fit``, ``plot_sweighted`` — the fit with its pulls, and an
  sWeighted histogram.

``SPlot`` holds one analysis — data (an array, a pandas DataFrame or a dict
of columns), PDFs, declarations, weights and names — runs the fit with
``fit()`` and offers every function above as a method needing no repeated
inputs, with ``sweights_frame()`` for pandas.

Components are named by the ``names`` argument of each function (default
"component 0", "component 1", …); a component to plot is chosen by name or
index.
"""

from ._analysis import SPlot
from ._apply import apply_sweights
from ._bootstrap import Bootstrap, bootstrap
from ._checks import (Closure, Leak, Leakage, SWeightQuality, closure, control_leakage,
                      sweight_quality)
from ._independence import Independence, independence, kendall_tau
from ._model import parameter_names
from ._normalisation import Normalisation, normalisation
from ._plots import plot_fit, plot_sweighted
from ._progress import ProgressPdfs, with_progress
from ._summary import Summary, summary
from ._sweighted_fit import SWeightedFit, fit_sweighted
from ._toys import ToyControl, ToyStudy, toy_study
from ._weighted import WeightedCovariance, weighted_covariance

__all__ = [
    "SPlot",
    "summary",
    "Summary",
    "parameter_names",
    "closure",
    "Closure",
    "sweight_quality",
    "SWeightQuality",
    "control_leakage",
    "Leakage",
    "Leak",
    "normalisation",
    "Normalisation",
    "independence",
    "Independence",
    "kendall_tau",
    "weighted_covariance",
    "WeightedCovariance",
    "fit_sweighted",
    "SWeightedFit",
    "bootstrap",
    "Bootstrap",
    "apply_sweights",
    "with_progress",
    "ProgressPdfs",
    "plot_fit",
    "plot_sweighted",
    "toy_study",
    "ToyStudy",
    "ToyControl",
]
