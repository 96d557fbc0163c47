"""The installed type stub: it matches the module and types a real program."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy")

ROOT = Path(__file__).resolve().parents[2]

# mypy and stubtest read the stub and the module: none of its code runs.
pytestmark = pytest.mark.heavy


def run_mypy(*arguments: str, cache: Path) -> subprocess.CompletedProcess:
    environment = dict(os.environ, MYPY_CACHE_DIR=str(cache / "mypy-cache"))
    return subprocess.run([sys.executable, "-m", *arguments], capture_output=True, text=True,
                          cwd=cache, env=environment, check=False)


def test_stub_matches_the_runtime_module(tmp_path):
    outcome = run_mypy("mypy.stubtest", "tarnwick", cache=tmp_path)
    assert outcome.returncode == 0, outcome.stdout + outcome.stderr


def test_the_quickstart_type_checks_and_misuse_does_not(tmp_path):
    outcome = run_mypy("mypy", "--strict", str(ROOT / "examples" / "quickstart.py"),
                       cache=tmp_path)
    assert outcome.returncode == 0, outcome.stdout + outcome.stderr
    misuse = tmp_path / "misuse.py"
    misuse.write_text(
        "import tarnwick\n"
        "p = tarnwick.ShapeParameter('mu', '0.5')\n"
        "r = tarnwick.splot([[1.0]], [], max_steps=2.5)\n"
        "n: int = r.message\n",
        encoding="utf-8")
    outcome = run_mypy("mypy", "--strict", str(misuse), cache=tmp_path)
    assert outcome.returncode == 1
    assert outcome.stdout.count("error:") == 3, outcome.stdout
