"""Fuzzed calls of splot and ShapeParameter.

Every drawn call either returns a complete result or raises one of the
documented exception types; it never crashes, hangs or raises anything else,
it leaves the caller's arrays as they were, and it gives back every reference
it took to its arguments.

The default profile is small and derandomized, so CI runs the same examples
every time. The long profile draws over 10 000 calls (3000 for each test);
--hypothesis-show-statistics reports the counts:

    TARNWICK_FUZZ_PROFILE=long python3 -m pytest tests/python/test_fuzz.py
"""

from __future__ import annotations

import faulthandler
import gc
import math
import os
import sys
import warnings
from dataclasses import dataclass, field

import numpy as np
import pytest

import tarnwick
from conftest import flat_pdf

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

settings.register_profile(
    "tarnwick-fuzz-ci", max_examples=100, derandomize=True, database=None, deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
settings.register_profile(
    "tarnwick-fuzz-long", max_examples=3000, database=None, deadline=None, print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
# Applied to this module's tests only, so that other hypothesis tests keep
# their own settings.
FUZZ = settings.get_profile(
    {"ci": "tarnwick-fuzz-ci", "long": "tarnwick-fuzz-long"}[
        os.environ.get("TARNWICK_FUZZ_PROFILE", "ci")])

# A call that takes longer than this is taken to hang: faulthandler dumps
# every thread's stack and ends the process.
HANG_SECONDS = 120.0

NAN, INF = math.nan, math.inf
SPECIAL_FLOATS = [NAN, INF, -INF, 1e308, -1e308, 5e-324, 2.5e-310, 0.0, -0.0]


class PdfFault(Exception):
    """Raised on purpose by a drawn PDF."""


class PdfAbort(BaseException):
    """Raised on purpose by a drawn PDF; not an Exception, so it ends the fit."""


class ProtocolFault(Exception):
    """Raised on purpose by a drawn argument's __array__, __float__ or __index__."""


class UnprintableFault(PdfFault):
    def __str__(self):
        raise RuntimeError("no text")


class SubArray(np.ndarray):
    pass


class UnreadableList(list):
    """A list whose iteration fails."""

    def __iter__(self):
        raise ProtocolFault("__iter__")


class ArrayLike:
    """An object that NumPy converts through __array__, which may raise."""

    def __init__(self, array, raises):
        self.array, self.raises = array, raises

    def __array__(self, dtype=None, copy=None):
        if self.raises:
            raise ProtocolFault("__array__")
        return self.array if dtype is None else self.array.astype(dtype)


class FloatLike:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if self.value is None:
            raise ProtocolFault("__float__")
        return self.value  # may deliberately not be a float


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if self.value is None:
            raise ProtocolFault("__index__")
        return self.value


def is_shared_singleton(obj) -> bool:
    """Objects whose reference count moves with unrelated code."""
    if obj is None or obj is Ellipsis or isinstance(obj, bool):
        return True
    if type(obj) in (tuple, str, bytes) and len(obj) <= 1:  # (), "", one-character strings
        return True
    return type(obj) is int and -5 <= obj <= 256


def gaussian(x, mu, sigma):
    return np.exp(-0.5 * ((x - mu) / sigma) ** 2) / (sigma * math.sqrt(2.0 * math.pi))


INNER_DATA = np.linspace(0.05, 0.95, 12).reshape(-1, 1)

# Faults whose PDF returns the same values as a well-behaved one, so the fit
# must come out exactly as with well-behaved PDFs.
BENIGN_FAULTS = ["none", "strided-view", "reversed-view", "misaligned", "subclass",
                 "same-array", "recursive", "clear-pdfs"]
OUTPUT_FAULTS = ["list", "scalar", "zero-d", "short", "long", "empty", "float32", "column",
                 "int64", "big-endian", "nan", "negative", "inf", "zeros", "huge", "subnormal",
                 "none-object", "broadcast"]
OTHER_FAULTS = ["raise", "raise-unprintable", "abort", "mutate-data", "view-then-change",
                "mutate-dict"]
FAULTS = BENIGN_FAULTS + OUTPUT_FAULTS + OTHER_FAULTS


@dataclass(eq=False)
class CallLog:
    """The PDF calls of one splot call, in order, and the exceptions raised."""

    calls: list = field(default_factory=list)
    raised: list = field(default_factory=list)  # (position in calls, exception)

    def clear(self):
        self.calls.clear()
        self.raised.clear()


class FuzzPdf:
    """A PDF that behaves well before its `at`-th call (1 is the first) and
    from then on does `fault`."""

    def __init__(self, base, fault, at, log):
        self.base, self.fault, self.at, self.log = base, fault, at, log
        self.calls = 0
        self.kept = None  # an array kept from one call to the next
        self.owner = None  # the pdfs list, for "clear-pdfs"
        self.inner_shapes = []  # sweights shapes of the inner fits, for "recursive"

    def __repr__(self):
        return f"FuzzPdf({self.base!r}, {self.fault!r}, at={self.at})"

    @property
    def mutates_data(self):
        return self.fault in ("mutate-data", "view-then-change")

    def good(self, data, shape):
        x = data[:, 0]
        if self.base == "flat":
            return np.ones(len(data))
        if self.base == "peak":
            return gaussian(x, min(max(next(iter(shape.values()), 0.3), 0.0), 1.0), 0.1)
        return 2.0 * np.exp(-2.0 * x) / (1.0 - math.exp(-2.0))  # "falling"

    def __call__(self, data, shape):
        self.calls += 1
        self.log.calls.append(self)
        with np.errstate(all="ignore"):
            good = self.good(data, shape)
            if self.calls < self.at:
                return good
            try:
                return self.misbehave(data, shape, good)
            except BaseException as exception:
                self.log.raised.append((len(self.log.calls) - 1, exception))
                raise

    def misbehave(self, data, shape, good):
        n = len(good)
        fault = self.fault
        if fault == "none":
            return good
        if fault == "strided-view":
            return np.repeat(good, 2)[::2]
        if fault == "reversed-view":
            return good[::-1].copy()[::-1]
        if fault == "misaligned":
            return misaligned(good)
        if fault == "subclass":
            return good.view(SubArray)
        if fault == "same-array":
            if self.kept is None or len(self.kept) != n:
                self.kept = np.empty(n)
            self.kept[:] = good
            return self.kept
        if fault == "recursive":
            inner = tarnwick.splot(INNER_DATA, [flat_pdf], max_steps=5)
            self.inner_shapes.append(inner.sweights.shape)
            return good
        if fault == "clear-pdfs":
            if isinstance(self.owner, list):
                self.owner.clear()
            return good
        if fault == "raise":
            raise PdfFault(f"call {self.calls}")
        if fault == "raise-unprintable":
            raise UnprintableFault()
        if fault == "abort":
            raise PdfAbort(f"call {self.calls}")
        if fault == "mutate-data":
            data[0, 0] = np.nextafter(data[0, 0], INF)
            return good
        if fault == "mutate-dict":
            # At the probe every PDF gets the same dict.
            shape.clear()
            shape["junk"] = 0.7
            return good
        if fault == "view-then-change":
            if self.kept is not None:
                self.kept *= 0.5
            self.kept = data[:, 0]
            return self.kept
        return {
            "list": lambda: good.tolist(),
            "scalar": lambda: 1.0,
            "zero-d": lambda: np.float64(1.0) * np.ones(()),
            "short": lambda: good[:-1],
            "long": lambda: np.append(good, 1.0),
            "empty": lambda: np.empty(0),
            "float32": lambda: good.astype(np.float32),
            "column": lambda: good.reshape(-1, 1),
            "int64": lambda: np.ones(n, dtype=np.int64),
            "big-endian": lambda: good.astype(">f8"),
            "nan": lambda: np.where(np.arange(n) == n // 2, NAN, good),
            "negative": lambda: -good - 1.0,
            "inf": lambda: np.full(n, INF),
            "zeros": lambda: np.zeros(n),
            "huge": lambda: np.full(n, 1e308),
            "subnormal": lambda: np.full(n, 5e-324),
            "none-object": lambda: None,
            "broadcast": lambda: np.broadcast_to(good[:1], (n,)),
        }[fault]()

    def forget(self):
        """Drops the arrays kept between calls (a view holds the data)."""
        self.kept = None


# ---- strategies ----

@dataclass
class Drawn:
    """A drawn argument with what the checks need to know about it."""

    value: object
    arrays: list = field(default_factory=list)  # caller arrays to compare after the call
    faults: tuple = ()  # exception types its protocol methods may raise on purpose
    complex_values: bool = False  # NumPy warns when it casts these to float64
    items: list = field(default_factory=list)  # the items of a pdfs or shape_parameters value


def misaligned(array):
    """A copy of `array` whose elements start one byte off their alignment."""
    buffer = np.zeros(array.nbytes + 1, dtype=np.uint8)
    copy = np.ndarray(array.shape, dtype=array.dtype, buffer=buffer, offset=1)
    copy[...] = array
    return copy


def layout(draw, array):
    """The array in a drawn memory layout."""
    kind = draw(st.sampled_from(["plain", "plain", "fortran", "reversed", "strided", "readonly",
                                 "subclass", "misaligned", "broadcast"]))
    if kind == "fortran":
        array = np.asfortranarray(array)
    elif kind == "reversed" and array.ndim > 0:
        array = array[::-1].copy()[::-1]
    elif kind == "strided" and array.ndim > 0:
        wide = np.repeat(array, 2, axis=0)
        array = wide[::2]
    elif kind == "readonly":
        array = array.copy()
        array.flags.writeable = False
    elif kind == "subclass":
        array = array.view(SubArray)
    elif kind == "misaligned" and array.dtype != object:
        array = misaligned(array)
    elif kind == "broadcast" and array.ndim > 0 and len(array) > 0:
        array = np.broadcast_to(array[:1], array.shape)  # every row the first, stride 0
    return array


def values_of(draw, shape, specials=True):
    """Values in [0, 1] from a drawn seed, with a few special floats."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = rng.uniform(size=shape)
    if specials and values.size and draw(st.integers(0, 3)) == 0:
        flat = values.reshape(-1)
        for _ in range(draw(st.integers(1, 3))):
            flat[draw(st.integers(0, flat.size - 1))] = draw(st.sampled_from(SPECIAL_FLOATS))
    return values


def cast(draw, values, dtype):
    """`values` as `dtype`, with object arrays holding drawn odd items."""
    with np.errstate(all="ignore"):
        return np.asarray(cast_quietly(draw, values, dtype))


def cast_quietly(draw, values, dtype):
    if dtype in ("i8", "i1", "u1"):
        return np.nan_to_num(values * 100, nan=0.0, posinf=0.0, neginf=0.0).astype(dtype)
    if dtype == "?":
        return values > 0.5
    if dtype == "c16":
        return values + 1j * draw(st.sampled_from([0.0, 0.5]))
    if dtype == "O":
        array = values.astype(object)
        if array.size and draw(st.booleans()):
            odd = draw(st.sampled_from([None, "0.25", "x", 10**400, 7, [1.0]]))
            array.reshape(-1)[draw(st.integers(0, array.size - 1))] = odd
        return array
    return values.astype(dtype)


DTYPES = ["f8", "f8", "f8", "f4", "f2", "i8", "i1", "u1", "?", "c16", "O", ">f8"]


@st.composite
def data_arguments(draw):
    ndim = draw(st.sampled_from([2] * 8 + [0, 1, 3]))
    rows = draw(st.sampled_from([0, 1, 2, 5]) | st.integers(3, 40))
    shape = [rows] + [draw(st.sampled_from([1, 1, 2, 3, 0])) for _ in range(ndim - 1)]
    shape = shape[:ndim]
    dtype = draw(st.sampled_from(DTYPES))
    array = layout(draw, cast(draw, values_of(draw, shape), dtype))
    container = draw(st.sampled_from(["array"] * 12 + ["list", "list", "tuple", "ragged",
                                                       "protocol", "protocol-raises", "scalar",
                                                       "string"]))
    complex_values = dtype == "c16"
    if container == "list":
        return Drawn(array.tolist(), complex_values=complex_values)
    if container == "tuple" and array.ndim > 0:
        return Drawn(tuple(array.tolist()), complex_values=complex_values)
    if container == "ragged" and array.ndim == 2 and len(array) > 1:
        listed = array.tolist()
        listed[-1] = listed[-1][:-1] + [0.5, 0.5]
        return Drawn(listed)
    if container == "protocol":
        return Drawn(ArrayLike(array, raises=False), arrays=[array],
                     complex_values=complex_values)
    if container == "protocol-raises":
        return Drawn(ArrayLike(array, raises=True), arrays=[array], faults=(ProtocolFault,))
    if container == "scalar":
        return Drawn(draw(st.sampled_from([0.5, NAN, 3])))
    if container == "string":
        return Drawn(draw(st.sampled_from(["data", "", "0.5"])))
    return Drawn(array, arrays=[array], complex_values=complex_values)


@st.composite
def weights_arguments(draw, n_events):
    kind = draw(st.sampled_from(["omit"] * 8 + ["none"] + ["array"] * 5 + ["list",
                                 "tuple", "matrix", "string", "number", "protocol-raises",
                                 "generator", "dict", "bad-item"]))
    if kind == "omit":
        return None
    if kind == "none":
        return Drawn(None)
    length = max(0, draw(st.sampled_from([n_events] * 4 + [n_events - 1, n_events + 1, 0, 1,
                                                            2 * n_events])))
    values = draw(st.sampled_from(["ones", "signed", "negative", "zeros", "uniform"]))
    rng = np.random.default_rng(length)
    array = {"ones": lambda: np.ones(length), "signed": lambda: rng.normal(size=length),
             "negative": lambda: -np.ones(length), "zeros": lambda: np.zeros(length),
             "uniform": lambda: values_of(draw, (length,))}[values]()
    dtype = draw(st.sampled_from(["f8", "f8", "f8", "f4", "i8", "?", "c16", ">f8", "O"]))
    array = layout(draw, cast(draw, array, dtype))
    complex_values = dtype == "c16"
    if kind == "list":
        return Drawn(array.tolist(), complex_values=complex_values)
    if kind == "tuple":
        return Drawn(tuple(array.tolist()), complex_values=complex_values)
    if kind == "matrix":
        return Drawn(array.reshape(-1, 1), arrays=[array], complex_values=complex_values)
    if kind == "string":
        return Drawn("1.0")
    if kind == "number":
        return Drawn(draw(st.sampled_from([1.0, 2, NAN])))
    if kind == "protocol-raises":
        return Drawn(ArrayLike(array, raises=True), arrays=[array], faults=(ProtocolFault,))
    if kind == "generator":
        return Drawn(x for x in [1.0] * length)
    if kind == "dict":
        return Drawn(dict.fromkeys(range(length), 1.0))
    if kind == "bad-item":
        listed = [1.0] * length + [draw(st.sampled_from(["x", None, 1j, [1.0], 10**400]))]
        return Drawn(listed)
    return Drawn(array, arrays=[array], complex_values=complex_values)


YIELD_VALUES = [10.0, 10.0, 1.0, 0.0, -1.0, NAN, INF, 1e308, 5e-324, 3]


@st.composite
def initial_yields_arguments(draw, n_components):
    kind = draw(st.sampled_from(["omit"] * 10 + ["none"] + ["list"] * 3 + ["tuple", "array",
                                 "string", "number", "dict", "generator", "nested",
                                 "bad-item", "unreadable"]))
    if kind == "omit":
        return None
    if kind == "none":
        return Drawn(None)
    length = max(0, draw(st.sampled_from([n_components] * 3 + [0, n_components - 1,
                                                                n_components + 1])))
    values = draw(st.lists(st.sampled_from(YIELD_VALUES), min_size=length, max_size=length))
    if kind == "tuple":
        return Drawn(tuple(values))
    if kind == "array":
        array = cast(draw, np.array(values, dtype=float), draw(st.sampled_from(["f8", "f4",
                                                                                "i8"])))
        return Drawn(array, arrays=[array])
    if kind == "string":
        return Drawn("10")
    if kind == "number":
        return Drawn(10.0)
    if kind == "dict":
        return Drawn(dict.fromkeys(values, 1.0))
    if kind == "generator":
        return Drawn(v for v in values)
    if kind == "unreadable":
        return Drawn(UnreadableList(values), faults=(ProtocolFault,))
    if kind == "nested":
        return Drawn([[v] for v in values])
    if kind == "bad-item":
        odd = draw(st.sampled_from(["x", None, 1j, 10**400, FloatLike(None), FloatLike("1"),
                                    FloatLike(2.0), np.float32(1.5)]))
        return Drawn(values + [odd], faults=(ProtocolFault,))
    return Drawn(values)


MAX_STEPS = st.sampled_from(
    [None, 0, 1, 2, 5, 30, -1, 10**6, 2**64 - 1, 2**64, -2**70, 2.0, "5", True,
     np.int64(7), np.float64(3.0), IndexLike(4), IndexLike(None), IndexLike(-3)])
TOLERANCES = st.sampled_from(
    [1e-8, 1e-3, 1.0, 1e308, 5e-324, 0.0, -1.0, NAN, INF, -INF, 1, 0, -1, 10**400, None,
     "1e-8", 1j, np.float32(1e-3), FloatLike(1e-4), FloatLike(None), FloatLike(1)])

NAMES = ["mu", "mu", "sigma", "a", "", 'q"uote\\', "tab\tnew\nline\x00nul\x07", "e\u0301",
         "\u0300", "ß", "\U0001F600", "'single'"]
INITIALS = [0.5, 0.5, 0.25, 0.0, 1.0, NAN, INF, -INF, 2.0, 5e-324, -0.0]
BOUNDS = [None, None, 0.0, 1.0, 0.5, NAN, INF, -INF, 5e-324]


@st.composite
def shape_parameter_objects(draw):
    name = draw(st.sampled_from(NAMES))
    initial = draw(st.sampled_from(INITIALS))
    lower, upper = draw(st.sampled_from(BOUNDS)), draw(st.sampled_from(BOUNDS))
    if lower is None and upper is None and draw(st.booleans()):
        lower, upper = 0.0, 1.0
    keywords = {}
    if lower is not None:
        keywords["lower"] = lower
    if upper is not None:
        keywords["upper"] = upper
    return tarnwick.ShapeParameter(name, initial, **keywords)


@st.composite
def shape_parameters_arguments(draw):
    kind = draw(st.sampled_from(["omit"] * 3 + ["none"] + ["list"] * 6 + ["tuple", "string",
                                 "number", "bad-item", "generator", "unreadable"]))
    if kind == "omit":
        return None
    if kind == "none":
        return Drawn(None)
    items = draw(st.lists(shape_parameter_objects(), max_size=3))
    if kind == "tuple":
        return Drawn(tuple(items), items=items)
    if kind == "string":
        return Drawn("mu")
    if kind == "number":
        return Drawn(1.0)
    if kind == "bad-item":
        return Drawn(items + [draw(st.sampled_from([1.0, "mu", None, ("mu", 0.5)]))])
    if kind == "generator":
        return Drawn((item for item in items), items=items)
    if kind == "unreadable":
        return Drawn(UnreadableList(items), faults=(ProtocolFault,))
    return Drawn(items, items=items)


@st.composite
def pdfs_arguments(draw, log, wide=True):
    """In the wide form any container of any entries; otherwise a list of one
    to three drawn PDFs of distinct shapes."""
    faults = draw(st.sampled_from([FAULTS, ["none"]])) if wide else FAULTS
    bases = draw(st.permutations(["peak", "falling", "flat"]))
    items = []
    for base in bases[:draw(st.integers(0 if wide else 1, 3))]:
        if wide and draw(st.integers(0, 4)) == 0:
            items.append(draw(st.sampled_from([3, "pdf", None, object()])))
        else:
            items.append(FuzzPdf(base, draw(st.sampled_from(faults)), draw(st.integers(1, 6)),
                                 log))
    if wide and items and draw(st.integers(0, 5)) == 0:
        items.append(items[0])  # one callable for two components
    kind = draw(st.sampled_from(["list"] * 12 + ["tuple", "string", "number", "dict",
                                                "generator", "unreadable"])) if wide else "list"
    value = {"list": lambda: list(items), "tuple": lambda: tuple(items), "string": lambda: "pdf",
             "number": lambda: 2.0, "dict": lambda: dict.fromkeys(range(len(items))),
             "generator": lambda: (item for item in items),
             "unreadable": lambda: UnreadableList(items)}[kind]()
    if isinstance(value, list):
        for item in items:
            if isinstance(item, FuzzPdf):
                item.owner = value
    if kind == "unreadable":
        return Drawn(value, items=items, faults=(ProtocolFault,))
    return Drawn(value, items=items if kind in ("list", "tuple", "generator") else [])


@st.composite
def clean_data(draw):
    """Finite float64 events, a peak at 0.3 over a flat spread, in any layout."""
    rows = draw(st.integers(4, 40))
    values = values_of(draw, (rows, draw(st.integers(1, 2))), specials=False)
    values[: rows // 2, 0] = 0.3 + 0.2 * (values[: rows // 2, 0] - 0.5)
    data = layout(draw, values)
    return Drawn(data, arrays=[data])


# ---- the checked call ----

def watched_objects(arguments):
    """Every argument object and the objects directly inside it."""
    objects = []
    for value in arguments:
        objects.append(value)
        if isinstance(value, (list, tuple)):
            objects.extend(value[:])  # slicing, not iteration, which may fail on purpose
        if isinstance(value, np.ndarray) and value.base is not None:
            objects.append(value.base)
        if isinstance(value, ArrayLike):
            objects.append(value.array)
    return [obj for obj in objects if not is_shared_singleton(obj)]


def snapshot(array):
    base = array.base if isinstance(array.base, np.ndarray) else None
    return (array.tobytes(), array.shape, array.strides, array.dtype, array.flags.writeable,
            None if base is None else base.tobytes())


def utf8_order(names):
    return sorted(names, key=lambda name: name.encode("utf-8"))


def check_result(result, n_events, n_components, names):
    assert type(result) is tarnwick.SPlotResult
    assert len(set(names)) == len(names)
    n_fit = n_components + len(names)
    for attribute, shape in [("yields", (n_components,)), ("yield_errors", (n_components,)),
                             ("covariance", (n_components, n_components)),
                             ("sweights", (n_events, n_components)),
                             ("fit_covariance", (n_fit, n_fit))]:
        array = getattr(result, attribute)
        assert type(array) is np.ndarray and array.dtype == np.float64, attribute
        assert array.shape == shape, attribute
    assert list(result.shape_parameters) == utf8_order(names)
    assert list(result.shape_errors) == utf8_order(names)
    assert type(result.success) is bool and type(result.message) is str
    assert type(result.minimum_nll) is float
    for count in (result.objective_evaluations, result.gradient_evaluations,
                  result.hessian_evaluations):
        assert type(count) is int and count >= 0
    assert repr(result).startswith(f"SPlotResult(yields=<{n_components} components>")


@dataclass
class Outcome:
    """What a call did, without holding on to its result or exception."""

    kind: str  # "result" or the exception's type name
    message: str = ""
    arrays: tuple = ()
    numbers: tuple = ()


def summarize(result):
    return Outcome("result", result.message,
                   tuple(getattr(result, a).tobytes() for a in
                         ("yields", "yield_errors", "covariance", "sweights", "fit_covariance")),
                   (repr(result.shape_parameters), repr(result.shape_errors),
                    repr(result.minimum_nll),
                    result.success, result.objective_evaluations, result.gradient_evaluations,
                    result.hessian_evaluations))


def printed(exception):
    try:
        return str(exception)
    except Exception:  # noqa: BLE001 - UnprintableFault on purpose
        return "<unprintable>"


@pytest.fixture(scope="module", autouse=True)
def quick_collections():
    """Moves everything made so far out of the collector's sight, so that the
    collection before each call only looks at what the examples made."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


def run_checked(call, watched, arrays, allowed, complex_values=False):
    """Runs `call`; returns its Outcome after checking the invariants that do
    not depend on the result. `allowed` is called with the exception and
    says whether it may escape."""
    # Garbage of earlier examples may still hold the shared constants that
    # the strategies draw from; it must not be freed between the two counts.
    gc.collect()
    counts = [sys.getrefcount(obj) for obj in watched]
    before = [snapshot(array) for array in arrays]
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            try:
                result = call()
            except BaseException as exception:  # noqa: BLE001 - the type is the point
                assert allowed(exception), f"{type(exception).__qualname__}: {exception}"
                outcome = Outcome(type(exception).__qualname__, printed(exception))
                result = None
                del exception
    finally:
        faulthandler.cancel_dump_traceback_later()
    expected = {np.exceptions.ComplexWarning} if complex_values else set()
    assert {w.category for w in caught} <= expected, [str(w.message) for w in caught]
    del caught
    assert [snapshot(array) for array in arrays] == before
    if result is not None:
        outcome = result
    return outcome, counts


def check_counts(watched, counts):
    now = [sys.getrefcount(obj) for obj in watched]
    if now != counts:
        gc.collect()  # a cycle made during the call may still hold one
        now = [sys.getrefcount(obj) for obj in watched]
    assert now == counts, [(type(o).__name__, a, b) for o, a, b in zip(watched, counts, now)
                           if a != b]


DOCUMENTED = (TypeError, OverflowError, ValueError, tarnwick.SPlotError)


def splot_call(drawn, log):
    """Runs one drawn splot call with every check; returns its Outcome."""
    keywords = [name for name in ("shape_parameters", "initial_yields", "weights", "max_steps",
                                  "tolerance") if name in drawn]
    arguments = [drawn["data"], drawn["pdfs"]] + [drawn[name] for name in keywords]
    data, pdfs_value = drawn["data"].value, drawn["pdfs"].value
    keyword_values = {name: drawn[name].value for name in keywords}
    pdfs = drawn["pdfs"].items
    fuzz = [pdf for pdf in pdfs if isinstance(pdf, FuzzPdf)]
    faults = tuple(f for arg in arguments for f in arg.faults)
    arrays = [a for arg in arguments for a in arg.arrays
              if not (arg is drawn["data"] and any(p.mutates_data for p in fuzz))]
    complex_values = any(arg.complex_values for arg in arguments)
    watched = watched_objects([arg.value for arg in arguments])

    def allowed(exception):
        raised = [position for position, e in log.raised if e is exception]
        if raised:
            # A PDF's own exception escapes from the probe, and always when it
            # is not an Exception.
            return raised[0] < len(pdfs) or not isinstance(exception, Exception)
        return isinstance(exception, DOCUMENTED + faults)

    outcome, counts = run_checked(lambda: tarnwick.splot(data, pdfs_value, **keyword_values),
                                  watched, arrays, allowed, complex_values)
    n_probed = min(len(log.calls), len(pdfs))
    assert log.calls[:n_probed] == pdfs[:n_probed], "each PDF is probed once, in order"
    assert all(shapes == [(len(INNER_DATA), 1)] * len(shapes)
               for shapes in (pdf.inner_shapes for pdf in fuzz))
    if not isinstance(outcome, Outcome):  # returned, so it must be a complete result
        names = [sp.name for sp in drawn["shape_parameters"].items] \
            if "shape_parameters" in drawn else []
        n_events = len(data.array if isinstance(data, ArrayLike) else data)
        check_result(outcome, n_events, len(pdfs), names)
        outcome = summarize(outcome)
    # Put back what the PDFs took away, then count references.
    if isinstance(pdfs_value, list) and len(pdfs_value) != len(pdfs):
        pdfs_value[:] = pdfs
    any(pdf.forget() for pdf in fuzz)  # leaves no loop variable holding a PDF
    log.clear()
    check_counts(watched, counts)
    return outcome


def number_argument(value):
    return Drawn(value, faults=(ProtocolFault,) if isinstance(value, (FloatLike, IndexLike))
                 else ())


def draw_options(draw, drawn):
    """Adds drawn shape_parameters, initial_yields, weights, max_steps and
    tolerance arguments to `drawn`, each one possibly left out."""
    shape = np.shape(drawn["data"].arrays[0]) if drawn["data"].arrays else ()
    rows = shape[0] if shape else 1
    for name, strategy in [("shape_parameters", shape_parameters_arguments()),
                           ("initial_yields", initial_yields_arguments(
                               len(drawn["pdfs"].items))),
                           ("weights", weights_arguments(rows))]:
        argument = draw(strategy)
        if argument is not None:
            drawn[name] = argument
    for name, strategy in [("max_steps", MAX_STEPS), ("tolerance", TOLERANCES)]:
        if draw(st.integers(0, 2)) == 0:
            drawn[name] = number_argument(draw(strategy))
    return drawn


@st.composite
def wide_splot_calls(draw):
    log = CallLog()
    drawn = {"data": draw(st.one_of(data_arguments(), clean_data())),
             "pdfs": draw(pdfs_arguments(log))}
    return draw_options(draw, drawn), log


@FUZZ
@given(wide_splot_calls())
def test_any_splot_call_returns_a_result_or_a_documented_exception(call):
    drawn, log = call
    splot_call(drawn, log)


@st.composite
def option_calls(draw):
    """Valid data and well-behaved PDFs with any options."""
    log = CallLog()
    bases = draw(st.permutations(["peak", "falling", "flat"]))[:draw(st.integers(1, 3))]
    items = [FuzzPdf(base, "none", 1, log) for base in bases]
    drawn = {"data": draw(clean_data()), "pdfs": Drawn(items, items=items)}
    return draw_options(draw, drawn), log


@FUZZ
@given(option_calls())
def test_any_options_give_a_result_or_a_documented_exception(call):
    drawn, log = call
    splot_call(drawn, log)


@st.composite
def pdf_fault_calls(draw):
    """Calls whose arguments are mostly valid, so that the fit itself meets
    the drawn PDFs' faults."""
    log = CallLog()
    drawn = {"data": draw(clean_data()), "pdfs": draw(pdfs_arguments(log, wide=False))}
    rows = len(drawn["data"].value)
    names = draw(st.lists(st.sampled_from(["mu", "nu"]), max_size=2, unique=True))
    if names:
        items = [tarnwick.ShapeParameter(name, draw(st.sampled_from([0.3, 0.5])), 0.0, 1.0)
                 for name in names]
        drawn["shape_parameters"] = Drawn(items, items=items)
    if draw(st.booleans()):
        weights = draw(st.sampled_from([np.ones(rows), np.linspace(0.5, 1.5, rows)]))
        drawn["weights"] = Drawn(weights, arrays=[weights])
    drawn["max_steps"] = Drawn(draw(st.sampled_from([1, 3, 10, 30])))
    return drawn, log


@FUZZ
@given(pdf_fault_calls())
def test_misbehaving_pdfs_end_in_a_result_or_a_documented_exception(call):
    drawn, log = call
    outcome = splot_call(drawn, log)
    pdfs = drawn["pdfs"].items
    if not all(pdf.fault in BENIGN_FAULTS for pdf in pdfs):
        return
    # Well-behaved PDFs in the same places must give exactly the same fit.
    reference_log = CallLog()
    plain = {pdf: FuzzPdf(pdf.base, "none", 1, reference_log) for pdf in pdfs}
    items = [plain[pdf] for pdf in pdfs]
    reference = dict(drawn, pdfs=Drawn(items, items=items))
    assert splot_call(reference, reference_log) == outcome


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


def test_huge_equal_weights_scale_the_fit_and_no_pdf_sees_a_non_finite_value():
    """Weights of 1e300 push the likelihood and its differences to the edge
    of the doubles. Equal weights w only scale the fit (yields w times the
    unweighted ones); and no PDF may ever be called with a NaN or infinite
    shape value (a fit that overflows ends with an SPlotError first)."""
    rng = np.random.default_rng(1)
    peak = rng.normal(0.4, 0.05, 600)
    u = rng.uniform(size=1400)
    mass = np.concatenate([peak, -np.log1p(-u * (1.0 - math.exp(-2.0))) / 2.0])
    data = np.clip(mass, 0.0, 1.0).reshape(-1, 1)
    seen = []

    def signal(d, shape):
        seen.append(tuple(shape.values()))
        z = (d[:, 0] - shape["mu"]) / shape["sigma"]
        return np.exp(-0.5 * z * z) / (shape["sigma"] * math.sqrt(2.0 * math.pi))

    def background(d, shape):
        seen.append(tuple(shape.values()))
        slope = shape["slope"]
        return slope * np.exp(-slope * d[:, 0]) / (1.0 - math.exp(-slope))

    shapes = [tarnwick.ShapeParameter("mu", 0.38, 0.2, 0.6),
              tarnwick.ShapeParameter("sigma", 0.06, 0.01, 0.2),
              tarnwick.ShapeParameter("slope", 1.5, 0.1, 10.0)]
    unweighted = tarnwick.splot(data, [signal, background], shape_parameters=shapes)
    for weight in (1e300, 1e250, 1e200, 1e160):
        try:
            result = tarnwick.splot(data, [signal, background], shape_parameters=shapes,
                                    weights=np.full(len(data), weight))
        except tarnwick.SPlotError:
            continue
        if result.success:
            np.testing.assert_allclose(result.yields / weight, unweighted.yields, rtol=1e-6)
    assert seen and all(math.isfinite(v) for point in seen for v in point)
