"""tarnwick.diagnostics: its numbers against direct NumPy computations."""

from __future__ import annotations

import io
import sys
import types

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf, gaussian
from diagnostics_events import MU, far_peak, peak, reads_control
from tarnwick import diagnostics


def expected_closure(result, data, pdfs, w):
    """The closure relations written out event by event with einsum."""
    f = np.stack([pdf(data, result.shape_parameters) for pdf in pdfs], axis=1)
    m = np.einsum("ik,k->i", f, result.yields)
    information = np.einsum("i,ij,ik->jk", w / m**2, f, f)
    singular = np.linalg.svd(information, compute_uv=False)
    return {
        "sum_rule": np.einsum("i,ik->k", w / m, f) - 1.0,
        "sweight_sum_minus_yield": result.sweights.sum(axis=0) - result.yields,
        "covariance_sum_minus_yield": result.covariance @ np.ones(len(pdfs)) - result.yields,
        "max_event_deviation": np.abs(result.sweights.sum(axis=1) - w).max(),
        "information_residual": np.abs(information @ result.covariance - np.eye(len(pdfs))).max(),
        "information_condition": singular[0] / singular[-1],
    }


@pytest.mark.parametrize("max_steps, converged", [(None, True), (2, False)])
def test_closure_matches_numpy_and_shows_a_fit_that_did_not_converge(events, max_steps,
                                                                     converged):
    data, w = events
    kwargs = {} if max_steps is None else {"max_steps": max_steps}
    result = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU, weights=w, **kwargs)
    assert result.success is converged
    check = diagnostics.closure(result, data, [peak, flat_pdf], weights=w, shape_parameters=MU)
    for name, value in expected_closure(result, data, [peak, flat_pdf], w).items():
        np.testing.assert_allclose(getattr(check, name), value, rtol=1e-9, atol=1e-12,
                                   err_msg=name)
    # Only a converged maximum satisfies Σ_k V(r, k) = y_r and the sum rule.
    worst = max(abs(v) for v in check.covariance_sum_minus_yield)
    assert (worst < 0.05) is converged, check
    assert (max(abs(v) for v in check.sum_rule) < 1e-3) is converged
    assert check.at_bound == () and check.components == ("component 0", "component 1")
    text = str(check)
    assert f"success={converged}" in text and "Σ_j V(k,j) − y_k" in text
    assert "parameters on a bound: none" in text
    # The summary sees the same from the result alone, and warns of the weights.
    brief = diagnostics.summary(result, weights=w)
    assert brief.closure_residual == pytest.approx(worst, rel=1e-12)
    assert brief.closure_holds is brief.valid is converged
    assert brief.weighted and "use weighted_covariance" in str(brief)
    # Without weights the summary takes them from the result's sWeights.
    assert diagnostics.summary(result).weighted


def test_closure_names_the_parameters_on_a_bound(events):
    data, _ = events
    bounded = [tarnwick.ShapeParameter("mu", 0.45, 0.4, 1.0)]
    result = tarnwick.splot(data, [peak, far_peak, flat_pdf], shape_parameters=bounded)
    assert result.shape_parameters["mu"] == 0.4
    assert result.yields[1] == 2.220446049250313e-16
    check = diagnostics.closure(result, data, [peak, far_peak, flat_pdf],
                                shape_parameters=bounded, names=["peak", "far", "flat"])
    assert check.at_bound == ("yield far", "mu (at its lower bound 0.4)")
    unchecked = diagnostics.closure(result, data, [peak, far_peak, flat_pdf])
    assert unchecked.at_bound == ("yield component 1",)
    assert "yields checked only" in str(unchecked)
    # mu is held fixed: NaN error, zero row, NaN correlations, but the free
    # parameters' errors are finite and their covariance positive definite.
    brief = diagnostics.summary(result, shape_parameters=bounded)
    assert brief.at_bound == ("", "lower", "", "lower") and brief.on_bound == (
        "component 1", "mu")
    assert brief.fixed == (False, False, False, True)
    assert brief.errors_finite and brief.positive_definite
    correlation = np.array(brief.correlation)
    assert np.isnan(correlation[3]).all() and np.isnan(correlation[:, 3]).all()
    np.testing.assert_array_equal(np.diag(correlation)[:3], 1.0)
    assert diagnostics.summary(result).at_bound == ("", "lower", "", "")


def test_summary_flags_negative_curvature_and_a_covariance_that_is_not_positive_definite(
        events):
    data, _ = events
    fitted = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU)
    covariance = np.array(fitted.fit_covariance)
    covariance[0, 0] = -covariance[0, 0]
    fields = {name: getattr(fitted, name) for name in dir(fitted) if not name.startswith("_")}
    broken = types.SimpleNamespace(**{**fields, "fit_covariance": covariance,
                                      "yield_errors": np.array([np.nan, 1.0])})
    brief = diagnostics.summary(broken)
    assert not (brief.errors_finite or brief.positive_definite or brief.valid)
    assert brief.fixed == (False, False, False)
    assert np.isnan(brief.correlation[0]).all() and brief.correlation[1][1] == 1.0
    assert "NO  errors finite" in str(brief)


def test_summary_orders_and_errs_as_iminuit_on_the_same_likelihood(events):
    """Two shape parameters declared out of alphabetical order: the result's
    dicts are sorted by name, fit_covariance follows the declaration."""
    iminuit = pytest.importorskip("iminuit")
    data, _ = events
    declared = [tarnwick.ShapeParameter("sigma", 0.04, 0.01, 0.2),
                tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]

    def wide_peak(data, shape):
        return gaussian(data[:, 0], shape["mu"], shape["sigma"])

    def flat(data, shape):
        return np.full(len(data), 1.0 / 0.6)

    names = ["signal <B>", "background"]
    result = tarnwick.splot(data, [wide_peak, flat], shape_parameters=declared)
    brief = diagnostics.summary(result, shape_parameters=declared, names=names)

    def nll(signal, background, sigma, mu):
        shape = {"mu": mu, "sigma": sigma}
        mixture = signal * wide_peak(data, shape) + background * flat(data, shape)
        return signal + background - np.sum(np.log(mixture))

    minuit = iminuit.Minuit(nll, *brief.values, name=brief.parameters)
    minuit.errordef = iminuit.Minuit.LIKELIHOOD
    minuit.migrad()
    minuit.hesse()
    assert minuit.valid and brief.valid
    assert brief.parameters == ("signal <B>", "background", "sigma", "mu") == minuit.parameters
    assert brief.parameters == diagnostics.parameter_names(result, shape_parameters=declared,
                                                        names=names)
    np.testing.assert_allclose(brief.values, minuit.values, rtol=1e-4)
    np.testing.assert_allclose(brief.errors, minuit.errors, rtol=1e-3)
    np.testing.assert_allclose(brief.correlation, minuit.covariance.correlation(), atol=1e-3)
    page = brief._repr_html_()
    assert "signal &lt;B&gt;" in page and "<B>" not in page
    assert "signal <B>" in str(brief)
    with pytest.raises(ValueError, match="pass the declared shape_parameters"):
        diagnostics.summary(result)


def test_sweight_quality_matches_numpy(events):
    data, w = events
    result = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU, weights=w)
    quality = diagnostics.sweight_quality(result)
    s = result.sweights
    for k in range(2):
        column = s[:, k]
        negative = column[column < 0]
        assert quality.sum_of_squares[k] == pytest.approx(np.dot(column, column), rel=1e-12)
        assert quality.effective_size[k] == pytest.approx(
            column.sum() ** 2 / np.dot(column, column), rel=1e-12)
        assert quality.negative_fraction[k] == len(negative) / len(column)
        assert quality.negative_total[k] == pytest.approx(negative.sum(), rel=1e-12)
    assert 0.0 < quality.negative_fraction[0] < 1.0
    assert str(quality).startswith("sWeight quality")
    assert quality.components == ("component 0", "component 1")
    named = diagnostics.sweight_quality(result, names=["signal", "background"])
    assert str(named).splitlines()[2].split()[0] == "signal"


@pytest.mark.parametrize("pdfs, columns, leaking", [
    ([peak, flat_pdf], [1, 2], set()),
    ([reads_control, flat_pdf], [1, 2], {(0, 1)}),
    ([flat_pdf, reads_control, reads_control], [2, 1], {(1, 1), (2, 1)}),
])
def test_control_leakage_reports_exactly_the_pdfs_that_read_a_column(events, pdfs, columns,
                                                                     leaking):
    data, _ = events
    report = diagnostics.control_leakage(None, data, pdfs, columns, seed=3, shape_parameters=MU)
    assert {(leak.component, leak.column) for leak in report.leaks} == leaking
    assert bool(report) is bool(leaking)
    for leak in report.leaks:
        assert leak.max_change > 0.0 and leak.pdf == "reads_control"
        assert leak.name == f"component {leak.component}"
    # The dict form (a result's fitted values) gives the same verdict.
    again = diagnostics.control_leakage(None, data, pdfs, columns, seed=3,
                                        shape_parameters={"mu": 0.35})
    assert again == report
    names = ["a", "b", "c"][:len(pdfs)]
    named = diagnostics.control_leakage(None, data, pdfs, columns, seed=3, shape_parameters=MU,
                                        names=names)
    assert [leak.name for leak in named.leaks] == [names[leak.component]
                                                   for leak in report.leaks]


def odd_fails(data, shape):
    """Fails in the fits of odd-sized replicas, after the first call."""
    if len(data) % 2 and shape["mu"] != 0.35:
        raise ValueError("odd")
    return peak(data, shape)


def replica_counts(seed, n, n_events):
    """Each replica's Poisson(1) counts: replica r from child r of SeedSequence(seed)."""
    return [np.random.default_rng(child).poisson(1.0, size=n_events)
            for child in np.random.SeedSequence(seed).spawn(n)]


def test_bootstrap_replicas_are_poisson_resampled_fits(events):
    data, w = events
    sample = data[:200]
    fitted = tarnwick.splot(sample, [peak, flat_pdf], shape_parameters=MU, weights=w[:200])
    boot = diagnostics.bootstrap(fitted, sample, [peak, flat_pdf], 4, seed=5, progress=False,
                                 names=["signal", "background"], shape_parameters=MU,
                                 weights=w[:200])
    rows = np.repeat(np.arange(200), replica_counts(5, 4, 200)[3])
    last = tarnwick.splot(sample[rows], [peak, flat_pdf], shape_parameters=MU,
                          weights=w[:200][rows])
    np.testing.assert_array_equal(boot.yields[3], last.yields)
    np.testing.assert_array_equal(boot.yield_errors[3], last.yield_errors)
    np.testing.assert_allclose(boot.sweight_sums[3], last.sweights.sum(axis=0), rtol=1e-12)
    assert boot.success.all() and boot.errors == ()
    assert len({tuple(row) for row in boot.yields}) == 4
    assert "\n  signal " in str(boot) and "\n  background " in str(boot)

    unweighted = tarnwick.splot(sample, [odd_fails, flat_pdf], shape_parameters=MU)
    failing = diagnostics.bootstrap(unweighted, sample, [odd_fails, flat_pdf], 6, seed=1,
                                    progress=False, shape_parameters=MU)
    odd = [int(counts.sum()) % 2 == 1 for counts in replica_counts(1, 6, 200)]
    assert np.isnan(failing.yields[:, 0]).tolist() == odd
    assert len(failing.errors) == sum(odd) and not failing.success[odd].any()
    assert "\n  component 1 " in str(failing)
    with pytest.raises(TypeError, match="dask.distributed Client"):
        diagnostics.bootstrap(fitted, sample, [peak, flat_pdf], 1, seed=1, weights=w[:200],
                              client=object())


@pytest.fixture(scope="module")
def cluster_client():
    """A client of two single-threaded worker processes, closed after the module."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as client:
            yield client


def test_bootstrap_on_a_cluster_equals_the_local_run(events, cluster_client, capsys):
    pytest.importorskip("tqdm")
    data, w = events
    # A lambda, which only cloudpickle can send, and a PDF that raises in
    # the fits of some replicas.
    pdfs = [odd_fails, lambda data, shape: np.ones(len(data))]
    kwargs = {"shape_parameters": MU, "weights": w[:200]}
    fitted = tarnwick.splot(data[:200], pdfs, **kwargs)
    local = diagnostics.bootstrap(fitted, data[:200], pdfs, 6, seed=1, progress=False, **kwargs)
    capsys.readouterr()
    remote = diagnostics.bootstrap(fitted, data[:200], pdfs, 6, seed=1, client=cluster_client,
                                   **kwargs)
    assert "6/6" in capsys.readouterr().err
    assert 0 < len(local.errors) < 6
    assert remote.errors == local.errors
    for field in ("yields", "yield_errors", "sweight_sums", "success"):
        np.testing.assert_array_equal(getattr(remote, field), getattr(local, field),
                                      err_msg=field)
    # Exceptions other than SPlotError (here splot's, for an unknown keyword) propagate.
    with pytest.raises(TypeError):
        diagnostics.bootstrap(fitted, data[:200], pdfs, 3, seed=1, progress=False,
                              client=cluster_client, no_such_option=1)


def test_apply_sweights_in_chunks_and_on_dask(events):
    data, w = events
    result = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU, weights=w)
    pdfs = [peak, flat_pdf]
    np.testing.assert_allclose(diagnostics.apply_sweights(result, data, pdfs, 7, weights=w),
                               result.sweights, rtol=1e-10, atol=1e-12)
    fresh = np.random.default_rng(2).uniform(0.0, 0.6, size=(101, 3))
    f = np.stack([pdf(fresh, result.shape_parameters) for pdf in pdfs], axis=1)
    expected = np.einsum("rk,ik,i->ir", result.covariance, f, 1.0 / (f @ result.yields))
    np.testing.assert_allclose(diagnostics.apply_sweights(result, fresh, pdfs, 10), expected,
                               rtol=1e-12)
    da = pytest.importorskip("dask.array")
    lazy = diagnostics.apply_sweights(result, da.from_array(fresh, chunks=(30, 2)), pdfs)
    assert lazy.shape == (101, 2)
    np.testing.assert_allclose(lazy.compute(), expected, rtol=1e-12)
    weighted = diagnostics.apply_sweights(result, da.from_array(data, chunks=(333, 3)), pdfs,
                                          weights=da.from_array(w, chunks=500))
    np.testing.assert_allclose(weighted.compute(), result.sweights, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("tqdm_installed", [True, False])
def test_with_progress_counts_every_call_and_leaves_the_fit_unchanged(
        events, monkeypatch, capsys, tqdm_installed):
    if tqdm_installed:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    data, _ = events
    calls = []

    def counting(data, shape):
        calls.append(1)
        return peak(data, shape)

    with diagnostics.with_progress([counting, flat_pdf]) as wrapped:
        result = tarnwick.splot(data, wrapped, shape_parameters=MU)
    assert wrapped.calls > len(calls) > 0 and wrapped.elapsed > 0.0
    assert [pdf.__name__ for pdf in wrapped] == ["counting", "flat_pdf"]
    plain = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU)
    np.testing.assert_array_equal(result.sweights, plain.sweights)
    assert f"{wrapped.calls}" in capsys.readouterr().err


def test_figures_draw_headless_with_names_labels_and_pulls(events):
    pytest.importorskip("matplotlib")
    quad = pytest.importorskip("scipy.integrate").quad
    data, w = events
    result = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU, weights=w)
    names = ["signal", "background"]
    ax = diagnostics.plot_sweighted(result, data, 1, "signal", truth=lambda t: np.exp(-t),
                                    bins=20, range=(0.0, 4.0), names=names, xlabel="time")
    markers = ax.containers[0]
    counts, _ = np.histogram(data[:, 1], bins=20, range=(0.0, 4.0), weights=result.sweights[:, 0])
    np.testing.assert_allclose(markers.lines[0].get_ydata(), counts, rtol=1e-12)
    assert "sWeighted, signal" in ax.get_legend_handles_labels()[1]
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("time", "sWeighted events / 0.2")
    # The empty bins below 0 have no error and so no pull.
    fit_ax = diagnostics.plot_fit(result, data, [peak, flat_pdf], 0, bins=35,
                                  range=(-0.1, 0.6), weights=w, names=names)
    total = fit_ax.get_lines()[-1].get_ydata()
    assert total.max() == pytest.approx(
        (result.yields[0] * gaussian(0.0, 0.0, 0.05) + result.yields[1]) * 0.7 / 35, rel=0.02)
    assert fit_ax.get_legend_handles_labels()[1][:2] == [
        f"{name} ({value:.0f})" for name, value in zip(names, result.yields)]
    pull_ax = fit_ax.figure.axes[1]
    assert pull_ax.get_xlabel() == "column 0" and fit_ax.get_ylabel() == "events / 0.02"
    counts, edges = np.histogram(data[:, 0], bins=35, range=(-0.1, 0.6), weights=w)
    errors = np.sqrt(np.histogram(data[:, 0], bins=35, range=(-0.1, 0.6), weights=w**2)[0])
    mu = result.shape_parameters["mu"]
    fitted = [quad(lambda x: result.yields[0] * gaussian(x, mu, 0.05) + result.yields[1], a, b,
                   epsabs=0.0)[0] for a, b in zip(edges[:-1], edges[1:])]
    # Simpson's rule is within 1e-5 of quad's count in a bin; the bin centre's
    # density times the width is 0.4 events (0.05 in a pull) away near the peak.
    filled = errors > 0.0
    assert not filled[:5].any() and filled[5:].all()
    pulls = np.array([bar.get_height() for bar in pull_ax.containers[0]])
    assert np.isnan(pulls[~filled]).all()
    np.testing.assert_allclose(pulls[filled], (counts[filled] - np.array(fitted)[filled])
                               / errors[filled], rtol=0.0, atol=1e-5)
    filled_pulls = pulls[filled]
    assert fit_ax.get_legend_handles_labels()[1][2] == (
        f"fit total (χ²/ndf = {np.sum(filled_pulls**2):.1f}/{filled.sum() - 3})")
    for figure in (ax.figure, fit_ax.figure):
        buffer = io.BytesIO()
        figure.savefig(buffer, format="png")
        assert buffer.getvalue().startswith(b"\x89PNG")


def test_figures_choose_their_range_and_draw_into_the_callers_axes(events):
    pytest.importorskip("matplotlib")
    data, w = events
    result = tarnwick.splot(data, [peak, flat_pdf], shape_parameters=MU, weights=w)
    # Without a range: a PDF's declared window, else the data's extent in
    # bins of a round width; the unit of the x label in the y label.
    peak.window = (0.05, 0.55)
    try:
        windowed = diagnostics.plot_fit(result, data, [peak, flat_pdf], 0, bins=25,
                                        xlabel="m [GeV]", pulls=False)
    finally:
        del peak.window
    assert windowed.get_xlim() == (0.05, 0.55) and windowed.get_ylabel() == "events / 0.02 GeV"
    extent = diagnostics.plot_sweighted(result, data, 0, 0, xlabel="m (MeV)")
    assert extent.get_ylabel() == "sWeighted events / 0.015 MeV"
    assert extent.get_xlim() == pytest.approx((0.0, 0.6)) and len(extent.containers[0][0].get_xdata()) == 40
    assert data[:, 0].min() > 0.0 and data[:, 0].max() > 0.585
    # Into the caller's axes: pulls only where a pull_ax is given.
    figure = extent.figure.__class__()
    mine = diagnostics.plot_fit(result, data, [peak, flat_pdf], 0, ax=figure.add_subplot())
    assert len(mine.figure.axes) == 1
    main, below = figure.subplots(2, 1)
    diagnostics.plot_fit(result, data, [peak, flat_pdf], 0, bins=35, range=(-0.1, 0.6),
                         weights=w, ax=main, pull_ax=below)
    assert len(below.containers[0]) == 35
