"""A one-line progress bar on standard error: count, elapsed time and an
estimate of the time left. Small enough to keep here rather than add a
dependency for it."""

from __future__ import annotations

import sys
import time
from typing import TextIO

_REDRAW_SECONDS = 0.1
_WIDTH = 24


def wanted(progress: bool | None, stream: TextIO | None = None) -> bool:
    """Whether to show the bar: as forced by True/False, else only when the
    stream (standard error) is a terminal."""
    if progress is not None:
        if not isinstance(progress, bool):
            raise TypeError(f"progress must be True, False or None, not {progress!r}")
        return progress
    stream = sys.stderr if stream is None else stream
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _clock(seconds: float) -> str:
    minutes, seconds = divmod(int(seconds), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}:{minutes:02d}:{seconds:02d}" if hours else f"{minutes:02d}:{seconds:02d}"


class Progress:
    """Counts finished tasks out of `total`; draws only when enabled."""

    def __init__(self, total: int, label: str, enabled: bool, stream: TextIO | None = None) -> None:
        self.total, self.label, self.enabled = total, label, enabled
        self.stream = sys.stderr if stream is None else stream
        self.done = 0
        self._start = time.monotonic()
        self._drawn = -_REDRAW_SECONDS
        self._drawn_count = -1

    def line(self) -> str:
        elapsed = time.monotonic() - self._start
        fraction = self.done / self.total if self.total else 1.0
        filled = int(fraction * _WIDTH)
        left = elapsed / self.done * (self.total - self.done) if self.done else None
        eta = _clock(left) if left is not None else "--:--"
        return (f"{self.label} |{'#' * filled}{'.' * (_WIDTH - filled)}| {self.done}/{self.total} "
                f"[{_clock(elapsed)} elapsed, {eta} left]")

    def advance(self, n: int = 1) -> None:
        self.done += n
        if self.enabled:
            now = time.monotonic()
            if now - self._drawn >= _REDRAW_SECONDS or self.done == self.total:
                self._drawn, self._drawn_count = now, self.done
                self.stream.write("\r" + self.line())
                self.stream.flush()

    def __enter__(self) -> Progress:
        if self.enabled:
            self.stream.write(self.line())
            self.stream.flush()
        return self

    def __exit__(self, *exc: object) -> None:
        if self.enabled:
            self.stream.write(("" if self._drawn_count == self.done else "\r" + self.line()) + "\n")
            self.stream.flush()
