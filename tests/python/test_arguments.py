"""Argument binding and conversion of splot: exception types, messages, notes."""

from __future__ import annotations

import sys

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf


def splot(data, pdfs, *, shape_parameters=None, initial_yields=None, weights=None,
          max_steps=..., tolerance=1e-8):
    """A Python function with splot's parameter list: CPython's own binding texts."""


DATA = np.full((5, 1), 0.5)


def binding_message(function, *args, **kwargs) -> str:
    with pytest.raises(TypeError) as info:
        function(*args, **kwargs)
    return str(info.value)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((DATA,), {}),
        ((), {"pdfs": [flat_pdf]}),
        ((DATA, [flat_pdf], 3), {}),
        ((DATA, [flat_pdf], 3, 4), {"max_steps": 5}),
        ((DATA, [flat_pdf], 3), {"weights": None, "tolerance": 1.0}),
        ((DATA,), {"data": DATA, "pdfs": [flat_pdf]}),
        ((DATA, [flat_pdf], 3), {"data": DATA}),
    ],
    ids=["none", "missing-pdfs", "missing-data", "surplus", "surplus-with-keyword",
         "surplus-with-two-keywords", "duplicate", "duplicate-before-surplus"],
)
def test_binding_errors_use_cpythons_wording(args, kwargs):
    assert binding_message(tarnwick.splot, *args, **kwargs) == binding_message(splot, *args, **kwargs)


def test_unknown_keyword():
    message = binding_message(tarnwick.splot, DATA, [flat_pdf], tolerence=1.0)
    assert message.startswith("splot() got an unexpected keyword argument 'tolerence'")


def test_binding_message_examples():
    assert (binding_message(tarnwick.splot, DATA)
            == "splot() missing 1 required positional argument: 'pdfs'")
    assert (binding_message(tarnwick.splot)
            == "splot() missing 2 required positional arguments: 'data' and 'pdfs'")


def conversion_error(exception_type, parameter, **kwargs):
    arguments = {"data": DATA, "pdfs": [flat_pdf]}
    arguments.update(kwargs)
    with pytest.raises(exception_type) as info:
        tarnwick.splot(**arguments)
    assert info.value.__notes__ == [f"while processing '{parameter}'"]
    return str(info.value)


@pytest.mark.parametrize(
    "exception_type, parameter, value",
    [
        (TypeError, "data", np.arange(5.0)),
        (TypeError, "data", np.zeros((2, 2, 2))),
        (TypeError, "data", 3.0),
        (ValueError, "data", [["a"]]),
        (TypeError, "pdfs", 3),
        (TypeError, "pdfs", {flat_pdf: 1}),
        (TypeError, "shape_parameters", [1.0]),
        (TypeError, "shape_parameters", 5),
        (TypeError, "initial_yields", 5.0),
        (TypeError, "initial_yields", [1.0, "x"]),
        (TypeError, "weights", np.ones((5, 1))),
        (ValueError, "weights", ["a", "b"]),
        (TypeError, "max_steps", 2.0),
        (OverflowError, "max_steps", -1),
        (OverflowError, "max_steps", 2**64),
        (TypeError, "tolerance", None),
        (TypeError, "tolerance", "1e-8"),
    ],
)
def test_conversion_failures_keep_their_type_and_get_a_note(exception_type, parameter, value):
    conversion_error(exception_type, parameter, **{parameter: value})


@pytest.mark.parametrize("parameter", ["pdfs", "shape_parameters", "initial_yields"])
def test_str_is_refused_for_list_arguments(parameter):
    message = conversion_error(TypeError, parameter, **{parameter: "abc"})
    assert message == "Can't extract `str` to `Vec`"


def test_wrong_shape_parameter_item_names_the_class():
    message = conversion_error(TypeError, "shape_parameters", shape_parameters=[1.0])
    assert "ShapeParameter" in message


def test_the_first_failing_conversion_wins():
    with pytest.raises(TypeError) as info:
        tarnwick.splot(DATA, "abc", max_steps=2.0, tolerance=None)
    assert info.value.__notes__ == ["while processing 'pdfs'"]


def test_a_non_exception_from_a_conversion_propagates_with_its_note():
    class Interrupting:
        def __float__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt) as info:
        tarnwick.splot(DATA, [flat_pdf], weights=[1.0, Interrupting()])
    assert info.value.__notes__ == ["while processing 'weights'"]


@pytest.mark.parametrize("shape", [(0, 3), (5, 0), (0, 0)])
def test_empty_data_dimension(shape):
    with pytest.raises(ValueError) as info:
        tarnwick.splot(np.zeros(shape), [flat_pdf])
    assert str(info.value) == (
        "data must have shape (n_events, n_features) with both dimensions nonzero")


def test_empty_pdf_list_is_reported_without_prefix():
    with pytest.raises(ValueError) as info:
        tarnwick.splot(np.full((5, 1), np.nan), [], tolerance=-1.0)
    assert str(info.value) == "at least one PDF is required"


def test_pdfs_may_be_any_sequence(two_peaks):
    by_list = tarnwick.splot(two_peaks, [flat_pdf])
    by_tuple = tarnwick.splot(two_peaks, (flat_pdf,))
    np.testing.assert_array_equal(by_list.yields, by_tuple.yields)


def test_none_means_omitted(two_peaks):
    omitted = tarnwick.splot(two_peaks, [flat_pdf])
    explicit = tarnwick.splot(two_peaks, [flat_pdf], shape_parameters=None,
                              initial_yields=None, weights=None)
    np.testing.assert_array_equal(omitted.yields, explicit.yields)
    assert omitted.objective_evaluations == explicit.objective_evaluations


class TestMaxStepsAndTolerance:
    def test_zero_max_steps_is_rejected_by_the_engine(self):
        with pytest.raises(ValueError) as info:
            tarnwick.splot(DATA, [flat_pdf], max_steps=0)
        assert str(info.value) == "invalid input: max_steps must be positive"
        assert not hasattr(info.value, "__notes__")

    def test_default_is_1000_and_none_is_no_limit(self, gauss_flat_data):
        from conftest import gauss_mu_pdf

        def fit(**kwargs):
            return tarnwick.splot(
                gauss_flat_data, [gauss_mu_pdf, flat_pdf],
                shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)], **kwargs)

        default, thousand, unlimited = fit(), fit(max_steps=1000), fit(max_steps=None)
        assert default.objective_evaluations == thousand.objective_evaluations
        assert default.objective_evaluations == unlimited.objective_evaluations
        np.testing.assert_array_equal(default.yields, unlimited.yields)

    def test_bool_and_index_objects_are_integers(self, two_peaks):
        assert tarnwick.splot(two_peaks, [flat_pdf], max_steps=np.int64(50)).success
        assert tarnwick.splot(two_peaks, [flat_pdf], max_steps=True).message == (
            "Message: Maximum number of steps reached (1)")

    @pytest.mark.parametrize("tolerance", [0.0, -1.0, float("inf"), float("nan")])
    def test_bad_tolerance_is_rejected_by_the_engine(self, tolerance):
        with pytest.raises(ValueError, match="^invalid input: tolerance must be finite and positive$"):
            tarnwick.splot(DATA, [flat_pdf], tolerance=tolerance)


class TestWeights:
    @staticmethod
    def sweights_column(data: np.ndarray) -> np.ndarray:
        from conftest import gauss_mu_pdf

        return tarnwick.splot(data, [gauss_mu_pdf, flat_pdf], shape_parameters=[
            tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]).sweights[:, 0]

    @staticmethod
    def misaligned(data: np.ndarray) -> np.ndarray:
        n = len(data)
        raw = np.zeros(8 * n + 1, dtype=np.uint8)
        view = raw[1:].view(np.float64)
        view[:] = 1.0
        assert not view.flags.aligned
        return view

    STRIDED = ("weights must be contiguous: pass np.ascontiguousarray(w) for a strided array w "
               "such as result.sweights[:, 0]")

    # Each array, the note it gets, and the copy that note advises.
    @pytest.mark.parametrize(
        "make, note, fix",
        [
            # The README's idiom: a column of a previous fit's sWeights.
            (sweights_column, STRIDED, np.ascontiguousarray),
            (lambda data: np.ones(2 * len(data))[::-2], STRIDED, np.ascontiguousarray),
            (misaligned, "weights must be aligned: pass np.array(w), an aligned copy of w",
             np.array),
        ],
        ids=["sweights-column", "reversed-every-other", "misaligned"],
    )
    def test_an_array_that_cannot_be_copied_as_it_is_is_refused_with_a_note(
            self, two_peaks, make, note, fix):
        weights = make(two_peaks)
        with pytest.raises(TypeError) as info:
            tarnwick.splot(two_peaks, [flat_pdf], weights=weights)
        assert str(info.value) == "The given array is not contiguous or is misaligned."
        assert info.value.__notes__ == [note]
        assert tarnwick.splot(two_peaks, [flat_pdf], weights=fix(weights)).success

    def test_same_values_are_accepted_in_every_other_form(self, two_peaks):
        values = np.linspace(0.5, 1.5, len(two_peaks))
        reference = tarnwick.splot(two_peaks, [flat_pdf], weights=values)
        strided = np.empty(2 * len(values))
        strided[::2] = values
        forms = [values.tolist(), tuple(values), values.astype(">f8"), values.astype(object),
                 list(strided[::2])]
        for form in forms:
            result = tarnwick.splot(two_peaks, [flat_pdf], weights=form)
            np.testing.assert_array_equal(result.yields, reference.yields)
            np.testing.assert_array_equal(result.sweights, reference.sweights)

    def test_float32_weights_are_converted(self, two_peaks):
        values = np.linspace(0.5, 1.5, len(two_peaks)).astype(np.float32)
        as_float32 = tarnwick.splot(two_peaks, [flat_pdf], weights=values)
        as_float64 = tarnwick.splot(two_peaks, [flat_pdf], weights=values.astype(np.float64))
        np.testing.assert_array_equal(as_float32.yields, as_float64.yields)

    def test_length_is_checked_by_the_engine(self):
        with pytest.raises(ValueError) as info:
            tarnwick.splot(np.full((4, 1), 0.5), [flat_pdf], weights=[1.0, 1.0, 1.0])
        assert str(info.value) == "invalid input: event_weights has length 3, expected 4"

    def test_empty_weights_reach_the_engine(self):
        with pytest.raises(ValueError, match="^invalid input: event_weights has length 0, expected 5$"):
            tarnwick.splot(DATA, [flat_pdf], weights=np.ones(10)[::2][:0])


class TestDataForms:
    """Every data form is read through its strides or converted by NumPy."""

    @staticmethod
    def recording_pdf(seen):
        def pdf(data, shape):
            seen.append(data)
            return np.ones(len(data))
        return pdf

    @pytest.mark.parametrize(
        "make",
        [lambda d: d, lambda d: np.asfortranarray(d), lambda d: d[::-1], lambda d: d[::2],
         lambda d: np.broadcast_to(d[:1], d.shape)],
        ids=["c-order", "fortran", "reversed", "strided", "zero-stride"],
    )
    def test_native_float64_arrays_reach_the_pdfs_unchanged(self, make):
        data = make(np.arange(24.0).reshape(12, 2))
        seen: list = []
        tarnwick.splot(data, [self.recording_pdf(seen)])
        assert seen and all(received is data for received in seen)

    @pytest.mark.parametrize(
        "convert",
        [lambda d: d.astype(">f8"), lambda d: d.astype(np.float32), lambda d: d.astype(object),
         lambda d: d.tolist(), lambda d: d.astype(np.int64)],
        ids=["big-endian", "float32", "object", "list", "int64"],
    )
    def test_other_forms_are_converted_once(self, convert):
        data = np.arange(24.0).reshape(12, 2)
        seen: list = []
        tarnwick.splot(convert(data), [self.recording_pdf(seen)])
        first = seen[0]
        assert isinstance(first, np.ndarray) and first.dtype == np.dtype(np.float64)
        assert first.dtype.isnative
        np.testing.assert_array_equal(first, data)
        assert all(received is first for received in seen)

    def test_event_rows_are_read_through_the_strides(self):
        # Only the rows that a view selects are checked for finiteness.
        base = np.arange(20.0).reshape(10, 2)
        base[1, 1] = np.nan
        tarnwick.splot(base[::2], [flat_pdf])
        tarnwick.splot(base[-2::-2], [flat_pdf])
        with pytest.raises(ValueError, match="^invalid input: event coordinates must be finite$"):
            tarnwick.splot(base[1::2], [flat_pdf])
        with pytest.raises(ValueError, match="^invalid input: event coordinates must be finite$"):
            tarnwick.splot(np.asfortranarray(base)[:, ::-1], [flat_pdf])

    def test_fewer_events_than_fitted_parameters_are_taken_for_a_transposed_array(
            self, two_peaks):
        from conftest import gauss_mu_pdf

        mu = [tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]
        transposed = np.column_stack([two_peaks[:, 0], two_peaks[:, 0]]).T
        with pytest.raises(ValueError, match=(
                r"^invalid input: 2 events for 3 fitted parameters: data must be "
                r"\(n_events, n_features\); is it transposed\?$")):
            tarnwick.splot(transposed, [gauss_mu_pdf, flat_pdf], shape_parameters=mu)
        # As many events as parameters may be tried (three events may still
        # not identify two components, which is the engine's error to give).
        try:
            tarnwick.splot(two_peaks[:3], [gauss_mu_pdf, flat_pdf], shape_parameters=mu)
        except tarnwick.SPlotError:
            pass
        # The check comes after every other one.
        many = [tarnwick.ShapeParameter(f"p{j}", 0.5, 0.0, 1.0) for j in range(8)]
        with pytest.raises(ValueError, match="^invalid input: max_steps must be positive$"):
            tarnwick.splot(np.full((5, 1), 0.5), [flat_pdf, flat_pdf], shape_parameters=many,
                           max_steps=0)

    def test_results_do_not_depend_on_the_memory_layout(self, two_peaks):
        from conftest import gauss_mu_pdf

        def fit(data):
            return tarnwick.splot(data, [gauss_mu_pdf, flat_pdf],
                                  shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])

        wide = np.column_stack([two_peaks, np.zeros_like(two_peaks)])
        reference = fit(two_peaks)
        for data in (np.asfortranarray(wide), wide.astype(">f8"), wide[:, :1]):
            result = fit(data)
            np.testing.assert_array_equal(result.yields, reference.yields)
            assert result.shape_parameters == reference.shape_parameters


def test_refcounts_of_arguments_after_a_conversion_failure():
    data = np.full((5, 1), 0.5)
    pdfs = [flat_pdf]
    before = sys.getrefcount(data), sys.getrefcount(pdfs), sys.getrefcount(flat_pdf)
    for _ in range(20):
        with pytest.raises(TypeError):
            tarnwick.splot(data, pdfs, tolerance=None)
    assert (sys.getrefcount(data), sys.getrefcount(pdfs), sys.getrefcount(flat_pdf)) == before
