"""tarnwick against the tools a user would pick instead, on the standard problem.

    python3 benchmarks/vs_peers.py                       # 1e4, 1e5, 1e6 events
    python3 benchmarks/vs_peers.py 10000 100000 --repeat 3 --plot vs_peers.png

The problem is the one of standard_problem.py (a truncated Gaussian peak over
a truncated exponential in the mass, 30 % signal, three shape parameters);
each tool fits the two yields and the three shape parameters, estimates the
uncertainties and computes the sWeights:

  tarnwick  tarnwick.splot (fit, Hessian, sPlot covariance and sWeights).
  tarnwick (models)  the same with the PDFs built from tarnwick.models
            (Gaussian and Exponential on the window), which splot evaluates
            natively: no Python call per evaluation, so calls and time in
            PDFs read 0.
  iminuit   MIGRAD then HESSE on a numpy extended NLL, then the sWeights.
  iminuit (numba)  MIGRAD then HESSE on iminuit's ExtendedUnbinnedNLL of
            numba-stats' truncnorm and truncexpon (compiled before timing),
            then the sWeights; its PDFs are its own, so calls read 0.
  scipy     scipy.optimize.minimize, L-BFGS-B, jac='3-point',
            ftol = gtol = 0, errors from its inverse-Hessian estimate, then
            the sWeights.

The peers' sWeights come from their fitted parameters by the standard sPlot
formula, V⁻¹_jk = Σ_i f_j f_k / m_i², s_ik = Σ_j V_kj f_j(i) / m_i. All three
use the same PDF functions on the same contiguous mass column. The tools run
interleaved in one process, size by size, so that they share the machine's
state; with --repeat the best wall time of each is kept.

Columns: wall time of the whole job; Python calls per PDF; time spent inside
the PDFs; the share of the wall time outside them (the tool's own cost);
the fitted yields; and for the peers the largest difference of their sWeights
from tarnwick's, relative to the largest sWeight.

The second table repeats the fits with cheap PDFs: the values at every point
the fit visits are computed in a first, untimed run and looked up by the
point in the timed one, so the time left is the tool's own. Sizes whose
lookup tables would not fit in --table-gb are skipped.

iminuit, numba-stats and scipy are optional; a missing one is left out. matplotlib is
optional too (for --plot).
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).parent))
import standard_problem as sp  # noqa: E402

import tarnwick  # noqa: E402

NAMES = list(sp.PARAMETERS)
INITIAL = [spec[0] for spec in sp.PARAMETERS.values()]
BOUNDS = [(spec[1], spec[2]) for spec in sp.PARAMETERS.values()]


class NumpyPdfs:
    """The two PDFs of the problem, counting calls and the time inside."""

    def __init__(self, mass):
        self.mass = mass
        self.calls = 0
        self.seconds = 0.0

    def values(self, mu, sigma, slope):
        t0 = time.perf_counter()
        out = (sp.signal_density(self.mass, mu, sigma), sp.background_density(self.mass, slope))
        self.seconds += time.perf_counter() - t0
        self.calls += 1
        return out

    # tarnwick's form: one callable per component
    def signal(self, data, shape):
        t0 = time.perf_counter()
        out = sp.signal_density(self.mass, shape["mu"], shape["sigma"])
        self.seconds += time.perf_counter() - t0
        self.calls += 1
        return out

    def background(self, data, shape):
        t0 = time.perf_counter()
        out = sp.background_density(self.mass, shape["slope"])
        self.seconds += time.perf_counter() - t0
        return out


class LookupPdfs(NumpyPdfs):
    """Values computed once per point (recording run), then looked up."""

    def __init__(self, mass):
        super().__init__(mass)
        self.signal_table: dict = {}
        self.background_table: dict = {}
        self.misses = 0

    def _signal(self, mu, sigma):
        key = (mu, sigma)
        out = self.signal_table.get(key)
        if out is None:
            self.misses += 1
            out = self.signal_table[key] = sp.signal_density(self.mass, mu, sigma)
        return out

    def _background(self, slope):
        out = self.background_table.get(slope)
        if out is None:
            self.misses += 1
            out = self.background_table[slope] = sp.background_density(self.mass, slope)
        return out

    def values(self, mu, sigma, slope):
        t0 = time.perf_counter()
        out = (self._signal(mu, sigma), self._background(slope))
        self.seconds += time.perf_counter() - t0
        self.calls += 1
        return out

    def signal(self, data, shape):
        t0 = time.perf_counter()
        out = self._signal(shape["mu"], shape["sigma"])
        self.seconds += time.perf_counter() - t0
        self.calls += 1
        return out

    def background(self, data, shape):
        t0 = time.perf_counter()
        out = self._background(shape["slope"])
        self.seconds += time.perf_counter() - t0
        return out

    def reset_counters(self):
        self.calls, self.seconds, self.misses = 0, 0.0, 0


def sweights_at(fs, fb, yields):
    """The standard sPlot weights of the two components at a fitted point."""
    m = yields[0] * fs + yields[1] * fb
    f = np.stack([fs, fb])
    g = f / m
    information = g @ g.T
    return (np.linalg.inv(information) @ g).T


def extended_nll(pdfs):
    def nll(x):
        fs, fb = pdfs.values(x[2], x[3], x[4])
        return x[0] + x[1] - np.sum(np.log(x[0] * fs + x[1] * fb))

    return nll


def run_tarnwick(data, pdfs):
    t0 = time.perf_counter()
    r = tarnwick.splot(data, [pdfs.signal, pdfs.background],
                       shape_parameters=sp.shape_parameters(tarnwick))
    wall = time.perf_counter() - t0
    return wall, np.asarray(r.yields), np.asarray(r.sweights), r.success


def run_tarnwick_models(data, pdfs):
    from tarnwick import models

    window = (sp.M_LOW, sp.M_HIGH)
    t0 = time.perf_counter()
    r = tarnwick.splot(data, [models.Gaussian(0, window, mu="mu", sigma="sigma"),
                              models.Exponential(0, window, slope="slope")],
                       shape_parameters=sp.shape_parameters(tarnwick))
    wall = time.perf_counter() - t0
    return wall, np.asarray(r.yields), np.asarray(r.sweights), r.success


def run_iminuit(data, pdfs):
    from iminuit import Minuit

    n = len(data)
    t0 = time.perf_counter()
    nll = extended_nll(pdfs)
    m = Minuit(nll, [n / 2, n / 2, *INITIAL], name=["n_sig", "n_bkg", *NAMES])
    m.errordef = Minuit.LIKELIHOOD
    m.limits = [(0, None), (0, None), *BOUNDS]
    m.migrad()
    m.hesse()
    x = np.asarray(m.values)
    fs, fb = pdfs.values(*x[2:])
    s = sweights_at(fs, fb, x[:2])
    wall = time.perf_counter() - t0
    return wall, x[:2], s, m.valid


def run_iminuit_numba(data, pdfs):
    from iminuit import Minuit
    from iminuit.cost import ExtendedUnbinnedNLL
    from numba_stats import truncexpon, truncnorm

    low, high = sp.M_LOW, sp.M_HIGH
    mass = np.ascontiguousarray(data[:, 0])

    def density(x, n_sig, n_bkg, mu, sigma, slope):
        # exp(slope·x) on the window is truncexpon with scale −1/slope.
        return n_sig + n_bkg, (n_sig * truncnorm.pdf(x, low, high, mu, sigma)
                               + n_bkg * truncexpon.pdf(x, low, high, low, -1.0 / slope))

    n = len(data)
    t0 = time.perf_counter()
    m = Minuit(ExtendedUnbinnedNLL(mass, density), n_sig=n / 2, n_bkg=n / 2,
               **dict(zip(NAMES, INITIAL)))
    m.limits["n_sig", "n_bkg"] = (0, None)
    for name, bounds in zip(NAMES, BOUNDS):
        m.limits[name] = bounds
    m.migrad()
    m.hesse()
    x = np.asarray(m.values)
    fs = truncnorm.pdf(mass, low, high, x[2], x[3])
    fb = truncexpon.pdf(mass, low, high, low, -1.0 / x[4])
    s = sweights_at(fs, fb, x[:2])
    wall = time.perf_counter() - t0
    return wall, x[:2], s, m.valid


def run_scipy(data, pdfs):
    from scipy.optimize import minimize

    n = len(data)
    t0 = time.perf_counter()
    res = minimize(extended_nll(pdfs), np.array([n / 2, n / 2, *INITIAL]), method="L-BFGS-B",
                   jac="3-point", bounds=[(0, None), (0, None), *BOUNDS],
                   options={"ftol": 0, "gtol": 0})
    np.sqrt(np.diag(res.hess_inv.todense()))  # the uncertainties it offers
    fs, fb = pdfs.values(*res.x[2:])
    s = sweights_at(fs, fb, res.x[:2])
    wall = time.perf_counter() - t0
    return wall, res.x[:2], s, True


def available_tools():
    tools = {"tarnwick": run_tarnwick, "tarnwick (models)": run_tarnwick_models}
    try:
        import iminuit  # noqa: F401

        tools["iminuit"] = run_iminuit
        try:
            import numba_stats  # noqa: F401

            tools["iminuit (numba)"] = run_iminuit_numba
            run_iminuit_numba(sp.generate(1000, seed=2), None)  # numba compiles here
        except ImportError:
            print("numba-stats not installed: left out")
    except ImportError:
        print("iminuit not installed: left out")
    try:
        import scipy  # noqa: F401

        tools["scipy"] = run_scipy
    except ImportError:
        print("scipy not installed: left out")
    return tools


def measure(tools, n, repeat, cheap):
    """One row per tool: the best of `repeat` interleaved runs."""
    data = sp.generate(n, seed=1)
    mass = np.ascontiguousarray(data[:, 0])
    rows = {}
    lookups = {}
    if cheap:
        for name, run in tools.items():  # the untimed recording runs
            lookups[name] = LookupPdfs(mass)
            run(data, lookups[name])
    for _ in range(repeat):
        for name, run in tools.items():
            if cheap:
                pdfs = lookups[name]
                pdfs.reset_counters()
            else:
                pdfs = NumpyPdfs(mass)
            wall, yields, s, ok = run(data, pdfs)
            if cheap and pdfs.misses:
                print(f"  {name}: {pdfs.misses} lookups missed (the fit is not repeatable)")
            if name not in rows or wall < rows[name]["wall"]:
                rows[name] = {"wall": wall, "calls": pdfs.calls, "pdf": pdfs.seconds,
                              "yields": yields, "sweights": s, "ok": ok}
    lookups.clear()
    return rows


def print_table(title, results):
    print(f"\n{title}")
    print(f"{'events':>9} {'tool':>17} {'wall s':>8} {'calls':>6} {'in PDFs s':>10} "
          f"{'outside':>8} {'ratio':>6} {'signal yield':>13} {'bkg yield':>12} {'max |Δs|/max s':>15}")
    for n, rows in results.items():
        ref = rows["tarnwick"]
        for name, r in rows.items():
            outside = 1.0 - r["pdf"] / r["wall"]
            ratio = ref["wall"] / r["wall"]
            if name == "tarnwick":
                agreement, ratio_text = "", ""
            else:
                diff = np.max(np.abs(r["sweights"] - ref["sweights"]))
                agreement = f"{diff / np.max(np.abs(ref['sweights'])):.1e}"
                ratio_text = f"{ratio:.2f}"
            flag = "" if r["ok"] else " (not converged)"
            print(f"{n:>9} {name:>17} {r['wall']:>8.4f} {r['calls']:>6} {r['pdf']:>10.3f} "
                  f"{outside:>8.0%} {ratio_text:>6} {r['yields'][0]:>13.2f} "
                  f"{r['yields'][1]:>12.2f} {agreement:>15}{flag}")
    print("ratio: tarnwick's wall time over the tool's")


def plot(path, numpy_results, cheap_results):
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib not installed: no plot")
        return
    fig, axes = plt.subplots(1, 2, figsize=(10, 4), sharey=True)
    for ax, results, title in ((axes[0], numpy_results, "numpy PDFs"),
                               (axes[1], cheap_results, "cheap (looked-up) PDFs")):
        sizes = list(results)
        for tool in (results[sizes[0]] if sizes else {}):
            ax.loglog(sizes, [results[n][tool]["wall"] for n in sizes], "o-", label=tool)
        ax.set_title(title)
        ax.set_xlabel("events")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    axes[0].set_ylabel("wall time of fit + errors + sWeights [s]")
    fig.tight_layout()
    fig.savefig(path, dpi=120)
    print(f"plot saved to {path}")


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("sizes", nargs="*", type=int, default=[10_000, 100_000, 1_000_000])
    parser.add_argument("--repeat", type=int, default=1)
    parser.add_argument("--table-gb", type=float, default=4.0,
                        help="memory allowed for the cheap PDFs' lookup tables")
    parser.add_argument("--plot", type=Path, default=None)
    args = parser.parse_args(argv[1:])
    tools = available_tools()

    numpy_results = {}
    for n in args.sizes:
        numpy_results[n] = measure(tools, n, args.repeat, cheap=False)
    print_table("numpy PDFs (fit + errors + sWeights)", numpy_results)

    cheap_results = {}
    for n in args.sizes:
        # one table per tool, one array per PDF and point visited
        most_calls = max(r["calls"] for r in numpy_results[n].values())
        need_gb = 2 * most_calls * n * 8 / 1e9
        if need_gb > args.table_gb:
            print(f"\ncheap PDFs at {n} events skipped: the lookup table would need "
                  f"{need_gb:.1f} GB (--table-gb {args.table_gb})")
            continue
        # Native models call no Python PDF, so there is nothing to look up;
        # nor do numba-stats' PDFs.
        cheap_tools = {k: v for k, v in tools.items()
                       if k not in ("tarnwick (models)", "iminuit (numba)")}
        cheap_results[n] = measure(cheap_tools, n, args.repeat, cheap=True)
    if cheap_results:
        print_table("cheap PDFs: values looked up by the point (the tools' own cost)",
                    cheap_results)
    if args.plot:
        plot(args.plot, numpy_results, cheap_results)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
