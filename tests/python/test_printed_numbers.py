"""ShapeParameter's printed numbers read back as the same doubles."""

from __future__ import annotations

import math
import re

import pytest

import tarnwick

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

FIELDS = re.compile(r"^ShapeParameter\(name=\"x\", initial=(.*), lower=(.*), upper=(.*)\)$")


@given(st.floats(allow_nan=True, allow_infinity=True), st.floats(), st.floats())
def test_repr_numbers_round_trip_without_exponent(initial, lower, upper):
    text = repr(tarnwick.ShapeParameter("x", initial, lower, upper))
    fields = FIELDS.match(text).groups()
    for value, field in zip((initial, lower, upper), fields):
        if math.isnan(value):
            assert field == "NaN"
            continue
        assert "e" not in field.replace("inf", "")
        assert float(field) == value
        assert math.copysign(1.0, float(field)) == math.copysign(1.0, value)
        if value == int(value) if math.isfinite(value) else False:
            assert "." not in field
