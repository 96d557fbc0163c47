"""tarnwick.diagnostics: every result's table as text and as HTML, and
the checks that the inputs given belong to the fit."""

from __future__ import annotations

import html
import types

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf, gaussian
from diagnostics_events import MU, far_peak, peak, reads_control
from tarnwick import diagnostics


NAMED = ["signal <b>", "background"]


@pytest.mark.parametrize("make", [
    lambda r, d, p: diagnostics.summary(r, shape_parameters=MU, names=NAMED),
    lambda r, d, p: diagnostics.closure(r, d, p, names=NAMED),
    lambda r, d, p: diagnostics.sweight_quality(r, names=NAMED),
    lambda r, d, p: diagnostics.control_leakage(None, d, [reads_control, flat_pdf], [1],
                                                shape_parameters=MU, names=NAMED),
    lambda r, d, p: diagnostics.independence(r, d, [0], [1], sample=d, names=NAMED),
    lambda r, d, p: diagnostics.weighted_covariance(r, d, p, names=NAMED),
    lambda r, d, p: diagnostics.bootstrap(r, d, p, 2, seed=1, progress=False,
                                          shape_parameters=MU, names=NAMED),
    lambda r, d, p: diagnostics.normalisation(p, {0: (-1.0, 2.0)}, r.shape_parameters,
                                              names=NAMED),
], ids=["Summary", "Closure", "SWeightQuality", "Leakage", "Independence",
        "WeightedCovariance", "Bootstrap", "Normalisation"])
def test_every_result_shows_the_same_table_as_text_and_as_escaped_html(events, make):
    data, _ = events
    result = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU)
    shown = make(result, data, [peak, flat_pdf])
    text, page = str(shown), shown._repr_html_()
    assert "signal <b>" in text and "signal &lt;b&gt;" in page and "<b>signal" not in page
    # Every cell of the text is in the page: one description, two renderings.
    for line in text.splitlines():
        for cell in line.split("  "):
            if cell.strip():
                assert html.escape(cell.strip()) in page, cell
    printed = []
    shown._repr_pretty_(types.SimpleNamespace(text=printed.append), False)
    assert printed == [text]


@pytest.mark.parametrize("call, error, match", [
    (lambda r, d: diagnostics.closure(r, d[:1], [peak, flat_pdf]), ValueError,
     "data has 1 events .* the fit had 800"),
    (lambda r, d: diagnostics.closure(r, d.T, [peak, flat_pdf]), ValueError,
     "data has 3 events .* the fit had 800"),
    (lambda r, d: diagnostics.closure(r, d, [peak]), ValueError,
     "1 PDFs given for a fit of 2 components"),
    (lambda r, d: diagnostics.closure(r, d + 5.0, [peak, far_peak]), ValueError,
     "density Σ_k y_k f_k is 0.0 at event 0"),
    (lambda r, d: diagnostics.apply_sweights(r, d, [peak, flat_pdf, flat_pdf]), ValueError,
     "3 PDFs given for a fit of 2 components"),
    (lambda r, d: diagnostics.plot_fit(r, d, [peak], 0), ValueError,
     "1 PDFs given for a fit of 2 components"),
    (lambda r, d: diagnostics.plot_fit(r, d, [peak, flat_pdf], 3), ValueError,
     "column 3 is out of range for the data's 3 column"),
    (lambda r, d: diagnostics.plot_sweighted(r, d[:500], 0, 0), ValueError,
     "data has 500 events .* the fit had 800"),
    (lambda r, d: diagnostics.plot_sweighted(r, d, -4, 0), ValueError,
     "column -4 is out of range"),
    (lambda r, d: diagnostics.plot_sweighted(r, d, 1.0, 0), TypeError,
     "column must be an integer"),
    (lambda r, d: diagnostics.plot_sweighted(r, d, 0, 2), ValueError,
     "component 2 is out of range for a fit of 2 component"),
    (lambda r, d: diagnostics.plot_sweighted(r, d, 1, "signal"), ValueError,
     "no component is named 'signal'; the components are \\['component 0', 'component 1'\\]"),
    (lambda r, d: diagnostics.plot_fit(r, d, [peak, flat_pdf], 0, pull_ax=object()),
     ValueError, "pull_ax was given without ax"),
    (lambda r, d: diagnostics.control_leakage(r, d, [peak, flat_pdf], [1, 5]), ValueError,
     "control column 5 is out of range for the data's 3 column"),
    (lambda r, d: diagnostics.closure(r, d, [peak, flat_pdf], names=["signal"]), ValueError,
     "1 names given for a fit of 2 components"),
    (lambda r, d: diagnostics.summary(r, weights=np.ones(3)), ValueError,
     "weights has length 3, expected 800"),
    (lambda r, d: diagnostics.independence(d, r, [0], [1]), TypeError,
     "result must be a tarnwick.SPlotResult, got ndarray: .* \\(result, data, pdfs"),
    (lambda r, d: diagnostics.closure(r, d, [peak, flat_pdf], np.ones(800)), TypeError,
     "3 positional arguments but 4 were given"),
], ids=["closure-one-row", "closure-transposed", "closure-one-pdf", "closure-other-data",
        "apply-three-pdfs", "plot_fit-one-pdf", "plot_fit-column", "plot_sweighted-rows",
        "plot_sweighted-column", "plot_sweighted-float-column", "plot_sweighted-component",
        "plot_sweighted-unnamed", "plot_fit-pull_ax-alone", "control_leakage-column",
        "closure-names", "summary-weights", "data-before-result",
        "weights-positional"])
def test_inputs_that_do_not_match_the_result_are_named(events, call, error, match):
    data, _ = events
    result = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU)
    with pytest.raises(error, match=match):
        call(result, data)


def wide_peak(data, shape):
    return gaussian(data[:, 0], shape["mu"], shape["sigma"])


def box(data, shape):
    """Flat on [0, 0.6] and zero outside."""
    return np.where((data[:, 0] >= 0.0) & (data[:, 0] <= 0.6), 1.0 / 0.6, 0.0)


TWO = [tarnwick.ShapeParameter("sigma", 0.04, 0.01, 0.2),
       tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]


@pytest.fixture(scope="module")
def fits():
    """The events and weights of `events`, fitted unweighted, weighted,
    weighted but stopped after two steps, and with two shape parameters."""
    rng = np.random.default_rng(11)
    mass = np.concatenate([rng.normal(0.3, 0.05, 300), rng.uniform(0.0, 0.6, 500)])
    data = np.column_stack([mass, rng.exponential(1.0, 800), rng.normal(size=800)])
    w = rng.uniform(0.5, 1.5, 800)
    pdfs = [peak, flat_pdf]
    return types.SimpleNamespace(
        data=data, w=w, pdfs=pdfs,
        plain=tarnwick.splot(data, pdfs, shape_parameters=MU),
        weighted=tarnwick.splot(data, pdfs, shape_parameters=MU, weights=w),
        stopped=tarnwick.splot(data, pdfs, shape_parameters=MU, weights=w, max_steps=2),
        two=tarnwick.splot(data, [wide_peak, flat_pdf], shape_parameters=TWO))


def _weighted_errors_without_weights(z):
    omitted = diagnostics.weighted_covariance(z.weighted, z.data, z.pdfs)
    given = diagnostics.weighted_covariance(z.weighted, z.data, z.pdfs, weights=z.w)
    np.testing.assert_allclose(omitted.errors, given.errors, rtol=1e-9)
    assert (omitted.yield_errors > np.asarray(z.weighted.yield_errors)).all()
    assert diagnostics.summary(z.weighted).weighted


def _progress_wrappers_travel(z):
    cloudpickle = pytest.importorskip("cloudpickle")
    with diagnostics.with_progress(z.pdfs) as wrapped:
        copy = cloudpickle.loads(cloudpickle.dumps(wrapped))
    np.testing.assert_array_equal(copy[0](z.data, {"mu": 0.3}), peak(z.data, {"mu": 0.3}))
    assert copy.calls == 1 and wrapped.calls == 0


# Inputs that do not belong to the fit, each refused with a message naming
# what does not belong, or handled with the right number. pytest turns every
# warning into an error, so none of them may leak a NumPy warning either.
@pytest.mark.parametrize("call, match", [
    (lambda z: diagnostics.weighted_covariance(z.two, z.data, [wide_peak, flat_pdf],
                                               shape_parameters=TWO[::-1]),
     "declared in the order \\['mu', 'sigma'\\], which is not the fit's"),
    (lambda z: diagnostics.summary(z.two, shape_parameters=TWO[::-1]), "not the fit's"),
    (_weighted_errors_without_weights, None),
    (lambda z: diagnostics.summary(z.weighted, weights=np.ones(800)),
     "weights do not belong to the fit: at event 0"),
    (lambda z: diagnostics.closure(z.plain, z.data, z.pdfs[::-1]),
     "pdfs do not belong to the fit in this order: they match it as pdfs\\[1, 0\\]"),
    (lambda z: diagnostics.weighted_covariance(z.plain, z.data[:, [1, 0, 2]], z.pdfs),
     "data do not belong to the fit: its columns match the fit as data\\[:, \\[1, 0, 2\\]\\]"),
    (lambda z: diagnostics.closure(z.plain, np.random.default_rng(3).permutation(z.data), z.pdfs),
     "the data or the pdfs do not belong to the fit: .* at 7\\d\\d of 800 events"),
    (lambda z: diagnostics.closure(z.plain, z.data * 100.0, z.pdfs),
     "the data or the pdfs do not belong"),
    (lambda z: diagnostics.closure(z.plain, z.data, z.pdfs,
                                   shape_parameters=[tarnwick.ShapeParameter("m", 0.3, 0, 1)]),
     "shape_parameters \\['m'\\] are not those of the fit \\['mu'\\]"),
    (lambda z: "NOT CONVERGED" in str(diagnostics.weighted_covariance(z.stopped, z.data, z.pdfs))
     or pytest.fail("no word of the stop"), None),
    (lambda z: diagnostics.bootstrap(z.weighted, z.data, z.pdfs, 50, seed=1, progress=False,
                                     weights=z.w[::-1], shape_parameters=MU),
     "weights do not belong"),
    (lambda z: diagnostics.plot_fit(z.plain, z.data[:-1], z.pdfs, 0), "data has 799 events"),
    (lambda z: diagnostics.apply_sweights(z.plain, np.vstack([z.data[:5], [[5.0, 0, 0]] * 2]),
                                          [peak, box]),
     "no sWeights for 2 event\\(s\\) \\(events 5, 6\\).*outside the PDFs' support"),
    (lambda z: diagnostics.kendall_tau(z.data[:2, 0], z.data[:2, 1]), "at least 3 events, got 2"),
    (lambda z: diagnostics.kendall_tau(z.data[:, 0], np.ones(800)), "y is constant"),
    (lambda z: diagnostics.closure(z.weighted, z.data, z.pdfs,
                                   weights=np.where(np.arange(800) == 3, np.nan, z.w)),
     "weights is nan at event 3"),
    (_progress_wrappers_travel, None),
    # Off the maximum Σ_k s(i, k) is not w_i, yet the fit's weights belong.
    (lambda z: diagnostics.closure(z.stopped, z.data, z.pdfs, weights=z.w).max_event_deviation
     > 1e-3 or pytest.fail("the stopped fit closes"), None),
    (lambda z: diagnostics.plot_fit(z.plain, z.data, [lambda d, s: peak(z.data, s), flat_pdf], 0),
     "PDF 0 returned shape \\(800,\\), expected \\(401,\\) on plot_fit's grid"),
], ids=["declared-order", "summary-declared-order", "weights-omitted", "weights-not-the-fit's",
        "pdfs-swapped", "columns-swapped", "other-data", "far-data", "declaration-names",
        "stopped-fit", "bootstrap-weights", "plot_fit-events", "apply-outside-support",
        "kendall-two-events", "kendall-constant", "nan-weight", "progress-to-cluster",
        "stopped-fit-weights", "plot_fit-closed-over-column"])
def test_inputs_that_do_not_belong_to_the_fit(fits, call, match):
    if match is None:
        call(fits)
    else:
        with pytest.raises(ValueError, match=match):
            call(fits)
