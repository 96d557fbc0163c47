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
  parameter with a NaN error in tarnwick (a shape parameter left on its
  bound, or any variance that is not positive) shows ``bnd``; it is fixed in
  iminuit at tarnwick's value before HESSE, so that both sides give the
  errors of the same free parameters;
* tarnwick's objective / gradient / Hessian evaluation counts and iminuit's
  function calls (MIGRAD + HESSE);
* the wall time of each fit, errors included.

A yield that tarnwick leaves on its lower bound (the machine epsilon, "at 0")
keeps a finite error and its correlations: the likelihood is smooth through
that point, and the error is the curvature's. MINUIT gives a bounded
parameter the internal error mapped through its bound transform, which
shrinks the error of a yield at its bound (and through the correlations the
others' errors) towards zero, and roughly halves it for a yield within its
error of the bound. Such rows are therefore compared against HESSE at
tarnwick's point with the yields unbounded and the parameters shown as
``bnd`` fixed. Those ratios carry ``@0`` on the yield at its bound and a
``*`` on the others; the notes give dNLL/dy of every yield on its bound
(positive: the bound is a minimum in that direction).

When the two fits end in different minima, the row compares with HESSE at
the lower one: iminuit's own when tarnwick stopped above it, otherwise the
HESSE at tarnwick's point (``*``). MIGRAD restarted from tarnwick's point
tells whether that point is a minimum. The notes under the table give the
other comparison.

iminuit's own HESSE still uses the bounded yields, so at a yield whose error
reaches down to its bound (a small signal) a ratio well above one there says
more about the bound than about tarnwick.

The weighted case fits the standard problem with event weights
w_i = 0.5 + (i mod 3) / 4, NLL = sum_k y_k - sum_i w_i ln m_i. Its inverse
Hessian is not the covariance of a weighted fit in general, but both sides
compute the same inverse Hessian, so the ratio still checks it. The case
fixed_shapes_far_start has no shape parameters (the peak and the slope fixed
at their true values), 600 signal events at any size, and both fits start
from the yields (0, n), tarnwick's 0 raised to its lower bound; it runs at
4e5 events in addition to the sizes asked for.

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
from pathlib import Path

import numpy as np

# The problems live with the tests, which check them.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import iminuit  # noqa: E402
import tarnwick  # noqa: E402
from mass_problems import CASE_TITLES, CASES, seed_for  # noqa: E402

YIELD_LOWER = 2.220446049250313e-16
MIX_FLOOR = 1e-300


# ---------------------------------------------------------------- the fits


def run_tarnwick(data, problem, weights, initial_yields):
    column_pdfs = [(lambda d, s, f=f: f(d[:, 0], s)) for f in problem.pdfs]
    params = [tarnwick.ShapeParameter(name, init, lo, hi)
              for name, init, lo, hi in problem.shapes]
    options = {}
    if weights is not None:
        options["weights"] = weights
    if initial_yields is not None:
        options["initial_yields"] = initial_yields
    start = time.perf_counter()
    result = tarnwick.splot(data, column_pdfs, shape_parameters=params, **options)
    return result, time.perf_counter() - start


class ExtendedNll:
    """The extended NLL of the yields and shapes, in iminuit's argument order.

    The PDFs of the last shape point are kept, so MIGRAD's and HESSE's steps
    in the yields alone cost one weighted sum and one log.
    """

    def __init__(self, mass, pdfs, shape_names, weights=None):
        self.mass = mass
        self.pdfs = pdfs
        self.k = len(pdfs)
        self.shape_names = shape_names
        self.weights = weights
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
        if self.weights is None:
            return float(np.sum(yields) - np.sum(np.log(mix)))
        return float(np.sum(yields) - np.dot(self.weights, np.log(mix)))


def make_minuit(mass, problem, weights, start_values, free_limits=()):
    """A Minuit on tarnwick's NLL with tarnwick's box, strategy 2, and the NLL.

    The yields in `free_limits` get no limit at all.
    """
    pdfs, shapes = problem.pdfs, problem.shapes
    k = len(pdfs)
    names = [f"y{j}" for j in range(k)] + [s[0] for s in shapes]
    nll = ExtendedNll(mass, pdfs, [s[0] for s in shapes], weights)
    m = iminuit.Minuit(nll, start_values, name=names)
    m.errordef = iminuit.Minuit.LIKELIHOOD
    m.strategy = 2
    for j in range(k):
        m.limits[j] = (None, None) if j in free_limits else (YIELD_LOWER, None)
    for j, (_, _, lo, hi) in enumerate(shapes):
        m.limits[k + j] = (lo, hi)
    return m, nll


def start_yields(problem, n, weights):
    """The start yields of both fits, tarnwick's 0 raised to its bound."""
    if problem.initial_yields is not None:
        return [max(float(y), YIELD_LOWER) for y in problem.initial_yields(n)]
    # tarnwick's default: equal yields summing to the weight sum.
    total = float(n) if weights is None else float(np.sum(weights))
    k = len(problem.pdfs)
    return [total / k] * k


def run_iminuit(mass, problem, weights, fix_at):
    """MIGRAD + HESSE; `fix_at` maps parameter index -> value fixed before HESSE."""
    start_values = (start_yields(problem, len(mass), weights)
                    + [s[1] for s in problem.shapes])
    start = time.perf_counter()
    m, _ = make_minuit(mass, problem, weights, start_values)
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


def hesse_at(mass, problem, weights, values, errors, fix_at):
    """Tarnwick's NLL at `values` and iminuit's HESSE errors there.

    The yields are unbounded: at a yield within its error of the bound,
    MINUIT maps the internal error interval through the bound transform,
    which shrinks the error, while the likelihood is smooth through the bound.
    HESSE starts its steps from tarnwick's errors: iminuit's default step is
    a percent of the value, which for a yield at the machine epsilon is far
    below any usable step.
    """
    k = len(problem.pdfs)
    m, nll = make_minuit(mass, problem, weights, [float(v) for v in values],
                         free_limits=range(k))
    for index, error in enumerate(errors):
        if math.isfinite(error) and error > 0.0:
            m.errors[index] = error
    for index in fix_at:
        m.fixed[index] = True
    m.hesse()
    return {"nll": nll(np.array(values, dtype=float)), "errors": np.array(m.errors),
            "accurate": m.accurate}


def yield_gradient(mass, problem, weights, values, j):
    """dNLL/dy_j = 1 - sum_i w_i f_j(i) / m_i at `values`."""
    k = len(problem.pdfs)
    nll = ExtendedNll(mass, problem.pdfs, [s[0] for s in problem.shapes], weights)
    densities = nll.densities(values[k:])
    mix = sum(y * v for y, v in zip(values[:k], densities))
    np.maximum(mix, MIX_FLOOR, out=mix)
    ratio = densities[j] / mix
    return 1.0 - float(np.sum(ratio) if weights is None else np.dot(weights, ratio))


def migrad_from(mass, problem, weights, values):
    """iminuit's minimum when MIGRAD starts at `values` (tarnwick's point)."""
    m, _ = make_minuit(mass, problem, weights, [float(v) for v in values])
    m.migrad()
    return {"fval": m.fval, "valid": m.valid, "nfcn": m.nfcn,
            "values_str": "(" + ", ".join(f"{v:.6g}" for v in m.values) + ")"}


def format_ratio(t_error, reference, mark=""):
    if reference == 0.0:
        return f"inf{mark}"
    return f"{t_error / reference:.3f}{mark}"


def compare(case_index, case, n):
    problem = CASES[case]()
    rng = np.random.default_rng(seed_for(case_index, n))
    mass = np.ascontiguousarray(problem.generate(rng, n), dtype=np.float64)
    data = mass.reshape(-1, 1)
    weights = None if problem.weights is None else problem.weights(n)
    initial_yields = None if problem.initial_yields is None else problem.initial_yields(n)
    k = len(problem.pdfs)
    shapes = problem.shapes

    result, t_tarnwick = run_tarnwick(data, problem, weights, initial_yields)
    t_values = list(result.yields) + [result.shape_parameters[s[0]] for s in shapes]
    t_errors = list(result.yield_errors) + [result.shape_errors[s[0]] for s in shapes]
    fix_at = {j: float(v) for j, (v, e) in enumerate(zip(t_values, t_errors))
              if math.isnan(e)}
    on_bound = [j for j in range(k) if t_values[j] == YIELD_LOWER]
    # Yields on their lower bound that keep an error.
    at_zero = [j for j in on_bound if j not in fix_at]
    # A yield on its bound is a minimum in its direction when the NLL rises
    # into the box there.
    bound_gradients = {j: yield_gradient(mass, problem, weights, t_values, j)
                       for j in on_bound}

    mi = run_iminuit(mass, problem, weights, fix_at)
    dnll = result.minimum_nll - mi["fval"]

    # HESSE at tarnwick's point: the reference of a row with a yield at 0,
    # and, when the two fits end in different minima, the errors of the same
    # point as tarnwick's.
    at_tarnwick = None
    if at_zero or abs(dnll) > 1e-3:
        at_tarnwick = hesse_at(mass, problem, weights, t_values, t_errors, fix_at)

    def row_ratios(reference, marked):
        out = []
        for j in range(len(t_values)):
            if j in fix_at:
                out.append("bnd")
            elif not marked:
                out.append(format_ratio(t_errors[j], reference[j]))
            else:
                out.append(format_ratio(t_errors[j], reference[j],
                                        "@0" if j in at_zero else "*"))
        return out

    # When the two fits end in different minima, MIGRAD from tarnwick's point
    # tells whether that point is a minimum: iminuit above it says nothing
    # (MIGRAD does not leave a start on a limit, where its internal gradient
    # vanishes), and iminuit below it may have found another minimum. From a
    # yield on its bound MIGRAD does not move that yield either; the gradient
    # in the notes covers that direction.
    polish = None
    if abs(dnll) > 1e-3:
        polish = migrad_from(mass, problem, weights, t_values)

    # The row compares with HESSE at the lower of the two minima, and at
    # tarnwick's point whenever a yield sits at 0 there; the notes give the
    # other comparison.
    own_ratios = row_ratios(mi["errors"], False)
    at_tarnwick_ratios = (None if at_tarnwick is None
                          else row_ratios(at_tarnwick["errors"], True))
    row_at_tarnwick = bool(at_zero) or dnll < -1e-3
    ratios = at_tarnwick_ratios if row_at_tarnwick else own_ratios
    return {
        "case": CASE_TITLES[case],
        "at_tarnwick": at_tarnwick,
        "at_zero": at_zero,
        "bound_gradients": bound_gradients,
        "polish": polish,
        "own_hesse_ratios": own_ratios,
        "at_tarnwick_ratios": at_tarnwick_ratios,
        "row_at_tarnwick": row_at_tarnwick,
        "n": n,
        "dnll": dnll,
        "success": result.success,
        "message": result.message,
        "ratios": ratios[:k],
        "shape_ratios": ratios[k:],
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
        case_sizes = sorted(set(sizes) | set(CASES[case]().extra_sizes))
        for n in case_sizes:
            r = compare(case_indices[case], case, n)
            mi = r["mi"]
            print(f"| {r['case']} | {size_label(n)} | {r['dnll']:+.3g} "
                  f"| {r['success']}: {r['message']} "
                  f"| {', '.join(r['ratios'])} | {', '.join(r['shape_ratios'])} "
                  f"| {'/'.join(str(c) for c in r['t_counts'])} "
                  f"| {mi['nfcn_migrad']}+{mi['nfcn'] - mi['nfcn_migrad']} "
                  f"| {mi['valid']} | {r['t_time']:.2f} | {mi['time']:.2f} |",
                  flush=True)
            label = f"{r['case']} {size_label(n)}"
            h = r["at_tarnwick"]
            if r["bound_gradients"]:
                at_bound = ", ".join(
                    f"y{j}: error {r['t_errors'][j]:.4g}, dNLL/dy {g:+.3g}"
                    for j, g in r["bound_gradients"].items())
                notes.append(f"{label}: yields at their lower bound in tarnwick ({at_bound})")
            if abs(r["dnll"]) > 1e-3:
                notes.append(
                    f"{label}: the fits end in different minima "
                    f"(tarnwick {r['t_values_str']}, NLL {r['tarnwick_nll']:.6f}, "
                    f"recomputed here {h['nll']:.6f}; iminuit {r['mi_values_str']}, "
                    f"NLL {mi['fval']:.6f}).")
            if r["row_at_tarnwick"]:
                notes.append(
                    f"{label}: error ratios against iminuit's HESSE at its own minimum "
                    f"{r['mi_values_str']}: {', '.join(r['own_hesse_ratios'])}")
            elif h is not None:
                notes.append(
                    f"{label}: error ratios against HESSE at tarnwick's point, yields "
                    f"then shapes: {', '.join(r['at_tarnwick_ratios'])}")
            if r["polish"] is not None:
                q = r["polish"]
                notes.append(
                    f"{label}: MIGRAD started at tarnwick's "
                    f"point ends at {q['values_str']}, NLL {q['fval']:.6f} (valid "
                    f"{q['valid']}, {q['nfcn']} calls): tarnwick − that = "
                    f"{r['tarnwick_nll'] - q['fval']:+.3g}")
            if r["fixed"]:
                notes.append(f"{label}: parameters {r['fixed']} with a NaN error in "
                             f"tarnwick, fixed for HESSE")
    if notes:
        print()
        for note in notes:
            print(f"- {note}")
    print()
    print("Yield order: PDF order (signal first, exponential background last); "
          "shape order: as declared. ΔNLL > 0: tarnwick above iminuit's minimum. "
          "@0: a yield at its lower bound, against HESSE at tarnwick's point with the "
          "yields unbounded; *: the other ratios of a row against that HESSE "
          "(a yield at 0, or iminuit's minimum above tarnwick's).")
    return 0


if __name__ == "__main__":
    sys.exit(main())
