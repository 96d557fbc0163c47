"""A histogram from simulation as a density: no free parameters.

With edges e_0 < … < e_m and counts n_i ≥ 0, the bin densities are
d_i = n_i / (e_{i+1} − e_i).

* ``interpolation="constant"``: f = d_i on [e_i, e_{i+1}), the histogram
  itself.
* ``interpolation="linear"``: f is linear between the bin centres through
  the d_i and flat from the outer centres to the outer edges (the values
  np.interp gives); its integral over each bin differs from n_i by a
  second-order term.

Either is a piecewise-linear function on a list of nodes, so its primitive
is piecewise quadratic: closed-form normalisation over the window (any
sub-range of [e_0, e_m]) and exact inverse-CDF sampling.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._base import FloatArray, Model, check_window


def _validated(edges: npt.ArrayLike, counts: npt.ArrayLike) -> tuple[FloatArray, FloatArray]:
    e = np.asarray(edges, dtype=np.float64)
    n = np.asarray(counts, dtype=np.float64)
    if e.ndim != 1 or len(e) < 2:
        raise ValueError(f"Template: edges must be a 1-D list of at least 2 values, "
                         f"got shape {e.shape}")
    if not np.isfinite(e).all() or not (np.diff(e) > 0.0).all():
        raise ValueError("Template: edges must be finite and strictly increasing")
    if n.shape != (len(e) - 1,):
        raise ValueError(f"Template: {len(e)} edges need {len(e) - 1} counts, "
                         f"got shape {n.shape}")
    if not np.isfinite(n).all() or (n < 0.0).any():
        bad = int(np.flatnonzero(~(np.isfinite(n) & (n >= 0.0)))[0])
        raise ValueError(f"Template: counts must be finite and >= 0, got {float(n[bad])!r} "
                         f"in bin {bad}")
    return e, n


class Template(Model):
    """A histogram (edges, counts) as a density normalised over the window.

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    edges : array_like
        The bin edges, strictly increasing.
    counts : array_like
        One count (or weight sum) ≥ 0 per bin.
    interpolation : {"constant", "linear"}
        The histogram itself, or linear between the bin centres.
    window : (float, float) or None
        The window, inside [edges[0], edges[-1]]; None (the default) for
        the whole histogram.

    Raises
    ------
    ValueError
        For edges that are not increasing, counts that do not match them or
        are negative, a window outside the edges, or a histogram with no
        content in the window.
    """

    def __init__(self, column: int, edges: npt.ArrayLike, counts: npt.ArrayLike,
                 interpolation: str = "constant",
                 window: Sequence[float] | None = None) -> None:
        e, n = _validated(edges, counts)
        low, high = check_window((e[0], e[-1]) if window is None else window)
        if low < e[0] or high > e[-1]:
            raise ValueError(f"Template: the window ({low!r}, {high!r}) is not inside the "
                             f"edges [{e[0]!r}, {e[-1]!r}]")
        super().__init__(column, (low, high))
        density = n / np.diff(e)
        if interpolation == "constant":
            # A step at each inner edge: two nodes at the same x.
            self._nodes = np.repeat(e, 2)[1:-1]
            self._values = np.repeat(density, 2)
        elif interpolation == "linear":
            self._nodes = np.concatenate([[e[0]], 0.5 * (e[1:] + e[:-1]), [e[-1]]])
            self._values = np.concatenate([[density[0]], density, [density[-1]]])
        else:
            raise ValueError(f"Template: interpolation must be 'constant' or 'linear', "
                             f"got {interpolation!r}")
        self.interpolation = interpolation
        self.edges, self.counts = e, n
        widths = np.diff(e)
        self._equal_bins = bool(np.all(np.abs(widths - widths[0]) <= 1e-12 * widths[0]))
        self._density = density
        segment = 0.5 * (self._values[1:] + self._values[:-1]) * np.diff(self._nodes)
        self._cumulative = np.concatenate([[0.0], np.cumsum(segment)])
        base = self._below(np.array([low, high]))
        self._offset, total = float(base[0]), float(base[1] - base[0])
        if not total > 0.0:
            raise ValueError(f"Template: the histogram has no content in the window "
                             f"({low!r}, {high!r})")
        # Normalised once here, so that an evaluation is one look-up.
        self._scale = 1.0 / total
        self._density *= self._scale
        self._values *= self._scale
        self._cumulative *= self._scale
        self._offset *= self._scale

    _native_shape = "template"

    def _native(self) -> tuple[Any, ...] | None:  # type: ignore[override]
        """The description of the base, then the normalised histogram:
        (linear, equal bins, the edges or nodes, the bin densities or node
        values)."""
        own = super()._native()
        if own is None:
            return None
        if self.interpolation == "linear":
            table = (True, False, tuple(self._nodes.tolist()), tuple(self._values.tolist()))
        else:
            table = (False, self._equal_bins, tuple(self.edges.tolist()),
                     tuple(self._density.tolist()))
        return (*own, table)

    def _segment(self, x: FloatArray) -> npt.NDArray[np.intp]:
        index = np.searchsorted(self._nodes, x, side="right") - 1
        return np.clip(index, 0, len(self._nodes) - 2)

    def _below(self, x: FloatArray) -> FloatArray:
        """∫_{e_0}^x f, piecewise quadratic."""
        j = self._segment(x)
        start, v0 = self._nodes[j], self._values[j]
        width = self._nodes[j + 1] - start
        slope = np.divide(self._values[j + 1] - v0, width, out=np.zeros_like(v0),
                          where=width > 0.0)
        t = x - start
        result: FloatArray = self._cumulative[j] + t * (v0 + 0.5 * slope * t)
        return result

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        if self.interpolation == "constant":
            n_bins = len(self._density)
            if self._equal_bins:
                # Equal widths: the bin by arithmetic, not by bisection.
                t = np.subtract(x, self.edges[0])
                t *= n_bins / (self.edges[-1] - self.edges[0])
                index = t.astype(np.intp)
            else:
                index = np.searchsorted(self.edges, x, side="right")
                index -= 1
            np.clip(index, 0, n_bins - 1, out=index)
            looked_up: FloatArray = self._density[index]
            return looked_up
        interpolated: FloatArray = np.interp(x, self._nodes, self._values)
        return interpolated

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        result: FloatArray = self._below(x) - self._offset
        return result

    def _mass(self, p: tuple[float, ...]) -> float:
        return 1.0

    def _draw(self, n: int, p: tuple[float, ...], rng: np.random.Generator) -> FloatArray:
        # Invert ∫_{e_0}^x f = q on the segment holding q: there
        # v0 t + s t²/2 = r, solved as t = 2r / (v0 + √(v0² + 2 s r)).
        low, high = self.window
        q = self._offset + rng.random(n)
        j = np.clip(np.searchsorted(self._cumulative, q, side="right") - 1,
                    0, len(self._nodes) - 2)
        start, v0 = self._nodes[j], self._values[j]
        width = self._nodes[j + 1] - start
        slope = np.divide(self._values[j + 1] - v0, width, out=np.zeros_like(v0),
                          where=width > 0.0)
        r = q - self._cumulative[j]
        root = np.sqrt(np.maximum(v0 * v0 + 2.0 * slope * r, 0.0))
        denominator = v0 + root
        t = np.divide(2.0 * r, denominator, out=np.zeros_like(r), where=denominator > 0.0)
        drawn: FloatArray = np.clip(start + t, low, high)
        return drawn

    def __repr__(self) -> str:
        return (f"Template(column={self.column}, {len(self.counts)} bins on "
                f"[{self.edges[0]:g}, {self.edges[-1]:g}], interpolation="
                f"{self.interpolation!r}, window={self.window})")

