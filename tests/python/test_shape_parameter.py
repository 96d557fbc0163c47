"""ShapeParameter: construction, properties, printed form and the checked conversion."""

from __future__ import annotations

import math

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf

ShapeParameter = tarnwick.ShapeParameter
INF = math.inf
NAN = math.nan


class TestConstruction:
    def test_defaults_are_open_bounds(self):
        p = ShapeParameter("mu", 0.5)
        assert (p.name, p.initial, p.lower, p.upper) == ("mu", 0.5, -INF, INF)

    def test_keywords_and_the_float_protocol(self):
        class Index:
            def __index__(self):
                return 3

        p = ShapeParameter(upper=True, lower=-2, initial=Index(), name="x")
        assert (p.initial, p.lower, p.upper) == (3.0, -2.0, 1.0)
        assert all(type(v) is float for v in (p.initial, p.lower, p.upper))

    def test_nothing_is_checked_at_construction(self):
        p = ShapeParameter("", NAN, 5.0, -5.0)
        assert p.name == "" and math.isnan(p.initial) and (p.lower, p.upper) == (5.0, -5.0)

    @pytest.mark.parametrize(
        "kwargs, exception_type, parameter",
        [
            ({"name": 1, "initial": 0.0}, TypeError, "name"),
            ({"name": b"mu", "initial": 0.0}, TypeError, "name"),
            ({"name": "a\udc80", "initial": 0.0}, UnicodeEncodeError, "name"),
            ({"name": "mu", "initial": "0"}, TypeError, "initial"),
            ({"name": "mu", "initial": 0.0, "lower": None}, TypeError, "lower"),
            ({"name": "mu", "initial": 0.0, "upper": None}, TypeError, "upper"),
            ({"name": "mu", "initial": 0.0, "upper": 10**400}, OverflowError, "upper"),
        ],
    )
    def test_conversion_errors_carry_a_note(self, kwargs, exception_type, parameter):
        with pytest.raises(exception_type) as info:
            ShapeParameter(**kwargs)
        assert info.value.__notes__ == [f"while processing '{parameter}'"]

    def test_binding_errors(self):
        with pytest.raises(TypeError, match=r"^ShapeParameter\(\) missing 1 required positional "
                                            r"argument: 'initial'$"):
            ShapeParameter("mu")
        with pytest.raises(TypeError, match=r"^ShapeParameter\(\) takes from 2 to 4 positional "
                                            r"arguments but 5 were given$"):
            ShapeParameter("mu", 0.0, 1.0, 2.0, 3.0)
        with pytest.raises(TypeError, match="got multiple values for argument 'name'"):
            ShapeParameter("mu", 0.0, name="nu")
        with pytest.raises(TypeError, match="unexpected keyword argument 'value'"):
            ShapeParameter("mu", value=0.0)

    def test_properties_are_read_only(self):
        p = ShapeParameter("mu", 1.0, 0.0, 2.0)
        for attribute in ("name", "initial", "lower", "upper"):
            with pytest.raises(AttributeError):
                setattr(p, attribute, 2.0)
        assert p.initial == 1.0


@pytest.mark.parametrize(
    "args, text",
    [
        (("mu", 0.5), 'ShapeParameter(name="mu", initial=0.5, lower=-inf, upper=inf)'),
        (("a", 1.0, 0.0, 2.0), 'ShapeParameter(name="a", initial=1, lower=0, upper=2)'),
        (("s", 1e-8), 'ShapeParameter(name="s", initial=0.00000001, lower=-inf, upper=inf)'),
        (("s", 1e20, -0.0, NAN),
         'ShapeParameter(name="s", initial=100000000000000000000, lower=-0, upper=NaN)'),
        (("s", 0.1 + 0.2), 'ShapeParameter(name="s", initial=0.30000000000000004, lower=-inf, upper=inf)'),
        (("s", -2.5e-7), 'ShapeParameter(name="s", initial=-0.00000025, lower=-inf, upper=inf)'),
    ],
)
def test_repr_numbers(args, text):
    assert repr(ShapeParameter(*args)) == text
    assert str(ShapeParameter(*args)) == text


@pytest.mark.parametrize(
    "name, literal",
    [
        ('say "hi"\n', r'"say \"hi\"\n"'),
        ("back\\slash", r'"back\\slash"'),
        ("tab\tcr\rnul\0", r'"tab\tcr\rnul\0"'),
        ("it's", '"it\'s"'),
        ("µ_Λ→☃", '"µ_Λ→☃"'),
        ("\x01\x1b\x7f", r'"\u{1}\u{1b}\u{7f}"'),
        ("e\u0301", r'"e\u{301}"'),
        ("\u200b\u00a0\u2028", r'"\u{200b}\u{a0}\u{2028}"'),
        ("\U000e0001", r'"\u{e0001}"'),
        ("a b", '"a b"'),
        ("", '""'),
    ],
)
def test_repr_escapes_the_name(name, literal):
    assert repr(ShapeParameter(name, 0.0)) == (
        f"ShapeParameter(name={literal}, initial=0, lower=-inf, upper=inf)")


DATA = np.full((5, 1), 0.5)


def conversion_error(*parameters) -> ValueError:
    with pytest.raises(ValueError) as info:
        tarnwick.splot(DATA, [flat_pdf], shape_parameters=list(parameters))
    return info.value


@pytest.mark.parametrize(
    "args, message",
    [
        (("", 0.0), "shape parameter has an invalid name or initial value"),
        (("mu", NAN), "shape parameter has an invalid name or initial value"),
        (("mu", INF), "shape parameter has an invalid name or initial value"),
        (("mu", INF, -INF, INF), "shape parameter has an invalid name or initial value"),
        (("mu", 1.0, 1.0, 1.0),
         "lower bound must be strictly less than upper bound: lower=1, upper=1"),
        (("mu", 0.5, 2.0, -INF),
         "lower bound must be strictly less than upper bound: lower=2, upper=-inf"),
        (("mu", 0.5, NAN, 1.0), "lower or upper bound is NaN: lower=NaN, upper=1"),
        (("mu", 0.5, 0.0, NAN), "lower or upper bound is NaN: lower=0, upper=NaN"),
        (("mu", 5.0, 0.0, 1.0), "bounds must contain initial value: initial=5, bounds=(0, 1)"),
        (("mu", -1e-8, 0.0, INF),
         "bounds must contain initial value: initial=-0.00000001, bounds=(0, inf)"),
    ],
)
def test_checked_conversion_messages(args, message):
    error = conversion_error(ShapeParameter(*args))
    assert str(error) == "invalid input: " + message
    assert error.__notes__ == [f'while processing shape parameter "{args[0]}" (shape_parameters[0])']


def test_blank_name_is_not_empty():
    result = tarnwick.splot(DATA, [flat_pdf], shape_parameters=[ShapeParameter(" ", 0.0)])
    assert result.shape_parameters.keys() == {" "}


def test_only_the_first_invalid_parameter_is_reported_and_named():
    error = conversion_error(ShapeParameter("ok", 0.0), ShapeParameter('a"', 5.0, 0.0, 1.0),
                             ShapeParameter("", 0.0))
    assert str(error) == "invalid input: bounds must contain initial value: initial=5, bounds=(0, 1)"
    assert error.__notes__ == ['while processing shape parameter "a\\"" (shape_parameters[1])']


def test_conversion_runs_before_any_pdf_call():
    calls = []

    def pdf(data, shape):
        calls.append(1)
        return np.ones(len(data))

    with pytest.raises(ValueError):
        tarnwick.splot(DATA, [pdf], shape_parameters=[ShapeParameter("mu", 2.0, 0.0, 1.0)])
    assert calls == []


def test_duplicate_names_are_rejected_by_the_engine_with_a_quoted_name():
    error = conversion_error(ShapeParameter('m"u', 0.0), ShapeParameter('m"u', 1.0))
    assert str(error) == 'invalid input: shape parameter name "m\\"u" is duplicated'
    assert not hasattr(error, "__notes__")


def test_objects_are_reusable_across_fits(two_peaks):
    p = ShapeParameter("mu", 0.35, 0.0, 1.0)
    from conftest import gauss_mu_pdf

    first = tarnwick.splot(two_peaks, [gauss_mu_pdf, flat_pdf], shape_parameters=[p])
    second = tarnwick.splot(two_peaks, [gauss_mu_pdf, flat_pdf], shape_parameters=[p])
    assert first.shape_parameters == second.shape_parameters
    assert (p.name, p.initial, p.lower, p.upper) == ("mu", 0.35, 0.0, 1.0)
