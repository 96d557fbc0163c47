"""The cost of evaluating tarnwick.models at 10⁶ events, against the fastest
straightforward NumPy expression of the same normalised density and, where
numba-stats has the same shape, against numba-stats.

    python benchmarks/models.py [--events N] [--repeats R]

Each case is (name, model, values, numpy_expression, numba_stats_expression
or None); the expressions take the column x and return the same densities.
"""

from __future__ import annotations

import argparse
import time
from collections.abc import Callable
from typing import Any

import numpy as np

Case = tuple[str, Any, dict[str, float], Callable[[np.ndarray], np.ndarray],
             Callable[[np.ndarray], np.ndarray] | None]


def cases(x: np.ndarray) -> list[Case]:
    """Every shape's case; the window is [x.min(), x.max()] rounded out."""
    table: list[Case] = []
    # -- peaks --
    # -- backgrounds, polynomials, templates and combinators --
    return table


def best_time(function: Callable[[], object], repeats: int) -> float:
    function()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--events", type=int, default=1_000_000)
    parser.add_argument("--repeats", type=int, default=15)
    arguments = parser.parse_args()
    rng = np.random.default_rng(1)
    x = rng.uniform(5.0, 5.6, arguments.events)
    data = x[:, None].copy()
    print(f"{'shape':<22} {'model ms':>9} {'numpy ms':>9} {'ratio':>6} {'numba-stats ms':>15}")
    for name, model, values, expression, numba in cases(x):
        reference = expression(x)
        got = model(data, values)
        difference = float(np.max(np.abs(got - reference) / np.maximum(np.abs(reference), 1e-300)))
        t_model = best_time(lambda: model(data, values), arguments.repeats)
        t_numpy = best_time(lambda: expression(x), arguments.repeats)
        t_numba = best_time(lambda: numba(x), arguments.repeats) if numba else float("nan")
        print(f"{name:<22} {1e3 * t_model:>9.2f} {1e3 * t_numpy:>9.2f} "
              f"{t_model / t_numpy:>6.2f} {1e3 * t_numba:>15.2f}   (max rel. diff {difference:.1e})")


if __name__ == "__main__":
    main()
