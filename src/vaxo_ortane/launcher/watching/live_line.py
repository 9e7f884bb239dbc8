"""The live line at the bottom of a terminal: a bar, the meters ended of those
selected, switched off (already off, accepted and waiting to be confirmed, when
there are any) and failed, the rate and the time left, redrawn in place
while the records scroll above it.

It stands in for ``sys.stderr`` while it is shown, so every line written there
(the records, which ``LineWriter`` writes to the current ``sys.stderr``, and any
traceback) first erases the live line, then is written, then has the line drawn
again beneath it, all in one write under one lock. One line, redrawn after a
carriage return as tqdm does, rather than rich's ``Live``: a record costs one
write (``Live`` renders itself again for every line printed above it, about
115 us, more than a meter's own work), and a process killed outright leaves at
worst a stale line, never a hidden cursor. rich draws the bar and the colours.

A terminal made narrower wraps the line it shows into several rows (tmux, VTE and
most terminals reflow), which a carriage return and a line erase would leave above
the new line: on ``SIGWINCH`` the next erase goes up over every row the old line
now takes.
"""

from __future__ import annotations

import contextlib
import os
import signal
import sys
import threading
from types import FrameType
from typing import Any, TextIO, cast

from rich.console import Console
from rich.progress_bar import ProgressBar
from rich.table import Table
from rich.text import Text

from vaxo_ortane.launcher.watching.progress import Snapshot, rate_text, time_left

ERASE = "\r\x1b[2K"  # to the line's start, and clear it
BAR_WIDTH = (10, 40)
# A second signal must end the process soon even if a writer holds the terminal.
STOP_WAIT = 1.0


class LiveLine:
    """A line kept last on the terminal ``stream``; between ``start`` and ``stop`` it is ``sys.stderr``."""

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._lock = threading.Lock()
        self._line = ""  # as last drawn; empty while none is
        self._open = False  # the last text written had no line break yet: the line waits for it
        self._shown = False
        self._cells = 0  # the drawn line's width in cells
        self._resized = False  # SIGWINCH came: the next erase covers the rows the line wraps into
        self._console = Console(file=stream, soft_wrap=False)

    def start(self) -> None:
        """Show the line; call on the main thread, which alone may set a signal handler."""
        self._shown = True
        sys.stderr = cast(TextIO, self)
        signal.signal(signal.SIGWINCH, self._on_resize)

    def _on_resize(self, signum: int, frame: FrameType | None) -> None:
        self._resized = True  # only a flag: the main thread may hold the lock here

    def _erase(self) -> str:
        """What takes the drawn line off the terminal, wrapped or not; under the lock."""
        if not self._resized:
            return ERASE
        self._resized = False
        rows = -(-self._cells // max(1, self._width()))
        return "\r" + (f"\x1b[{rows - 1}A" if rows > 1 else "") + "\x1b[J"

    def stop(self) -> None:
        """Erase the line and give ``sys.stderr`` back; safe to call again, and from any thread."""
        locked = self._lock.acquire(timeout=STOP_WAIT)
        try:
            if self._shown:
                self._shown = False
                if sys.stderr is cast(TextIO, self):
                    sys.stderr = self._stream
                drawn, self._line = bool(self._line) and not self._open, ""
                if drawn:
                    with contextlib.suppress(OSError, ValueError):  # a terminal that has gone needs no erasing
                        self._stream.write(self._erase())
                        self._stream.flush()
                if threading.current_thread() is threading.main_thread():
                    signal.signal(signal.SIGWINCH, signal.SIG_DFL)
        finally:
            if locked:
                self._lock.release()

    def show(self, snapshot: Snapshot) -> None:
        line, cells = self.render(snapshot)
        with self._lock:
            if not self._shown:
                return
            if not self._open:
                self._stream.write((self._erase() if self._line else ERASE) + line)
                self._stream.flush()
            self._line, self._cells = line, cells

    def render(self, snapshot: Snapshot) -> tuple[str, int]:
        """The line as the terminal shows it, one column short of its width so that it never wraps,
        and its width in cells."""
        width = self._width() - 1
        done, already = snapshot.words
        counts = Text.assemble(
            (f"{snapshot.ended:,}/{snapshot.selected:,} ended", "bold"),
            "  ",
            (f"{snapshot.switched_off:,} {done}", "green"),
            "  ",
            *((f"{snapshot.already_off:,} {already}", "green"), "  ") if snapshot.already_off else (),
            *((f"{snapshot.accepted:,} accepted", "cyan"), "  ") if snapshot.accepted else (),
            (f"{snapshot.failed:,} failed", "bold red" if snapshot.failed else ""),
            "  ",
            *((f"{snapshot.not_sent:,} not sent", "yellow"), "  ") if snapshot.not_sent else (),
            f"{rate_text(snapshot.rate)}/s",
            "  ",
            time_left(snapshot),
        )
        if snapshot.stopping is not None:
            counts.append(f"  stopping ({snapshot.stopping})", "yellow")
        grid = Table.grid(padding=(0, 1))
        grid.add_column(no_wrap=True)
        grid.add_column(no_wrap=True, overflow="ellipsis")
        bar_width = max(BAR_WIDTH[0], min(BAR_WIDTH[1], width - counts.cell_len - 1))
        grid.add_row(ProgressBar(total=snapshot.selected, completed=snapshot.ended, width=bar_width), counts)
        with self._console.capture() as captured:
            self._console.print(grid, width=width, end="", crop=True)
        line = captured.get().split("\n", 1)[0]
        return line, Text.from_ansi(line).cell_len

    def _width(self) -> int:
        try:
            return os.get_terminal_size(self._stream.fileno()).columns or 80
        except (OSError, ValueError):
            return 80

    # What a text stream offers, for those who write to sys.stderr.
    def write(self, text: str) -> int:
        if not text:
            return 0
        with self._lock:
            head = self._erase() if self._line and not self._open else ""
            self._open = not text.endswith("\n")
            tail = "" if self._open else self._line
            self._stream.write(head + text + tail)
            self._stream.flush()
        return len(text)

    def flush(self) -> None:
        with self._lock:
            self._stream.flush()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)
