"""Runs the pytest suite against the tarnwick of a build tree and writes
pytest's closing line, with the interpreter's version, to a file.

    python run_suite.py SUMMARY_FILE [pytest arguments...]

PYTHONPATH must name the build tree's package folder first: the run fails
if tarnwick is imported from anywhere else, since a test of another copy
(an installed wheel, an unsanitized build) would pass for the wrong reason.
Where TARNWICK_SANITIZER_REPORTS names the folder the sanitizers write their
reports to, it is emptied first, and every report found there afterwards is
printed and fails the run.
"""

from __future__ import annotations

import os
import platform
import shutil
import sys
import time
from pathlib import Path

import pytest


class ClosingLine:
    """Records what the terminal summary says: outcome counts and duration."""

    def __init__(self) -> None:
        self.start = time.perf_counter()
        self.line = "no tests ran"

    def pytest_terminal_summary(self, terminalreporter) -> None:
        order = ("failed", "passed", "skipped", "xfailed", "xpassed", "error")
        counts = [f"{len(terminalreporter.stats[key])} {key}" for key in order
                  if terminalreporter.stats.get(key)]
        if counts:
            self.line = f"{', '.join(counts)} in {time.perf_counter() - self.start:.1f}s"


def main() -> int:
    summary_file, arguments = Path(sys.argv[1]), sys.argv[2:]
    package_folder = Path(os.environ.get("PYTHONPATH", "").split(os.pathsep)[0]).resolve()
    import tarnwick

    imported = Path(tarnwick.__file__).resolve().parent.parent
    if imported != package_folder:
        print(f"imported tarnwick from {imported}, not from the build tree's {package_folder}",
              file=sys.stderr)
        return 1
    reports = os.environ.get("TARNWICK_SANITIZER_REPORTS")
    if reports:
        shutil.rmtree(reports, ignore_errors=True)
        Path(reports).mkdir(parents=True)
    closing = ClosingLine()
    status = int(pytest.main(arguments, plugins=[closing]))
    line = f"pytest on Python {platform.python_version()}: {closing.line}"
    for report in sorted(Path(reports).iterdir()) if reports else ():
        print(f"== sanitizer report {report.name}\n{report.read_text(errors='replace')}")
        line += f" (sanitizer report {report.name})"
        status = status or 1
    summary_file.write_text(line + "\n", encoding="utf-8")
    print(line)
    return status


if __name__ == "__main__":
    sys.exit(main())
