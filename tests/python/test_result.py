"""SPlotResult: shapes, object identity, dict order, printed form, step limit."""

from __future__ import annotations

import ast
import gc
import re
import types
from pathlib import Path

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf, gauss_mu_pdf, gaussian


def second_peak(data, shape):
    return gaussian(data[:, 0], 0.7, 0.1)


ARRAYS = ["yields", "yield_errors", "covariance", "sweights", "fit_covariance"]


def test_shapes_without_shape_parameters():
    data = np.linspace(0.05, 0.95, 10).reshape(10, 1)
    result = tarnwick.splot(data, [second_peak, flat_pdf])
    assert result.yields.shape == (2,) and result.yield_errors.shape == (2,)
    assert result.covariance.shape == (2, 2)
    assert result.sweights.shape == (10, 2)
    assert result.fit_covariance.shape == (2, 2)
    assert result.shape_parameters == {} and result.shape_errors == {}
    for name in ARRAYS:
        array = getattr(result, name)
        assert array.dtype == np.float64 and array.flags.c_contiguous and array.flags.writeable


def test_shapes_and_order_with_shape_parameters(two_peaks):
    def pdf(data, shape):
        return gaussian(data[:, 0], shape["b"], 0.05 + 0.0 * shape["a"])

    result = tarnwick.splot(two_peaks, [pdf, flat_pdf], shape_parameters=[
        tarnwick.ShapeParameter("b", 0.35, 0.0, 1.0), tarnwick.ShapeParameter("a", 0.0, -1.0, 1.0)])
    assert result.fit_covariance.shape == (4, 4)
    assert result.covariance.shape == (2, 2)
    assert list(result.shape_parameters) == ["a", "b"]
    assert list(result.shape_errors) == ["a", "b"]
    assert all(type(v) is float for v in result.shape_parameters.values())


def test_arrays_are_the_same_objects_and_dicts_are_new(two_peaks):
    result = tarnwick.splot(two_peaks, [gauss_mu_pdf, flat_pdf],
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    for name in ARRAYS:
        assert getattr(result, name) is getattr(result, name)
    first, second = result.shape_parameters, result.shape_parameters
    assert first is not second and first == second
    first["mu"] = 5.0
    assert result.shape_parameters == second
    result.yields[0] = -1.0
    assert result.yields[0] == -1.0


def test_scalar_fields_have_python_types(two_peaks):
    result = tarnwick.splot(two_peaks, [flat_pdf])
    assert type(result.minimum_nll) is float
    assert type(result.success) is bool
    assert type(result.message) is str
    for name in ("objective_evaluations", "gradient_evaluations", "hessian_evaluations"):
        assert type(getattr(result, name)) is int and getattr(result, name) > 0


def test_repr(two_peaks):
    result = tarnwick.splot(two_peaks, [gauss_mu_pdf, second_peak, flat_pdf],
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    text = (f"SPlotResult(yields=<3 components>, success={str(result.success).lower()}, "
            f"minimum_nll={result.minimum_nll:.6f})")
    assert repr(result) == text and str(result) == text
    assert "e" not in text.split("minimum_nll=")[1]


def test_step_limit_is_not_an_error(gauss_flat_data):
    result = tarnwick.splot(gauss_flat_data, [gauss_mu_pdf, flat_pdf], max_steps=1,
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    assert result.success is False
    assert result.message == "Message: Maximum number of steps reached (1)"
    assert repr(result).startswith("SPlotResult(yields=<2 components>, success=false, ")
    assert result.sweights.shape == (1000, 2)
    assert np.isfinite(result.sweights).all()


def test_arrays_outlive_the_result(two_peaks):
    result = tarnwick.splot(two_peaks, [gauss_mu_pdf, flat_pdf],
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    sweights, yields = result.sweights, result.yields
    expected_sweights, expected_yields = sweights.copy(), yields.copy()
    assert sweights.base is not None and yields.base is not None
    del result
    gc.collect()
    churn = [np.full(len(expected_sweights) * 2, 7.0) for _ in range(100)]
    np.testing.assert_array_equal(sweights, expected_sweights)
    np.testing.assert_array_equal(yields, expected_yields)
    del churn


def test_result_is_not_constructible():
    with pytest.raises(TypeError):
        tarnwick.SPlotResult()
    with pytest.raises(TypeError):
        tarnwick.SPlotResult.__new__(tarnwick.SPlotResult)


def test_pickle_round_trip_keeps_every_field_and_printed_form(two_peaks):
    import copy
    import pickle

    result = tarnwick.splot(two_peaks, [gauss_mu_pdf, flat_pdf], max_steps=3,
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    for clone in (pickle.loads(pickle.dumps(result)), copy.deepcopy(result)):
        assert type(clone) is tarnwick.SPlotResult
        assert repr(clone) == repr(result) and str(clone) == str(result)
        for name in ARRAYS:
            array = getattr(clone, name)
            np.testing.assert_array_equal(array, getattr(result, name))
            assert array.shape == getattr(result, name).shape
            assert array.flags.c_contiguous and array.flags.writeable
            assert not np.shares_memory(array, getattr(result, name))
        for name in ("shape_parameters", "shape_errors", "minimum_nll", "success", "message",
                     "objective_evaluations", "gradient_evaluations", "hessian_evaluations"):
            assert getattr(clone, name) == getattr(result, name)
            assert type(getattr(clone, name)) is type(getattr(result, name))


def test_stub_docstring_and_pickle_follow_the_types_fields(two_peaks):
    # The stub and the class docstring are written by hand: they must name the
    # type's attributes, and the stub in the order the pickle stores them.
    stub = ast.parse((Path(__file__).parents[2] / "src/python/tarnwick.pyi").read_text("utf-8"))
    [stub_class] = [node for node in stub.body
                    if isinstance(node, ast.ClassDef) and node.name == "SPlotResult"]
    stubbed = [node.name for node in stub_class.body if isinstance(node, ast.FunctionDef)]
    fields = [name for name, value in vars(tarnwick.SPlotResult).items()
              if isinstance(value, (types.GetSetDescriptorType, types.MemberDescriptorType))]
    assert stubbed == fields
    documented = re.findall(r"^(\w+) : ", tarnwick.SPlotResult.__doc__, re.MULTILINE)
    assert sorted(documented) == sorted(fields)
    result = tarnwick.splot(two_peaks, [gauss_mu_pdf, flat_pdf],
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    _, state = result.__reduce__()
    assert len(state) == len(fields)
    for name, value in zip(fields, state):
        attribute = getattr(result, name)
        if isinstance(attribute, np.ndarray):
            assert value is attribute, name
        else:
            assert value == attribute and type(value) is type(attribute), name


# Positions in the pickled state: 0 yields, 1 yield_errors, 2 covariance,
# 3 sweights, 4 fit_covariance, 5 shape_parameters, 6 shape_errors, 9 message,
# 10 objective_evaluations. The fit has 2 components, 1 shape parameter and
# 60 events.
@pytest.mark.parametrize("changes, error, match", [
    ({0: np.zeros((2, 2))}, ValueError, "yields must have 1 dimension"),
    ({3: np.zeros(4)}, ValueError, "sweights must have 2 dimension"),
    ({5: {1: 2.0}}, TypeError, "shape_parameters keys must be str"),
    ({6: [("a", 1.0)]}, TypeError, "shape_errors must be a dict"),
    ({9: b"bytes"}, TypeError, "message must be a str"),
    ({10: -1}, OverflowError, "negative int"),
    # Fields that disagree with the yields or with each other.
    ({0: np.zeros(7), 2: np.zeros((2, 3)), 3: np.zeros((1000, 5))}, ValueError,
     r"yield_errors has 2 entries, expected 7"),
    ({1: np.zeros(3)}, ValueError, r"yield_errors has 3 entries, expected 2"),
    ({2: np.zeros((2, 3))}, ValueError, r"covariance has shape \(2, 3\), expected \(2, 2\)"),
    ({2: np.zeros((3, 3))}, ValueError, r"covariance has shape \(3, 3\), expected \(2, 2\)"),
    ({3: np.zeros((60, 5))}, ValueError, r"sweights has 5 columns, expected 2"),
    ({6: {}}, ValueError, r"shape_errors has 0 entries, expected 1"),
    ({6: {"sigma": 0.1}}, ValueError, r"shape_errors names 'sigma'"),
    ({5: {}, 6: {}}, ValueError, r"fit_covariance has shape \(3, 3\), expected \(2, 2\)"),
    ({4: np.zeros((2, 2))}, ValueError, r"fit_covariance has shape \(2, 2\), expected \(3, 3\)"),
])
def test_rebuilding_from_a_tampered_pickle_raises(two_peaks, changes, error, match):
    result = tarnwick.splot(two_peaks, [gauss_mu_pdf, flat_pdf],
                            shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    rebuild, state = result.__reduce__()
    state = list(state)
    for position, value in changes.items():
        state[position] = value
    with pytest.raises(error, match=match):
        rebuild(*state)
    with pytest.raises(TypeError, match=r"_rebuild takes 13 arguments \(2 given\)"):
        rebuild(*state[:2])
