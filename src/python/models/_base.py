"""The base of every model: a density of one data column, normalised over a
window, whose parameters are either names (free: read from the dict of
shape-parameter values the fit passes) or numbers (fixed).

A shape implements four hooks on the *resolved* parameters (a tuple of
floats in the order of its `_keywords`):

* ``_check(p)``            raise ValueError naming an invalid parameter value;
* ``_unnormalised(x, p)``  the density up to a constant, on x in the window;
* ``_primitive(x, p)``     a primitive F of it with F(low) = 0, for the
                           integral over the window and over sub-ranges;
                           where it loses precision (a tail), the shape
                           overrides ``_mass`` as well;
* ``_draw(n, p, rng)``     n values inside the window with this density
                           (the default inverts ``_primitive`` numerically).

``model(data, values)`` is the protocol of tarnwick.splot's PDFs.
"""

from __future__ import annotations

import copy
import math
import numbers
import weakref
from collections.abc import Mapping, Sequence
from typing import Any, TypeAlias

import numpy as np

FloatArray: TypeAlias = np.ndarray[tuple[Any, ...], np.dtype[np.float64]]
Parameter: TypeAlias = str | float


def _is_number(value: object) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def check_window(window: Sequence[float]) -> tuple[float, float]:
    """The window as two finite floats, low < high."""
    if len(window) != 2:
        raise ValueError(f"window must be (low, high), got {window!r}")
    low, high = float(window[0]), float(window[1])
    if not (math.isfinite(low) and math.isfinite(high) and low < high):
        raise ValueError(f"window must be finite with low < high, got ({low!r}, {high!r})")
    return low, high


def check_column(column: object) -> int | str:
    """A column index (non-negative) or a column name (non-empty)."""
    if isinstance(column, str) and column:
        return column
    if not isinstance(column, (int, np.integer)) or isinstance(column, bool) or column < 0:
        raise ValueError(f"column must be a non-negative integer or a column name, "
                         f"got {column!r}")
    return int(column)


def column_index(column: int | str, names: Sequence[str] | None, model: object) -> int:
    """The index of `column` among the data's column `names`."""
    if isinstance(column, int):
        return column
    if names is None:
        raise ValueError(f"{model!r} reads the column {column!r} by name, but the data "
                         f"have no column names: pass a DataFrame or a dict of columns")
    if column not in names:
        raise ValueError(f"{model!r} reads the column {column!r}, which the data do not "
                         f"have; their columns are {list(names)}")
    return list(names).index(column)


class Model:
    """A density of one column of the data, normalised over `window`.

    Parameters given as names are free (read from the values dict at each
    call), numbers are fixed. `parameters` lists the names the model reads,
    in the order of its keywords.
    """

    _keywords: tuple[str, ...] = ()

    def __init__(self, column: int | str, window: Sequence[float],
                 **bound: Parameter) -> None:
        self.column: int | str = check_column(column)
        self.window = check_window(window)
        self._bound: dict[str, Parameter] = {}
        for keyword in self._keywords:
            value = bound[keyword]
            if isinstance(value, str):
                if not value:
                    raise ValueError(f"the name given for {keyword} is empty")
                self._bound[keyword] = value
            elif _is_number(value):
                self._bound[keyword] = float(value)
            else:
                raise TypeError(f"{keyword} must be a parameter name or a number, "
                                f"got {value!r}")

    @property
    def parameters(self) -> tuple[str, ...]:
        """The names of the shape parameters the model reads, without repeats."""
        names = (value for value in self._bound.values() if isinstance(value, str))
        return tuple(dict.fromkeys(names))

    @property
    def columns(self) -> tuple[int | str, ...]:
        """The data columns the model reads."""
        return (self.column,)

    def bind_columns(self, names: Sequence[str] | None) -> Model:
        """The model reading its column by index among the data's column
        `names` (itself when it reads a column by index): what
        ``diagnostics.SPlot`` does for a DataFrame or a dict of columns."""
        if isinstance(self.column, int):
            return self
        bound = copy.copy(self)
        bound.__dict__.pop("_checked_inside", None)
        bound.column = column_index(self.column, names, self)
        return bound

    def resolve(self, values: Mapping[str, float]) -> tuple[float, ...]:
        """The model's parameters at `values`, checked, in keyword order."""
        resolved = []
        for keyword in self._keywords:
            bound = self._bound[keyword]
            if isinstance(bound, str):
                try:
                    value = float(values[bound])
                except KeyError:
                    present = ", ".join(repr(name) for name in values) or "none"
                    raise KeyError(f"{type(self).__name__} reads the shape parameter "
                                   f"{bound!r} ({keyword}), which is missing; the "
                                   f"parameters present are {present}") from None
            else:
                value = bound
            resolved.append(value)
        p = tuple(resolved)
        self._check(p)
        return p

    def _invalid(self, keyword: str, value: float, why: str) -> ValueError:
        """The error for a parameter value outside the shape's domain."""
        return ValueError(f"{self._invalid_head(keyword)}{value!r} {why}")

    def _invalid_head(self, keyword: str) -> str:
        """The message of `_invalid` up to the value: "Gaussian: sigma ('w') = "."""
        bound = self._bound.get(keyword, keyword)
        name = f"{keyword} ({bound!r})" if isinstance(bound, str) and bound != keyword \
            else keyword
        return f"{type(self).__name__}: {name} = "

    # The name under which tarnwick.splot evaluates the shape natively, set
    # only on the library's own classes that it evaluates so.
    _native_shape: str | None = None

    def _native(self) -> tuple[str, int, tuple[float, float],
                               tuple[tuple[Parameter, str], ...]] | None:
        """The description splot reads to evaluate this model without
        calling Python: (shape, column, window, per keyword (its name or
        fixed value, the head of its ValueError message)); None when the
        model is evaluated through Python, as every instance of a subclass
        is (its class may change any hook)."""
        shape = type(self).__dict__.get("_native_shape")
        if not isinstance(shape, str) or isinstance(self.column, str):
            return None
        parameters = tuple((self._bound[keyword], "ValueError: " + self._invalid_head(keyword))
                           for keyword in self._keywords)
        return shape, self.column, self.window, parameters

    # -- the protocol of splot's PDFs ----------------------------------------------------------

    def __call__(self, data: Any, values: Mapping[str, float]) -> FloatArray:
        """The normalised density at every row of `data` (column `column`;
        a 1-D array is the column itself); zero outside the window."""
        array = np.asarray(data, dtype=np.float64)
        x = self._column_of(array)
        if array.flags.writeable or type(self).pdf is not Model.pdf:
            return self.pdf(x, values)
        # A fit hands the same read-only array to every call: once it is
        # known to lie inside the window, the check is not repeated.
        known = self.__dict__.get("_checked_inside")
        p = self.resolve(values)
        if known is not None and known() is array:
            return self._inside_density(x, p)
        if self._all_inside(x):
            self._checked_inside = weakref.ref(array)
            return self._inside_density(x, p)
        return self._masked_density(x, p)

    def __getstate__(self) -> dict[str, Any]:
        state = dict(self.__dict__)
        state.pop("_checked_inside", None)
        return state

    def _column_of(self, data: Any) -> FloatArray:
        array = np.asarray(data, dtype=np.float64)
        if array.ndim == 1:
            return array
        if isinstance(self.column, str):
            raise TypeError(f"{self!r} reads the column {self.column!r} by name: fit it "
                            f"through diagnostics.SPlot with a DataFrame or a dict of "
                            f"columns, or give the column's index")
        return array[:, self.column]

    # -- the distribution ----------------------------------------------------------------------

    def pdf(self, x: Any, values: Mapping[str, float]) -> FloatArray:
        """The normalised density at the points `x`; zero outside the window."""
        p = self.resolve(values)
        x = np.asarray(x, dtype=np.float64)
        if self._all_inside(x):
            return self._inside_density(x, p)
        return self._masked_density(x, p)

    def _all_inside(self, x: FloatArray) -> bool:
        low, high = self.window
        return x.size > 0 and bool(low <= x.min()) and bool(x.max() <= high)

    def _inside_density(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        """The density at points all inside the window: no masks."""
        density = self._unnormalised(x, p)
        # A shape normalised by construction (mass 1) skips the scaling pass.
        scale = 1.0 / self._mass(p)
        if scale != 1.0:
            density *= scale
        return density

    def _masked_density(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        low, high = self.window
        inside = (x >= low) & (x <= high)
        density = self._unnormalised(np.where(inside, x, low), p)
        scale = 1.0 / self._mass(p)
        if scale != 1.0:
            density *= scale
        density[~inside] = 0.0
        return density

    def cdf(self, x: Any, values: Mapping[str, float]) -> FloatArray:
        """The probability below `x` within the window (0 below, 1 above)."""
        p = self.resolve(values)
        low, high = self.window
        x = np.clip(np.asarray(x, dtype=np.float64), low, high)
        return np.clip(self._primitive(x, p) / self._mass(p), 0.0, 1.0)

    def integral(self, low: float, high: float, values: Mapping[str, float]) -> float:
        """The probability of [low, high] ∩ window."""
        return float(np.diff(self.cdf(np.array([low, high]), values))[0]) \
            if low <= high else -self.integral(high, low, values)

    def sample(self, n: int, values: Mapping[str, float],
               rng: np.random.Generator) -> FloatArray:
        """n values drawn from the model inside the window."""
        if n < 0:
            raise ValueError(f"n must be non-negative, got {n}")
        return self._draw(int(n), self.resolve(values), rng)

    # -- hooks ---------------------------------------------------------------------------------

    def _check(self, p: tuple[float, ...]) -> None:
        """Raise ValueError for a parameter value outside the domain."""

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        """A new array (never a view of x: the caller scales it in place)."""
        raise NotImplementedError

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        raise NotImplementedError

    def _mass(self, p: tuple[float, ...]) -> float:
        """The integral of the unnormalised density over the window."""
        return float(self._primitive(np.array([self.window[1]]), p)[0])

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        return inverse_cdf_draw(self, n, p, rng)

    def __repr__(self) -> str:
        bound = ", ".join(f"{key}={value!r}" for key, value in self._bound.items())
        return f"{type(self).__name__}(column={self.column}, window={self.window}, {bound})"


def inverse_cdf_draw(model: Model, n: int, p: tuple[float, ...],
                     rng: np.random.Generator) -> FloatArray:
    """Draws by inverting the model's primitive on a fine grid, then polishing
    each draw by Newton steps on the exact primitive."""
    low, high = model.window
    grid = np.linspace(low, high, 4097)
    mass = model._mass(p)
    cumulative = model._primitive(grid, p) / mass
    u = rng.random(n)
    x = np.interp(u, cumulative, grid)
    for _ in range(3):
        density = model._unnormalised(x, p) / mass
        step = (model._primitive(x, p) / mass - u) / np.where(density > 0, density, np.inf)
        x = np.clip(x - step, low, high)
    return x
