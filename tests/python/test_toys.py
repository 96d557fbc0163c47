"""Toy studies: pulls of the standard problem, seeds, clusters and failures."""

from __future__ import annotations

import contextlib
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import tarnwick
from tarnwick import diagnostics, models

WINDOW = (5.0, 5.6)
TRUTH = {"mu": 5.28, "sigma": 0.03, "slope": -2.0}


def standard_models():
    signal = models.Gaussian(column=0, window=WINDOW, mu="mu", sigma="sigma")
    background = models.Exponential(column=0, window=WINDOW, slope="slope")
    return [signal, background]


def declarations():
    return [tarnwick.ShapeParameter("mu", 5.27, 5.2, 5.35),
            tarnwick.ShapeParameter("sigma", 0.035, 0.01, 0.1),
            tarnwick.ShapeParameter("slope", -1.5, -10.0, 10.0)]


@pytest.mark.heavy
def test_pulls_of_the_standard_problem_have_unit_width():
    study = diagnostics.toy_study(standard_models(), [600.0, 1400.0], TRUTH,
                                  shape_parameters=declarations(), n_toys=500, seed=7,
                                  names=["signal", "background"], progress=False)
    assert study.parameters == ("signal", "background", "mu", "sigma", "slope")
    assert study.n_failed == 0
    statistics = study.statistics()
    widths, width_errors = statistics[:, 2], statistics[:, 3]
    assert np.all(np.abs(widths - 1.0) < 3.0 * width_errors), widths
    assert np.all(np.abs(statistics[:, 0]) < 3.0 * statistics[:, 1] + 0.05), statistics[:, 0]
    assert "pull width" in str(study) and "<table>" in study._repr_html_()


def test_a_toy_depends_on_the_seed_and_its_index_only():
    kwargs = dict(shape_parameters=declarations(), seed=3, progress=False)
    four = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH, n_toys=4, **kwargs)
    two = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH, n_toys=2, **kwargs)
    np.testing.assert_array_equal(four.values[:2], two.values)
    other = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH, n_toys=2,
                                  **dict(kwargs, seed=4))
    assert not np.array_equal(other.values, two.values)


class FailsOnOddCounts(models.Model):
    """A flat model that reads mu and raises, once the fit has moved mu from
    its start, when the toy has an odd number of events: those toys' fits
    fail with the PDF's error, the probe at the start passes."""

    _keywords = ("mu",)

    def __init__(self) -> None:
        super().__init__(0, WINDOW, mu="mu")

    def _unnormalised(self, x, p):
        if len(x) % 2 and p[0] != 5.27:
            raise ZeroDivisionError("odd")
        return np.ones_like(x)

    def _primitive(self, x, p):
        return x - WINDOW[0]

    def _draw(self, n, p, rng):
        return rng.uniform(*WINDOW, n)


def test_failed_toys_are_counted_with_their_message():
    pdfs = [standard_models()[0], FailsOnOddCounts()]
    study = diagnostics.toy_study(pdfs, [100.0, 300.0], TRUTH,
                                  shape_parameters=declarations()[:2], n_toys=12, seed=1,
                                  progress=False)
    assert 0 < study.n_failed < 12
    assert len(study.messages) == study.n_failed
    assert all("ZeroDivisionError" in message for message in study.messages)
    assert np.isnan(study.values[~study.converged]).all()
    assert "failed or not converged" in str(study)


@pytest.mark.parametrize("bad, message", [
    (dict(yields=[1.0]), "one entry per model"),
    (dict(yields=[-1.0, 5.0]), "nonnegative"),
    (dict(values={"mu": 5.28}), "'sigma'"),
    (dict(n_toys=-1), "nonnegative"),
    (dict(workers=0), "workers must be a positive integer"),
])
def test_inputs_that_do_not_belong_together_are_refused(bad, message):
    arguments = dict(yields=[10.0, 10.0], values=TRUTH, n_toys=1, workers=None)
    arguments.update(bad)
    with pytest.raises(ValueError, match=message):
        diagnostics.toy_study(standard_models(), arguments["yields"], arguments["values"],
                              shape_parameters=declarations(), n_toys=arguments["n_toys"],
                              seed=0, progress=False, workers=arguments["workers"])


def test_a_study_in_several_processes_or_on_a_cluster_equals_the_one_here():
    distributed = pytest.importorskip("distributed")
    kwargs = dict(shape_parameters=declarations(), n_toys=6, seed=11, progress=False)
    local = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH, workers=1,
                                  **kwargs)
    forked = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH, workers=3,
                                   **kwargs)
    np.testing.assert_array_equal(local.values, forked.values)
    np.testing.assert_array_equal(local.errors, forked.errors)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        remote = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH,
                                       client=client, **kwargs)
    np.testing.assert_array_equal(local.values, remote.values)
    np.testing.assert_array_equal(local.errors, remote.errors)


def test_a_control_variable_is_drawn_and_fitted_with_sweights_in_every_toy():
    lifetimes = (1.5, 0.5)
    generators = [models.Exponential(column=0, window=(0.0, 10.0), slope=-1.0 / tau)
                  for tau in lifetimes]

    def decay(t, values):
        tau = values["tau"]
        return np.exp(-t / tau) / (tau * -np.expm1(-10.0 / tau))

    control = diagnostics.ToyControl(generators, decay,
                                     [tarnwick.ShapeParameter("tau", 1.0, 0.1, 5.0)],
                                     {"tau": lifetimes[0]})
    study = diagnostics.toy_study(standard_models(), [400.0, 800.0], TRUTH,
                                  shape_parameters=declarations(), n_toys=40, seed=5,
                                  control=control, progress=False)
    assert study.parameters[-1] == "tau" and study.n_failed == 0
    tau = study.values[:, -1]
    assert np.all(np.abs(tau - 1.5) < 5 * study.errors[:, -1])
    # The full errors exceed the inverse Hessian's, which do not cover.
    assert np.all(study.errors[:, -1] > study.hessian_errors[:, 0])
    assert "tau (inverse Hessian)" in str(study)


STUDY_TO_INTERRUPT = """
import sys
from tarnwick import diagnostics, models
import tarnwick
pdfs = [models.Gaussian(0, (5.0, 5.6), mu="mu", sigma="sigma"),
        models.Exponential(0, (5.0, 5.6), slope="slope")]
shapes = [tarnwick.ShapeParameter("mu", 5.27, 5.2, 5.35),
          tarnwick.ShapeParameter("sigma", 0.035, 0.01, 0.1),
          tarnwick.ShapeParameter("slope", -1.5, -10.0, 10.0)]
print("started", flush=True)
try:
    diagnostics.toy_study(pdfs, [600.0, 1400.0], {"mu": 5.28, "sigma": 0.03, "slope": -2.0},
                          shape_parameters=shapes, n_toys=100000, seed=1, workers=2,
                          progress=False)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def workers_of(pid, expected, within=60.0):
    """The child processes of `pid` once there are `expected` of them."""
    deadline = time.monotonic() + within
    while True:
        found = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True,
                               text=True).stdout.split()
        if len(found) >= expected or time.monotonic() > deadline:
            return found
        time.sleep(0.1)


def ended(pid):
    """Whether the process is gone or a zombie."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().split()[2] == "Z"
    except FileNotFoundError:
        return True


@pytest.mark.heavy
@pytest.mark.skipif(sys.platform != "linux", reason="toys run in forked processes on Linux")
@pytest.mark.parametrize("stop", [signal.SIGINT, signal.SIGKILL])
def test_a_stopped_study_in_several_processes_ends_its_workers(stop):
    # A SIGINT to this process alone (as a notebook's interrupt sends it):
    # the study raises KeyboardInterrupt and ends its workers, rather than
    # awaiting their slices of toys (over 30 s each here). A SIGKILL: the
    # workers end with it.
    child = subprocess.Popen([sys.executable, "-c", STUDY_TO_INTERRUPT],
                             stdout=subprocess.PIPE, text=True)
    workers = []
    try:
        assert child.stdout.readline() == "started\n"
        workers = workers_of(child.pid, 2)
        assert len(workers) == 2
        child.send_signal(stop)
        out, _ = child.communicate(timeout=30)
        assert out == ("interrupted\n" if stop == signal.SIGINT else "")
        deadline = time.monotonic() + 10.0
        while not all(ended(pid) for pid in workers) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert all(ended(pid) for pid in workers)
    finally:
        child.kill()
        for pid in workers:
            with contextlib.suppress(ProcessLookupError):
                os.kill(int(pid), signal.SIGKILL)


def _study_in_a_pool_worker(seed):
    study = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH,
                                  shape_parameters=declarations(), n_toys=3, seed=seed,
                                  progress=False, workers=2)
    return study.values


@pytest.mark.skipif(sys.platform != "linux", reason="toys run in forked processes on Linux")
def test_a_study_inside_a_pool_worker_fits_its_toys_there():
    # A pool's workers are daemons, which may start no processes of their
    # own: the study runs in the worker itself, with the same bits.
    import multiprocessing

    here = diagnostics.toy_study(standard_models(), [300.0, 700.0], TRUTH,
                                 shape_parameters=declarations(), n_toys=3, seed=4,
                                 progress=False, workers=1)
    with multiprocessing.get_context("fork").Pool(1) as pool:
        np.testing.assert_array_equal(pool.apply(_study_in_a_pool_worker, (4,)), here.values)
