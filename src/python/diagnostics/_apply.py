"""sWeights for events that were not in the fit, from its yields and V."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import tarnwick

from ._model import (FloatArray, Pdf, as_events, check_pdf_count, check_result, densities,
                     event_weights, optional_module, sweights_from)


def _is_dask_array(data: Any) -> bool:
    return type(data).__module__.startswith("dask.") and hasattr(data, "map_blocks")


def apply_sweights(result: tarnwick.SPlotResult, data: Any, pdfs: Sequence[Pdf],
                   chunk_size: int = 100_000, *, weights: npt.ArrayLike | None = None) -> Any:
    """The sWeights of `data` under a finished fit,

        s(i, r) = w_i Σ_k V(r, k) f_k(i) / Σ_k y_k f_k(i),

    with the fitted yields y, the sPlot covariance V and the PDFs at the
    fitted shape parameters, computed `chunk_size` events at a time so that
    only one chunk's densities are held at once. The PDFs must treat each
    event on its own (as any density does), since they see one chunk.

    `data` is anything NumPy reads as a two-dimensional array, or a dask
    array: then the result is a lazy dask array of shape
    (n_events, n_components) computed block by block along the events (the
    feature axis is joined into one block; `chunk_size` is not used), and
    `weights`, if given, must be a dask array too.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The finished fit.
    data : array_like or dask.array.Array
        The events, shape (n_events, n_columns).
    pdfs : sequence of callable
        The fit's PDFs, one per component and in its order.
    chunk_size : int, optional
        The number of events computed at a time (default 100 000).
    weights : array_like or None, optional
        The event weights; None (the default) for unweighted events.

    Returns
    -------
    numpy.ndarray or dask.array.Array
        The sWeights, shape (n_events, n_components).

    Raises
    ------
    ValueError
        If the PDFs are not one per component, `chunk_size` is not
        positive, the data or weights have the wrong shape, a weight is not
        finite, or the fitted density Σ_k y_k f_k is not positive at some
        events (outside the PDFs' support: their sWeights would be NaN);
        the message names those events. For a dask array it is raised when
        the blocks are computed.
    """
    check_result(result)
    yields = np.asarray(result.yields, dtype=np.float64)
    covariance = np.asarray(result.covariance, dtype=np.float64)
    shape = dict(result.shape_parameters)
    pdf_list = list(pdfs)
    check_pdf_count(result, pdf_list)

    def weigh(block: FloatArray, block_weights: FloatArray | None,
              first_event: int = 0) -> FloatArray:
        w = event_weights(block_weights, len(block))
        return sweights_from(densities(block, pdf_list, shape), w, yields, covariance,
                             first_event)

    if _is_dask_array(data):
        return _apply_dask(data, weights, weigh, len(yields))
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be positive, got {chunk_size}")
    events = as_events(data)
    all_weights = event_weights(weights, len(events))
    out = np.empty((len(events), len(yields)))
    for start in range(0, len(events), chunk_size):
        stop = start + chunk_size
        out[start:stop] = weigh(events[start:stop], all_weights[start:stop], start)
    return out


def _apply_dask(data: Any, weights: Any, weigh: Any, n_components: int) -> Any:
    da = optional_module("dask.array")
    if data.ndim != 2:
        raise ValueError(f"data must be two-dimensional, got {data.ndim} dimension(s)")
    events = data.astype(np.float64).rechunk({1: -1})
    out_chunks = (events.chunks[0], (n_components,))
    def start(block_info: Any) -> int:
        """The index of a block's first event, for the messages."""
        return int(block_info[0]["array-location"][0][0]) if block_info else 0

    if weights is None:
        return events.map_blocks(lambda block, block_info=None: weigh(block, None,
                                                                      start(block_info)),
                                 dtype=np.float64, chunks=out_chunks)
    w = da.asarray(weights).astype(np.float64).rechunk((events.chunks[0],))
    return da.map_blocks(
        lambda block, bw, block_info=None: weigh(block, bw.reshape(-1), start(block_info)),
        events, w[:, None], dtype=np.float64, chunks=out_chunks)
