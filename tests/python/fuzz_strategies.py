"""Fuzzing support: hypothesis strategies for every argument of splot (data,
PDFs, shape parameters, initial yields, weights, options), in drawn memory
layouts and with drawn special values."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

import tarnwick
from hypothesis import strategies as st
from fuzz_pdfs import (ArrayLike, FAULTS, FloatLike, FuzzPdf, INF, IndexLike, NAN, ProtocolFault,
                       SPECIAL_FLOATS, SubArray, UnreadableList, misaligned)


# ---- strategies ----

@dataclass
class Drawn:
    """A drawn argument with what the checks need to know about it."""

    value: object
    arrays: list = field(default_factory=list)  # caller arrays to compare after the call
    faults: tuple = ()  # exception types its protocol methods may raise on purpose
    complex_values: bool = False  # NumPy warns when it casts these to float64
    items: list = field(default_factory=list)  # the items of a pdfs or shape_parameters value


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
