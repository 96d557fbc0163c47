"""Fuzzed calls of splot: any arguments, any options, and PDFs that
misbehave during the fit.

Every drawn call either returns a complete result or raises one of the
documented exception types; it never crashes, hangs or raises anything else,
it leaves the caller's arrays as they were, and it gives back every reference
it took to its arguments.

The default profile is small and derandomized, so CI runs the same examples
every time. The long profile draws over 10 000 calls (3000 for each test);
--hypothesis-show-statistics reports the counts:

    TARNWICK_FUZZ_PROFILE=long python3 -m pytest tests/python/test_fuzz_*.py
"""

from __future__ import annotations

import math

import numpy as np
import pytest

pytest.importorskip("hypothesis")
import tarnwick  # noqa: E402
from hypothesis import given, strategies as st  # noqa: E402
from fuzz_pdfs import BENIGN_FAULTS, CallLog, FUZZ, FuzzPdf  # noqa: E402
from fuzz_strategies import Drawn, clean_data, data_arguments, pdfs_arguments  # noqa: E402
from fuzz_checks import draw_options, quick_collections, splot_call  # noqa: E402, F401


@st.composite
def wide_splot_calls(draw):
    log = CallLog()
    drawn = {"data": draw(st.one_of(data_arguments(), clean_data())),
             "pdfs": draw(pdfs_arguments(log))}
    return draw_options(draw, drawn), log


@FUZZ
@given(wide_splot_calls())
def test_any_splot_call_returns_a_result_or_a_documented_exception(call):
    drawn, log = call
    splot_call(drawn, log)


@st.composite
def option_calls(draw):
    """Valid data and well-behaved PDFs with any options."""
    log = CallLog()
    bases = draw(st.permutations(["peak", "falling", "flat"]))[:draw(st.integers(1, 3))]
    items = [FuzzPdf(base, "none", 1, log) for base in bases]
    drawn = {"data": draw(clean_data()), "pdfs": Drawn(items, items=items)}
    return draw_options(draw, drawn), log


@FUZZ
@given(option_calls())
def test_any_options_give_a_result_or_a_documented_exception(call):
    drawn, log = call
    splot_call(drawn, log)


@st.composite
def pdf_fault_calls(draw):
    """Calls whose arguments are mostly valid, so that the fit itself meets
    the drawn PDFs' faults."""
    log = CallLog()
    drawn = {"data": draw(clean_data()), "pdfs": draw(pdfs_arguments(log, wide=False))}
    rows = len(drawn["data"].value)
    names = draw(st.lists(st.sampled_from(["mu", "nu"]), max_size=2, unique=True))
    if names:
        items = [tarnwick.ShapeParameter(name, draw(st.sampled_from([0.3, 0.5])), 0.0, 1.0)
                 for name in names]
        drawn["shape_parameters"] = Drawn(items, items=items)
    if draw(st.booleans()):
        weights = draw(st.sampled_from([np.ones(rows), np.linspace(0.5, 1.5, rows)]))
        drawn["weights"] = Drawn(weights, arrays=[weights])
    drawn["max_steps"] = Drawn(draw(st.sampled_from([1, 3, 10, 30])))
    return drawn, log


@FUZZ
@given(pdf_fault_calls())
def test_misbehaving_pdfs_end_in_a_result_or_a_documented_exception(call):
    drawn, log = call
    outcome = splot_call(drawn, log)
    pdfs = drawn["pdfs"].items
    if not all(pdf.fault in BENIGN_FAULTS for pdf in pdfs):
        return
    # Well-behaved PDFs in the same places must give exactly the same fit.
    reference_log = CallLog()
    plain = {pdf: FuzzPdf(pdf.base, "none", 1, reference_log) for pdf in pdfs}
    items = [plain[pdf] for pdf in pdfs]
    reference = dict(drawn, pdfs=Drawn(items, items=items))
    assert splot_call(reference, reference_log) == outcome


def test_huge_equal_weights_scale_the_fit_and_no_pdf_sees_a_non_finite_value():
    """Weights of 1e300 push the likelihood and its differences to the edge
    of the doubles. Equal weights w only scale the fit (yields w times the
    unweighted ones); and no PDF may ever be called with a NaN or infinite
    shape value (a fit that overflows ends with an SPlotError first)."""
    rng = np.random.default_rng(1)
    peak = rng.normal(0.4, 0.05, 600)
    u = rng.uniform(size=1400)
    mass = np.concatenate([peak, -np.log1p(-u * (1.0 - math.exp(-2.0))) / 2.0])
    data = np.clip(mass, 0.0, 1.0).reshape(-1, 1)
    seen = []

    def signal(d, shape):
        seen.append(tuple(shape.values()))
        z = (d[:, 0] - shape["mu"]) / shape["sigma"]
        return np.exp(-0.5 * z * z) / (shape["sigma"] * math.sqrt(2.0 * math.pi))

    def background(d, shape):
        seen.append(tuple(shape.values()))
        slope = shape["slope"]
        return slope * np.exp(-slope * d[:, 0]) / (1.0 - math.exp(-slope))

    shapes = [tarnwick.ShapeParameter("mu", 0.38, 0.2, 0.6),
              tarnwick.ShapeParameter("sigma", 0.06, 0.01, 0.2),
              tarnwick.ShapeParameter("slope", 1.5, 0.1, 10.0)]
    unweighted = tarnwick.splot(data, [signal, background], shape_parameters=shapes)
    for weight in (1e300, 1e250, 1e200, 1e160):
        try:
            result = tarnwick.splot(data, [signal, background], shape_parameters=shapes,
                                    weights=np.full(len(data), weight))
        except tarnwick.SPlotError:
            continue
        if result.success:
            np.testing.assert_allclose(result.yields / weight, unweighted.yields, rtol=1e-6)
    assert seen and all(math.isfinite(v) for point in seen for v in point)
