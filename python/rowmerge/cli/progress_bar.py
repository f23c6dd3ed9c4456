"""A progress bar over the files of a batch, drawn on a terminal's standard error.

Drawn only when the stream is a terminal that understands cursor control
(``TERM`` set and not ``dumb``), with a carriage return and the ANSI "erase
to end of line" code: no library needed.  Lines printed while the bar is
shown go through :meth:`ProgressBar.print`, which takes the bar away, prints
and draws it again, so the two never mix.
"""

from __future__ import annotations

import os
import shutil
from typing import TextIO

__all__ = ["ProgressBar", "wants_bar"]

_ERASE = "\r\033[K"


def wants_bar(stream: TextIO) -> bool:
    """Whether ``stream`` is a terminal that the bar can be drawn on."""
    try:
        terminal = stream.isatty()
    except (AttributeError, ValueError):
        return False
    return terminal and os.environ.get("TERM", "dumb") not in ("", "dumb")


class ProgressBar:
    """``[#####.....]  12/100 files, 1 failed`` on one line, redrawn as files finish.

    With ``enabled`` false every method does nothing (and :meth:`print` just prints).
    """

    def __init__(self, total: int, stream: TextIO, *, enabled: bool) -> None:
        self.total = total
        self.done = 0
        self.failed = 0
        self.stream = stream
        self.enabled = enabled and total > 0
        self._shown = False

    def _text(self) -> str:
        counts = f" {self.done:,}/{self.total:,} files" + (f", {self.failed:,} failed" if self.failed else "")
        width = shutil.get_terminal_size((80, 24)).columns
        bar_width = max(10, min(40, width - len(counts) - 4))
        filled = bar_width * self.done // self.total
        return "[" + "#" * filled + "." * (bar_width - filled) + "]" + counts

    def draw(self) -> None:
        if not self.enabled:
            return
        self.stream.write(_ERASE + self._text())
        self.stream.flush()
        self._shown = True

    def advance(self, *, failed: bool = False) -> None:
        """One more file finished."""
        self.done += 1
        self.failed += int(failed)
        self.draw()

    def clear(self) -> None:
        """Take the bar off the screen."""
        if self.enabled and self._shown:
            self.stream.write(_ERASE)
            self.stream.flush()
            self._shown = False

    def print(self, line: str, out: TextIO) -> None:
        """Print ``line`` on ``out`` with the bar out of the way, then draw it again."""
        shown = self._shown
        self.clear()
        print(line, file=out, flush=self.enabled)
        if shown:
            self.draw()
