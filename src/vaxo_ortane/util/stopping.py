"""Whether this process has been asked to stop, and why.

The launcher records the first SIGTERM or SIGINT here, and the failure
threshold its own stop; the mediator client asks before each write, so a write
that has not started is refused instead of sent. One state per process: a stop
asks the whole run to end.

A signal that comes after a stop of another kind is still recorded as the
first signal: the operator's request is what the process's status reports.

Whatever waits before a write (a rate budget, a canary wave) registers a waker
with ``on_stop``: a stop ends every such wait at once.
"""

from __future__ import annotations

import signal
import threading
from collections.abc import Callable

from vaxo_ortane.util.observers import Observation, Observers

# How a refused write's failure begins; the launcher tells refusals from failures by it.
REFUSAL = "not attempted because the job is stopping"

_lock = threading.Lock()
_signal: signal.Signals | None = None
# Why writes are refused: the signal's name or another reason's text; None while the run goes on.
_reason: str | None = None
_wakers: Observers[Callable[[], None]] = Observers()


def on_stop(waker: Callable[[], None]) -> Observation:
    """Have ``waker()`` called, on the stopping thread, each time a stop is recorded; it must be quick."""
    return _wakers.add(waker)


def _wake() -> None:
    for waker in _wakers.current():
        waker()


def request(signum: int) -> bool:
    """Record a stop asked for by ``signum``; True when it is the first signal."""
    global _signal, _reason
    with _lock:
        if _signal is not None:
            return False
        _signal = signal.Signals(signum)
        _reason = _signal.name
    _wake()
    return True


def request_for(reason: str) -> bool:
    """Record a stop for ``reason`` (not a signal); True when nothing had stopped the run yet."""
    global _reason
    with _lock:
        if _reason is not None:
            return False
        _reason = reason
    _wake()
    return True


def requested() -> signal.Signals | None:
    """The signal that asked the process to stop, or None while no signal has."""
    return _signal


def reason() -> str | None:
    """Why the run is stopping (a signal's name or another reason), or None while it runs on."""
    return _reason


def refusal() -> str | None:
    """Why a write must not start now, or None when it may."""
    stopped_by = _reason  # one read: the answer never mixes two states
    if stopped_by is None:
        return None
    return f"{REFUSAL} ({stopped_by})"
