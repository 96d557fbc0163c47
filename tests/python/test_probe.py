"""The probe: each PDF is called once at the initial point before the fit."""

from __future__ import annotations

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf, gauss_mu_pdf

DATA = np.linspace(0.1, 0.9, 5).reshape(5, 1)


class Counting:
    def __init__(self, output=None):
        self.calls = 0
        self.output = output

    def __call__(self, data, shape):
        self.calls += 1
        return np.ones(len(data)) if self.output is None else self.output


def probe_error(pdfs, **kwargs) -> ValueError:
    with pytest.raises(ValueError) as info:
        tarnwick.splot(DATA, pdfs, **kwargs)
    assert not hasattr(info.value, "__notes__")
    return info.value


def test_first_pdf_not_callable():
    assert str(probe_error([1, flat_pdf])) == "PDF 0 must be callable"


def test_second_pdf_not_callable_after_the_first_was_called_once():
    first = Counting()
    assert str(probe_error([first, "pdf"])) == "PDF 1 must be callable"
    assert first.calls == 1


@pytest.mark.parametrize(
    "output",
    [
        [1.0] * 5,
        np.ones(5, dtype=np.float32),
        np.ones((5, 1)),
        np.ones(5, dtype=">f8"),
        np.ones(5, dtype=np.int64),
        1.0,
        None.__class__,
    ],
    ids=["list", "float32", "column", "big-endian", "int64", "float", "type"],
)
def test_output_must_be_a_one_dimensional_float64_array(output):
    assert str(probe_error([Counting(output)])) == (
        "PDF 0 must return a one-dimensional float64 NumPy array")


def test_output_length():
    assert str(probe_error([flat_pdf, Counting(np.ones(4))])) == "PDF 1 returned 4 values, expected 5"


def test_exception_of_the_probe_propagates_unchanged():
    raised = ZeroDivisionError("division by zero in the PDF")

    def pdf(data, shape):
        raise raised

    with pytest.raises(ZeroDivisionError) as info:
        tarnwick.splot(DATA, [pdf])
    assert info.value is raised
    assert not hasattr(info.value, "__notes__")
    assert info.traceback[-1].name == "pdf"


def test_keyboard_interrupt_of_the_probe_propagates():
    def pdf(data, shape):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        tarnwick.splot(DATA, [pdf])


def test_probe_arguments():
    seen = []

    def recording(function):
        def pdf(data, shape):
            seen.append((data, shape, dict(shape)))
            return function(data, {"mu": 0.3})
        return pdf

    tarnwick.splot(DATA, [recording(gauss_mu_pdf), recording(flat_pdf)], shape_parameters=[
        tarnwick.ShapeParameter("b", 2.0), tarnwick.ShapeParameter("a", 1.0),
        tarnwick.ShapeParameter("B", 3.0)])
    (data0, dict0, items0), (data1, dict1, _) = seen[:2]
    assert data0 is DATA and data1 is DATA
    assert dict0 is dict1
    assert list(items0.items()) == [("B", 3.0), ("a", 1.0), ("b", 2.0)]


def test_subclass_and_strided_outputs_are_accepted():
    reference = tarnwick.splot(DATA, [gauss_mu_pdf, flat_pdf],
                               shape_parameters=[tarnwick.ShapeParameter("mu", 0.4, 0.0, 1.0)])

    def strided(data, shape):
        out = np.zeros(2 * len(data))
        out[::2] = gauss_mu_pdf(data, shape)
        return out[::2]

    def reversed_view(data, shape):
        return gauss_mu_pdf(data, shape)[::-1].copy()[::-1]

    def masked(data, shape):
        return np.ma.masked_array(gauss_mu_pdf(data, shape))

    def misaligned(data, shape):
        values = gauss_mu_pdf(data, shape)
        return np.frombuffer(b"\0" + values.tobytes(), dtype=np.float64, offset=1)

    def zero_stride(data, shape):
        return np.broadcast_to(flat_pdf(data, shape)[:1], (len(data),))

    for pdfs in ([strided, flat_pdf], [reversed_view, flat_pdf], [masked, flat_pdf],
                 [misaligned, flat_pdf], [gauss_mu_pdf, zero_stride]):
        result = tarnwick.splot(DATA, pdfs,
                                shape_parameters=[tarnwick.ShapeParameter("mu", 0.4, 0.0, 1.0)])
        np.testing.assert_array_equal(result.yields, reference.yields)
        np.testing.assert_array_equal(result.sweights, reference.sweights)


def test_probe_values_are_checked_by_the_engine():
    bad = np.ones(5)
    bad[2] = np.nan
    with pytest.raises(tarnwick.SPlotError) as info:
        tarnwick.splot(DATA, [flat_pdf, Counting(bad)])
    assert str(info.value) == "PDF evaluation failed: PDF 1 returned an invalid value for event 2"
