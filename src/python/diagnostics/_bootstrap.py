"""Bootstrap replicas of a fit: the spread of the yields over resampled
event sets, to set beside the errors the fit reports."""

from __future__ import annotations

import dataclasses
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

import tarnwick

from ._model import FloatArray, Pdf, as_events
from ._progress import progress_bar


@dataclasses.dataclass(frozen=True, eq=False)
class Bootstrap:
    """Replicate fits, one row per replica and one column per component.

    A replica whose fit raised SPlotError has NaN rows and its message in
    `errors`; `success` holds each replica's optimizer flag (False for a
    raised fit).
    """

    yields: FloatArray
    yield_errors: FloatArray
    sweight_sums: FloatArray
    success: npt.NDArray[np.bool_]
    errors: tuple[str, ...]

    def __str__(self) -> str:
        n = len(self.yields)
        lines = [f"bootstrap: {n} replicas, {int(self.success.sum())} converged, "
                 f"{len(self.errors)} raised"]
        if n and np.isfinite(self.yields).any():
            spread = np.nanstd(self.yields, axis=0, ddof=1) if n > 1 else np.full(
                self.yields.shape[1], np.nan)
            for k in range(self.yields.shape[1]):
                lines.append(
                    f"  component {k}: mean yield {np.nanmean(self.yields[:, k]):.1f}, "
                    f"spread {spread[k]:.1f}, "
                    f"mean fitted error {np.nanmean(self.yield_errors[:, k]):.1f}")
        return "\n".join(lines)


def bootstrap(data: npt.ArrayLike, pdfs: Sequence[Pdf], n: int, seed: int,
              progress: bool = True, **splot_kwargs: Any) -> Bootstrap:
    """Fits `n` replicas of `data` with a progress bar (tqdm when installed).

    Each replica takes every event a Poisson(1)-distributed number of times
    (seeded by `seed`): the bootstrap of an extended fit, whose total count
    fluctuates as the data's would, so that the spread of the replica yields
    estimates the same errors as the fit's `yield_errors`. (Drawing exactly
    n_events with replacement would hold the total fixed and understate
    them.) `splot_kwargs` go to every ``tarnwick.splot`` call; event
    `weights`, when among them, are resampled with their events.

    Parameters
    ----------
    data : array_like
        The events, shape (n_events, n_columns).
    pdfs : sequence of callable
        The PDFs, one per component.
    n : int
        The number of replicas.
    seed : int
        Seed of the resampling.
    progress : bool, optional
        Whether to show the progress bar (default True).
    **splot_kwargs
        Keyword arguments of ``tarnwick.splot``, such as ``shape_parameters``
        and ``weights``.

    Returns
    -------
    Bootstrap
        One row per replica; a replica whose fit raised ``tarnwick.SPlotError``
        has NaN rows and its message in ``errors``.

    Raises
    ------
    ValueError
        If the data are not two-dimensional, `n` is negative, or the weights
        do not have one entry per event.
    """
    events = as_events(data)
    weights = splot_kwargs.pop("weights", None)
    if weights is not None:
        weights = np.asarray(weights, dtype=np.float64).reshape(-1)
        if len(weights) != len(events):
            raise ValueError(f"weights has length {len(weights)}, expected {len(events)}")
    if n < 0:
        raise ValueError(f"n must be nonnegative, got {n}")
    rng = np.random.default_rng(seed)
    shape = (n, len(pdfs))
    yields, errors, sums = np.full(shape, np.nan), np.full(shape, np.nan), np.full(shape, np.nan)
    success = np.zeros(n, dtype=bool)
    messages: list[str] = []
    bar = progress_bar(n, "bootstrap", "fits", enabled=progress)
    try:
        for replica in range(n):
            rows = np.repeat(np.arange(len(events)), rng.poisson(1.0, size=len(events)))
            kwargs = dict(splot_kwargs)
            if weights is not None:
                kwargs["weights"] = weights[rows]
            try:
                result = tarnwick.splot(events[rows], list(pdfs), **kwargs)
            except tarnwick.SPlotError as error:
                messages.append(f"replica {replica}: {error}")
            else:
                yields[replica] = result.yields
                errors[replica] = result.yield_errors
                sums[replica] = result.sweights.sum(axis=0)
                success[replica] = result.success
            bar.update(1)
    finally:
        bar.close()
    return Bootstrap(yields, errors, sums, success, tuple(messages))
