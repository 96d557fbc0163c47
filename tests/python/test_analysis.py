"""diagnostics.SPlot: one analysis object, its methods against the functions,
pandas in and out, pickling, and the files the sWeights are written to."""

from __future__ import annotations

import pickle

import numpy as np
import pytest

import tarnwick
from conftest import gaussian
from tarnwick import diagnostics

pd = pytest.importorskip("pandas")

MU = [tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]
NAMES = ["signal", "background"]


def peak(data, shape):
    return gaussian(data[:, 0], shape["mu"], 0.05)


def flat(data, shape):
    return np.full(len(data), 1.0 / 0.6)


@pytest.fixture(scope="module")
def frame():
    """A DataFrame of 800 events, its index not 0, 1, …, and strided weights."""
    rng = np.random.default_rng(11)
    mass = np.concatenate([rng.normal(0.3, 0.05, 300), rng.uniform(0.0, 0.6, 500)])
    events = pd.DataFrame({"mass": mass, "time": rng.exponential(1.0, 800)},
                          index=pd.Index(np.arange(800) * 3 + 7, name="event"))
    weights = np.column_stack([rng.uniform(0.5, 1.5, 800), np.zeros(800)])[:, 0]
    assert not weights.flags.c_contiguous
    return events, weights


def test_every_diagnostic_is_a_method_giving_the_function_s_answer(frame):
    events, weights = frame
    analysis = diagnostics.SPlot(events, [peak, flat], shape_parameters=MU, weights=weights,
                                 names=NAMES)
    with pytest.raises(RuntimeError, match="not fitted yet: call .fit\\(\\) first"):
        analysis.closure()
    assert "not fitted yet" in str(analysis) and "mass, time" in analysis._repr_html_()
    assert analysis.control_leakage(["time"]).leaks == ()
    assert analysis.fit() is analysis
    result, data = analysis.result, events.to_numpy()
    inputs = {"weights": weights, "shape_parameters": MU, "names": NAMES}
    assert analysis.summary() == diagnostics.summary(result, **inputs)
    np.testing.assert_array_equal(
        analysis.weighted_covariance().errors,
        diagnostics.weighted_covariance(result, data, [peak, flat], **inputs).errors)
    assert analysis.closure() == diagnostics.closure(result, data, [peak, flat], **inputs)
    assert analysis.sweight_quality() == diagnostics.sweight_quality(result, names=NAMES)
    by_name = analysis.independence(["mass"], ["time"], sample=events[["time", "mass"]])
    by_index = diagnostics.independence(result, data, [0], [1], sample=data, names=NAMES)
    np.testing.assert_allclose(by_name.correlation, by_index.correlation, rtol=1e-12)
    np.testing.assert_array_equal(by_name.sample_tau, by_index.sample_tau)
    np.testing.assert_allclose(analysis.apply_sweights(events, weights=weights),
                               result.sweights, rtol=1e-12)
    boot = analysis.bootstrap(2, seed=1, progress=False)
    assert boot.components == tuple(NAMES) and boot.success.all()
    assert "fit summary: valid" in str(analysis) and "signal" in analysis._repr_html_()
    frame_out = analysis.sweights_frame()
    assert list(frame_out.columns) == NAMES and frame_out.index.equals(events.index)
    np.testing.assert_array_equal(frame_out.to_numpy(), result.sweights)
    pytest.importorskip("matplotlib")
    assert analysis.plot_fit("mass").figure.axes[1].get_xlabel() == "mass"
    assert analysis.plot_sweighted("time", "signal").get_xlabel() == "time"
    with pytest.raises(ValueError, match="no column is named 'tau'; the columns are"):
        analysis.plot_sweighted("tau", "signal")


def test_a_dict_of_columns_is_an_analysis_and_names_need_named_columns(frame):
    events, _ = frame
    columns = {"mass": events["mass"].to_numpy(), "time": list(events["time"])}
    analysis = diagnostics.SPlot(columns, [peak, flat], shape_parameters=MU).fit()
    np.testing.assert_array_equal(
        analysis.sweights, tarnwick.splot(events.to_numpy(), [peak, flat],
                                          shape_parameters=MU).sweights)
    assert analysis.sweights_frame().index.equals(pd.RangeIndex(800))
    unnamed = diagnostics.SPlot(events.to_numpy(), [peak, flat], shape_parameters=MU).fit()
    with pytest.raises(ValueError, match="given by name, but the data have no column names"):
        unnamed.control_leakage(["time"])
    with pytest.raises(ValueError, match="differ in length"):
        diagnostics.SPlot({"mass": [0.1, 0.2], "time": [1.0]}, [peak, flat])


def test_models_read_their_columns_by_name_from_a_frame(frame):
    from tarnwick import models

    events, _ = frame
    window = (0.0, 0.6)
    by_name = [models.Gaussian(column="mass", window=window, mu="mu", sigma=0.05),
               models.Uniform(column="mass", window=window)]
    by_index = [models.Gaussian(column=0, window=window, mu="mu", sigma=0.05),
                models.Uniform(column=0, window=window)]
    # The time column first, so a model still reading column 0 would be wrong.
    swapped = events[["time", "mass"]]
    analysis = diagnostics.SPlot(swapped, by_name, shape_parameters=MU).fit()
    direct = tarnwick.splot(events.to_numpy(), by_index, shape_parameters=MU)
    np.testing.assert_array_equal(analysis.result.yields, direct.yields)
    assert by_name[0].column == "mass"          # the caller's models are not changed
    with pytest.raises(TypeError, match="reads the column 'mass' by name"):
        tarnwick.splot(events.to_numpy(), by_name, shape_parameters=MU)
    with pytest.raises(ValueError, match="which the data do not have"):
        diagnostics.SPlot(events.rename(columns={"mass": "m"}), by_name, shape_parameters=MU)


def test_the_analysis_pickles_and_pdfs_that_cannot_are_dropped_and_named(frame):
    events, weights = frame
    analysis = diagnostics.SPlot(events, [peak, flat], shape_parameters=MU, weights=weights,
                                 names=NAMES).fit()
    again = pickle.loads(pickle.dumps(analysis))
    assert again.closure() == analysis.closure()
    np.testing.assert_array_equal(again.sweights_frame(), analysis.sweights_frame())
    closures = diagnostics.SPlot(events, [lambda d, s: peak(d, s), flat],
                                 shape_parameters=MU).fit()
    copy = pickle.loads(pickle.dumps(closures))
    assert copy.summary() == closures.summary()
    assert "the PDFs could not be pickled" in str(copy)
    with pytest.raises(RuntimeError, match="no PDFs: the PDFs could not be pickled .*with_pdfs"):
        copy.closure()
    assert copy.with_pdfs([peak, flat]).closure() == closures.closure()


def test_events_with_their_sweights_come_back_bit_for_bit_from_parquet_and_root(frame,
                                                                               tmp_path):
    pytest.importorskip("pyarrow")
    uproot = pytest.importorskip("uproot")
    events, weights = frame
    analysis = diagnostics.SPlot(events, [peak, flat], shape_parameters=MU, weights=weights,
                                 names=NAMES).fit()
    table = pd.concat([events, analysis.sweights_frame()], axis=1)
    table.to_parquet(tmp_path / "events.parquet")
    back = pd.read_parquet(tmp_path / "events.parquet")
    assert back.index.equals(events.index)
    np.testing.assert_array_equal(back[NAMES].to_numpy(), analysis.result.sweights)
    with uproot.recreate(tmp_path / "events.root") as file:
        file["events"] = table.reset_index()
    with uproot.open(tmp_path / "events.root") as file:
        tree = file["events"].arrays(library="pd")
    np.testing.assert_array_equal(tree[NAMES].to_numpy(), analysis.result.sweights)
    np.testing.assert_array_equal(tree["event"].to_numpy(), events.index.to_numpy())
    np.testing.assert_array_equal(tree[["mass", "time"]].to_numpy(), events.to_numpy())
