"""Wall time of bootstrap replicas run here and on a dask.distributed
LocalCluster of single-threaded worker processes.

The fit is the standard mass fit (a Gaussian peak, 30 %, over an
exponential background in [5.0, 5.6]; mean, width and slope free):

    python3 benchmarks/bootstrap_cluster.py                   # 20 replicas of 1e5 events
    python3 benchmarks/bootstrap_cluster.py --events 1000000 --replicas 8 --workers 2

It prints the wall time of the replicas run one after another in this
process, then for two clusters their start-up time, the wall time of the
same replicas there (the data and PDFs are sent to each worker once,
inside the timed call) and the largest difference from the local run's
yields, which is zero: a replica's events depend only on the seed and its
index.

The two clusters differ in one setting. dask's nanny starts its workers
with MALLOC_TRIM_THRESHOLD_=65536 (the configuration key
distributed.nanny.pre-spawn-environ), which also turns off glibc's
adaptive mmap threshold: every array of the PDFs above 128 KiB is then
mapped and unmapped afresh, which makes numpy PDFs markedly slower. The
second cluster leaves glibc's defaults.

From 65,536 events on, each fit spreads its likelihood passes over one
thread per CPU the process may use, so the local run already uses the
machine's cores for that part; what the workers add is the PDFs' numpy
code and the rest of each fit running side by side.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

# The problems live with the tests, which check them.
sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import tarnwick  # noqa: E402
from mass_problems import CASES, STANDARD_SHAPES  # noqa: E402
from tarnwick import diagnostics  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=100_000)
    parser.add_argument("--replicas", type=int, default=20)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()

    import dask
    import distributed

    problem = CASES["standard"]()
    mass = problem.generate(np.random.default_rng(args.seed), args.events)
    data = mass.reshape(-1, 1)
    pdfs = [(lambda d, s, f=f: f(d[:, 0], s)) for f in problem.pdfs]
    shapes = [tarnwick.ShapeParameter(*shape) for shape in STANDARD_SHAPES]

    print(f"{args.replicas} replicas of {args.events} events, {os.cpu_count()} CPUs "
          f"({len(os.sched_getaffinity(0))} usable)")
    fitted = tarnwick.splot(data, pdfs, shape_parameters=shapes)
    start = time.perf_counter()
    local = diagnostics.bootstrap(fitted, data, pdfs, args.replicas, args.seed, progress=False,
                                  shape_parameters=shapes)
    local_time = time.perf_counter() - start
    print(f"  here, one after another: {local_time:.2f} s "
          f"({local_time / args.replicas:.2f} s per replica)")

    environ_key = "distributed.nanny.pre-spawn-environ"
    dask_environ = dict(dask.config.get(environ_key))
    glibc_environ = {k: v for k, v in dask_environ.items() if k != "MALLOC_TRIM_THRESHOLD_"}
    for title, environ in (("dask's worker environment", dask_environ),
                           ("without MALLOC_TRIM_THRESHOLD_", glibc_environ)):
        start = time.perf_counter()
        with dask.config.set({environ_key: environ}), distributed.LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True,
                dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
            client.wait_for_workers(args.workers)
            startup = time.perf_counter() - start
            start = time.perf_counter()
            remote = diagnostics.bootstrap(fitted, data, pdfs, args.replicas, args.seed,
                                           progress=False, client=client,
                                           shape_parameters=shapes)
            cluster_time = time.perf_counter() - start
        difference = np.nanmax(np.abs(remote.yields - local.yields)) if args.replicas else 0.0
        print(f"  {args.workers} single-threaded workers, {title}:")
        print(f"    start-up {startup:.2f} s, replicas {cluster_time:.2f} s "
              f"(speed-up {local_time / cluster_time:.2f}), largest |yield difference| "
              f"{difference:.3g}, {len(remote.errors)} raised ({len(local.errors)} here)")


if __name__ == "__main__":
    main()
