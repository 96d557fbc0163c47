"""Fit quality of tarnwick against an independent MIGRAD + HESSE fit.

Each problem is a mass fit in the window [5.0, 5.6] with PDFs truncated to
the window and normalised. The same data, PDFs, bounds and start values are
fitted twice:

* by ``tarnwick.splot`` (the joint yield-and-shape fit, errors included);
* by iminuit (strategy 2, ``errordef = 0.5``) on the same extended negative
  log-likelihood written in numpy,

      NLL = sum_k y_k - sum_i ln max(sum_k y_k f_k(i), 1e-300),

  with the yields bounded below by the machine epsilon, as tarnwick does.

For every problem and size the table gives

* ``dNLL``: tarnwick's ``minimum_nll`` less iminuit's minimum (positive:
  tarnwick stopped above the best likelihood iminuit found);
* tarnwick's ``success`` and message;
* per yield, tarnwick's ``yield_errors`` over iminuit's HESSE error. A
  parameter that tarnwick leaves on its bound has a NaN error; that parameter
  is fixed in iminuit at tarnwick's value before HESSE, so that both sides
  give the errors of the same free parameters. Such a yield shows ``bnd``;
* tarnwick's objective / gradient / Hessian evaluation counts and iminuit's
  function calls (MIGRAD + HESSE);
* the wall time of each fit, errors included.

HESSE works in MINUIT's internal coordinates of a bounded parameter; for a
yield whose error reaches down to its lower bound (a small signal) that
transformation shrinks MINUIT's error, so a ratio well above one there says
more about the bound than about tarnwick. When the two fits end in different
minima, the notes under the table repeat the ratios against HESSE started at
tarnwick's point.

    python3 benchmarks/fit_quality.py                    # 1e4 and 1e5 events
    python3 benchmarks/fit_quality.py --sizes 1e4,1e5,1e6
    python3 benchmarks/fit_quality.py --cases standard,on_bounds

Each case and size has its own fixed seed, so every run fits the same data.
"""

from __future__ import annotations

import argparse
import math
import os
import platform
import sys
import time

import numpy as np
from scipy.special import ndtr, ndtri

import iminuit
import tarnwick

LO, HI = 5.0, 5.6
WIDTH = HI - LO
YIELD_LOWER = 2.220446049250313e-16
MIX_FLOOR = 1e-300
INV_SQRT_2PI = 1.0 / math.sqrt(2.0 * math.pi)


# ---------------------------------------------------------------- densities
#
# All densities work on a contiguous mass column and use only vectorised
# numpy; the window constants are computed once at import.


def gauss_norm(mu: float, sigma: float) -> float:
    """Probability of N(mu, sigma) inside the window."""
    return float(ndtr((HI - mu) / sigma) - ndtr((LO - mu) / sigma))


def gauss_density(m: np.ndarray, mu: float, sigma: float) -> np.ndarray:
    """N(mu, sigma) truncated to the window and normalised."""
    z = (m - mu) * (1.0 / sigma)
    out = np.square(z, out=z)
    out *= -0.5
    np.exp(out, out=out)
    out *= INV_SQRT_2PI / (sigma * gauss_norm(mu, sigma))
    return out


def double_gauss_density(m: np.ndarray, mu: float, sigma: float) -> np.ndarray:
    """0.6 N(mu, sigma) + 0.4 N(mu, 2.5 sigma), truncated and normalised."""
    wide = 2.5 * sigma
    a = 0.6 * gauss_norm(mu, sigma)
    b = 0.4 * gauss_norm(mu, wide)
    total = a + b
    # gauss_density normalises each peak on its own; reweight so that the
    # pair integrates to one over the window.
    out = gauss_density(m, mu, sigma)
    out *= a / total
    out += (b / total) * gauss_density(m, mu, wide)
    return out


def exp_density(m: np.ndarray, lam: float) -> np.ndarray:
    """exp(lam m) truncated to the window and normalised."""
    # lam exp(lam (m - LO)) / (exp(lam W) - 1): stable for any sign of lam.
    out = m - LO
    out *= lam
    np.exp(out, out=out)
    out *= lam / math.expm1(lam * WIDTH)
    return out


# ---------------------------------------------------------------- sampling


def sample_gauss(rng, n: int, mu: float, sigma: float) -> np.ndarray:
    lo, hi = ndtr((LO - mu) / sigma), ndtr((HI - mu) / sigma)
    u = rng.random(n)
    return mu + sigma * ndtri(lo + u * (hi - lo))


def sample_double_gauss(rng, n: int, mu: float, sigma: float) -> np.ndarray:
    wide = 2.5 * sigma
    a = 0.6 * gauss_norm(mu, sigma)
    b = 0.4 * gauss_norm(mu, wide)
    n_core = int(rng.binomial(n, a / (a + b)))
    out = np.concatenate([sample_gauss(rng, n_core, mu, sigma),
                          sample_gauss(rng, n - n_core, mu, wide)])
    rng.shuffle(out)
    return out


def sample_exp(rng, n: int, lam: float) -> np.ndarray:
    u = rng.random(n)
    return LO + np.log1p(u * math.expm1(lam * WIDTH)) / lam


# ---------------------------------------------------------------- problems
#
# A problem is: a generator of the mass column, the component PDFs as
# functions of (mass, shape dict), and the shape parameters as
# (name, initial, lower, upper).

STANDARD_SHAPES = [("mu", 5.25, 5.2, 5.36), ("sigma", 0.03, 0.005, 0.06),
                   ("lam", -1.0, -5.0, -0.1)]


def make_peak_problem(signal_fraction, shapes=STANDARD_SHAPES, double=False):
    signal = double_gauss_density if double else gauss_density
    sampler = sample_double_gauss if double else sample_gauss

    def generate(rng, n):
        n_sig = int(round(signal_fraction * n))
        m = np.concatenate([sampler(rng, n_sig, 5.28, 0.02),
                            sample_exp(rng, n - n_sig, -2.0)])
        rng.shuffle(m)
        return m

    pdfs = [lambda m, s: signal(m, s["mu"], s["sigma"]),
            lambda m, s: exp_density(m, s["lam"])]
    return generate, pdfs, shapes


def make_three_component_problem():
    def generate(rng, n):
        n1, n2 = int(round(0.20 * n)), int(round(0.15 * n))
        m = np.concatenate([sample_gauss(rng, n1, 5.27, 0.015),
                            sample_gauss(rng, n2, 5.30, 0.015),
                            sample_exp(rng, n - n1 - n2, -2.0)])
        rng.shuffle(m)
        return m

    pdfs = [lambda m, s: gauss_density(m, s["mu1"], s["sigma"]),
            lambda m, s: gauss_density(m, s["mu2"], s["sigma"]),
            lambda m, s: exp_density(m, s["lam"])]
    shapes = [("mu1", 5.26, 5.2, 5.29), ("mu2", 5.31, 5.29, 5.36),
              ("sigma", 0.02, 0.005, 0.06), ("lam", -1.0, -5.0, -0.1)]
    return generate, pdfs, shapes


CASES = {
    "standard": lambda: make_peak_problem(0.30),
    "no_signal": lambda: make_peak_problem(0.0),
    "small_signal": lambda: make_peak_problem(0.003),
    "on_bounds": lambda: make_peak_problem(
        0.30, [("mu", 5.25, 5.2, 5.36), ("sigma", 0.03, 0.025, 0.06),
               ("lam", -1.0, -5.0, -0.1)]),
    "double_gauss": lambda: make_peak_problem(0.30, double=True),
    "three_comp": make_three_component_problem,
}
CASE_TITLES = {
    "standard": "standard",
    "no_signal": "no signal",
    "small_signal": "small signal (0.3 %)",
    "on_bounds": "on bounds (σ ≥ 0.025)",
    "double_gauss": "double Gaussian peak",
    "three_comp": "three components",
}


def seed_for(case_index: int, n: int) -> int:
    return 7919 * (case_index + 1) + round(math.log10(n))


# ---------------------------------------------------------------- the fits


def run_tarnwick(data, pdfs, shapes):
    column_pdfs = [(lambda d, s, f=f: f(d[:, 0], s)) for f in pdfs]
    params = [tarnwick.ShapeParameter(name, init, lo, hi)
              for name, init, lo, hi in shapes]
    start = time.perf_counter()
    result = tarnwick.splot(data, column_pdfs, shape_parameters=params)
    return result, time.perf_counter() - start


class ExtendedNll:
    """The extended NLL of the yields and shapes, in iminuit's argument order.

    The PDFs of the last shape point are kept, so MIGRAD's and HESSE's steps
    in the yields alone cost one weighted sum and one log.
    """

    def __init__(self, mass, pdfs, shape_names):
        self.mass = mass
        self.pdfs = pdfs
        self.k = len(pdfs)
        self.shape_names = shape_names
        self.cached_point = None
        self.cached_values = None

    def densities(self, shape_values):
        point = tuple(shape_values)
        if point != self.cached_point:
            shape = dict(zip(self.shape_names, point))
            self.cached_values = [f(self.mass, shape) for f in self.pdfs]
            self.cached_point = point
        return self.cached_values

    def __call__(self, x):
        yields = x[:self.k]
        values = self.densities(x[self.k:])
        mix = yields[0] * values[0]
        for y, v in zip(yields[1:], values[1:]):
            mix += y * v
        np.maximum(mix, MIX_FLOOR, out=mix)
        return float(np.sum(yields) - np.sum(np.log(mix)))


def make_minuit(mass, pdfs, shapes, start_values):
    """A Minuit on tarnwick's NLL with tarnwick's box, strategy 2, and the NLL."""
    k = len(pdfs)
    names = [f"y{j}" for j in range(k)] + [s[0] for s in shapes]
    nll = ExtendedNll(mass, pdfs, [s[0] for s in shapes])
    m = iminuit.Minuit(nll, start_values, name=names)
    m.errordef = iminuit.Minuit.LIKELIHOOD
    m.strategy = 2
    for j in range(k):
        m.limits[j] = (YIELD_LOWER, None)
    for j, (_, _, lo, hi) in enumerate(shapes):
        m.limits[k + j] = (lo, hi)
    return m, nll


def run_iminuit(mass, pdfs, shapes, fix_at):
    """MIGRAD + HESSE; `fix_at` maps parameter index -> value fixed before HESSE."""
    k = len(pdfs)
    start_values = [len(mass) / k] * k + [s[1] for s in shapes]
    start = time.perf_counter()
    m, _ = make_minuit(mass, pdfs, shapes, start_values)
    m.migrad()
    fval = m.fval
    valid = m.valid
    nfcn_migrad = m.nfcn
    values = np.array(m.values)
    for index, value in fix_at.items():
        m.values[index] = value
        m.fixed[index] = True
    m.hesse()
    elapsed = time.perf_counter() - start
    return {
        "fval": fval,
        "valid": valid,
        "accurate": m.accurate,
        "errors": np.array(m.errors),
        "values": values,
        "nfcn_migrad": nfcn_migrad,
        "nfcn": m.nfcn,
        "time": elapsed,
    }


def hesse_at(mass, pdfs, shapes, values, fix_at):
    """Tarnwick's NLL at `values` and iminuit's HESSE errors there."""
    m, nll = make_minuit(mass, pdfs, shapes, [float(v) for v in values])
    for index in fix_at:
        m.fixed[index] = True
    m.hesse()
    return {"nll": nll(np.array(values, dtype=float)), "errors": np.array(m.errors)}


def compare(case_index, case, n):
    generate, pdfs, shapes = CASES[case]()
    rng = np.random.default_rng(seed_for(case_index, n))
    mass = np.ascontiguousarray(generate(rng, n), dtype=np.float64)
    data = mass.reshape(-1, 1)
    k = len(pdfs)

    result, t_tarnwick = run_tarnwick(data, pdfs, shapes)
    t_values = list(result.yields) + [result.shape_parameters[s[0]] for s in shapes]
    t_errors = list(result.yield_errors) + [result.shape_errors[s[0]] for s in shapes]
    fix_at = {j: float(v) for j, (v, e) in enumerate(zip(t_values, t_errors))
              if math.isnan(e)}

    mi = run_iminuit(mass, pdfs, shapes, fix_at)

    ratios = []
    for j in range(k):
        if j in fix_at:
            ratios.append("bnd")
        else:
            ratios.append(f"{t_errors[j] / mi['errors'][j]:.3f}")
    shape_ratios = []
    for j in range(k, len(t_values)):
        if j in fix_at:
            shape_ratios.append("bnd")
        else:
            shape_ratios.append(f"{t_errors[j] / mi['errors'][j]:.3f}")
    # When the two fits end in different minima their errors belong to
    # different points; HESSE started at tarnwick's point compares the errors
    # of the same point.
    at_tarnwick = None
    if abs(result.minimum_nll - mi["fval"]) > 1e-3:
        at_tarnwick = hesse_at(mass, pdfs, shapes, t_values, fix_at)
    return {
        "case": CASE_TITLES[case],
        "at_tarnwick": at_tarnwick,
        "n": n,
        "dnll": result.minimum_nll - mi["fval"],
        "success": result.success,
        "message": result.message,
        "ratios": ratios,
        "shape_ratios": shape_ratios,
        "t_counts": (result.objective_evaluations, result.gradient_evaluations,
                     result.hessian_evaluations),
        "mi": mi,
        "t_time": t_tarnwick,
        "t_values": t_values,
        "fixed": sorted(fix_at),
        "t_errors": t_errors,
        "tarnwick_nll": result.minimum_nll,
        "t_values_str": "(" + ", ".join(f"{v:.6g}" for v in t_values) + ")",
        "mi_values_str": "(" + ", ".join(f"{v:.6g}" for v in mi["values"]) + ")",
    }


# ---------------------------------------------------------------- output


def size_label(n: int) -> str:
    e = round(math.log10(n))
    return f"10^{e}" if 10 ** e == n else str(n)


def environment() -> str:
    lines = [
        f"- python {platform.python_version()} ({sys.executable})",
        f"- numpy {np.__version__}, iminuit {iminuit.__version__}",
        f"- tarnwick from {os.path.dirname(tarnwick.__file__)}",
        f"- nproc {len(os.sched_getaffinity(0))}, {platform.machine()} {platform.system()}",
    ]
    return "\n".join(lines)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", default="1e4,1e5",
                        help="comma-separated event counts (default 1e4,1e5)")
    parser.add_argument("--cases", default=",".join(CASES),
                        help="comma-separated cases (default: all): " + ", ".join(CASES))
    args = parser.parse_args(argv)
    sizes = [int(float(s)) for s in args.sizes.split(",") if s]
    cases = [c for c in args.cases.split(",") if c]
    for c in cases:
        if c not in CASES:
            parser.error(f"unknown case {c!r}")

    print(environment())
    print()
    header = ("| case | events | ΔNLL (tarnwick − iminuit) | tarnwick success: message "
              "| yield err ratio | shape err ratio | tarnwick obj/grad/hess "
              "| iminuit nfcn (migrad+hesse) | iminuit valid | t tarnwick [s] | t iminuit [s] |")
    print(header)
    print("|" + "---|" * header.count(" | ") + "---|")
    notes = []
    case_indices = {c: i for i, c in enumerate(CASES)}
    for case in cases:
        for n in sizes:
            r = compare(case_indices[case], case, n)
            mi = r["mi"]
            print(f"| {r['case']} | {size_label(n)} | {r['dnll']:+.3g} "
                  f"| {r['success']}: {r['message']} "
                  f"| {', '.join(r['ratios'])} | {', '.join(r['shape_ratios'])} "
                  f"| {'/'.join(str(c) for c in r['t_counts'])} "
                  f"| {mi['nfcn_migrad']}+{mi['nfcn'] - mi['nfcn_migrad']} "
                  f"| {mi['valid']} | {r['t_time']:.2f} | {mi['time']:.2f} |",
                  flush=True)
            if r["at_tarnwick"] is not None:
                h = r["at_tarnwick"]
                t_err = r["t_errors"]
                ratio = ", ".join("bnd" if j in r["fixed"] else f"{t_err[j] / h['errors'][j]:.3f}"
                                  for j in range(len(t_err)))
                notes.append(
                    f"{r['case']} {size_label(n)}: the fits end in different minima "
                    f"(tarnwick {r['t_values_str']}, NLL {r['tarnwick_nll']:.6f}, "
                    f"recomputed here {h['nll']:.6f}; iminuit {r['mi_values_str']}, "
                    f"NLL {mi['fval']:.6f}). Error ratios against HESSE at tarnwick's "
                    f"point, yields then shapes: {ratio}")
            if r["fixed"]:
                notes.append(f"{r['case']} {size_label(n)}: parameters "
                             f"{r['fixed']} on their bound in tarnwick, fixed for HESSE")
    if notes:
        print()
        for note in notes:
            print(f"- {note}")
    print()
    print("Yield order: PDF order (signal first, exponential background last); "
          "shape order: as declared. ΔNLL > 0: tarnwick above iminuit's minimum.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
