"""Models built from models: a mixture on one column, and a product over
several columns.

    Sum:      f(x) = Σ_{k<n−1} φ_k f_k(x) + (1 − Σ_k φ_k) f_{n−1}(x),
              φ_k ∈ [0, 1], Σ φ_k ≤ 1;
    Product:  f(x_1, …, x_d) = Π_j f_j(x_j), each factor on its own column.

Both are normalised because their parts are: a Sum over the window its
components share, a Product over the box of its factors' windows. They use
only the public interface of `Model` (``pdf``, ``cdf``, ``sample``,
``parameters``), so any shape combines, including other Sums.
"""

from __future__ import annotations

import copy
import math
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np

from ._base import FloatArray, Model, Parameter

# Events per block of a Sum's evaluation: 512 kB per array, within a core's
# cache.
_BLOCK = 65536


class Sum(Model):
    """A mixture of n models on one column and window, with n − 1 fractions.

    Parameters
    ----------
    components : sequence of Model
        The components, all on the same column and window.
    fractions : sequence of str or float
        The fractions of the first n − 1 components, each a parameter name
        (free) or a number (fixed); the last component has the rest. Each
        must lie in [0, 1] and their sum must not exceed 1. (For three or
        more components fitted freely, nested Sums keep each fraction's
        bounds [0, 1] independent of the others.)

    Raises
    ------
    ValueError
        If the components do not share a column and a window, or there is
        not one fraction fewer than components.
    """

    def __init__(self, components: Sequence[Model], fractions: Sequence[Parameter]) -> None:
        parts = list(components)
        if not parts or not all(isinstance(part, Model) for part in parts):
            raise TypeError(f"Sum: components must be a non-empty list of models, "
                            f"got {components!r}")
        if isinstance(fractions, str) or len(fractions) != len(parts) - 1:
            raise ValueError(f"Sum: {len(parts)} components need {len(parts) - 1} "
                             f"fraction(s), got {fractions!r}")
        first = parts[0]
        for part in parts[1:]:
            if part.column != first.column or part.window != first.window:
                raise ValueError(f"Sum: every component must be on the same column and "
                                 f"window; {part!r} differs from {first!r}")
        self.components = tuple(parts)
        self._keywords = tuple(f"fractions[{k}]" for k in range(len(fractions)))
        super().__init__(first.column, first.window, **dict(zip(self._keywords, fractions)))

    _native_shape = "sum"

    def _native(self) -> tuple[Any, ...] | None:  # type: ignore[override]
        """The description of the base, then the components' descriptions
        and the head of the message for fractions adding up to more than 1;
        None when any component is evaluated through Python."""
        own = super()._native()
        components = tuple(part._native() for part in self.components)
        if own is None or any(component is None for component in components):
            return None
        names = ", ".join(f"{bound}" for bound in self._bound.values())
        return (*own, components, f"ValueError: Sum: the fractions ({names}) add up to ")

    def bind_columns(self, names: Sequence[str] | None) -> Sum:
        if isinstance(self.column, int):
            return self
        bound = copy.copy(self)
        bound.components = tuple(part.bind_columns(names) for part in self.components)
        bound.column = bound.components[0].column
        return bound

    @property
    def parameters(self) -> tuple[str, ...]:
        """The fractions' names, then the components', without repeats."""
        names = list(super().parameters)
        for part in self.components:
            names += part.parameters
        return tuple(dict.fromkeys(names))

    def _check(self, p: tuple[float, ...]) -> None:
        for keyword, value in zip(self._keywords, p):
            if not 0.0 <= value <= 1.0:
                raise self._invalid(keyword, value, "must lie in [0, 1]")
        if math.fsum(p) > 1.0 + 1e-12:
            names = ", ".join(f"{bound}" for bound in self._bound.values())
            raise ValueError(f"Sum: the fractions ({names}) add up to {math.fsum(p)!r}, "
                             f"more than 1")

    def weights(self, values: Mapping[str, float]) -> tuple[float, ...]:
        """Every component's weight at `values`, the last one 1 − Σ φ_k."""
        p = self.resolve(values)
        return p + (max(0.0, 1.0 - math.fsum(p)),)

    def pdf(self, x: Any, values: Mapping[str, float]) -> FloatArray:
        """Σ_k w_k f_k(x), each component normalised over the window."""
        weights = self.weights(values)
        x = np.asarray(x, dtype=np.float64)
        low, high = self.window
        if (x.size and low <= x.min() and x.max() <= high
                and all(type(part).pdf is Model.pdf for part in self.components)):
            return self._inside(x, values, weights)
        density = np.zeros(x.shape)
        for part, weight in zip(self.components, weights):
            term = part.pdf(x, values)
            term *= weight
            density += term
        return density

    def _inside(self, x: FloatArray, values: Mapping[str, float],
                weights: tuple[float, ...]) -> FloatArray:
        """The sum at points all inside the window, through the components'
        hooks: each normalisation folded into its weight, and the events
        taken in blocks that stay in the cache, so that no component's
        temporaries span all events."""
        parts = []
        for part, weight in zip(self.components, weights):
            p = part.resolve(values)
            parts.append((part, p, weight / part._mass(p)))
        flat = x.reshape(-1)
        density = np.empty(flat.shape)
        for start in range(0, len(flat), _BLOCK):
            piece, out = flat[start:start + _BLOCK], density[start:start + _BLOCK]
            first, p, scale = parts[0]
            np.multiply(first._unnormalised(piece, p), scale, out=out)
            for part, p, scale in parts[1:]:
                term = part._unnormalised(piece, p)
                term *= scale
                out += term
        return density.reshape(x.shape)

    def cdf(self, x: Any, values: Mapping[str, float]) -> FloatArray:
        """Σ_k w_k F_k(x)."""
        weights = self.weights(values)
        result = np.zeros(np.shape(x))
        for part, weight in zip(self.components, weights):
            result += weight * part.cdf(x, values)
        clipped: FloatArray = np.clip(result, 0.0, 1.0)
        return clipped

    def sample(self, n: int, values: Mapping[str, float],
               rng: np.random.Generator) -> FloatArray:
        """n values: a multinomial split by the weights, each part drawn from
        its component, in a random order."""
        if n < 0:
            raise ValueError(f"n must be non-negative, got {n}")
        weights = np.array(self.weights(values))
        counts = rng.multinomial(int(n), weights / weights.sum())
        drawn = np.concatenate([part.sample(int(count), values, rng)
                                for part, count in zip(self.components, counts)])
        return rng.permutation(drawn)

    def __repr__(self) -> str:
        return f"Sum({list(self.components)!r}, fractions={list(self._bound.values())!r})"


class Product:
    """The product of models on different columns: a density over the box
    of their windows, for several discriminating variables at once.

    ``product(data, values)`` is the product of the factors' densities, each
    at its own column of the two-dimensional `data`. `columns` lists the
    factors' columns in the factors' order, which is also the order of the
    columns of ``sample``.

    Parameters
    ----------
    factors : sequence of Model
        The factors, each on a different column.

    Raises
    ------
    ValueError
        If two factors share a column.
    """

    def __init__(self, factors: Sequence[Model]) -> None:
        parts = list(factors)
        if not parts or not all(isinstance(part, Model) for part in parts):
            raise TypeError(f"Product: factors must be a non-empty list of models, "
                            f"got {factors!r}")
        columns = [part.column for part in parts]
        repeated = sorted({column for column in columns if columns.count(column) > 1})
        if repeated:
            raise ValueError(f"Product: each factor needs its own column; column(s) "
                             f"{repeated} are read by more than one factor")
        self.factors = tuple(parts)

    def _native(self) -> tuple[Any, ...] | None:
        """The description tarnwick.splot reads to evaluate the product
        without calling Python: ("product", the first factor's column and
        window, no parameters, the factors' descriptions); None when any
        factor is evaluated through Python, or for a subclass."""
        if type(self) is not Product:
            return None
        factors = []
        for part in self.factors:
            factor = part._native()
            if factor is None:
                return None
            factors.append(factor)
        first = factors[0]
        return ("product", first[1], first[2], (), tuple(factors))

    def bind_columns(self, names: Sequence[str] | None) -> Product:
        """The product with every factor reading its column by index among
        the data's column `names`."""
        bound = copy.copy(self)
        bound.factors = tuple(part.bind_columns(names) for part in self.factors)
        return bound

    @property
    def columns(self) -> tuple[int | str, ...]:
        """The data columns read, one per factor, in the factors' order."""
        return tuple(part.column for part in self.factors)

    @property
    def windows(self) -> tuple[tuple[float, float], ...]:
        """Each factor's window, in the factors' order."""
        return tuple(part.window for part in self.factors)

    @property
    def parameters(self) -> tuple[str, ...]:
        """The names of the shape parameters the factors read, without repeats."""
        return tuple(dict.fromkeys(name for part in self.factors for name in part.parameters))

    def __call__(self, data: Any, values: Mapping[str, float]) -> FloatArray:
        """Π_j f_j at every row of the two-dimensional `data`."""
        array = np.asarray(data, dtype=np.float64)
        if array.ndim != 2:
            raise ValueError(f"Product: data must be two-dimensional (one row per event), "
                             f"got {array.ndim} dimension(s)")
        density = self.factors[0](array, values)
        for part in self.factors[1:]:
            density *= part(array, values)
        return density

    def integral(self, low: Sequence[float], high: Sequence[float],
                 values: Mapping[str, float]) -> float:
        """The probability of the box [low_j, high_j] (one range per factor,
        in the order of `columns`), intersected with the windows.

        A range over one column alone is a factor's own ``integral``."""
        if len(low) != len(self.factors) or len(high) != len(self.factors):
            raise ValueError(f"Product: integral needs one (low, high) per factor "
                             f"({len(self.factors)}), in the order of columns {self.columns}")
        return math.prod(part.integral(a, b, values)
                         for part, a, b in zip(self.factors, low, high))

    def sample(self, n: int, values: Mapping[str, float],
               rng: np.random.Generator) -> FloatArray:
        """n events, shape (n, len(columns)), column j drawn from factor j."""
        if n < 0:
            raise ValueError(f"n must be non-negative, got {n}")
        return np.column_stack([part.sample(int(n), values, rng) for part in self.factors]
                               ).reshape(int(n), len(self.factors))

    def __repr__(self) -> str:
        return f"Product({list(self.factors)!r})"
