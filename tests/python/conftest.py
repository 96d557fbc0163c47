"""Shared PDFs and data for the tarnwick tests."""

from __future__ import annotations

import json
import math
from pathlib import Path

import numpy as np
import pytest

DATA_DIR = Path(__file__).resolve().parents[1] / "data"
SQRT_2PI = math.sqrt(2.0 * math.pi)


def pytest_report_header() -> str:
    """Names the tarnwick under test: an installed wheel or a build tree."""
    import tarnwick

    return f"tarnwick {tarnwick.__version__} from {Path(tarnwick.__file__).parent}"


def gaussian(x: np.ndarray, mu: float, sigma: float) -> np.ndarray:
    return np.exp(-0.5 * ((x - mu) / sigma) ** 2) / (sigma * SQRT_2PI)


def flat_pdf(data, shape):
    return np.ones(len(data))


def gauss_mu_pdf(data, shape):
    """Gaussian of column 0 with mean shape['mu'] and width 0.05."""
    return gaussian(data[:, 0], shape["mu"], 0.05)


def gauss_fixed_pdf(data, shape):
    """Gaussian of column 0 with mean 0.5 and width 0.05, no shape parameter."""
    return gaussian(data[:, 0], 0.5, 0.05)


def load_column(name: str) -> np.ndarray:
    return np.loadtxt(DATA_DIR / name, dtype=np.float64).reshape(-1, 1)


@pytest.fixture(scope="session")
def gauss_flat_data() -> np.ndarray:
    return load_column("gauss_flat.csv")


@pytest.fixture(scope="session")
def empty_window_data() -> np.ndarray:
    return load_column("empty_window.csv")


@pytest.fixture(scope="session")
def expected_fits() -> dict[str, dict]:
    with open(DATA_DIR / "expected.json", encoding="utf-8") as handle:
        return {case["case"]: case for case in json.load(handle)}


@pytest.fixture
def two_peaks() -> np.ndarray:
    """60 events: a peak near 0.3 (20 events) over a flat spread (40), seeded."""
    rng = np.random.default_rng(7)
    signal = rng.normal(0.3, 0.05, size=20)
    background = rng.uniform(0.0, 1.0, size=40)
    return np.concatenate([signal, background]).reshape(-1, 1)


@pytest.fixture
def events() -> tuple[np.ndarray, np.ndarray]:
    """800 events: column 0 a peak at 0.3 over a flat spread on [0, 0.6],
    column 1 a control variable, column 2 noise; with positive weights."""
    rng = np.random.default_rng(11)
    mass = np.concatenate([rng.normal(0.3, 0.05, 300), rng.uniform(0.0, 0.6, 500)])
    data = np.column_stack([mass, rng.exponential(1.0, 800), rng.normal(size=800)])
    return data, rng.uniform(0.5, 1.5, 800)
