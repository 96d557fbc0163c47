"""Pulls of a weighted fit: the inverse Hessian's errors against the sandwich's.

Each toy draws Poisson(2000) signal events (a Gaussian peak, mean 5.28 and
width 0.02) and Poisson(8000) background events (an exponential of slope
-2), both truncated to the window [5.0, 5.6], and gives every event a weight
drawn from an exponential distribution of mean 1, independent of the mass.
The weighted fit of the yields (with --free-mu also the peak's mean) then
estimates N_k E[w] = N_k for each component k, the true value of the pulls

    pull = (fitted value − true value) / error,

taken once with the fit's own errors (the inverse Hessian) and once with
``diagnostics.weighted_covariance`` (the sandwich). A correct error gives
pulls of width 1; the table gives each width with its statistical error
width / √(2(n − 1)) over n toys, and the pulls' mean with its error.

With --fixed-counts the counts are exactly 2000 and 8000 rather than
Poisson-distributed: the extended fit's errors then overstate the spread
of the total, and the sandwich's pulls of the yields fall below 1.

    python3 benchmarks/weighted_pulls.py                  # 200 toys
    python3 benchmarks/weighted_pulls.py --toys 500 --seed 7 --free-mu
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

# The problems live with the tests, which check them.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import tarnwick  # noqa: E402
from mass_problems import exp_density, gauss_density, sample_exp, sample_gauss  # noqa: E402
from tarnwick import diagnostics  # noqa: E402

SIGNAL, BACKGROUND = 2000, 8000
MU, SIGMA, SLOPE = 5.28, 0.02, -2.0


def signal_pdf(data, shape):
    return gauss_density(data[:, 0].copy(), shape.get("mu", MU), SIGMA)


def background_pdf(data, shape):
    return exp_density(data[:, 0].copy(), SLOPE)


def toy(rng, fixed_counts: bool):
    n_signal = SIGNAL if fixed_counts else int(rng.poisson(SIGNAL))
    n_background = BACKGROUND if fixed_counts else int(rng.poisson(BACKGROUND))
    mass = np.concatenate([sample_gauss(rng, n_signal, MU, SIGMA),
                           sample_exp(rng, n_background, SLOPE)])
    return mass.reshape(-1, 1), rng.exponential(1.0, len(mass))


def width(pulls: np.ndarray) -> str:
    n = len(pulls)
    spread = pulls.std(ddof=1)
    return f"{spread:.3f} ± {spread / math.sqrt(2 * (n - 1)):.3f}"


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--toys", type=int, default=200, help="number of toys (default 200)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the toys (default 1)")
    parser.add_argument("--free-mu", action="store_true",
                        help="fit the peak's mean too (bounds 5.2 to 5.36)")
    parser.add_argument("--fixed-counts", action="store_true",
                        help="exactly 2000 and 8000 events rather than Poisson counts")
    args = parser.parse_args(argv)
    if args.toys < 2:
        parser.error("--toys must be at least 2")

    shapes = [tarnwick.ShapeParameter("mu", 5.27, 5.2, 5.36)] if args.free_mu else None
    truth = np.array([SIGNAL, BACKGROUND] + ([MU] if args.free_mu else []), dtype=float)
    names = ["signal", "background"]
    rng = np.random.default_rng(args.seed)
    hessian_pulls, sandwich_pulls = [], []
    failed = 0
    start = time.perf_counter()
    for _ in range(args.toys):
        data, weights = toy(rng, args.fixed_counts)
        result = tarnwick.splot(data, [signal_pdf, background_pdf], shape_parameters=shapes,
                                weights=weights)
        if not result.success:
            failed += 1
            continue
        sandwich = diagnostics.weighted_covariance(result, data, [signal_pdf, background_pdf],
                                                   weights=weights, shape_parameters=shapes,
                                                   names=names)
        hessian_pulls.append((sandwich.values - truth) / sandwich.hessian_errors)
        sandwich_pulls.append((sandwich.values - truth) / sandwich.errors)
    elapsed = time.perf_counter() - start
    hessian, sandwiched = np.array(hessian_pulls), np.array(sandwich_pulls)
    n = len(hessian)
    counts = "fixed counts" if args.fixed_counts else "Poisson counts"
    print(f"{args.toys} toys (seed {args.seed}, {counts}, weights exponential of mean 1), "
          f"{failed} not converged and left out, {elapsed:.1f} s")
    print(f"| parameter | pull width, inverse Hessian | pull width, sandwich "
          f"| pull mean, sandwich |")
    print("|---|---|---|---|")
    for j, name in enumerate(sandwich.parameters):
        mean = sandwiched[:, j].mean()
        print(f"| {name} | {width(hessian[:, j])} | {width(sandwiched[:, j])} "
              f"| {mean:+.3f} ± {sandwiched[:, j].std(ddof=1) / math.sqrt(n):.3f} |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
