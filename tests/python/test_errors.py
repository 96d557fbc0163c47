"""How failures surface: ValueError, SPlotError, or the PDF's own exception."""

from __future__ import annotations

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf, gauss_mu_pdf, gaussian


def failing_after_probe(action):
    """A Gaussian PDF in shape['mu'] that does `action` once mu leaves its start value."""
    start = []

    def pdf(data, shape):
        if not start:
            start.append(shape["mu"])
        elif shape["mu"] != start[0]:
            return action(data)
        return gaussian(data[:, 0], shape["mu"], 0.05)

    return pdf


def raising(exception):
    def action(data):
        raise exception
    return action


def fit(data, pdf, **kwargs):
    return tarnwick.splot(data, [pdf, flat_pdf],
                          shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)],
                          **kwargs)


class Outer:
    class Inner(Exception):
        pass


class Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "exception, text",
    [
        (ValueError("bad"), "ValueError: bad"),
        (ZeroDivisionError(), "ZeroDivisionError: "),
        (Outer.Inner("nested"), "Outer.Inner: nested"),
        (Unprintable(), "Unprintable: <exception str() failed>"),
        (MemoryError("pdf ran out"), "MemoryError: pdf ran out"),
    ],
    ids=["value-error", "empty-message", "qualified-name", "str-fails", "memory-error"],
)
def test_an_exception_during_the_fit_becomes_splot_error_text(two_peaks, exception, text):
    with pytest.raises(tarnwick.SPlotError) as info:
        fit(two_peaks, failing_after_probe(raising(exception)))
    error = info.value
    assert isinstance(error, RuntimeError)
    assert error.args == ("PDF evaluation failed: " + text,)
    assert error.__cause__ is None and error.__context__ is None
    assert not error.__suppress_context__
    # The note locates the raise: the PDF's frame, then the helper it called.
    (note,) = error.__notes__
    lines = note.splitlines()
    assert lines[0] == "raised in PDF 0 (most recent call last):"
    files = [line for line in lines if line.startswith("  File ")]
    assert all(line.startswith(f'  File "{__file__}", line ') for line in files)
    assert [line.rsplit(" in ", 1)[1] for line in files] == ["pdf", "action"]
    assert lines[lines.index(files[-1]) + 1] == "    raise exception"


def test_the_note_shows_the_last_frames_of_a_deep_raise(two_peaks):
    def deep(depth):
        if depth == 0:
            raise ArithmeticError("at the bottom")
        return deep(depth - 1)

    with pytest.raises(tarnwick.SPlotError) as info:
        tarnwick.splot(two_peaks, [flat_pdf, failing_after_probe(lambda data: deep(5))],
                       shape_parameters=[tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)])
    (note,) = info.value.__notes__
    assert note.startswith("raised in PDF 1 (most recent call last):\n")
    files = [line for line in note.splitlines() if line.startswith("  File ")]
    assert [line.rsplit(" in ", 1)[1] for line in files] == ["deep"] * 3
    assert note.splitlines()[-1] == '    raise ArithmeticError("at the bottom")'


@pytest.mark.parametrize("exception_type", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_an_exception_that_is_not_an_exception_stops_the_fit_unchanged(two_peaks, exception_type):
    raised = exception_type("stop")
    calls = []

    def action(data):
        calls.append(1)
        raise raised

    with pytest.raises(exception_type) as info:
        try:
            fit(two_peaks, failing_after_probe(action))
        except tarnwick.SPlotError:  # must not swallow it
            pytest.fail("the interruption was turned into SPlotError")
    assert info.value is raised
    assert info.traceback[-1].name == "action"
    assert calls == [1]


def writing(data):
    data[0, 0] = 99.0
    return np.ones(len(data))


def seeing_read_only_data(data, shape):
    assert not data.flags.writeable
    return gaussian(data[:, 0], shape["mu"], 0.05)


MU = tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)
READ_ONLY = "assignment destination is read-only"


# Each way a fit can end, with the PDFs (a writing one named by its index)
# and what it raises.
@pytest.mark.parametrize(
    "pdfs, shape_parameters, exception_type, message",
    [
        ([flat_pdf, failing_after_probe(writing)], [MU], tarnwick.SPlotError,
         "PDF evaluation failed: ValueError: " + READ_ONLY),
        ([flat_pdf, lambda data, shape: writing(data)], [MU], ValueError, READ_ONLY),
        ([failing_after_probe(raising(KeyboardInterrupt())), flat_pdf], [MU], KeyboardInterrupt,
         ""),
        ([seeing_read_only_data, flat_pdf], [MU, MU], ValueError,
         'invalid input: shape parameter name "mu" is duplicated'),
        ([seeing_read_only_data, flat_pdf], [MU], None, None),
    ],
    ids=["write-during-fit", "write-at-probe", "keyboard-interrupt", "invalid-input", "success"],
)
@pytest.mark.parametrize("writeable", [True, False], ids=["writeable", "read-only"])
def test_pdfs_see_the_data_read_only_and_the_callers_array_is_given_back(
        two_peaks, pdfs, shape_parameters, exception_type, message, writeable):
    data = two_peaks.copy()
    data.flags.writeable = writeable
    if exception_type is None:
        assert tarnwick.splot(data, pdfs, shape_parameters=shape_parameters).success
    else:
        with pytest.raises(exception_type) as info:
            tarnwick.splot(data, pdfs, shape_parameters=shape_parameters)
        assert str(info.value) == message
        if exception_type is tarnwick.SPlotError:
            (note,) = info.value.__notes__
            assert note.startswith("raised in PDF 1 (most recent call last):\n")
            assert "    data[0, 0] = 99.0" in note.splitlines()
    np.testing.assert_array_equal(data, two_peaks)
    assert data.flags.writeable is writeable


@pytest.mark.parametrize(
    "output, text",
    [
        (lambda data: list(np.ones(len(data))),
         "PDF 0 must return a one-dimensional float64 NumPy array"),
        (lambda data: np.ones((len(data), 1)),
         "PDF 0 must return a one-dimensional float64 NumPy array"),
        (lambda data: np.ones(len(data) - 1), "PDF 0 returned 59 values, expected 60"),
        (lambda data: -np.ones(len(data)), "PDF 0 returned an invalid value for event 0"),
    ],
    ids=["list", "column", "short", "negative"],
)
def test_bad_outputs_during_the_fit(two_peaks, output, text):
    with pytest.raises(tarnwick.SPlotError) as info:
        fit(two_peaks, failing_after_probe(output))
    assert str(info.value) == "PDF evaluation failed: " + text


def test_all_pdfs_zero_at_an_event():
    data = np.array([[0.1], [0.2], [0.3], [5.0]])

    def narrow(data, shape):
        return gaussian(data[:, 0], 0.2, 0.01)

    with pytest.raises(tarnwick.SPlotError) as info:
        tarnwick.splot(data, [narrow, narrow])
    assert str(info.value) == "PDF evaluation failed: all PDFs are zero for event 3"


def test_non_finite_mixture_density():
    def huge(data, shape):
        return np.full(len(data), 1e308)

    with pytest.raises(tarnwick.SPlotError) as info:
        tarnwick.splot(np.full((10, 1), 0.5), [huge, huge])
    assert str(info.value) == "optimization failed: mixture density is not finite for event 0"


def test_identical_pdfs_give_a_singular_covariance(two_peaks):
    with pytest.raises(tarnwick.SPlotError) as info:
        tarnwick.splot(two_peaks, [flat_pdf, flat_pdf])
    assert str(info.value).startswith("singular yield covariance: ")


@pytest.mark.parametrize("initial_yields", [[0.0, 0.0], [-1.0, 5.0], [1.0], [1.0, float("nan")]])
def test_rejected_initial_yields(two_peaks, initial_yields):
    with pytest.raises(ValueError) as info:
        fit(two_peaks, gauss_mu_pdf, initial_yields=initial_yields)
    assert type(info.value) is ValueError
    assert str(info.value) == ("invalid input: initial_yields must match the PDFs, be finite "
                               "and nonnegative, and have positive sum")


def test_signed_weights_with_zero_sum_need_initial_yields():
    data = np.array([[0.2], [0.7]])
    with pytest.raises(ValueError, match="^invalid input: initial_yields must match"):
        tarnwick.splot(data, [flat_pdf], weights=[1.0, -1.0])
