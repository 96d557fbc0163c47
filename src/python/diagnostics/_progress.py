"""Progress display: tqdm when it is installed, a line on stderr otherwise."""

from __future__ import annotations

import functools
import sys
import threading
import time
from collections.abc import Iterable, Sequence
from types import TracebackType
from typing import Any, Protocol

from ._model import FloatArray, Pdf, optional_module


class Bar(Protocol):
    def update(self, n: int = 1) -> Any: ...
    def close(self) -> Any: ...


class _LineBar:
    """A minimal stand-in for tqdm: count and elapsed time, redrawn at most
    twice a second on stderr, and a final line on close."""

    def __init__(self, total: int | None, desc: str, unit: str) -> None:
        self._total, self._desc, self._unit = total, desc, unit
        self._count = 0
        self._start = self._last = time.perf_counter()

    def _draw(self, end: str) -> None:
        elapsed = time.perf_counter() - self._start
        count = f"{self._count}/{self._total}" if self._total is not None else str(self._count)
        sys.stderr.write(f"\r{self._desc}: {count} {self._unit} [{elapsed:.1f} s]{end}")
        sys.stderr.flush()

    def update(self, n: int = 1) -> None:
        self._count += n
        now = time.perf_counter()
        if now - self._last >= 0.5:
            self._last = now
            self._draw("")

    def close(self) -> None:
        self._draw("\n")


def progress_bar(total: int | None, desc: str, unit: str, enabled: bool = True) -> Bar:
    """A progress bar over `total` steps (None: unknown), or one that shows
    nothing when `enabled` is false."""
    tqdm_auto = optional_module("tqdm.auto", required=False)
    if tqdm_auto is None:
        if not enabled:
            return _Silent()
        return _LineBar(total, desc, unit)
    bar: Bar = tqdm_auto.tqdm(total=total, desc=desc, unit=unit, disable=not enabled)
    return bar


class _Silent:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


class ProgressPdfs(list[Pdf]):
    """The wrapped PDFs, a list that splot takes as it is, sharing one bar.

    ``calls`` counts the PDF calls and ``elapsed`` the seconds spent inside
    them; ``close()`` (or leaving a ``with`` block) ends the bar.
    """

    def __init__(self, pdfs: Iterable[Pdf], bar: Bar) -> None:
        self._bar = bar
        self._lock = threading.Lock()
        self.calls = 0
        self.elapsed = 0.0
        super().__init__(self._wrap(pdf) for pdf in pdfs)

    def _wrap(self, pdf: Pdf) -> Pdf:
        @functools.wraps(pdf)
        def counted(data: FloatArray, shape: dict[str, float]) -> FloatArray:
            start = time.perf_counter()
            try:
                return pdf(data, shape)
            finally:
                with self._lock:
                    self.calls += 1
                    self.elapsed += time.perf_counter() - start
                    self._bar.update(1)

        return counted

    def close(self) -> None:
        self._bar.close()

    def __getstate__(self) -> dict[str, Any]:
        """The state sent to another process (such as a dask worker): the
        counts, without the lock and the progress bar, which belong to this
        process."""
        return {"calls": self.calls, "elapsed": self.elapsed}

    def __setstate__(self, state: dict[str, Any]) -> None:
        # A copy counts its own calls under a lock of its own and shows no bar.
        self.__dict__.update(state)
        self._lock = threading.Lock()
        self._bar = _Silent()

    def __enter__(self) -> ProgressPdfs:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()


def with_progress(pdfs: Sequence[Pdf], desc: str = "PDF calls") -> ProgressPdfs:
    """Wraps PDF callables so that a fit shows how many calls it has made and
    for how long (tqdm when installed, a line on stderr otherwise).

    The wrappers call the PDFs unchanged; pass the returned list to
    ``tarnwick.splot`` in place of ``pdfs``. They pickle with cloudpickle
    (as dask sends them to a cluster's workers): a copy counts the calls
    made in its own process and shows no bar::

        with with_progress([signal, background]) as counted:
            result = tarnwick.splot(data, counted, shape_parameters=...)

    Parameters
    ----------
    pdfs : sequence of callable
        The PDFs to wrap.
    desc : str, optional
        The label of the progress bar (default "PDF calls").

    Returns
    -------
    ProgressPdfs
        The wrapped PDFs, with the count of calls and the time spent in them.
    """
    return ProgressPdfs(pdfs, progress_bar(None, desc, "calls"))
