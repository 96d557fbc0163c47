"""Independent, indexed tasks run here one after another or as tasks of a
dask.distributed cluster, with a progress bar: what bootstraps and toy
studies share.

Task t is ``function(shared, t)``; its outcome may depend only on `shared`
and t, so that a run on a cluster equals the local run bit for bit.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar

from ._model import optional_module
from ._progress import Bar

Shared = TypeVar("Shared")
Outcome = TypeVar("Outcome")


def check_client(client: Any, what: str) -> None:
    """Raises TypeError unless `client` is a dask.distributed Client."""
    distributed = optional_module("distributed", required=False)
    if distributed is None or not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a dask.distributed Client (or None to run the "
                        f"{what} here), got {type(client).__name__}")


def run_tasks(function: Callable[[Shared, int], Outcome], shared: Shared, n: int,
              client: Any, bar: Bar) -> list[Outcome]:
    """The outcomes of tasks 0 … n − 1 in task order; on `client`'s cluster
    when it is not None. An exception of a task propagates (on a cluster,
    that of the first failing task to finish, and the queued ones are
    cancelled)."""
    if client is None:
        outcomes = []
        for task in range(n):
            outcomes.append(function(shared, task))
            bar.update(1)
        return outcomes
    distributed = optional_module("distributed")
    # One copy of what the tasks share per worker, not one per task.
    scattered = client.scatter(shared, broadcast=True, hash=False)
    futures = [client.submit(function, scattered, task, pure=False) for task in range(n)]
    task_of = {future.key: task for task, future in enumerate(futures)}
    results: list[Outcome | None] = [None] * n
    try:
        for future in distributed.as_completed(futures):
            results[task_of[future.key]] = future.result()
            bar.update(1)
    except BaseException:
        client.cancel(futures + [scattered])
        raise
    return [result for result in results if result is not None]
