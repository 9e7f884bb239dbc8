"""Temporary files on their way to a final name, which must not outlive the process.

A file is written under a temporary name, then renamed over its target. A
process that must exit at once (a second signal) calls ``remove_all_for_exit``
first: it waits for renames under way, so that files renamed together stay a
matching pair, and removes what was never renamed.
"""

from __future__ import annotations

import os
import tempfile
import threading
from collections.abc import Iterable
from pathlib import Path

_lock = threading.Lock()
_pending: set[str] = set()


def create(folder: Path, prefix: str, suffix: str) -> tuple[int, str]:
    """A new temporary file in ``folder``: its open descriptor and its path."""
    with _lock:
        fd, path = tempfile.mkstemp(dir=folder, prefix=prefix, suffix=suffix)
        _pending.add(path)
    return fd, path


def rename_all(renames: Iterable[tuple[str, Path]]) -> None:
    """Rename each temporary file over its target, in order, with no exit at once in between."""
    with _lock:
        for temporary, target in renames:
            os.replace(temporary, target)
            _pending.discard(temporary)


def remove(path: str) -> None:
    """Remove a temporary file that will not be renamed."""
    with _lock:
        _pending.discard(path)
        Path(path).unlink(missing_ok=True)


def remove_all_for_exit() -> None:
    """Remove every pending temporary file; the lock stays held, for the process ends next."""
    _lock.acquire()
    for path in _pending:
        Path(path).unlink(missing_ok=True)
    _pending.clear()
