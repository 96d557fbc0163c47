"""Toy studies of the whole fit: datasets drawn from the model, each fitted
again, to see the bias, the pull widths and the coverage of the errors.

Toy t draws its yields and events from a generator of its own, child t of
``numpy.random.SeedSequence(seed)``, so a toy depends on (seed, t) only and
a study on a cluster equals the local one bit for bit.
"""

from __future__ import annotations

import dataclasses
import math
from collections.abc import Mapping, Sequence
from typing import Any, cast

import numpy as np
import numpy.typing as npt

import tarnwick

from ._model import FloatArray, Pdf, component_labels
from ._progress import progress_bar
from ._table import Table, Tabular
from ._tasks import check_client, local_workers, run_tasks

# A shape-parameter declaration as plain data, for the workers of a cluster
# (ShapeParameter does not pickle): (name, initial, lower, upper).
Declaration = tuple[str, float, float, float]


@dataclasses.dataclass(frozen=True)
class ToyControl:
    """The control variable of a toy study and its sWeighted fit.

    `generators` draw the control values of each component's events (one
    per component, each with ``sample(n, values, rng)``, as the models of
    tarnwick.models have); `model` and `parameters` are fitted by
    ``fit_sweighted`` with the sWeights of `component`; `values` are the
    true control parameters, for the generators and the pulls.
    """

    generators: Sequence[Any]
    model: Pdf
    parameters: Sequence[tarnwick.ShapeParameter]
    values: Mapping[str, float]
    component: int | str = 0


def _declared(parameters: Sequence[Any] | None) -> list[Declaration]:
    if parameters is None:
        return []
    declarations = []
    for item in parameters:
        if not isinstance(item, tarnwick.ShapeParameter):
            raise TypeError(f"shape parameters must be tarnwick.ShapeParameter, got "
                            f"{type(item).__name__}")
        declarations.append((item.name, item.initial, item.lower, item.upper))
    return declarations


def _declare(declarations: Sequence[Declaration]) -> list[tarnwick.ShapeParameter]:
    return [tarnwick.ShapeParameter(*item) for item in declarations]


@dataclasses.dataclass(frozen=True)
class _Study:
    """What every toy shares; sent once to each worker of a cluster."""

    models: list[Any]
    yields: FloatArray
    values: dict[str, float]
    declarations: list[Declaration]
    control: ToyControl | None
    control_declarations: list[Declaration]
    splot_kwargs: dict[str, Any]
    entropy: int | Sequence[int]

    @property
    def n_columns(self) -> int:
        return 1 + max(int(column) for model in self.models for column in model.columns)


@dataclasses.dataclass(frozen=True)
class _Toy:
    values: FloatArray
    errors: FloatArray
    static_errors: FloatArray
    hessian_errors: FloatArray
    converged: bool
    message: str | None


def _draw(study: _Study, rng: np.random.Generator) -> tuple[FloatArray, FloatArray | None]:
    """The events of one toy (components in order) and their control values."""
    counts = rng.poisson(study.yields)
    data = np.zeros((int(counts.sum()), study.n_columns))
    start = 0
    for model, count in zip(study.models, counts):
        block = np.asarray(model.sample(int(count), study.values, rng), dtype=np.float64)
        data[start:start + count, list(model.columns)] = block.reshape(int(count), -1)
        start += count
    if study.control is None:
        return data, None
    control = [np.asarray(generator.sample(int(count), study.control.values, rng))
               for generator, count in zip(study.control.generators, counts)]
    return data, np.concatenate(control)


def _fit_toy(study: _Study, toy: int) -> _Toy:
    """Draws and fits toy `toy`; a raised SPlotError (or a control fit that
    raises on the toy's data) becomes its message, with NaN entries."""
    rng = np.random.default_rng(np.random.SeedSequence(study.entropy, spawn_key=(toy,)))
    data, control = _draw(study, rng)
    n_fit = len(study.models) + len(study.declarations)
    n_control = len(study.control_declarations)
    values = np.full(n_fit + n_control, np.nan)
    errors, static, hessian = values.copy(), np.full(n_control, np.nan), np.full(
        n_control, np.nan)
    declared = _declare(study.declarations)
    try:
        result = tarnwick.splot(data, study.models, shape_parameters=declared or None,
                                **study.splot_kwargs)
    except tarnwick.SPlotError as error:
        return _Toy(values, errors, static, hessian, False, f"toy {toy}: {error}")
    names = [item[0] for item in study.declarations]
    values[:n_fit] = [*result.yields, *(result.shape_parameters[name] for name in names)]
    errors[:n_fit] = [*result.yield_errors, *(result.shape_errors[name] for name in names)]
    converged, message = bool(result.success), None
    if not converged:
        message = f"toy {toy}: the fit did not converge: {result.message}"
    if study.control is not None and control is not None:
        from ._sweighted_fit import fit_sweighted
        try:
            measured = fit_sweighted(result, data, study.models, study.control.model,
                                     _declare(study.control_declarations), control=control,
                                     component=study.control.component,
                                     shape_parameters=declared or None)
        except (ValueError, tarnwick.SPlotError) as error:
            return _Toy(values, errors, static, hessian, False,
                        f"toy {toy}: the sWeighted fit failed: {error}")
        values[n_fit:], errors[n_fit:] = measured.values, measured.errors
        static[:], hessian[:] = measured.static_errors, measured.hessian_errors
        if not measured.success and converged:
            converged = False
            message = f"toy {toy}: the sWeighted fit did not converge: {measured.message}"
    return _Toy(values, errors, static, hessian, converged, message)


def _width_statistics(pulls: FloatArray) -> tuple[float, float, float, float, float, float]:
    """Mean, width and ±1σ coverage of the finite pulls, each with its error."""
    finite = pulls[np.isfinite(pulls)]
    n = len(finite)
    if n < 2:
        return (math.nan,) * 6
    mean, width = float(finite.mean()), float(finite.std(ddof=1))
    covered = float(np.mean(np.abs(finite) <= 1.0))
    return (mean, width / math.sqrt(n), width, width / math.sqrt(2.0 * (n - 1)),
            covered, math.sqrt(covered * (1.0 - covered) / n))


@dataclasses.dataclass(frozen=True, eq=False)
class ToyStudy(Tabular):
    """The fits of `n_toys` toy datasets, one row per toy.

    `parameters` names the columns: the yields (by component), the shape
    parameters as declared, then the control parameters; `truth` their
    generated values. `values`, `errors` and `pulls` = (value − truth) /
    error are NaN where a toy's fit failed; for the control parameters
    `errors` are fit_sweighted's full errors, `static_errors` and
    `hessian_errors` its other two. The statistics (`pull_mean`,
    `pull_width`, `coverage` with their errors) are over the toys whose
    fits converged; `converged` flags them and `messages` says why each
    other toy is left out, so no toy is dropped silently.
    """

    parameters: tuple[str, ...]
    truth: FloatArray
    values: FloatArray
    errors: FloatArray
    static_errors: FloatArray
    hessian_errors: FloatArray
    converged: npt.NDArray[np.bool_]
    messages: tuple[str, ...]

    @property
    def n_toys(self) -> int:
        return len(self.values)

    @property
    def n_failed(self) -> int:
        """Toys left out of the statistics: failed or not converged."""
        return int(np.count_nonzero(~self.converged))

    @property
    def pulls(self) -> FloatArray:
        with np.errstate(divide="ignore", invalid="ignore"):
            return (self.values - self.truth) / self.errors

    def _control_pulls(self, errors: FloatArray) -> FloatArray:
        n = errors.shape[1]
        with np.errstate(divide="ignore", invalid="ignore"):
            return (self.values[:, -n:] - self.truth[-n:]) / errors

    def statistics(self, pulls: FloatArray | None = None) -> FloatArray:
        """Per column of `pulls` (default: `pulls`) over the converged toys:
        mean, its error, width, its error, ±1σ coverage, its error."""
        chosen = self.pulls if pulls is None else pulls
        chosen = chosen[self.converged]
        return np.array([_width_statistics(chosen[:, j]) for j in range(chosen.shape[1])])

    @property
    def pull_mean(self) -> FloatArray:
        return self.statistics()[:, 0]

    @property
    def pull_width(self) -> FloatArray:
        return self.statistics()[:, 2]

    @property
    def coverage(self) -> FloatArray:
        return self.statistics()[:, 4]

    def _rows(self) -> list[tuple[str, ...]]:
        rows: list[tuple[str, ...]] = []
        for name, stats in zip(self.parameters, self.statistics()):
            rows.append((name, f"{stats[0]:+.3f} ± {stats[1]:.3f}",
                         f"{stats[2]:.3f} ± {stats[3]:.3f}", f"{stats[4]:.3f} ± {stats[5]:.3f}"))
        n = self.static_errors.shape[1]
        for label, errors in (("static", self.static_errors), ("inverse Hessian",
                                                               self.hessian_errors)):
            if n:
                stats_of = self.statistics(self._control_pulls(errors))
                for name, stats in zip(self.parameters[-n:], stats_of):
                    rows.append((f"{name} ({label})", f"{stats[0]:+.3f} ± {stats[1]:.3f}",
                                 f"{stats[2]:.3f} ± {stats[3]:.3f}",
                                 f"{stats[4]:.3f} ± {stats[5]:.3f}"))
        return rows

    def _tables(self) -> list[Table]:
        notes = list(self.messages[:5])
        if len(self.messages) > 5:
            notes.append(f"… and {len(self.messages) - 5} more")
        title = (f"toy study: {self.n_toys} toys, {self.n_toys - self.n_failed} converged, "
                 f"{self.n_failed} failed or not converged")
        return [Table(title, ("parameter", "pull mean", "pull width",
                              "coverage of ±1σ (0.683)"), tuple(self._rows()), tuple(notes))]


def _check_models(models: Sequence[Any], yields: FloatArray) -> None:
    if len(models) == 0:
        raise ValueError("toy_study needs at least one model")
    for k, model in enumerate(models):
        if not (callable(model) and hasattr(model, "sample") and hasattr(model, "columns")):
            raise TypeError(f"model {k} cannot draw events: toy_study needs models with "
                            f"sample(n, values, rng) and columns, such as those of "
                            f"tarnwick.models; got {type(model).__name__}")
    if yields.shape != (len(models),):
        raise ValueError(f"yields must have one entry per model ({len(models)}), got shape "
                         f"{yields.shape}")
    if not np.all(np.isfinite(yields) & (yields >= 0.0)):
        raise ValueError(f"yields must be finite and nonnegative, got {yields.tolist()}")


def _check_truth(values: Mapping[str, float], needed: Sequence[str], what: str) -> None:
    missing = [name for name in needed if name not in values]
    if missing:
        raise ValueError(f"{what} lack the true value of {', '.join(map(repr, missing))}; "
                         f"given: {', '.join(map(repr, values)) or 'none'}")


def toy_study(models: Sequence[Any], yields: npt.ArrayLike, values: Mapping[str, float], *,
              shape_parameters: Sequence[tarnwick.ShapeParameter] | None, n_toys: int,
              seed: int, control: ToyControl | None = None, client: Any = None,
              names: Sequence[str] | None = None, progress: bool = True,
              workers: int | None = None, max_steps: int = 1000,
              tolerance: float = 1e-8) -> ToyStudy:
    """Draws and fits `n_toys` toy datasets of the model and returns the
    pulls of every yield and shape parameter (and of the control fit).

    Toy t draws Poisson(yields[k]) events from ``models[k].sample`` at the
    true `values`, fits them with ``tarnwick.splot`` from the declared
    starts of `shape_parameters`, and, given `control`, draws each event's
    control value from its component's generator and fits the control
    model with ``fit_sweighted``. Toy t's generator is child t of
    ``numpy.random.SeedSequence(seed)``, so a toy depends on (seed, t)
    alone, and a study on `client`'s dask.distributed cluster (the shared
    inputs sent once per worker, as in ``bootstrap``) or in several local
    processes equals the one in a single process bit for bit.

    Parameters
    ----------
    models : sequence of tarnwick.models.Model
        One model per component: it draws that component's events and is
        the component's PDF in every fit.
    yields : array_like
        The expected number of events of each component.
    values : mapping of str to float
        The true shape parameters, for drawing and for the pulls.
    shape_parameters : sequence of tarnwick.ShapeParameter or None
        The fit's declarations (starts and bounds), in the order of the
        pulls' columns.
    n_toys : int
        The number of toys.
    seed : int
        Seed of the study.
    control : ToyControl or None, optional
        The control variable to draw and fit with sWeights.
    client : distributed.Client or None, optional
        Runs the toys as tasks of this dask.distributed cluster.
    names : sequence of str or None, optional
        The components' names ("component 0", … by default).
    progress : bool, optional
        Whether to show a progress bar (default True).
    workers : int or None, optional
        Without `client`, the processes that fit the toys: by default one
        per CPU this process may run on (on Linux, forked from this one;
        elsewhere, and with 1, the toys are fitted here).
    max_steps, tolerance
        Passed to every ``tarnwick.splot`` call.

    Returns
    -------
    ToyStudy
        Per toy the values, errors and pulls; per parameter the pull mean
        and width and the ±1σ coverage with their errors, over the toys
        that converged. Failed and non-converged toys are counted and
        their messages kept.

    Raises
    ------
    ValueError
        If `yields` do not match the models, a true value is missing,
        `n_toys` is negative, `workers` is not a positive integer or
        `names` are not one distinct name per model.
    TypeError
        If a model cannot draw events or `client` is not a Client.
    """
    expected = np.asarray(yields, dtype=np.float64).reshape(-1)
    _check_models(models, expected)
    if n_toys < 0:
        raise ValueError(f"n_toys must be nonnegative, got {n_toys}")
    labels = component_labels(names, len(models))
    declarations = _declared(shape_parameters)
    read = [name for model in models for name in getattr(model, "parameters", ())]
    _check_truth(values, list(dict.fromkeys(read + [item[0] for item in declarations])),
                 "values")
    control_declarations: list[Declaration] = []
    if control is not None:
        if len(control.generators) != len(models):
            raise ValueError(f"control has {len(control.generators)} generators for "
                             f"{len(models)} models")
        control_declarations = _declared(control.parameters)
        _check_truth(control.values, [item[0] for item in control_declarations],
                     "control values")
    if client is not None:
        check_client(client, "toys")
    n_workers = local_workers(workers)
    entropy = cast("int | Sequence[int]", np.random.SeedSequence(seed).entropy)
    study = _Study(list(models), expected, {k: float(v) for k, v in values.items()},
                   declarations, control, control_declarations,
                   {"max_steps": max_steps, "tolerance": tolerance}, entropy)
    bar = progress_bar(n_toys, "toys", "fits", enabled=progress)
    try:
        toys = run_tasks(_fit_toy, study, n_toys, client, bar, n_workers)
    finally:
        bar.close()
    control_truth = control.values if control is not None else {}
    truth = [*expected, *(values[item[0]] for item in declarations),
             *(control_truth[item[0]] for item in control_declarations)]
    width = len(truth)
    n_control = len(control_declarations)

    def stacked(field: str, columns: int) -> FloatArray:
        if not toys:
            return np.empty((0, columns))
        return np.vstack([getattr(toy, field) for toy in toys]).reshape(len(toys), columns)

    parameters = (*labels, *(item[0] for item in declarations),
                  *(item[0] for item in control_declarations))
    return ToyStudy(parameters, np.array(truth, dtype=np.float64), stacked("values", width),
                    stacked("errors", width), stacked("static_errors", n_control),
                    stacked("hessian_errors", n_control),
                    np.array([toy.converged for toy in toys], dtype=bool),
                    tuple(toy.message for toy in toys if toy.message is not None))
