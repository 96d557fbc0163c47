"""The pieces every diagnostic shares: the PDF type, densities, names."""

from __future__ import annotations

import importlib
import operator
from collections.abc import Callable, Mapping, Sequence
from typing import Any, TypeAlias

import numpy as np
import numpy.typing as npt

# Spelled with ndarray itself rather than npt.NDArray, whose alias is not a
# class at run time on Python 3.12 and newer (stub checkers then reject it).
FloatArray: TypeAlias = np.ndarray[tuple[Any, ...], np.dtype[np.float64]]
Pdf = Callable[[FloatArray, dict[str, float]], FloatArray]

# The yields' lower bound in the fit: the double-precision machine epsilon.
YIELD_LOWER_BOUND = float(np.finfo(np.float64).eps)


def optional_module(name: str, *, required: bool = True) -> Any:
    """The optional dependency `name` (matplotlib, tqdm or dask), imported
    when a function first needs it rather than with the package.

    When it is not installed, its ImportError propagates; or, when it is
    not `required`, None is returned so that the caller can do without it.
    """
    try:
        return importlib.import_module(name)
    except ImportError:
        if required:
            raise
        return None


def check_result(result: Any) -> None:
    """Raises TypeError unless `result` is a finished fit (a
    ``tarnwick.SPlotResult`` or an object with its fields), so that a call
    with its arguments in another order fails here and says so."""
    if not all(hasattr(result, field) for field in ("sweights", "yields", "covariance")):
        raise TypeError(f"result must be a tarnwick.SPlotResult, got {type(result).__name__}: "
                        f"the diagnostics take (result, data, pdfs, ...) in that order")


def as_events(data: npt.ArrayLike) -> FloatArray:
    """The events as a two-dimensional float64 array, as the fit reads them."""
    events = np.asarray(data, dtype=np.float64)
    if events.ndim != 2:
        raise ValueError(f"data must be two-dimensional, got {events.ndim} dimension(s)")
    return events


def check_pdf_count(result: Any, pdfs: Sequence[Pdf]) -> None:
    """Raises ValueError unless there is one PDF per component of `result`."""
    n_components = len(result.yields)
    if len(pdfs) != n_components:
        raise ValueError(f"{len(pdfs)} PDFs given for a fit of {n_components} components: "
                         f"pass the fit's PDFs, one per component and in its order")


def check_fit_events(result: Any, events: FloatArray) -> None:
    """Raises ValueError unless `events` has a row per sWeight row of `result`."""
    n_fitted = len(result.sweights)
    if len(events) != n_fitted:
        raise ValueError(f"data has {len(events)} events (rows) but the fit had {n_fitted}: "
                         f"pass the data the fit was made on")


def check_index(index: Any, size: int, what: str, among: str) -> int:
    """`index` as an int when it picks one of `size` items as NumPy indexing
    does (negative from the end); TypeError or ValueError naming `what`
    (such as "column") and `among` (such as "the data's 3 columns") otherwise."""
    if isinstance(index, (bool, np.bool_)):
        raise TypeError(f"{what} must be an integer, got {index!r}")
    try:
        value = operator.index(index)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {index!r}") from None
    if not -size <= value < size:
        raise ValueError(f"{what} {value} is out of range for {among}")
    return value


def event_weights(weights: npt.ArrayLike | None, n_events: int) -> FloatArray:
    """The event weights, ones when none are given; ValueError unless there
    is one finite weight per event."""
    if weights is None:
        return np.ones(n_events)
    values = np.asarray(weights, dtype=np.float64).reshape(-1)
    if len(values) != n_events:
        raise ValueError(f"weights has length {len(values)}, expected {n_events}")
    bad = np.flatnonzero(~np.isfinite(values))
    if len(bad):
        raise ValueError(f"weights is {values[bad[0]]} at event {bad[0]} ({len(bad)} such "
                         f"event(s)): every weight must be finite")
    return values


def densities(events: FloatArray, pdfs: Sequence[Pdf], shape: Mapping[str, float]) -> FloatArray:
    """f[i, k]: PDF k at event i, shape (n_events, n_components).

    Each PDF gets its own copy of the shape dict, as in the fit.
    """
    columns = [np.asarray(pdf(events, dict(shape)), dtype=np.float64) for pdf in pdfs]
    for k, column in enumerate(columns):
        if column.shape != (len(events),):
            raise ValueError(
                f"PDF {k} returned shape {column.shape}, expected ({len(events)},)")
    return np.column_stack(columns) if columns else np.empty((len(events), 0))


def component_names(pdfs: Sequence[Pdf]) -> tuple[str, ...]:
    """A label per PDF: its __name__ when it has one, else 'component k'."""
    return tuple(str(getattr(pdf, "__name__", f"component {k}")) for k, pdf in enumerate(pdfs))


def bound_sides(result: Any, shape_parameters: Sequence[Any] | None
                ) -> tuple[tuple[str, ...], dict[str, str]]:
    """Which bound each fitted parameter ended on: "lower", "upper" or "".

    The first tuple has one entry per yield (whose only bound is the lower
    one, the machine epsilon); the dict one per declared shape parameter
    (none when `shape_parameters` is None: their bounds are not in the
    result).
    """
    yields = tuple("lower" if value == YIELD_LOWER_BOUND else "" for value in result.yields)
    fitted = result.shape_parameters
    shapes = {}
    for parameter in shape_parameters or ():
        value = fitted.get(parameter.name)
        shapes[parameter.name] = ("lower" if value == parameter.lower else
                                  "upper" if value == parameter.upper else "")
    return yields, shapes


def component_labels(names: Sequence[str] | None, n_components: int) -> tuple[str, ...]:
    """The components' names: `names` when given (one distinct string per
    component, in the fit's order), else 'component 0', 'component 1', …"""
    if names is None:
        return tuple(f"component {k}" for k in range(n_components))
    if isinstance(names, str):
        raise TypeError(f"names must be a sequence of strings, one per component, got {names!r}")
    labels = tuple(names)
    if len(labels) != n_components:
        raise ValueError(f"{len(labels)} names given for a fit of {n_components} components")
    for label in labels:
        if not isinstance(label, str):
            raise TypeError(f"every name must be a string, got {label!r}")
    if len(set(labels)) != len(labels):
        raise ValueError(f"the components' names must be distinct, got {list(labels)}")
    return labels


def component_position(component: int | str, labels: Sequence[str]) -> int:
    """The index of `component`, given by name (one of `labels`) or by index
    (negative from the end); ValueError or TypeError naming the choices."""
    if isinstance(component, str):
        try:
            return list(labels).index(component)
        except ValueError:
            raise ValueError(f"no component is named {component!r}; the components are "
                             f"{list(labels)}") from None
    index = check_index(component, len(labels), "component",
                        f"a fit of {len(labels)} component(s)")
    return index % len(labels)


def parameter_names(result: Any, *, shape_parameters: Sequence[Any] | None = None,
                    names: Sequence[str] | None = None) -> tuple[str, ...]:
    """The names along the axes of ``result.fit_covariance``: the components'
    yields (their `names`), then the shape parameters in the order they were
    declared to the fit.

    The result keeps its shape parameters ordered by name, not in the order
    of declaration, so with more than one of them the declared
    `shape_parameters` are needed (ValueError otherwise).
    """
    check_result(result)
    yields = component_labels(names, len(result.yields))
    fitted = result.shape_parameters
    if shape_parameters is None:
        if len(fitted) > 1:
            raise ValueError(f"the fit has {len(fitted)} shape parameters; pass the declared "
                             f"shape_parameters to give the order of fit_covariance")
        return yields + tuple(fitted)
    declared = tuple(parameter.name for parameter in shape_parameters)
    if sorted(declared) != sorted(fitted):
        raise ValueError(f"shape_parameters {list(declared)} are not those of the fit "
                         f"{sorted(fitted)}")
    return yields + declared


def fitted_mixture(f: FloatArray, yields: FloatArray) -> FloatArray:
    """m_i = Σ_k y_k f_k(i), which the fit had positive at every event;
    ValueError where it is not, since the data or the PDFs are then not
    those of the fit."""
    mixture: FloatArray = f @ yields
    bad = np.flatnonzero(~(np.isfinite(mixture) & (mixture > 0.0)))
    if len(bad):
        raise ValueError(
            f"the fitted density Σ_k y_k f_k is {mixture[bad[0]]} at event {bad[0]} "
            f"({len(bad)} such event(s)), where the fit had it positive: pass the data and "
            f"PDFs the fit was made with")
    return mixture


def sweights_from(f: FloatArray, weights: FloatArray, yields: FloatArray,
                  covariance: FloatArray, first_event: int = 0) -> FloatArray:
    """s[i, r] = w_i Σ_k V(r, k) f_k(i) / Σ_k y_k f_k(i); ValueError naming
    the events (numbered from `first_event`) where Σ_k y_k f_k(i) is not
    positive or a PDF is not finite, whose sWeights would be NaN or
    meaningless."""
    mixture = f @ yields
    bad = np.flatnonzero(~(np.isfinite(mixture) & (mixture > 0.0)
                           & np.isfinite(f).all(axis=1)))
    if len(bad):
        shown = ", ".join(str(first_event + i) for i in bad[:5])
        raise ValueError(
            f"no sWeights for {len(bad)} event(s) (events {shown}{', …' if len(bad) > 5 else ''})"
            f": the fitted density Σ_k y_k f_k is {mixture[bad[0]]} there; they are outside "
            f"the PDFs' support, so select the events inside it first")
    return weights[:, None] * (f @ covariance.T) / mixture[:, None]
