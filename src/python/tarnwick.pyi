"""Joint extended-likelihood fitting and sWeight calculation."""

import collections.abc
from typing import final

import numpy
import numpy.typing

__all__ = ["ShapeParameter", "SPlotResult", "splot", "SPlotError"]

__version__: str

@final
class ShapeParameter:
    """Shared shape parameter used by the joint yield-and-shape fit."""

    def __new__(
        cls, name: str, initial: float, lower: float = ..., upper: float = ...
    ) -> ShapeParameter:
        """Create an immutable shape-parameter declaration."""

    @property
    def name(self) -> str: ...
    @property
    def initial(self) -> float: ...
    @property
    def lower(self) -> float: ...
    @property
    def upper(self) -> float: ...
    def __repr__(self) -> str: ...

@final
class SPlotResult:
    """Result of a joint yield-and-shape fit and its sWeight calculation."""

    @property
    def yields(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def yield_errors(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def covariance(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def sweights(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def fit_covariance(self) -> numpy.typing.NDArray[numpy.float64]: ...
    @property
    def shape_parameters(self) -> dict[str, float]: ...
    @property
    def shape_errors(self) -> dict[str, float]: ...
    @property
    def minimum_nll(self) -> float: ...
    @property
    def success(self) -> bool: ...
    @property
    def message(self) -> str: ...
    @property
    def objective_evaluations(self) -> int: ...
    @property
    def gradient_evaluations(self) -> int: ...
    @property
    def hessian_evaluations(self) -> int: ...

class SPlotError(RuntimeError): ...

def splot(
    data: numpy.typing.ArrayLike,
    pdfs: list[
        collections.abc.Callable[
            [numpy.typing.NDArray[numpy.float64], dict[str, float]],
            numpy.typing.NDArray[numpy.float64],
        ]
    ],
    *,
    shape_parameters: list[ShapeParameter] | None = None,
    initial_yields: list[float] | None = None,
    weights: numpy.typing.ArrayLike | None = None,
    max_steps: int | None = ...,
    tolerance: float = 1e-8,
) -> SPlotResult:
    """Fit component yields and shared shape parameters, then calculate sWeights."""
