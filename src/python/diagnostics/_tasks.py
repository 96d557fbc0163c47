"""Independent, indexed tasks run here one after another, in worker
processes of this machine, or as tasks of a dask.distributed cluster, with
a progress bar: what bootstraps and toy studies share.

Task t is ``function(shared, t)``; its outcome may depend only on `shared`
and t, so that a run on a cluster or in several processes equals the run
in one bit for bit.
"""

from __future__ import annotations

import ctypes
import multiprocessing
import os
import signal
import sys
import warnings
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


def local_workers(workers: int | None) -> int:
    """The processes a local run may use: `workers`, or by default the CPUs
    this process may run on. Raises ValueError for a count below 1."""
    if workers is None:
        return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer or None, got {workers!r}")
    return workers


# In a worker process: what its tasks share and the slices' edges, handed
# to it when it is forked (inherited, not pickled).
_forked: tuple[Callable[[Any, int], Any], Any, list[int]] | None = None


def _end_with_parent() -> None:
    """Asks Linux to end this process when the one that forked it ends, so
    that a study whose process is killed leaves no workers fitting on."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(1, signal.SIGKILL, 0, 0, 0)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass
    if os.getppid() == 1:  # the parent ended before the request was made
        os._exit(1)


def _start_worker(started: Any, cpus: list[int],
                  forked: tuple[Callable[[Any, int], Any], Any, list[int]]) -> None:
    """A worker process's start: it keeps what its tasks share and runs on
    one CPU of its own (the next one, in turn), so that its fits use one
    thread each instead of contending for every CPU."""
    global _forked
    _forked = forked
    _end_with_parent()
    with started.get_lock():
        k = started.value
        started.value += 1
    os.sched_setaffinity(0, {cpus[k % len(cpus)]})


def _run_slice(k: int) -> tuple[int, list[Any]]:
    assert _forked is not None
    function, shared, edges = _forked
    return k, [function(shared, task) for task in range(edges[k], edges[k + 1])]


def _run_in_processes(function: Callable[[Shared, int], Outcome], shared: Shared, n: int,
                      workers: int, bar: Bar) -> list[Outcome]:
    """The tasks in `workers` forked processes, each on a CPU of its own, in
    contiguous slices (a few per process, so that the bar moves and the load
    evens out). On an exception here (an interruption) or in a task the
    processes are terminated at once."""
    n_slices = min(n, 4 * workers)
    edges = [n * k // n_slices for k in range(n_slices + 1)]
    results: list[list[Outcome]] = [[] for _ in range(n_slices)]
    with warnings.catch_warnings():
        # Python warns of fork() beside other threads (BLAS's, a progress
        # bar's), which the children never use: they only run tasks.
        warnings.filterwarnings("ignore", ".*fork.*", DeprecationWarning)
        context = multiprocessing.get_context("fork")
        started = context.Value("i", 0)
        pool = context.Pool(workers, initializer=_start_worker,
                            initargs=(started, sorted(os.sched_getaffinity(0)),
                                      (function, shared, edges)))
    try:
        for k, part in pool.imap_unordered(_run_slice, range(n_slices)):
            results[k] = part
            bar.update(len(part))
        pool.close()
    except BaseException:
        pool.terminate()
        raise
    finally:
        pool.join()
    return [outcome for part in results for outcome in part]


def run_tasks(function: Callable[[Shared, int], Outcome], shared: Shared, n: int,
              client: Any, bar: Bar, workers: int = 1) -> list[Outcome]:
    """The outcomes of tasks 0 … n − 1 in task order; on `client`'s cluster
    when it is not None, else in up to `workers` processes of this machine
    (forked, where the system forks: Linux; here where this process is a
    daemon, which may have no children). An exception of a task
    propagates (in several processes or on a cluster, that of the first
    failing task to finish, and the queued ones are cancelled)."""
    if client is None:
        # A daemonic process (a pool's worker) may not start processes.
        if workers > 1 and n >= 2 and sys.platform == "linux" and \
                not multiprocessing.current_process().daemon:
            return _run_in_processes(function, shared, n, min(workers, n), bar)
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
