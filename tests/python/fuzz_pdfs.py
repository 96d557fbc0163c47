"""Fuzzing support: the hypothesis profiles, objects whose protocol methods
fail on purpose, and drawn PDFs that misbehave from a chosen call on
(FuzzPdf), with the log of their calls."""

from __future__ import annotations

import math
import os
from dataclasses import dataclass, field

import numpy as np

import tarnwick
from conftest import flat_pdf
from hypothesis import HealthCheck, settings


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



# The faults that are a function of the good output alone.
OUTPUTS = {
    "none": lambda good: good,
    "strided-view": lambda good: np.repeat(good, 2)[::2],
    "reversed-view": lambda good: good[::-1].copy()[::-1],
    "misaligned": lambda good: misaligned(good),
    "subclass": lambda good: good.view(SubArray),
    "list": lambda good: good.tolist(),
    "scalar": lambda good: 1.0,
    "zero-d": lambda good: np.float64(1.0) * np.ones(()),
    "short": lambda good: good[:-1],
    "long": lambda good: np.append(good, 1.0),
    "empty": lambda good: np.empty(0),
    "float32": lambda good: good.astype(np.float32),
    "column": lambda good: good.reshape(-1, 1),
    "int64": lambda good: np.ones(len(good), dtype=np.int64),
    "big-endian": lambda good: good.astype(">f8"),
    "nan": lambda good: np.where(np.arange(len(good)) == len(good) // 2, NAN, good),
    "negative": lambda good: -good - 1.0,
    "inf": lambda good: np.full(len(good), INF),
    "zeros": lambda good: np.zeros(len(good)),
    "huge": lambda good: np.full(len(good), 1e308),
    "subnormal": lambda good: np.full(len(good), 5e-324),
    "none-object": lambda good: None,
    "broadcast": lambda good: np.broadcast_to(good[:1], (len(good),)),
}


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
        output = OUTPUTS.get(self.fault)
        return output(good) if output is not None else self.act(data, shape, good)

    def act(self, data, shape, good):
        """The faults that keep state, call back or raise."""
        fault = self.fault
        if fault == "same-array":
            if self.kept is None or len(self.kept) != len(good):
                self.kept = np.empty(len(good))
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
        raise KeyError(fault)

    def forget(self):
        """Drops the arrays kept between calls (a view holds the data)."""
        self.kept = None


def misaligned(array):
    """A copy of `array` whose elements start one byte off their alignment."""
    buffer = np.zeros(array.nbytes + 1, dtype=np.uint8)
    copy = np.ndarray(array.shape, dtype=array.dtype, buffer=buffer, offset=1)
    copy[...] = array
    return copy
