"""Toy studies of the standard problem, side by side in one process:
tarnwick's ``toy_study`` with tarnwick.models PDFs, fitting in this process
alone (``workers=1``) and in a process per CPU (the default), against the
same toys fitted one after another with iminuit (MIGRAD + HESSE) on a NumPy
extended NLL, and with iminuit's ExtendedUnbinnedNLL on numba-stats PDFs.

    python benchmarks/toys.py [--toys 1000] [--events 2000] [--seed 1]

The standard problem (standard_problem.py): a Gaussian peak (μ 5.28,
σ 0.02) over an exponential (slope −2) on [5.0, 5.6], 30 % signal, the two
yields and three shape parameters fitted. Every tool fits the same toys
(drawn once by the models' ``sample``), and for the peers the time includes
the sWeights, as tarnwick's fit does. Printed: the wall time of each study,
per fit, and the pull widths of the signal yield and μ.
"""

from __future__ import annotations

import argparse
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
import standard_problem as sp  # noqa: E402

import tarnwick  # noqa: E402
from tarnwick import diagnostics, models  # noqa: E402

WINDOW = (sp.M_LOW, sp.M_HIGH)


def standard_models() -> list[models.Model]:
    return [models.Gaussian(column=0, window=WINDOW, mu="mu", sigma="sigma"),
            models.Exponential(column=0, window=WINDOW, slope="slope")]


def toy_datasets(n_toys: int, yields: np.ndarray, seed: int) -> list[np.ndarray]:
    """The toys' mass columns, drawn as toy_study draws them."""
    pdfs = standard_models()
    out = []
    for toy in range(n_toys):
        rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(toy,)))
        counts = rng.poisson(yields)
        out.append(np.concatenate([model.sample(int(count), sp.TRUE, rng)
                                   for model, count in zip(pdfs, counts)]))
    return out


def sweights_at(fs: np.ndarray, fb: np.ndarray, yields: np.ndarray) -> np.ndarray:
    m = yields[0] * fs + yields[1] * fb
    g = np.stack([fs, fb]) / m
    return np.asarray((np.linalg.inv(g @ g.T) @ g).T)


def pull_widths(values: np.ndarray, errors: np.ndarray, truth: np.ndarray) -> np.ndarray:
    pulls = (values - truth) / errors
    return np.asarray(np.nanstd(pulls, axis=0, ddof=1))


def iminuit_numpy(masses: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray]:
    from iminuit import Minuit

    names = list(sp.PARAMETERS)
    values, errors = [], []
    for m in masses:
        def nll(x: np.ndarray, m: np.ndarray = m) -> float:
            fs = sp.signal_density(m, x[2], x[3])
            fb = sp.background_density(m, x[4])
            return float(x[0] + x[1] - np.sum(np.log(x[0] * fs + x[1] * fb)))

        n = len(m)
        minuit = Minuit(nll, [n / 2, n / 2, *(spec[0] for spec in sp.PARAMETERS.values())],
                        name=["n_sig", "n_bkg", *names])
        minuit.errordef = Minuit.LIKELIHOOD
        minuit.limits = [(0, None), (0, None),
                         *((spec[1], spec[2]) for spec in sp.PARAMETERS.values())]
        minuit.migrad()
        minuit.hesse()
        x = np.asarray(minuit.values)
        sweights_at(sp.signal_density(m, x[2], x[3]), sp.background_density(m, x[4]), x[:2])
        values.append(x)
        errors.append(np.asarray(minuit.errors))
    return np.array(values), np.array(errors)


def iminuit_numba_stats(masses: list[np.ndarray]) -> tuple[np.ndarray, np.ndarray] | None:
    try:
        from numba_stats import truncexpon, truncnorm
    except ImportError:
        print("numba-stats not installed: its row is left out")
        return None
    from iminuit import Minuit
    from iminuit.cost import ExtendedUnbinnedNLL

    low, high = WINDOW

    def density(x: np.ndarray, n_sig: float, n_bkg: float, mu: float, sigma: float,
                slope: float) -> tuple[float, np.ndarray]:
        # exp(slope·x) on the window is truncexpon with scale −1/slope.
        fs = truncnorm.pdf(x, low, high, mu, sigma)
        fb = truncexpon.pdf(x, low, high, low, -1.0 / slope)
        return n_sig + n_bkg, n_sig * fs + n_bkg * fb

    values, errors = [], []
    for m in masses:
        n = len(m)
        cost = ExtendedUnbinnedNLL(m, density)
        minuit = Minuit(cost, n_sig=n / 2, n_bkg=n / 2,
                        **{name: spec[0] for name, spec in sp.PARAMETERS.items()})
        minuit.limits["n_sig", "n_bkg"] = (0, None)
        for name, spec in sp.PARAMETERS.items():
            minuit.limits[name] = (spec[1], spec[2])
        minuit.migrad()
        minuit.hesse()
        x = np.asarray(minuit.values)
        sweights_at(truncnorm.pdf(m, low, high, x[2], x[3]),
                    truncexpon.pdf(m, low, high, low, -1.0 / x[4]), x[:2])
        values.append(x)
        errors.append(np.asarray(minuit.errors))
    return np.array(values), np.array(errors)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--toys", type=int, default=1000)
    parser.add_argument("--events", type=int, default=2000)
    parser.add_argument("--seed", type=int, default=1)
    arguments = parser.parse_args()
    yields = arguments.events * np.array([sp.SIGNAL_FRACTION, 1.0 - sp.SIGNAL_FRACTION])
    truth = np.array([*yields, *(sp.TRUE[name] for name in sp.PARAMETERS)])
    print(f"{arguments.toys} toys of {arguments.events} events (Poisson), seed {arguments.seed}")
    print(f"{'tool':<32} {'total s':>8} {'ms/fit':>7} {'failed':>6} "
          f"{'width N_sig':>11} {'width mu':>9}")

    def row(tool: str, seconds: float, values: np.ndarray, errors: np.ndarray,
            failed: int) -> None:
        widths = pull_widths(values, errors, truth)
        print(f"{tool:<32} {seconds:>8.2f} {1e3 * seconds / arguments.toys:>7.2f} "
              f"{failed:>6} {widths[0]:>11.3f} {widths[2]:>9.3f}")

    for workers in (1, None):
        start = time.perf_counter()
        study = diagnostics.toy_study(standard_models(), yields, sp.TRUE,
                                      shape_parameters=sp.shape_parameters(tarnwick),
                                      n_toys=arguments.toys, seed=arguments.seed,
                                      progress=False, workers=workers)
        label = "1 process" if workers == 1 else "a process per CPU"
        row(f"tarnwick toy_study ({label})", time.perf_counter() - start, study.values,
            study.errors, study.n_failed)
    masses = toy_datasets(arguments.toys, yields, arguments.seed)
    start = time.perf_counter()
    values, errors = iminuit_numpy(masses)
    row("iminuit + NumPy NLL", time.perf_counter() - start, values, errors, 0)
    iminuit_numba_stats(masses[:1])  # numba compiles its functions on the first call
    start = time.perf_counter()
    outcome = iminuit_numba_stats(masses)
    if outcome is not None:
        row("iminuit ExtendedUnbinnedNLL + numba-stats", time.perf_counter() - start, *outcome, 0)


if __name__ == "__main__":
    main()
