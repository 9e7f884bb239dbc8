"""Whether a stream is a person's terminal, and rich kept out of the runs that have none.

The terminal decides the log format's default and whether the launcher shows its
live line and tables, the only code of this package that uses rich.
"""

from __future__ import annotations

import importlib
import sys
import types
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, TextIO

# What structlog's dev module imports when it can, and these records never use:
# rich for tracebacks (they format exceptions before rendering), colorama for
# colours on Windows.
TERMINAL_ONLY = ("rich", "colorama")


def is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except (AttributeError, ValueError, OSError):  # closed, or no real stream
        return False


@contextmanager
def rich_hidden() -> Iterator[None]:
    """``import rich`` (and colorama) fails inside this block, unless loaded already,
    and asyncio is imported only when first used.

    structlog's dev module imports rich, when it is installed, for tracebacks that
    these records never use: 70-90 ms of every run's start, terminal or not. Loaded
    this way, structlog does without rich for good in this process; the launcher
    imports rich itself when it draws. structlog uses asyncio only in its async
    methods, which the jobs never call: 15-20 ms of a run's start (``deferred``).
    """
    hidden = [name for name in TERMINAL_ONLY if name not in sys.modules]
    for name in hidden:
        sys.modules[name] = None  # type: ignore[assignment]  # what the import system reads as "not importable"
    try:
        with deferred("asyncio"):
            yield
    finally:
        for name in hidden:
            del sys.modules[name]


class _Deferred(types.ModuleType):
    """Stands in for a module that is imported at its first attribute looked up.

    False until then: code that asks ``sys.modules.get(name)`` whether the module
    is in use (``logging.LogRecord`` does, for asyncio) is told it is not.
    """

    _loaded = False

    def __bool__(self) -> bool:
        return self._loaded

    def __getattr__(self, attribute: str) -> Any:
        name = self.__name__
        if sys.modules.get(name) is self:
            del sys.modules[name]  # still inside the block: the import must find the real one
        real = importlib.import_module(name)
        self.__dict__.update(real.__dict__)
        self._loaded = True
        return getattr(real, attribute)


@contextmanager
def deferred(name: str) -> Iterator[None]:
    """Modules that ``import name`` inside this block get a stand-in that imports the
    real module when first used; an import after the block gets the real one."""
    if name in sys.modules:
        yield
        return
    stand_in = _Deferred(name)
    sys.modules[name] = stand_in
    try:
        yield
    finally:
        if sys.modules.get(name) is stand_in:
            del sys.modules[name]
