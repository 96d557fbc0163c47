"""The PDF adapter call by call: cache hits and misses, output checks, errors.

These tests drive one adapter directly through the test harness built with the
C++ tests; they are skipped when no build tree has it.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

from conftest import load_adapter_harness

harness = load_adapter_harness()
pytestmark = pytest.mark.skipif(harness is None, reason="the adapter harness is not built")

DATA = np.arange(10.0).reshape(5, 2)  # rows [0, 1], [2, 3], ...


class Pdf:
    """Returns data[:, 0] * shape['a'] (or what `output` makes of it) and counts calls."""

    def __init__(self, output=None):
        self.calls = []
        self.output = output

    def __call__(self, data, shape):
        self.calls.append(dict(shape))
        values = data[:, 0] * shape.get("a", 1.0)
        return values if self.output is None else self.output(values, shape)


def make(pdf, seed_point=None, index=0):
    seed_point = {"a": 1.0} if seed_point is None else seed_point
    seed = pdf(DATA, dict(seed_point))
    pdf.calls.clear()
    return harness.Adapter(pdf, DATA, list(seed), seed_point, index)


def test_the_seed_point_is_a_hit():
    pdf = Pdf()
    adapter = make(pdf)
    np.testing.assert_array_equal(adapter.evaluate_batch({"a": 1.0}), DATA[:, 0])
    assert pdf.calls == []


def test_equal_points_call_once_and_one_ulp_calls_again():
    pdf = Pdf()
    adapter = make(pdf)
    adapter.evaluate_batch({"a": 2.0})
    adapter.evaluate_batch({"a": 2.0})
    assert len(pdf.calls) == 1
    up = math.nextafter(2.0, 3.0)
    np.testing.assert_array_equal(adapter.evaluate_batch({"a": up}), DATA[:, 0] * up)
    assert pdf.calls[-1] == {"a": up} and len(pdf.calls) == 2


def test_one_entry_only():
    pdf = Pdf()
    adapter = make(pdf)
    for a in (2.0, 1.0, 2.0, 1.0):
        adapter.evaluate_batch({"a": a})
    assert [c["a"] for c in pdf.calls] == [2.0, 1.0, 2.0, 1.0]


def test_nan_never_hits_and_signed_zeros_do():
    pdf = Pdf()
    adapter = make(pdf, {"a": 0.0})
    adapter.evaluate_batch({"a": -0.0})
    assert pdf.calls == []
    adapter.evaluate_batch({"a": math.nan})
    adapter.evaluate_batch({"a": math.nan})
    assert len(pdf.calls) == 2


def test_names_are_part_of_the_point():
    pdf = Pdf()
    adapter = make(pdf, {"a": 1.0})
    adapter.evaluate_batch({"b": 1.0})
    adapter.evaluate_batch({"a": 1.0, "b": 1.0})
    assert pdf.calls == [{"b": 1.0}, {"a": 1.0, "b": 1.0}]


def test_an_exception_leaves_the_cache_as_it_was():
    def output(values, shape):
        if shape["a"] == 2.0:
            raise ValueError("bad")
        return values

    pdf = Pdf(output)
    adapter = make(pdf)
    with pytest.raises(RuntimeError, match=r"^PDF evaluation failed: ValueError: bad$"):
        adapter.evaluate_batch({"a": 2.0})
    np.testing.assert_array_equal(adapter.evaluate_batch({"a": 1.0}), DATA[:, 0])
    assert len(pdf.calls) == 1
    assert not adapter.interrupted


@pytest.mark.parametrize(
    "output, message",
    [
        (lambda values, shape: list(values), "PDF 3 must return a one-dimensional float64 NumPy array"),
        (lambda values, shape: values.reshape(-1, 1),
         "PDF 3 must return a one-dimensional float64 NumPy array"),
        (lambda values, shape: values.astype(np.float32),
         "PDF 3 must return a one-dimensional float64 NumPy array"),
        (lambda values, shape: values[:4], "PDF 3 returned 4 values, expected 5"),
    ],
)
def test_output_checks_at_a_later_point(output, message):
    pdf = Pdf(lambda values, shape: values if shape["a"] == 1.0 else output(values, shape))
    adapter = make(pdf, index=3)
    with pytest.raises(RuntimeError) as info:
        adapter.evaluate_batch({"a": 2.0})
    assert str(info.value) == "PDF evaluation failed: " + message
    np.testing.assert_array_equal(adapter.evaluate_batch({"a": 1.0}), DATA[:, 0])


@pytest.mark.parametrize(
    "view",
    [lambda v: np.repeat(v, 2)[::2], lambda v: v[::-1].copy()[::-1],
     lambda v: np.broadcast_to(v[:1], v.shape), lambda v: np.frombuffer(
         b"\0" + v.tobytes(), dtype=np.float64, offset=1)],
    ids=["strided", "reversed", "zero-stride", "misaligned"],
)
def test_non_contiguous_outputs_are_copied_element_by_element(view):
    pdf = Pdf(lambda values, shape: view(values))
    adapter = make(pdf)
    expected = view(DATA[:, 0] * 2.0)
    np.testing.assert_array_equal(adapter.evaluate_batch({"a": 2.0}), expected)


def test_the_density_verdict_follows_the_cached_output():
    def output(values, shape):
        out = values.copy()
        if shape["a"] == 2.0:
            out[3], out[1] = math.nan, -1.0
        elif shape["a"] == 3.0:
            out[:] = -0.0
        elif shape["a"] == 4.0:
            raise ValueError("bad")
        return out

    pdf = Pdf(output)
    adapter = make(pdf)
    assert adapter.first_invalid({"a": 1.0}) is None
    assert adapter.first_invalid({"a": 2.0}) == 1
    with pytest.raises(RuntimeError):
        adapter.first_invalid({"a": 4.0})
    assert adapter.first_invalid({"a": 2.0}) == 1
    assert adapter.first_invalid({"a": 3.0}) is None
    assert adapter.first_invalid({"a": 2.0}) == 1
    assert [c["a"] for c in pdf.calls] == [2.0, 4.0, 3.0, 2.0]


def test_each_call_gets_a_new_dict():
    seen = []

    def output(values, shape):
        seen.append(shape)
        shape["a"] = 100.0
        return values

    pdf = Pdf(output)
    adapter = make(pdf)
    adapter.evaluate_batch({"a": 2.0})
    adapter.evaluate_batch({"a": 3.0})
    assert [c["a"] for c in pdf.calls] == [2.0, 3.0]
    assert seen[0] is not seen[1]


def test_an_interruption_is_kept_and_stops_later_calls():
    def output(values, shape):
        if shape["a"] != 1.0:
            raise KeyboardInterrupt
        return values

    pdf = Pdf(output)
    adapter = make(pdf)
    with pytest.raises(RuntimeError, match="^PDF evaluation failed: KeyboardInterrupt: $"):
        adapter.evaluate_batch({"a": 2.0})
    assert adapter.interrupted
    with pytest.raises(RuntimeError):
        adapter.evaluate_batch({"a": 3.0})
    assert len(pdf.calls) == 1
