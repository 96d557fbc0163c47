"""Fuzzed construction of ShapeParameter: any name and numbers, by position or
keyword; the object stores its arguments or the constructor raises a
documented exception, and no reference is lost."""

from __future__ import annotations

import math

import numpy as np
import pytest

pytest.importorskip("hypothesis")
import tarnwick  # noqa: E402
from hypothesis import given, strategies as st  # noqa: E402
from fuzz_pdfs import FUZZ, FloatLike, INF, IndexLike, ProtocolFault  # noqa: E402
from fuzz_strategies import NAMES  # noqa: E402
from fuzz_checks import (Outcome, check_counts, quick_collections,  # noqa: E402, F401
                         run_checked, watched_objects)


# ---- ShapeParameter ----

NAME_TEXT = st.one_of(
    st.sampled_from(NAMES),
    st.text(st.characters(categories=["Cc", "Mn", "Me", "Zs", "Lo", "So"]), max_size=4),
    st.text(st.characters(min_codepoint=0xD800, max_codepoint=0xDFFF), min_size=1, max_size=2)
    .map(lambda s: "x" + s),
    st.text(max_size=6))
NUMBERS = st.one_of(
    st.floats(), st.integers(-2**70, 2**70), st.sampled_from(
        [10**400, -10**400, True, None, "1.0", b"1", 1j, np.float32(0.5), np.int64(3),
         FloatLike(0.5), FloatLike(None), FloatLike("x"), IndexLike(2), IndexLike(None),
         [1.0]]))


@st.composite
def shape_parameter_calls(draw):
    name = draw(NAME_TEXT | st.sampled_from([b"mu", 1, None]))
    values = [name] + draw(st.lists(NUMBERS, max_size=4))
    n_positional = draw(st.integers(0, len(values)))
    keywords = dict(zip(["name", "initial", "lower", "upper", "extra"][n_positional:],
                        values[n_positional:]))
    if draw(st.integers(0, 9)) == 0:
        keywords[draw(st.sampled_from(["initial", "bogus"]))] = 1.0
    return values[:n_positional], keywords


def float_protocol(value):
    try:
        return float(value) if not isinstance(value, (str, bytes)) else None
    except Exception:  # noqa: BLE001 - any failure means the constructor must have raised
        return None


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) ==
                                                 math.copysign(1, b))


def check_shape_parameter(outcome, args, kwargs):
    bound = dict(zip(["name", "initial", "lower", "upper"], args)) | kwargs
    if not isinstance(outcome, Outcome):
        assert type(outcome) is tarnwick.ShapeParameter
        assert outcome.name == bound["name"]
        for attribute, default in [("initial", None), ("lower", -INF), ("upper", INF)]:
            expected = float_protocol(bound[attribute]) if attribute in bound else default
            assert expected is not None
            assert same_float(getattr(outcome, attribute), expected), attribute
        assert repr(outcome).startswith("ShapeParameter(name=\"")
    elif outcome.kind == "UnicodeEncodeError":
        assert any(0xD800 <= ord(c) <= 0xDFFF for c in bound["name"])


@FUZZ
@given(shape_parameter_calls())
def test_shape_parameter_construction_stores_its_arguments_or_raises(call):
    args, kwargs = call
    watched = watched_objects(list(args) + list(kwargs.values()))
    outcome, counts = run_checked(
        lambda: tarnwick.ShapeParameter(*args, **kwargs), watched, [],
        lambda e: isinstance(e, (TypeError, OverflowError, ValueError, ProtocolFault)))
    check_shape_parameter(outcome, args, kwargs)
    del outcome
    check_counts(watched, counts)
