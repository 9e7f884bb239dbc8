"""``FLIP_MAX_WRITES_PER_MINUTE``: a budget of mediator requests that a process's
workers share.

One bucket per process, taken before every request (retries and the plan's
reads too), before the request's own time limits start. Slots are handed out
in turn under one lock: each request reserves the next one, ``1/rate`` after
the last, with at most ``burst`` at once after a quiet spell. So the process
sends at most ``rate * t + burst`` requests in any ``t`` seconds, and a burst is
never more than one second's worth (nor more than five, the job's workers). The
bucket starts empty: a process restarted over and over sends no burst at each
start. With a ledger the processes of a rollout share one bucket instead
(``shared_budget``).

A stop ends every wait at once (``stopping.on_stop``), and a request taken
afterwards does not wait: what the stop refuses is refused at once, and a retry
of a write in flight finishes as it would have.
"""

from __future__ import annotations

import math
import threading
import time

from vaxo_ortane.util import stopping

BURST_MAX = 5
NO_WAIT = 0.001  # seconds: a slot that came sooner was free at once, and is not counted as waited for


def burst_of(per_second: float) -> int:
    """The most requests that may go at once after a quiet spell."""
    return max(1, min(BURST_MAX, math.floor(per_second)))


class RateBudget:
    def __init__(self, per_minute: float) -> None:
        self.per_second = per_minute / 60.0
        self.interval = 1.0 / self.per_second
        self.burst = burst_of(self.per_second)
        # How far ahead of now the reservations may run before a request waits.
        self._allowance = (self.burst - 1) * self.interval
        self._lock = threading.Lock()  # held only to reserve and to count, never while waiting
        # When the slot after the last reserved one falls: empty, the first slot is an interval away.
        self._next_free = time.monotonic() + self._allowance + self.interval
        self._stopped = threading.Event()  # set by a stop: every wait ends at once
        self._local = threading.local()
        self.requests = 0
        self.waited = 0.0  # seconds, summed over every request that waited

    def take(self) -> None:
        """Wait for this request's slot; at once when the run is stopping."""
        if stopping.reason() is not None:
            return
        started = time.monotonic()
        slot = self._slot()  # a shared bucket may wait for its ledger here
        now = time.monotonic()
        if slot is not None and slot > now:
            self._stopped.wait(min(slot - now, threading.TIMEOUT_MAX))
            now = time.monotonic()
        waited = now - started
        if waited < NO_WAIT:
            return
        with self._lock:
            self.waited += waited
        self._local.waited = self.waited_here() + waited

    def _slot(self) -> float | None:
        """This request's slot (``time.monotonic()``), counted; None when the run is stopping."""
        with self._lock:
            now = time.monotonic()
            slot = max(now, self._next_free - self._allowance)
            self._next_free = max(self._next_free, slot) + self.interval
            self.requests += 1
        return slot

    def waited_here(self) -> float:
        """The seconds this thread's requests have waited so far."""
        waited: float = getattr(self._local, "waited", 0.0)
        return waited

    def wake(self) -> None:
        """End every wait, now and from now on: the run is stopping."""
        self._stopped.set()

    def close(self) -> None:
        """The run is over: let go of what the budget holds."""
