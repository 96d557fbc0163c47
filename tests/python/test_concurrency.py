"""Fits running at once in two threads, and fits started from inside a PDF.

A call of splot keeps the interpreter lock except where a PDF gives it up,
as NumPy does inside its loops over large arrays; another thread may then run
a fit of its own. Nothing of one call may reach the other, so each must come
out bit for bit as when it runs alone. The same holds for a fit that a PDF
starts inside another fit.
"""

from __future__ import annotations

import math
import os
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import tarnwick

# Enough events that each PDF call spends most of its time inside NumPy's
# loops, which run without the interpreter lock (NumPy keeps the lock only for
# loops of a few hundred elements or fewer).
N_EVENTS = 20_000


def mass_sample(seed: int, n_events: int, signal_fraction: float) -> np.ndarray:
    """A Gaussian peak over a falling exponential on [0, 1], two columns (the
    second is not used by the PDFs)."""
    rng = np.random.default_rng(seed)
    n_signal = int(signal_fraction * n_events)
    signal = rng.normal(0.4, 0.05, n_signal)
    slope = 2.0
    u = rng.uniform(size=n_events - n_signal)
    background = -np.log1p(-u * (1.0 - math.exp(-slope))) / slope
    mass = np.clip(np.concatenate([signal, background]), 0.0, 1.0)
    return np.column_stack([mass, rng.uniform(size=n_events)])


def signal_pdf(data, shape):
    x = data[:, 0]
    return np.exp(-0.5 * ((x - shape["mu"]) / shape["sigma"]) ** 2) / (
        shape["sigma"] * math.sqrt(2.0 * math.pi))


def background_pdf(data, shape):
    slope = shape["slope"]
    return slope * np.exp(-slope * data[:, 0]) / (1.0 - math.exp(-slope))


SHAPES = [
    tarnwick.ShapeParameter("mu", 0.38, 0.2, 0.6),
    tarnwick.ShapeParameter("sigma", 0.06, 0.01, 0.2),
    tarnwick.ShapeParameter("slope", 1.5, 0.1, 10.0),
]


class Meeting:
    """A PDF wrapper at which two fits in two threads meet: the third call
    in each thread waits, giving up the interpreter lock, until the other
    thread's fit has reached its own third call. Both fits must then be in
    progress at once; a lock held across a whole fit would leave the first
    to arrive waiting until the timeout."""

    def __init__(self, pdf, barrier):
        self.pdf, self.barrier, self.local = pdf, barrier, threading.local()

    def __call__(self, data, shape):
        self.local.calls = getattr(self.local, "calls", 0) + 1
        if self.local.calls == 3:
            self.barrier.wait(timeout=60.0)
        return self.pdf(data, shape)


def fit(data, pdfs=(signal_pdf, background_pdf)):
    return tarnwick.splot(data, list(pdfs), shape_parameters=SHAPES, max_steps=40)


def assert_identical(result, expected):
    for attribute in ("yields", "yield_errors", "covariance", "sweights", "fit_covariance"):
        assert getattr(result, attribute).tobytes() == getattr(expected, attribute).tobytes(), \
            attribute
    for attribute in ("shape_parameters", "shape_errors", "message", "success"):
        assert repr(getattr(result, attribute)) == repr(getattr(expected, attribute)), attribute
    assert repr(result.minimum_nll) == repr(expected.minimum_nll)
    assert (result.objective_evaluations, result.gradient_evaluations,
            result.hessian_evaluations) == (expected.objective_evaluations,
                                            expected.gradient_evaluations,
                                            expected.hessian_evaluations)


@pytest.fixture(scope="module")
def samples():
    return mass_sample(1, N_EVENTS, 0.3), mass_sample(2, N_EVENTS, 0.6)


def test_two_threads_fitting_at_once_get_their_lone_results(samples):
    alone = [fit(data) for data in samples]
    assert all(result.success for result in alone)
    meeting = Meeting(signal_pdf, threading.Barrier(2))

    def run(data):
        return fit(data, pdfs=(meeting, background_pdf))

    with ThreadPoolExecutor(max_workers=2) as pool:
        together = [future.result() for future in [pool.submit(run, data) for data in samples]]
    for result, expected in zip(together, alone):
        assert_identical(result, expected)
    assert not meeting.barrier.broken


def test_a_failing_fit_in_one_thread_leaves_the_other_untouched(samples):
    data = samples[0]
    expected = fit(data)
    other = mass_sample(3, N_EVENTS, 0.5)
    calls = {"n": 0}

    def failing_signal(data, shape):
        calls["n"] += 1
        if calls["n"] == 5:
            raise ZeroDivisionError("fifth call")
        return signal_pdf(data, shape)

    start = threading.Barrier(2)

    def run_failing():
        start.wait()
        with pytest.raises(tarnwick.SPlotError) as info:
            fit(other, pdfs=(failing_signal, background_pdf))
        assert info.value.args == ("PDF evaluation failed: ZeroDivisionError: fifth call",)

    def run_good():
        start.wait()
        return fit(data)

    with ThreadPoolExecutor(max_workers=2) as pool:
        failing, good = pool.submit(run_failing), pool.submit(run_good)
        failing.result()
        assert_identical(good.result(), expected)


# ---- a fit inside a PDF ----

INNER_DATA = mass_sample(4, 400, 0.4)


def fixed_signal(data, shape):
    return signal_pdf(data, {"mu": 0.4, "sigma": 0.05})


def fixed_background(data, shape):
    return background_pdf(data, {"slope": 2.0})


def inner_fit():
    """A fit of the yields alone, on other data."""
    return tarnwick.splot(INNER_DATA, [fixed_signal, fixed_background])


def test_a_pdf_may_run_a_fit_of_its_own():
    data = mass_sample(5, 2000, 0.3)
    expected_outer = fit(data)
    expected_inner = inner_fit()
    inner_results = []

    def nesting_signal(data, shape):
        inner_results.append(inner_fit())
        return signal_pdf(data, shape)

    outer = fit(data, pdfs=(nesting_signal, background_pdf))
    assert_identical(outer, expected_outer)
    # One inner fit per call of the signal PDF, the probe included, each the
    # same as the inner fit alone.
    assert len(inner_results) > 1
    for result in inner_results:
        assert_identical(result, expected_inner)


def test_an_inner_fit_that_fails_is_the_pdfs_own_error():
    data = mass_sample(6, 500, 0.3)
    expected = fit(data)
    calls = {"n": 0}

    def nesting_signal(data, shape):
        calls["n"] += 1
        if calls["n"] == 3:
            tarnwick.splot(INNER_DATA, [])  # raises ValueError inside the outer fit
        return signal_pdf(data, shape)

    with pytest.raises(tarnwick.SPlotError) as info:
        fit(data, pdfs=(nesting_signal, background_pdf))
    assert info.value.args == ("PDF evaluation failed: ValueError: at least one PDF is required",)
    # The failed calls left nothing behind that a later fit would see.
    assert_identical(fit(data), expected)


# Fits nested in PDFs until the recursion limit stops them, in a thread with
# half the usual 8 MiB stack. Each PDF starts the next fit at its ninth call,
# inside the iterations of its own fit, where a nesting level takes the most
# stack (at the probe it takes the least). The sanitized Debug build's
# frames, with their redzones, take two to three times the stack, so that
# thread gets four times as much. Afterwards the thread must recurse as deep
# as before: the calls gave back the levels of the limit they counted as.
DEEP_NESTING = """
import os
import sys
import threading
import numpy as np
import tarnwick

stack_mib = 16 if os.environ.get("TARNWICK_UNDER_SANITIZER") == "1" else 4
threading.stack_size(stack_mib * 1024 * 1024)
data = np.linspace(0.1, 0.9, 10).reshape(-1, 1)
mu = tarnwick.ShapeParameter("mu", 0.5, 0.0, 1.0)
depth = {"now": 0, "most": 0}


def flat(data, shape):
    return np.ones(len(data))


def nesting_pdf():
    calls = [0]

    def pdf(data, shape):
        calls[0] += 1
        if calls[0] == 9:
            depth["now"] += 1
            depth["most"] = max(depth["most"], depth["now"])
            try:
                tarnwick.splot(data, [nesting_pdf(), flat], shape_parameters=[mu])
            finally:
                depth["now"] -= 1
        return np.exp(-((data[:, 0] - shape["mu"]) ** 2))
    return pdf


def down(n):
    return 0 if n == 0 else down(n - 1)


def run():
    try:
        tarnwick.splot(data, [nesting_pdf(), flat], shape_parameters=[mu])
    except tarnwick.SPlotError as error:
        print(str(error)[-80:])
    print("nesting levels", depth["most"], "of limit", sys.getrecursionlimit())
    down(sys.getrecursionlimit() - 20)
    print("recursed to the limit")


thread = threading.Thread(target=run)
thread.start()
thread.join()
"""


def test_deep_nesting_ends_in_recursion_error_not_in_a_crash():
    child = subprocess.run([sys.executable, "-c", DEEP_NESTING], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert "RecursionError: maximum recursion depth exceeded" in child.stdout
    # A nesting level counts as three levels of the limit on every version:
    # the PDF's frame and the two of its call of splot.
    words = next(line.split() for line in lines if line.startswith("nesting levels "))
    levels, limit = int(words[2]), int(words[5])
    assert limit // 4 < levels <= limit // 3
    assert lines[-1] == "recursed to the limit", child.stderr


# ---- the threads of the likelihood pass ----

def os_threads():
    import os
    return len(os.listdir("/proc/self/task"))


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts /proc/self/task")
def test_pass_threads_live_within_the_call_and_follow_the_cpus_allowed():
    """A fit of many events runs its log pass on one thread per usable CPU
    (two at most here), started for the call and gone when it returns; a
    process confined to one CPU runs it on its own thread. Either way the
    result is the same, bit for bit."""
    import os
    data = mass_sample(7, 70_000, 0.3)
    seen = []

    def counting_signal(data, shape):
        seen.append(os_threads())
        return signal_pdf(data, shape)

    allowed = os.sched_getaffinity(0)
    before = os_threads()
    on_all = fit(data, pdfs=(counting_signal, background_pdf))
    assert os_threads() == before
    assert max(seen) == before + min(len(allowed), 2) - 1
    seen.clear()
    os.sched_setaffinity(0, {min(allowed)})
    try:
        on_one = fit(data, pdfs=(counting_signal, background_pdf))
    finally:
        os.sched_setaffinity(0, allowed)
    assert max(seen) == before
    assert_identical(on_one, on_all)


# ---- Ctrl-C during a fit that calls no PDF ----

def test_a_signal_ends_a_fit_that_calls_no_pdf_within_an_evaluation():
    """A yields-only fit calls Python only at the probe; a SIGINT-like signal
    must still end it at once, as KeyboardInterrupt, not at its end."""
    import signal

    data = mass_sample(9, 2_000_000, 0.3)
    delay = 0.1
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        start = time.perf_counter()
        signal.setitimer(signal.ITIMER_REAL, delay)
        with pytest.raises(KeyboardInterrupt):
            tarnwick.splot(data, [fixed_signal, fixed_background])
        late = time.perf_counter() - start - delay
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    # Within one evaluation of the likelihood: a few ms here, about a second
    # in the sanitizers' unoptimised build (where the whole fit takes tens).
    assert late < (3.0 if os.environ.get("TARNWICK_UNDER_SANITIZER") == "1" else 0.2), late
    # Nothing of the interrupted fit is left behind.
    assert_identical(inner_fit(), inner_fit())
