"""Polynomial shapes on the window, normalised in closed form.

With w = b − a the window's width,

    Chebyshev:  f(x) ∝ 1 + Σ_{k=1}^n c_k T_k(x'),  x' = (2x − a − b)/w ∈ [−1, 1],
                ∫_a^b f dx = (w/2) (2 + Σ_{k even} 2 c_k / (1 − k²));
    Bernstein:  f(x) ∝ Σ_{k=0}^n c_k C(n,k) t^k (1 − t)^{n−k},  t = (x − a)/w ∈ [0, 1],
                ∫_a^b f dx = w Σ_k c_k / (n + 1).

Both are evaluated by Horner's rule on their coefficients in powers of x'
(resp. t), converted exactly once per call: two in-place passes over the
events per degree. The rounding error of the power form is bounded by
ε Σ_j |a_j| (a_j the power coefficients), which stays near ε Σ |c_k| for
the low degrees a background needs (it grows like 2^n with the degree).

A density must not be negative: a negative Bernstein coefficient is
rejected, and so is a Chebyshev series negative anywhere in the window
(its minimum is found among the roots of its derivative and the ends).
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
from numpy.polynomial import chebyshev, polynomial

from ._base import FloatArray, Model, Parameter


def _horner(t: FloatArray, power_coefficients: FloatArray) -> FloatArray:
    """Σ_j a_j t^j as a new array, in place after the first pass."""
    a = power_coefficients
    if len(a) == 1:
        return np.full(t.shape, a[0])
    y = np.multiply(t, a[-1])
    y += a[-2]
    for coefficient in a[-3::-1]:
        y *= t
        y += coefficient
    result: FloatArray = y
    return result


class _Polynomial(Model):
    """A polynomial in the window's reduced variable, with its coefficients
    bound as the keywords coefficients[0], coefficients[1], …"""

    _origin = 0.0  # the reduced variable at the window's low edge

    def __init__(self, column: int, window: Sequence[float],
                 coefficients: Sequence[Parameter]) -> None:
        if isinstance(coefficients, str):
            raise TypeError("coefficients must be a list of parameter names and numbers, "
                            f"got the string {coefficients!r}")
        coefficients = list(coefficients)
        self._keywords = tuple(f"coefficients[{k}]" for k in range(len(coefficients)))
        super().__init__(column, window, **dict(zip(self._keywords, coefficients)))

    def _reduced(self, x: FloatArray) -> FloatArray:
        """The reduced variable of the window at x, as a new array."""
        raise NotImplementedError

    def _power(self, p: tuple[float, ...]) -> FloatArray:
        """The coefficients in powers of the reduced variable."""
        raise NotImplementedError

    def _jacobian(self) -> float:
        """dx / d(reduced variable)."""
        raise NotImplementedError

    def _unnormalised(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        return _horner(self._reduced(x), self._power(p))

    def _primitive(self, x: FloatArray, p: tuple[float, ...]) -> FloatArray:
        integral = polynomial.polyint(self._power(p), lbnd=self._origin)
        values = polynomial.polyval(self._reduced(x), integral)
        result: FloatArray = np.asarray(values, dtype=np.float64) * self._jacobian()
        return result

    def _describe(self, p: tuple[float, ...]) -> str:
        return ", ".join(f"{bound if isinstance(bound, str) else keyword} = {value!r}"
                         for keyword, bound, value in zip(self._keywords,
                                                          self._bound.values(), p))


class Chebyshev(_Polynomial):
    """f(x) ∝ 1 + Σ_{k=1}^n c_k T_k(x'), x' the window mapped onto [−1, 1].

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high).
    coefficients : sequence of str or float
        c_1, …, c_n (the constant term is 1), each a parameter name (free)
        or a number (fixed); an empty list is the flat density.

    Raises
    ------
    ValueError
        At a parameter point where the series is negative somewhere in the
        window, naming the coefficients and where.
    """

    _origin = -1.0
    _native_shape = "chebyshev"

    def _reduced(self, x: FloatArray) -> FloatArray:
        low, high = self.window
        t = np.multiply(x, 2.0 / (high - low))
        t -= (low + high) / (high - low)
        return t

    def _series(self, p: tuple[float, ...]) -> FloatArray:
        return np.array((1.0,) + p)

    def _power(self, p: tuple[float, ...]) -> FloatArray:
        power: FloatArray = np.asarray(chebyshev.cheb2poly(self._series(p)), dtype=np.float64)
        return power

    def _jacobian(self) -> float:
        return 0.5 * (self.window[1] - self.window[0])

    def _mass(self, p: tuple[float, ...]) -> float:
        even = sum(2.0 * c / (1.0 - k * k) for k, c in enumerate(p, start=1) if k % 2 == 0)
        return self._jacobian() * (2.0 + even)

    def _check(self, p: tuple[float, ...]) -> None:
        if not all(math.isfinite(c) for c in p):
            raise ValueError(f"Chebyshev: every coefficient must be finite, got "
                             f"{self._describe(p)}")
        series = self._series(p)
        candidates = [-1.0, 1.0]
        if len(series) > 2:
            roots = chebyshev.chebroots(chebyshev.chebder(series))
            candidates += [float(r.real) for r in np.atleast_1d(roots)
                           if abs(r.imag) <= 1e-8 and -1.0 <= r.real <= 1.0]
        values = chebyshev.chebval(np.array(candidates), series)
        lowest = int(np.argmin(values))
        if values[lowest] < 0.0:
            low, high = self.window
            where = low + 0.5 * (candidates[lowest] + 1.0) * (high - low)
            raise ValueError(f"Chebyshev: with {self._describe(p)} the polynomial is "
                             f"{values[lowest]:.6g} at x = {where:.6g} in the window "
                             f"{self.window}; a density must not be negative there")


class Bernstein(_Polynomial):
    """f(x) ∝ Σ_{k=0}^n c_k b_{k,n}(t), t the window mapped onto [0, 1].

    Parameters
    ----------
    column : int or str
        The data column the model reads: its index, or its name for the
        DataFrames of ``diagnostics.SPlot``.
    window : (float, float)
        The window (low, high).
    coefficients : sequence of str or float
        c_0, …, c_n (at least one), each a parameter name (free) or a
        number (fixed); each must be ≥ 0 and not all 0.
    """

    _native_shape = "bernstein"

    def __init__(self, column: int, window: Sequence[float],
                 coefficients: Sequence[Parameter]) -> None:
        super().__init__(column, window, coefficients)
        if not self._keywords:
            raise ValueError("Bernstein needs at least one coefficient")
        degree = len(self._keywords) - 1
        # a_j = Σ_{k≤j} c_k C(n,k) C(n−k, j−k) (−1)^{j−k}: the matrix of integers.
        self._to_power = tuple(
            tuple(float(math.comb(degree, k) * math.comb(degree - k, j - k) * (-1) ** (j - k))
                  if k <= j else 0.0 for k in range(degree + 1)) for j in range(degree + 1))

    def _reduced(self, x: FloatArray) -> FloatArray:
        low, high = self.window
        t = np.subtract(x, low)
        t *= 1.0 / (high - low)
        return t

    def _power(self, p: tuple[float, ...]) -> FloatArray:
        # Each sum of products rounded once: the same bits on every machine,
        # where a matrix product's order and fused multiply-adds depend on
        # the BLAS kernel.
        return np.array([math.fsum(m * c for m, c in zip(row, p)) for row in self._to_power])

    def _jacobian(self) -> float:
        return self.window[1] - self.window[0]

    def _mass(self, p: tuple[float, ...]) -> float:
        return self._jacobian() * math.fsum(p) / len(p)

    def _check(self, p: tuple[float, ...]) -> None:
        for keyword, value in zip(self._keywords, p):
            if not (math.isfinite(value) and value >= 0.0):
                raise self._invalid(keyword, value, "must be finite and >= 0")
        if not any(p):
            raise ValueError(f"Bernstein: the coefficients are all zero ({self._describe(p)}): "
                             f"no density")
