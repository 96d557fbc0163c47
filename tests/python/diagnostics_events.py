"""The PDFs the diagnostics tests share (their events are the fixture
`events` of conftest.py)."""

from __future__ import annotations

import tarnwick
from conftest import gaussian

MU = [tarnwick.ShapeParameter("mu", 0.35, 0.0, 1.0)]


def peak(data, shape):
    return gaussian(data[:, 0], shape["mu"], 0.05)


def far_peak(data, shape):
    """A narrow peak at 0.9, where the events below hold almost nothing."""
    return gaussian(data[:, 0], 0.9, 0.05)


def reads_control(data, shape):
    return peak(data, shape) * (0.5 + data[:, 1])
