"""Whether this process has been asked to stop, and by which signal.

The launcher records the first SIGTERM or SIGINT here; the mediator client asks
before each write, so a write that has not started is refused instead of sent.
One state per process: a stop asks the whole run to end.
"""

from __future__ import annotations

import signal
import threading

_lock = threading.Lock()
_signal: signal.Signals | None = None


def request(signum: int) -> bool:
    """Record a stop asked for by ``signum``; True when it is the first request."""
    global _signal
    with _lock:
        if _signal is not None:
            return False
        _signal = signal.Signals(signum)
        return True


def requested() -> signal.Signals | None:
    """The signal that asked the process to stop, or None while it runs on."""
    return _signal


def refusal() -> str | None:
    """Why a write must not start now, or None when it may."""
    stopped_by = _signal  # one read: the answer never mixes two states
    if stopped_by is None:
        return None
    return f"not attempted because the job is stopping ({stopped_by.name})"
