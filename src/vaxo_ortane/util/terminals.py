"""Whether a stream is a person's terminal, and rich kept out of the runs that have none.

The terminal decides the log format's default and whether the launcher shows its
live line and tables, the only code of this package that uses rich.
"""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TextIO


def is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError, OSError):  # closed, or no real stream
        return False


@contextmanager
def rich_hidden() -> Iterator[None]:
    """``import rich`` fails inside this block, unless rich is loaded already.

    structlog's dev module imports rich, when it is installed, for tracebacks that
    these records never use (they format exceptions before rendering): 70-90 ms of
    every run's start, terminal or not. Loaded this way, structlog does without
    rich for good in this process; the launcher imports rich itself when it draws.
    """
    hide = "rich" not in sys.modules
    if hide:
        sys.modules["rich"] = None  # type: ignore[assignment]  # what the import system reads as "not importable"
    try:
        yield
    finally:
        if hide:
            del sys.modules["rich"]
