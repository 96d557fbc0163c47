"""The pieces every diagnostic shares: the PDF type, densities, names."""

from __future__ import annotations

from collections.abc import Callable, Mapping, Sequence

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]
Pdf = Callable[[FloatArray, dict[str, float]], FloatArray]

# The yields' lower bound in the fit: the double-precision machine epsilon.
YIELD_LOWER_BOUND = float(np.finfo(np.float64).eps)


def as_events(data: npt.ArrayLike) -> FloatArray:
    """The events as a two-dimensional float64 array, as the fit reads them."""
    events = np.asarray(data, dtype=np.float64)
    if events.ndim != 2:
        raise ValueError(f"data must be two-dimensional, got {events.ndim} dimension(s)")
    return events


def event_weights(weights: npt.ArrayLike | None, n_events: int) -> FloatArray:
    """The event weights, ones when none are given."""
    if weights is None:
        return np.ones(n_events)
    values = np.asarray(weights, dtype=np.float64).reshape(-1)
    if len(values) != n_events:
        raise ValueError(f"weights has length {len(values)}, expected {n_events}")
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


def sweights_from(f: FloatArray, weights: FloatArray, yields: FloatArray,
                  covariance: FloatArray) -> FloatArray:
    """s[i, r] = w_i Σ_k V(r, k) f_k(i) / Σ_k y_k f_k(i)."""
    mixture = f @ yields
    return weights[:, None] * (f @ covariance.T) / mixture[:, None]
