"""Whether two builds of the module give the same fits, bit for bit.

    python benchmarks/wheel_identity.py                  # reference fits, 1e6 events
    python benchmarks/wheel_identity.py --events 2000000 --repeat 3

Runs the eight reference fits of tests/python/test_reference_fits.py and the
standard problem (standard_problem.py) at the given sizes, unweighted,
weighted, with its yields alone (PDFs computed once, so that the time is
the module's) and with the library models (tarnwick.models, evaluated by the
module itself), unweighted and weighted, then a toy study of the standard
problem's models, with whichever tarnwick the interpreter imports, and prints
one line per fit: the SHA-256 of every number in its result (yields, errors,
both covariances, sWeights, shape parameters and their errors, the minimum,
the counters and the message; for the toy study every value, error and
message) and the best wall time of the fit. Run it
once with each module (an installed wheel, the build tree through
PYTHONPATH=build/python) and compare the hashes: equal hashes mean equal
bits. The last line hashes all fits together.
"""

from __future__ import annotations

import argparse
import hashlib
import sys
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "benchmarks"), str(ROOT / "tests" / "python")]

import tarnwick  # noqa: E402
from tarnwick import diagnostics, models  # noqa: E402

import standard_problem as problem  # noqa: E402
from conftest import load_column  # noqa: E402
from test_reference_fits import CASES, run_case  # noqa: E402


def result_digest(result) -> str:
    """SHA-256 of the result's numbers, in a fixed order, as raw doubles."""
    digest = hashlib.sha256()
    for array in (result.yields, result.yield_errors, result.covariance, result.fit_covariance,
                  result.sweights, list(result.shape_parameters.values()),
                  list(result.shape_errors.values()), [result.minimum_nll]):
        digest.update(np.ascontiguousarray(array, dtype=np.float64).tobytes())
    digest.update(repr((list(result.shape_parameters), result.success, result.message,
                        result.objective_evaluations, result.gradient_evaluations,
                        result.hessian_evaluations)).encode())
    return digest.hexdigest()


def standard_fit(data: np.ndarray, weights: np.ndarray | None):
    mass = np.ascontiguousarray(data[:, 0])
    pdfs = [lambda _, s: problem.signal_density(mass, s["mu"], s["sigma"]),
            lambda _, s: problem.background_density(mass, s["slope"])]
    return tarnwick.splot(data, pdfs, shape_parameters=problem.shape_parameters(tarnwick),
                          weights=weights)


def standard_models() -> list:
    window = (problem.M_LOW, problem.M_HIGH)
    return [models.Gaussian(column=0, window=window, mu="mu", sigma="sigma"),
            models.Exponential(column=0, window=window, slope="slope")]


def models_fit(data: np.ndarray, weights: np.ndarray | None):
    return tarnwick.splot(data, standard_models(),
                          shape_parameters=problem.shape_parameters(tarnwick), weights=weights)


def toy_study_digest(n_toys: int) -> str:
    """SHA-256 of a toy study of the standard models: 2000 events a toy."""
    yields = 2000 * np.array([problem.SIGNAL_FRACTION, 1.0 - problem.SIGNAL_FRACTION])
    study = diagnostics.toy_study(standard_models(), yields, problem.TRUE,
                                  shape_parameters=problem.shape_parameters(tarnwick),
                                  n_toys=n_toys, seed=1, progress=False)
    digest = hashlib.sha256()
    for array in (study.values, study.errors, study.converged):
        digest.update(np.ascontiguousarray(array, dtype=np.float64).tobytes())
    digest.update(repr(study.messages).encode())
    return digest.hexdigest()


def yields_only_fit(data: np.ndarray):
    """The yields alone, of PDFs computed once: the time is the module's own
    (the likelihood's logarithms, the Hessian and the sWeights)."""
    mass = np.ascontiguousarray(data[:, 0])
    true = problem.TRUE
    signal = problem.signal_density(mass, true["mu"], true["sigma"])
    background = problem.background_density(mass, true["slope"])
    return tarnwick.splot(data, [lambda _, s: signal, lambda _, s: background])


def timed(fit, repeat: int):
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = fit()
        best = min(best, time.perf_counter() - start)
    return result, best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, nargs="+", default=[1_000_000])
    parser.add_argument("--repeat", type=int, default=1, help="timed runs per fit, best kept")
    parser.add_argument("--toys", type=int, default=100, help="toys of the toy study")
    args = parser.parse_args()

    print(f"tarnwick from {Path(tarnwick.__file__).parent}, Python {sys.version.split()[0]}")
    gauss_flat, empty_window = load_column("gauss_flat.csv"), load_column("empty_window.csv")
    fits = [(case, lambda case=case: run_case(case, gauss_flat, empty_window)) for case in CASES]
    for n in args.events:
        data = problem.generate(n, seed=1)
        weights = 0.5 + (np.arange(n) % 3) * 0.25
        fits.append((f"standard {n}", lambda data=data: standard_fit(data, None)))
        fits.append((f"standard {n} weighted",
                     lambda data=data, weights=weights: standard_fit(data, weights)))
        fits.append((f"standard {n} yields only", lambda data=data: yields_only_fit(data)))
        fits.append((f"standard {n} models", lambda data=data: models_fit(data, None)))
        fits.append((f"standard {n} models weighted",
                     lambda data=data, weights=weights: models_fit(data, weights)))
    everything = hashlib.sha256()
    for name, fit in fits:
        result, seconds = timed(fit, args.repeat)
        digest = result_digest(result)
        everything.update(digest.encode())
        print(f"{name:32} {digest[:16]}  {seconds:8.3f} s")
    start = time.perf_counter()
    digest = toy_study_digest(args.toys)
    everything.update(digest.encode())
    print(f"{f'toy study, {args.toys} toys':32} {digest[:16]}  "
          f"{time.perf_counter() - start:8.3f} s")
    print(f"{'all fits':32} {everything.hexdigest()[:16]}")


if __name__ == "__main__":
    main()
