"""Bootstrap replicas of a fit: the spread of the yields over resampled
event sets, to set beside the errors the fit reports; in this process or
as tasks on a dask.distributed cluster."""

from __future__ import annotations

import dataclasses
import warnings
from collections.abc import Sequence
from typing import Any, cast

import numpy as np
import numpy.typing as npt

import tarnwick

from ._belongs import check_belongs
from ._model import FloatArray, Pdf, component_labels
from ._progress import progress_bar
from ._tasks import check_client, run_tasks
from ._table import Table, Tabular, convergence_note


@dataclasses.dataclass(frozen=True, eq=False)
class Bootstrap(Tabular):
    """Replicate fits, one row per replica and one column per component.

    A replica whose fit raised SPlotError has NaN rows and its message in
    `errors`; `success` holds each replica's optimizer flag (False for a
    raised fit). `components` names the columns.
    """

    yields: FloatArray
    yield_errors: FloatArray
    sweight_sums: FloatArray
    success: npt.NDArray[np.bool_]
    errors: tuple[str, ...]
    components: tuple[str, ...] = ()

    fit_success: bool = True
    fit_message: str = ""

    def _tables(self) -> list[Table]:
        n = len(self.yields)
        title = (f"bootstrap: {n} replicas, {int(self.success.sum())} converged, "
                 f"{len(self.errors)} raised")
        notes = convergence_note(self.fit_success, self.fit_message)
        if not (n and np.isfinite(self.yields).any()):
            return [Table(title=title, notes=notes)]
        labels = self.components or component_labels(None, self.yields.shape[1])
        with warnings.catch_warnings():
            # A component whose replicas all raised has NaN rows only.
            warnings.simplefilter("ignore", RuntimeWarning)
            spread = (np.nanstd(self.yields, axis=0, ddof=1) if n > 1
                      else np.full(self.yields.shape[1], np.nan))
            means = np.nanmean(self.yields, axis=0)
            errors = np.nanmean(self.yield_errors, axis=0)
        rows = tuple((label, f"{means[k]:.1f}", f"{spread[k]:.1f}", f"{errors[k]:.1f}")
                     for k, label in enumerate(labels))
        return [Table(title=title,
                      header=("component", "mean yield", "spread", "mean fitted error"),
                      rows=rows, notes=notes)]


# A seed as SeedSequence keeps it: an integer or a sequence of them.
Entropy = int | Sequence[int]


# A shape-parameter declaration as plain data: (name, initial, lower, upper).
Declaration = tuple[str, float, float, float]


@dataclasses.dataclass(frozen=True)
class _Fit:
    """What every replica shares: sent once to each worker of a cluster.

    ``tarnwick.ShapeParameter`` does not pickle, so the declarations travel
    as plain tuples and are declared again where the replica is fitted.
    """

    events: FloatArray
    weights: FloatArray | None
    pdfs: list[Pdf]
    splot_kwargs: dict[str, Any]
    declarations: list[Declaration | Any] | None = None

    @classmethod
    def of(cls, events: FloatArray, weights: FloatArray | None, pdfs: Sequence[Pdf],
           splot_kwargs: dict[str, Any]) -> _Fit:
        kwargs = dict(splot_kwargs)
        declared = kwargs.pop("shape_parameters", None)
        if declared is None:
            return cls(events, weights, list(pdfs), kwargs)
        # Anything but a declaration goes on as it is, for splot to reject.
        plain = [(item.name, item.initial, item.lower, item.upper)
                 if isinstance(item, tarnwick.ShapeParameter) else item for item in declared]
        return cls(events, weights, list(pdfs), kwargs, plain)

    def splot_arguments(self) -> dict[str, Any]:
        kwargs = dict(self.splot_kwargs)
        if self.declarations is not None:
            kwargs["shape_parameters"] = [
                tarnwick.ShapeParameter(*item) if isinstance(item, tuple) else item
                for item in self.declarations]
        return kwargs


@dataclasses.dataclass(frozen=True)
class _Outcome:
    yields: FloatArray
    yield_errors: FloatArray
    sweight_sums: FloatArray
    success: bool
    error: str | None


def _replica_counts(seed: Entropy, replica: int, n_events: int) -> npt.NDArray[np.int64]:
    """How many times replica `replica` takes each event: Poisson(1) counts
    from a generator of its own, child `replica` of ``SeedSequence(seed)``
    (as ``SeedSequence(seed).spawn(n)[replica]``), so that a replica's
    events depend on the seed and its index only, not on where or in which
    order the replicas run."""
    child = np.random.SeedSequence(seed, spawn_key=(replica,))
    return np.random.default_rng(child).poisson(1.0, size=n_events)


def _fit_replica(shared: tuple[_Fit, Entropy], replica: int) -> _Outcome:
    """Fits one replica of the fit and seed `shared`; an SPlotError becomes
    the outcome's message, any other exception propagates."""
    fit, seed = shared
    n_events = len(fit.events)
    rows = np.repeat(np.arange(n_events), _replica_counts(seed, replica, n_events))
    kwargs = fit.splot_arguments()
    if fit.weights is not None:
        kwargs["weights"] = fit.weights[rows]
    n_components = len(fit.pdfs)
    try:
        result = tarnwick.splot(fit.events[rows], list(fit.pdfs), **kwargs)
    except tarnwick.SPlotError as error:
        missing = np.full(n_components, np.nan)
        return _Outcome(missing, missing, missing, False, f"replica {replica}: {error}")
    return _Outcome(np.asarray(result.yields, dtype=np.float64),
                    np.asarray(result.yield_errors, dtype=np.float64),
                    result.sweights.sum(axis=0), bool(result.success), None)


def bootstrap(result: tarnwick.SPlotResult, data: npt.ArrayLike, pdfs: Sequence[Pdf], n: int,
              seed: int, *, progress: bool = True, weights: npt.ArrayLike | None = None,
              shape_parameters: Sequence[tarnwick.ShapeParameter] | None = None,
              names: Sequence[str] | None = None, client: Any = None,
              **splot_kwargs: Any) -> Bootstrap:
    """Fits `n` replicas of the fit `result` of `data` with a progress bar (tqdm when installed),
    one after another or, given a dask.distributed `client`, as tasks on
    its cluster.

    Each replica takes every event a Poisson(1)-distributed number of times:
    the bootstrap of an extended fit, whose total count fluctuates as the
    data's would, so that the spread of the replica yields estimates the
    same errors as the fit's `yield_errors`. (Drawing exactly n_events with
    replacement would hold the total fixed and understate them.) Replica r
    draws its counts from child r of ``numpy.random.SeedSequence(seed)``,
    so a seed gives the same replicas, and the same results replica by
    replica, in this process and on any cluster. Every replica is fitted
    with `shape_parameters` and `splot_kwargs` (``tarnwick.splot``'s other
    keywords); event `weights` are resampled with their events.

    On a cluster, the data, weights, PDFs and `splot_kwargs` are sent to
    every worker once, and each task fits one replica from them and its
    index. dask.distributed pickles the PDFs with cloudpickle, so lambdas
    and closures work; functions defined in a module are sent by name, so
    that module, and tarnwick itself, must be importable on the workers
    (installed in their environment, as a LocalCluster's worker processes
    inherit this one's). The progress bar advances as replicas finish, in
    whatever order they do. A fit already uses one thread per CPU from
    65,536 events on, so workers sharing a machine are best started with
    one thread each.

    Parameters
    ----------
    result : tarnwick.SPlotResult
        The fit of `data` whose replicas are made.
    data : array_like
        The fit's events, shape (n_events, n_columns).
    pdfs : sequence of callable
        The fit's PDFs, one per component and in its order.
    n : int
        The number of replicas.
    seed : int
        Seed of the resampling, a nonnegative integer.
    progress : bool, optional
        Whether to show the progress bar (default True).
    weights : array_like or None, optional
        The fit's event weights; None (the default) takes them from the
        result's sWeights.
    shape_parameters : sequence of tarnwick.ShapeParameter or None, optional
        The fit's declared shape parameters, declared again in every replica.
    names : sequence of str or None, optional
        The components' names, one per PDF and in their order, for the
        printed table; None (the default) gives "component 0", ….
    client : distributed.Client or None, optional
        A dask.distributed client whose cluster runs the replicas; None
        (the default) runs them here, one after another.
    **splot_kwargs
        Other keyword arguments of ``tarnwick.splot``, such as ``max_steps``.

    Returns
    -------
    Bootstrap
        One row per replica, in replica order; a replica whose fit raised
        ``tarnwick.SPlotError`` has NaN rows and its message in ``errors``
        (in replica order).

    Raises
    ------
    ValueError
        If the data, PDFs, weights or declarations do not belong to the
        fit (checked once, before any replica), `n` or `seed` is negative,
        or `names` are not one distinct name per PDF.
    TypeError
        If `client` is neither None nor a ``distributed.Client``, or
        `names` are not strings.
    Exception
        Any other exception of a replica's fit propagates (on a cluster,
        that of the first failing replica to finish; the others are
        cancelled).
    """
    fit_inputs = check_belongs(result, data, pdfs, weights=weights,
                               shape_parameters=shape_parameters)
    events = fit_inputs.events
    assert events is not None
    w = fit_inputs.weights if fit_inputs.weighted else None
    if shape_parameters is not None:
        splot_kwargs["shape_parameters"] = shape_parameters
    if n < 0:
        raise ValueError(f"n must be nonnegative, got {n}")
    labels = component_labels(names, len(pdfs))
    # An unusable seed fails here rather than in every replica; None draws
    # fresh entropy once, for all replicas.
    entropy = cast(Entropy, np.random.SeedSequence(seed).entropy)
    if client is not None:
        check_client(client, "replicas")
    fit = _Fit.of(events, w, pdfs, splot_kwargs)
    bar = progress_bar(n, "bootstrap", "fits", enabled=progress)
    try:
        done = run_tasks(_fit_replica, (fit, entropy), n, client, bar)
    finally:
        bar.close()
    shape = (n, len(pdfs))

    def stacked(field: str) -> FloatArray:
        if not done:
            return np.full(shape, np.nan)
        return np.vstack([getattr(outcome, field) for outcome in done]).reshape(shape)

    return Bootstrap(stacked("yields"), stacked("yield_errors"), stacked("sweight_sums"),
                     np.array([outcome.success for outcome in done], dtype=bool),
                     tuple(outcome.error for outcome in done if outcome.error is not None),
                     labels, bool(result.success), str(result.message))
