"""A one-line progress display on stderr: rows, rows per second, bytes read of
the total and the time left. Drawn only when stderr is a terminal."""

from __future__ import annotations

import os
import sys
import time

_UNITS = ("B", "KiB", "MiB", "GiB", "TiB")


def _size(n: float) -> str:
    for unit in _UNITS:
        if n < 1024 or unit == _UNITS[-1]:
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.1f} {unit}"
        n /= 1024
    return ""


def _duration(seconds: float) -> str:
    seconds = int(seconds + 0.5)
    return f"{seconds // 3600}:{seconds // 60 % 60:02d}:{seconds % 60:02d}"


class Progress:
    """Call update() as rows are done (from any one thread) and finish() at the end."""

    INTERVAL = 0.2

    def __init__(self, enabled: bool, total_bytes: int | None, stream=None):
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.total = total_bytes
        self.start = time.monotonic()
        self._last = 0.0
        self._drawn = False

    @classmethod
    def for_terminal(cls, quiet: bool, total_bytes: int | None):
        return cls(not quiet and sys.stderr.isatty(), total_bytes)

    def update(self, rows: int, done_bytes: int | None):
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self._last < self.INTERVAL:
            return
        self._last = now
        self._draw(rows, done_bytes, now)

    def _draw(self, rows, done_bytes, now):
        elapsed = max(now - self.start, 1e-9)
        parts = [f"{rows:,} rows", f"{rows / elapsed:,.0f} rows/s"]
        if done_bytes is not None and self.total:
            done_bytes = min(done_bytes, self.total)
            fraction = done_bytes / self.total
            width = 20
            filled = int(fraction * width)
            parts.insert(0, "[" + "#" * filled + "." * (width - filled) + f"] {fraction:4.0%}")
            parts.append(f"{_size(done_bytes)} of {_size(self.total)}")
            if done_bytes:
                parts.append(_duration(elapsed * (self.total - done_bytes) / done_bytes) + " left")
        try:
            columns = os.get_terminal_size(self.stream.fileno()).columns or 80
        except (OSError, ValueError, AttributeError):
            columns = 80
        line = "  ".join(parts)[:max(columns - 1, 10)]
        self.stream.write("\r" + line + "\x1b[K")
        self.stream.flush()
        self._drawn = True

    def finish(self):
        """Clears the line, so that messages after it start on a clean one."""
        if self._drawn:
            self.stream.write("\r\x1b[K")
            self.stream.flush()
            self._drawn = False
