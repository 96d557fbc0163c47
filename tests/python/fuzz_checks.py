"""Fuzzing support: one drawn call run with every check that does not depend
on its result (no crash or hang, only documented exceptions, the caller's
arrays unchanged, every reference given back), and the checks of a returned
result."""

from __future__ import annotations

import faulthandler
import gc
import sys
import warnings
from dataclasses import dataclass

import numpy as np
import pytest

import tarnwick
from hypothesis import strategies as st
from fuzz_pdfs import (ArrayLike, FloatLike, FuzzPdf, HANG_SECONDS, INNER_DATA, IndexLike,
                       ProtocolFault, is_shared_singleton)
from fuzz_strategies import (Drawn, MAX_STEPS, TOLERANCES, initial_yields_arguments,
                             shape_parameters_arguments, weights_arguments)


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


@pytest.fixture(scope="module", autouse=True)
def quick_collections():
    """Moves everything made so far out of the collector's sight, so that the
    collection before each call only looks at what the examples made (used
    by the fuzz test modules, which import it)."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()
