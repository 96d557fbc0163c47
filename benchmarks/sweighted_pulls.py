"""Pulls of a lifetime fitted with sWeights: full, fixed-sWeight and
inverse-Hessian errors, and the cost of ``diagnostics.fit_sweighted``.

Each toy draws Poisson(1000) signal events (a Gaussian peak, mean 5.28 and
width 0.03) and Poisson(2000) background events (an exponential of slope
-2), both truncated to the window [5.0, 5.6], each with a decay time from an
exponential truncated to [0, 10] (lifetime 1.5 for the signal, 0.5 for the
background). The mass fit (tarnwick.splot) fits the yields with μ, σ and
the slope, or the yields alone with --known-shapes; ``fit_sweighted`` then
fits the signal lifetime τ with the signal sWeights. Each error gives the
pulls (τ̂ − τ) / error a width, printed with its statistical error
width / √(2(n − 1)) over n toys (a correct error gives width 1), and the
half-width of their central 68 %. Toys whose mass fit did not converge or
ended with a shape parameter on its bound are left out and counted.

--setup wide takes a peak of width 0.08 over a background of lifetime 0.2;
--setup rare 300 signal events in 10⁴. --timing times one call of
fit_sweighted at 10⁴, 10⁵ and 10⁶ events instead.

    python3 benchmarks/sweighted_pulls.py --toys 1000
    python3 benchmarks/sweighted_pulls.py --toys 1000 --known-shapes
    python3 benchmarks/sweighted_pulls.py --timing
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

T_MAX = 10.0
SETUPS = {  # signal, background, μ, σ, slope, τ signal, τ background
    "standard": (1000, 2000, 5.28, 0.03, -2.0, 1.5, 0.5),
    "wide": (1000, 2000, 5.28, 0.08, -2.0, 1.5, 0.2),
    "rare": (300, 9700, 5.28, 0.03, -2.0, 1.5, 0.5),
}


def decay_density(t, tau):
    """exp(−t/τ)/τ truncated to [0, T_MAX] and normalised there."""
    return np.exp(-t / tau) / (-tau * math.expm1(-T_MAX / tau))


def sample_decay(rng, n, tau):
    return -tau * np.log1p(rng.uniform(size=n) * math.expm1(-T_MAX / tau))


def lifetime_model(t, values):
    return decay_density(t, values["tau"])


def make_pdfs(setup, known):
    _, _, mu, sigma, slope, _, _ = setup
    if known:
        return [lambda data, shape: gauss_density(data[:, 0].copy(), mu, sigma),
                lambda data, shape: exp_density(data[:, 0].copy(), slope)], None
    shapes = [tarnwick.ShapeParameter("mu", mu + 0.005, 5.2, 5.36),
              tarnwick.ShapeParameter("sigma", sigma * 1.2, 0.005, 0.2),
              tarnwick.ShapeParameter("slope", slope + 0.5, -10.0, 5.0)]
    return [lambda data, shape: gauss_density(data[:, 0].copy(), shape["mu"], shape["sigma"]),
            lambda data, shape: exp_density(data[:, 0].copy(), shape["slope"])], shapes


def toy(rng, setup, poisson=True):
    n_signal, n_background, mu, sigma, slope, tau_s, tau_b = setup
    if poisson:
        n_signal, n_background = int(rng.poisson(n_signal)), int(rng.poisson(n_background))
    mass = np.concatenate([sample_gauss(rng, n_signal, mu, sigma),
                           sample_exp(rng, n_background, slope)])
    t = np.concatenate([sample_decay(rng, n_signal, tau_s), sample_decay(rng, n_background, tau_b)])
    return mass.reshape(-1, 1), t


LIFETIME = [tarnwick.ShapeParameter("tau", 1.0, 0.05, 10.0)]


def fit_chain(data, t, pdfs, shapes):
    """fit_sweighted's result, or why the mass fit is left out: it did not
    converge, or a shape parameter ended on its bound."""
    result = tarnwick.splot(data, pdfs, shape_parameters=shapes)
    if not result.success:
        return f"splot: {result.message}"
    on_bound = [p.name for p in shapes or ()
                if result.shape_parameters[p.name] in (p.lower, p.upper)]
    if on_bound:
        # A peak that ran to the bound of its width or mean is no longer the
        # signal: the sWeights then weight something else.
        return f"splot: {', '.join(on_bound)} on a bound"
    return diagnostics.fit_sweighted(result, data, pdfs, lifetime_model, LIFETIME, control=t,
                                     shape_parameters=shapes)


def width(pulls):
    spread = pulls.std(ddof=1)
    return f"{spread:.3f} ± {spread / math.sqrt(2 * (len(pulls) - 1)):.3f}"


def pulls(args):
    setup = SETUPS[args.setup]
    pdfs, shapes = make_pdfs(setup, args.known_shapes)
    rng = np.random.default_rng(args.seed)
    rows, failed = [], []
    start = time.perf_counter()
    for _ in range(args.toys):
        fit = fit_chain(*toy(rng, setup), pdfs, shapes)
        if isinstance(fit, str) or not fit.success:
            failed.append(fit if isinstance(fit, str) else f"fit_sweighted: {fit.message}")
            continue
        rows.append((fit.values[0] - setup[5])
                    / np.array([fit.errors[0], fit.static_errors[0], fit.hessian_errors[0]]))
    elapsed = time.perf_counter() - start
    table = np.array(rows)
    shapes_text = "shapes known" if args.known_shapes else "mu, sigma, slope fitted"
    print(f"{args.toys} toys, setup {args.setup} {setup}, {shapes_text}, seed {args.seed}: "
          f"{len(failed)} failed toys left out, {elapsed:.1f} s")
    for message in sorted(set(failed)):
        print(f"  {failed.count(message)} × {message}")
    print("| error | pull width | central 68 % half-width | pull mean |")
    print("|---|---|---|---|")
    for j, name in enumerate(["full (errors)", "sWeights fixed (static_errors)",
                              "inverse Hessian (hessian_errors)"]):
        mean, spread = table[:, j].mean(), table[:, j].std(ddof=1)
        low, high = np.quantile(table[:, j], [0.158655, 0.841345])
        print(f"| {name} | {width(table[:, j])} | {(high - low) / 2:.3f} | {mean:+.3f} ± "
              f"{spread / math.sqrt(len(table)):.3f} |")


def timing(args):
    base = SETUPS[args.setup]
    pdfs, shapes = make_pdfs(base, args.known_shapes)
    rng = np.random.default_rng(args.seed)
    # The first call imports scipy.optimize: not part of the cost measured.
    fit_chain(*toy(rng, base), pdfs, shapes)
    print("| events | splot (s) | fit_sweighted (s) | model calls |")
    print("|---|---|---|---|")
    for n in (10**4, 10**5, 10**6):
        scale = n / (base[0] + base[1])
        setup = (base[0] * scale, base[1] * scale) + base[2:]
        data, t = toy(rng, tuple(int(x) if i < 2 else x for i, x in enumerate(setup)), False)
        started = time.perf_counter()
        result = tarnwick.splot(data, pdfs, shape_parameters=shapes)
        fitted = time.perf_counter()
        calls = [0]

        def counted(control, values):
            calls[0] += 1
            return lifetime_model(control, values)

        fit = diagnostics.fit_sweighted(result, data, pdfs, counted, LIFETIME, control=t,
                                        shape_parameters=shapes)
        done = time.perf_counter()
        assert fit.success, fit.message
        print(f"| {n} | {fitted - started:.2f} | {done - fitted:.3f} | {calls[0]} |")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--toys", type=int, default=1000, help="number of toys (default 1000)")
    parser.add_argument("--seed", type=int, default=1, help="seed of the toys (default 1)")
    parser.add_argument("--known-shapes", action="store_true",
                        help="fit the yields only, with μ, σ and the slope at their true values")
    parser.add_argument("--setup", choices=sorted(SETUPS), default="standard")
    parser.add_argument("--timing", action="store_true",
                        help="time fit_sweighted at 10^4, 10^5 and 10^6 events")
    args = parser.parse_args(argv)
    if args.timing:
        timing(args)
    elif args.toys < 2:
        parser.error("--toys must be at least 2")
    else:
        pulls(args)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
