"""One object for one analysis: the fit's inputs given once, the fit, and
every diagnostic as a method that needs nothing repeated.

The methods are the functions of ``tarnwick.diagnostics`` called with the
object's result, data, PDFs, weights, declarations and names; columns may be
given by name when the data came as a pandas DataFrame or a dict of columns.
"""

from __future__ import annotations

import pickle
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

import tarnwick

from . import (_apply, _bootstrap, _checks, _independence, _normalisation, _plots, _summary,
               _sweighted_fit, _toys, _weighted)
from ._model import FloatArray, Pdf, as_events, check_index, component_labels, optional_module
from ._table import Table, Tabular

if TYPE_CHECKING:
    from matplotlib.axes import Axes

Column = int | str


def _pandas(what: str) -> Any:
    try:
        return optional_module("pandas")
    except ImportError:
        raise ImportError(f"{what} needs pandas, which is not installed: "
                          f"pip install pandas") from None


def _is_frame(data: Any) -> bool:
    return type(data).__module__.split(".")[0] == "pandas" and hasattr(data, "columns")


def _table_of(data: Any) -> tuple[FloatArray, tuple[str, ...] | None, Any]:
    """The events as the float64 array the PDFs receive, the column names
    (None for an array) and the DataFrame's index (None otherwise)."""
    if _is_frame(data):
        values = np.ascontiguousarray(data.to_numpy(dtype=np.float64))
        return as_events(values), tuple(str(name) for name in data.columns), data.index
    if isinstance(data, Mapping):
        names = tuple(str(name) for name in data)
        columns = [np.asarray(column, dtype=np.float64).reshape(-1) for column in data.values()]
        if len({len(column) for column in columns}) > 1:
            raise ValueError(f"the columns {list(names)} differ in length: "
                             f"{[len(column) for column in columns]}")
        return np.ascontiguousarray(np.column_stack(columns)), names, None
    return np.ascontiguousarray(as_events(data)), None, None


def _declarations(shape_parameters: Sequence[tarnwick.ShapeParameter] | None
                  ) -> list[tuple[str, float, float, float]] | None:
    """The declarations as plain tuples, which pickle (ShapeParameter does not)."""
    if shape_parameters is None:
        return None
    return [(item.name, item.initial, item.lower, item.upper) for item in shape_parameters]


class SPlot(Tabular):
    """An sPlot analysis: data, PDFs and declarations; ``fit()``; then every
    diagnostic as a method.

    Parameters
    ----------
    data : array_like, pandas.DataFrame or dict of columns
        The events, one row per event. A DataFrame's or dict's column names
        can then be used wherever a method takes a column; the PDFs receive
        the float64 array of all columns in their order.
    pdfs : sequence of callable
        One PDF per component, each ``pdf(data, shape) -> densities``.
    shape_parameters : sequence of tarnwick.ShapeParameter or None, optional
        The shape parameters to fit, in the order of ``fit_covariance``.
    weights : array_like or None, optional
        Event weights (any strides; copied to the contiguous array the fit
        needs).
    names : sequence of str or None, optional
        One distinct name per component; "component k" by default.
    initial_yields, max_steps, tolerance
        Passed to ``tarnwick.splot``.

    Raises
    ------
    ValueError, TypeError
        If the data are not two-dimensional, the dict's columns differ in
        length, or `names` are not one distinct string per PDF.
    """

    def __init__(self, data: Any, pdfs: Sequence[Pdf], *,
                 shape_parameters: Sequence[tarnwick.ShapeParameter] | None = None,
                 weights: npt.ArrayLike | None = None, names: Sequence[str] | None = None,
                 initial_yields: npt.ArrayLike | None = None, max_steps: int = 1000,
                 tolerance: float = 1e-8) -> None:
        self.data, self.columns, self._index = _table_of(data)
        self._pdfs: list[Pdf] | None = self._bound(pdfs)
        self._pdfs_missing = ""
        self._declared = _declarations(shape_parameters)
        self.weights = (None if weights is None else
                        np.ascontiguousarray(np.asarray(weights, dtype=np.float64).reshape(-1)))
        self.names = component_labels(names, len(self._pdfs))
        self.initial_yields = (None if initial_yields is None
                               else np.asarray(initial_yields, dtype=np.float64))
        self.max_steps, self.tolerance = max_steps, tolerance
        self._result: tarnwick.SPlotResult | None = None

    # -- the inputs -------------------------------------------------------

    @property
    def pdfs(self) -> list[Pdf]:
        """The PDFs; RuntimeError when they were dropped in pickling."""
        if self._pdfs is None:
            raise RuntimeError(f"this SPlot has no PDFs: {self._pdfs_missing}; give them "
                               f"back with .with_pdfs(pdfs)")
        return self._pdfs

    def with_pdfs(self, pdfs: Sequence[Pdf]) -> SPlot:
        """Gives back the PDFs of an unpickled object whose PDFs could not be
        pickled; returns the object."""
        if len(pdfs) != len(self.names):
            raise ValueError(f"{len(pdfs)} PDFs given for {len(self.names)} components")
        self._pdfs, self._pdfs_missing = self._bound(pdfs), ""
        return self

    def _bound(self, pdfs: Sequence[Pdf]) -> list[Pdf]:
        """The PDFs, with models of tarnwick.models that name their column
        reading it by its index in the data."""
        return [pdf.bind_columns(self.columns) if hasattr(pdf, "bind_columns") else pdf
                for pdf in pdfs]

    @property
    def shape_parameters(self) -> list[tarnwick.ShapeParameter] | None:
        """The declared shape parameters (declared again from plain data)."""
        if self._declared is None:
            return None
        return [tarnwick.ShapeParameter(*item) for item in self._declared]

    @property
    def result(self) -> tarnwick.SPlotResult:
        """The fit's result; RuntimeError before ``fit()``."""
        if self._result is None:
            raise RuntimeError("this SPlot is not fitted yet: call .fit() first")
        return self._result

    @property
    def fitted(self) -> bool:
        return self._result is not None

    def column(self, column: Column) -> int:
        """The index of `column`, given by index or by the data's column name."""
        if not isinstance(column, str):
            return check_index(column, self.data.shape[1], "column",
                               f"the data's {self.data.shape[1]} column(s)")
        if self.columns is None:
            raise ValueError(f"column {column!r} given by name, but the data have no column "
                             f"names: pass a DataFrame or a dict of columns, or an index")
        if column not in self.columns:
            raise ValueError(f"no column is named {column!r}; the columns are "
                             f"{list(self.columns)}")
        return self.columns.index(column)

    def _columns(self, columns: Sequence[Column]) -> list[int]:
        if isinstance(columns, (str, int, np.integer)):
            raise TypeError(f"columns must be a sequence of column names or indices, "
                            f"got {columns!r}")
        return [self.column(column) for column in columns]

    def _inputs(self) -> dict[str, Any]:
        return {"weights": self.weights, "shape_parameters": self.shape_parameters,
                "names": self.names}

    # -- the fit ----------------------------------------------------------

    def fit(self) -> SPlot:
        """Runs ``tarnwick.splot`` on the inputs and keeps its result;
        returns the object, so that ``SPlot(...).fit().summary()`` reads
        on. ``tarnwick.SPlotError`` and the fit's ValueErrors propagate."""
        kwargs: dict[str, Any] = {"max_steps": self.max_steps, "tolerance": self.tolerance}
        for key, value in (("shape_parameters", self.shape_parameters),
                           ("weights", self.weights), ("initial_yields", self.initial_yields)):
            if value is not None:
                kwargs[key] = value
        self._result = tarnwick.splot(self.data, self.pdfs, **kwargs)
        return self

    @property
    def sweights(self) -> FloatArray:
        """The sWeights, one row per event and one column per component."""
        return np.asarray(self.result.sweights, dtype=np.float64)

    def sweights_frame(self) -> Any:
        """The sWeights as a pandas DataFrame: a column per component, named
        by `names`, indexed as the input DataFrame (0, 1, … otherwise), so
        that it joins the events: ``pandas.concat([events, sp.sweights_frame()],
        axis=1)``. ImportError with a clear message without pandas."""
        pandas = _pandas("sweights_frame")
        return pandas.DataFrame(self.sweights, columns=list(self.names), index=self._index)

    # -- the diagnostics, each the function of the same name -------------

    def summary(self, *, windows: Mapping[int, Sequence[float]] | None = None
                ) -> _summary.Summary:
        """With `windows`, also whether every PDF is normalised over them."""
        if windows is None:
            return _summary.summary(self.result, **self._inputs())
        return _summary.summary(self.result, pdfs=self.pdfs, windows=windows, data=self.data,
                                **self._inputs())

    def normalisation(self, windows: Mapping[int, Sequence[float]]
                      ) -> _normalisation.Normalisation:
        """Each PDF's integral over `windows`, at the fitted shape parameters
        (before the fit, at the declared initial values)."""
        values: Any = (self._result.shape_parameters if self._result is not None
                       else list(self.shape_parameters or ()))
        return _normalisation.normalisation(self.pdfs, windows, values, data=self.data,
                                            names=self.names)

    def closure(self) -> _checks.Closure:
        return _checks.closure(self.result, self.data, self.pdfs, **self._inputs())

    def sweight_quality(self) -> _checks.SWeightQuality:
        return _checks.sweight_quality(self.result, names=self.names)

    def control_leakage(self, control_columns: Sequence[Column], *,
                        seed: int = 0) -> _checks.Leakage:
        """Before the fit, at the declared initial values; after it, at the fit."""
        return _checks.control_leakage(self._result, self.data, self.pdfs,
                                       self._columns(control_columns), seed=seed,
                                       shape_parameters=self.shape_parameters, names=self.names)

    def independence(self, discriminant_columns: Sequence[Column],
                     control_columns: Sequence[Column], *,
                     sample: Any = None) -> _independence.Independence:
        """`sample` may be a DataFrame or dict with the data's column names."""
        simulated = None
        if sample is not None:
            simulated, names, _ = _table_of(sample)
            if names is not None and self.columns is not None:
                simulated = simulated[:, [names.index(name) for name in self.columns]]
        return _independence.independence(
            self.result, self.data, self._columns(discriminant_columns),
            self._columns(control_columns), sample=simulated, names=self.names)

    def weighted_covariance(self) -> _weighted.WeightedCovariance:
        return _weighted.weighted_covariance(self.result, self.data, self.pdfs,
                                             **self._inputs())

    def bootstrap(self, n: int, seed: int, *, progress: bool = True,
                  client: Any = None) -> _bootstrap.Bootstrap:
        return _bootstrap.bootstrap(self.result, self.data, self.pdfs, n, seed,
                                    progress=progress, client=client,
                                    max_steps=self.max_steps, tolerance=self.tolerance,
                                    **self._inputs())

    def apply_sweights(self, data: Any, chunk_size: int = 100_000, *,
                       weights: npt.ArrayLike | None = None) -> Any:
        """sWeights of other events (a DataFrame, dict, array or dask array)."""
        events = data if _apply._is_dask_array(data) else _table_of(data)[0]
        return _apply.apply_sweights(self.result, events, self.pdfs, chunk_size,
                                     weights=weights)

    def plot_fit(self, column: Column, **kwargs: Any) -> Axes:
        """``plot_fit``'s keywords (bins, range, ax, pull_ax, xlabel, …);
        the x label defaults to the column's name."""
        kwargs.setdefault("xlabel", column if isinstance(column, str) else None)
        return _plots.plot_fit(self.result, self.data, self.pdfs, self.column(column),
                               weights=self.weights, names=self.names, **kwargs)

    def plot_sweighted(self, column: Column, component: int | str,
                       truth: Callable[[FloatArray], FloatArray] | npt.ArrayLike | None = None,
                       **kwargs: Any) -> Axes:
        kwargs.setdefault("xlabel", column if isinstance(column, str) else None)
        return _plots.plot_sweighted(self.result, self.data, self.column(column), component,
                                     truth, names=self.names, **kwargs)

    def fit_sweighted(self, model: Pdf, parameters: Sequence[tarnwick.ShapeParameter], *,
                      control: Any, component: int | str = 0) -> _sweighted_fit.SWeightedFit:
        """The control model fitted with `component`'s sWeights; `control` is
        an array of one value per event or a column of the data (by index or
        name)."""
        values = (self.data.T[self.column(control)] if isinstance(control, (str, int))
                  else control)
        return _sweighted_fit.fit_sweighted(self.result, self.data, self.pdfs, model,
                                            parameters, control=values, component=component,
                                            **self._inputs())

    def toy_study(self, n_toys: int, seed: int, *, control: _toys.ToyControl | None = None,
                  client: Any = None, progress: bool = True,
                  workers: int | None = None) -> _toys.ToyStudy:
        """Toys drawn from the fitted model (its yields and shape parameters
        as the truth) and fitted as this fit was; the PDFs must be models of
        tarnwick.models, which draw events. `workers` as for
        ``diagnostics.toy_study``."""
        result = self.result
        return _toys.toy_study(self.pdfs, result.yields, dict(result.shape_parameters),
                               shape_parameters=self.shape_parameters, n_toys=n_toys,
                               seed=seed, control=control, client=client, names=self.names,
                               progress=progress, workers=workers,
                               max_steps=self.max_steps, tolerance=self.tolerance)

    # -- display and pickling --------------------------------------------

    def _tables(self) -> list[Table]:
        declared = ", ".join(item[0] for item in self._declared or ()) or "none"
        pdfs = self._pdfs_missing or f"{len(self.names)}"
        inputs = Table(title=f"SPlot of {len(self.data)} events"
                             f"{', weighted' if self.weights is not None else ''}",
                       rows=(("components", ", ".join(self.names)),
                             ("columns", ", ".join(self.columns or ()) or
                              f"{self.data.shape[1]} (unnamed)"),
                             ("shape parameters", declared), ("PDFs", pdfs)),
                       align="ll")
        if self._result is None:
            return [inputs, Table(notes=("not fitted yet: call .fit()",))]
        return [inputs] + self.summary()._tables()

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        try:
            pickle.dumps(self._pdfs)
        except Exception as error:
            # Closures and lambdas do not pickle (cloudpickle sends them to
            # clusters); the rest of the analysis still does.
            state["_pdfs"] = None
            state["_pdfs_missing"] = (f"the PDFs could not be pickled "
                                      f"({type(error).__name__}: {error})")
        return state

    def __setstate__(self, state: dict[str, Any]) -> None:
        self.__dict__.update(state)
