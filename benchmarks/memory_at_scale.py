"""Peak resident memory and wall time of the standard mass fit at scale.

The fit: a Gaussian signal over an exponential background in a mass column,
three bounded shape parameters (mean, width, slope), a second (control)
column, unit weights. Each size runs in a fresh interpreter so that the
peaks do not mix:

    python3 benchmarks/memory_at_scale.py            # 1e5, 1e6 and 1e7 events
    python3 benchmarks/memory_at_scale.py 100000     # one size

For each size it reports the wall time of the `splot` call, the process's
peak resident memory, and the bytes per event that the call adds on top of
what the caller already holds (the data array): the peak during the call
less the resident memory just before it, divided by the number of events.
The PDFs' own numpy temporaries are part of that peak; they are measured
separately by calling both PDFs once outside the fit, so that the part that
belongs to tarnwick can be read off.

What the call holds per event (two data columns, two components, unit
weights; the data array itself is read in place, never copied):

    effective event weights                      8 B
    PDF caches: the last output of each PDF  2 × 8 B   (the array the PDF
                                                        returned, kept as it is
                                                        when nothing else can
                                                        reach it, else a copy)
    sWeights (handed to the result)             16 B

and, while a PDF runs, its new output and its temporaries (the cached output
stays until the new one has arrived: a failed evaluation must leave it
intact). The fitted model, the information matrix and the covariance view
the PDF caches and the weights or are n_components² in size. At 10⁷ events
the measured peak is 56 B per event. Below about 4 × 10⁶ events glibc serves
the PDFs' 8-byte-per-event arrays from its heap and keeps them after they
are freed, which shows as up to 16 B more; at 10⁷ events they are mapped
and unmapped.

Peaks are read from the kernel (VmHWM in /proc/self/status, reset through
/proc/self/clear_refs), so this runs on Linux only.
"""

from __future__ import annotations

import ctypes
import json
import math
import subprocess
import sys
import time

MASS_LOW, MASS_HIGH = 5.0, 5.6


def _status(field: str) -> int:
    with open("/proc/self/status", encoding="ascii") as handle:
        for line in handle:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"{field} not in /proc/self/status")


def _reset_peak() -> None:
    # Hand freed heap memory back first, so that the baseline is what is in
    # use and later allocations cannot hide in memory freed earlier.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    with open("/proc/self/clear_refs", "w", encoding="ascii") as handle:
        handle.write("5")


def measure(n_events: int) -> dict[str, float]:
    import gc

    import numpy as np

    import tarnwick

    rng = np.random.default_rng(1)
    n_signal = n_events // 5
    mass = np.concatenate(
        [
            rng.normal(5.279, 0.018, size=n_signal),
            MASS_LOW
            + np.log1p(rng.uniform(size=n_events - n_signal) * (math.exp(-2.5 * 0.6) - 1.0))
            / -2.5,
        ]
    )
    mass = np.clip(mass, MASS_LOW, MASS_HIGH)
    control = rng.exponential(1.0, size=n_events)
    data = np.column_stack([mass, control])
    del mass, control

    def signal(d, shape):
        mu, sigma = shape["mu"], shape["sigma"]
        norm = 0.5 * (
            math.erf((MASS_HIGH - mu) / (sigma * math.sqrt(2.0)))
            - math.erf((MASS_LOW - mu) / (sigma * math.sqrt(2.0)))
        )
        z = (d[:, 0] - mu) / sigma
        z *= z
        z *= -0.5
        np.exp(z, out=z)
        z /= sigma * math.sqrt(2.0 * math.pi) * norm
        return z

    def background(d, shape):
        slope = shape["slope"]
        norm = (math.exp(slope * MASS_HIGH) - math.exp(slope * MASS_LOW)) / slope
        out = d[:, 0] * slope
        np.exp(out, out=out)
        out /= norm
        return out

    shapes = [
        tarnwick.ShapeParameter("mu", 5.28, 5.2, 5.35),
        tarnwick.ShapeParameter("sigma", 0.02, 0.005, 0.05),
        tarnwick.ShapeParameter("slope", -2.0, -6.0, -0.1),
    ]
    start = {"mu": 5.28, "sigma": 0.02, "slope": -2.0}
    gc.collect()

    _reset_peak()
    before_pdfs = _status("VmRSS")
    signal(data, start)
    background(data, start)
    pdf_peak = _status("VmHWM") - before_pdfs
    gc.collect()

    _reset_peak()
    before = _status("VmRSS")
    t0 = time.perf_counter()
    result = tarnwick.splot(data, [signal, background], shape_parameters=shapes)
    wall = time.perf_counter() - t0
    call_peak = _status("VmHWM") - before
    kept = _status("VmRSS") - before
    return {
        "n_events": n_events,
        "wall_s": wall,
        "peak_rss_mb": _status("VmHWM") / 2**20,
        "data_bytes_per_event": data.nbytes / n_events,
        "call_bytes_per_event": call_peak / n_events,
        "pdf_temporaries_bytes_per_event": pdf_peak / n_events,
        "result_bytes_per_event": kept / n_events,
        "success": bool(result.success),
        "objective_evaluations": result.objective_evaluations,
        "signal_yield": float(result.yields[0]),
    }


def main(argv: list[str]) -> int:
    if len(argv) == 3 and argv[1] == "--child":
        print(json.dumps(measure(int(argv[2]))))
        return 0
    sizes = [int(a) for a in argv[1:]] or [100_000, 1_000_000, 10_000_000]
    print(
        f"{'events':>10} {'wall s':>8} {'peak MB':>9} {'data B/ev':>10} "
        f"{'call B/ev':>10} {'PDF tmp B/ev':>13} {'kept B/ev':>10}  evals  success"
    )
    for n in sizes:
        out = subprocess.run(
            [sys.executable, __file__, "--child", str(n)],
            check=True,
            capture_output=True,
            text=True,
        )
        r = json.loads(out.stdout)
        print(
            f"{r['n_events']:>10} {r['wall_s']:>8.2f} {r['peak_rss_mb']:>9.1f} "
            f"{r['data_bytes_per_event']:>10.1f} {r['call_bytes_per_event']:>10.1f} "
            f"{r['pdf_temporaries_bytes_per_event']:>13.1f} "
            f"{r['result_bytes_per_event']:>10.1f} {r['objective_evaluations']:>6} "
            f"{r['success']}"
        )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
