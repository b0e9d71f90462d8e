"""The calling thread's side of a run: deadline, progress reports and
cancellation, polled by the engine while the interpreter lock is released."""

from __future__ import annotations

import sys
import time
from collections.abc import Callable
from typing import Any

__all__ = ["Progress", "Watch"]

Progress = Callable[[int, int], object]


class Watch:
    """What the calling thread does while a run simulates (polled every 50 ms
    with the gates done and the total): the deadline and the progress report.
    An exception raised here (TimeoutError, or the callback's own) cancels
    the run and propagates."""

    _REPORT_EVERY = 0.1  # seconds: at most ten reports a second

    def __init__(self, timeout: float | None, progress: bool | Progress | None, unit: str = "gate",
                 deadline: float | None = None) -> None:
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float)):
                raise TypeError(f"timeout must be a number of seconds or None, not {type(timeout).__name__}")
            if not timeout > 0 or timeout != timeout or timeout == float("inf"):
                raise ValueError(f"timeout must be a positive, finite number of seconds, got {timeout!r}")
        self._timeout = timeout
        # An evaluation after a simulation keeps the deadline the call started with.
        if deadline is None and timeout is not None:
            deadline = time.monotonic() + timeout
        self._deadline = deadline
        self._report: Progress | None = None
        self._close: Callable[[], None] | None = None
        self._what = "run" if unit == "gate" else "evaluation"
        if progress is True:
            self._report, self._close = _progress_bar(unit)
        elif callable(progress):
            self._report = progress
        elif progress not in (None, False):
            raise TypeError(f"progress must be True, False, None or a callable, not {type(progress).__name__}")
        self._last = 0.0
        self._seen = 0

    @property
    def deadline(self) -> float | None:
        return self._deadline

    def poll(self) -> Callable[[int, int], None] | None:
        if self._deadline is None and self._report is None:
            return None
        return self._poll

    def _poll(self, done: int, total: int) -> None:
        self._seen = total
        now = time.monotonic()
        if self._deadline is not None and now >= self._deadline:
            raise TimeoutError(f"the {self._what} did not finish within its timeout of {self._timeout} s")
        if self._report is not None and now - self._last >= self._REPORT_EVERY:
            self._last = now
            self._report(done, total)

    def finish(self, total: int | None = None) -> None:
        """The last report: everything done (the total the last poll saw when
        ``total`` is None)."""
        if self._report is not None:
            if total is None:
                total = self._seen
            self._report(total, total)

    def close(self) -> None:
        if self._close is not None:
            self._close()


_PLURAL = {"gate": "gates", "leaf": "leaves", "trajectory": "trajectories"}


def _progress_bar(unit: str) -> tuple[Progress, Callable[[], None]]:
    """A tqdm bar on stderr when tqdm is installed, else a one-line counter."""
    try:
        from tqdm import tqdm
    except ImportError:
        tqdm = None
    if tqdm is not None:
        bars: list[Any] = []  # made at the first report, when the total is known

        def update(done: int, total: int) -> None:
            if not bars:
                bars.append(tqdm(total=total, unit=unit, desc="vorn", file=sys.stderr, leave=False))
            bars[0].n = done
            bars[0].refresh()

        def close() -> None:
            if bars:
                bars[0].close()

        return update, close

    def line(done: int, total: int) -> None:
        sys.stderr.write(f"\rvorn: {done}/{total} {_PLURAL.get(unit, unit)}")
        sys.stderr.flush()

    def end() -> None:
        sys.stderr.write("\n")
        sys.stderr.flush()

    return line, end
