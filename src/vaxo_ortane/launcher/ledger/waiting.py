"""How a run waits for a ledger it cannot reach: ``FLIP_LEDGER_WAIT`` seconds.

At the start the ledger is tried again after growing pauses, a record each time,
until the wait is over: then the run ends 12, which a scheduler retries. During
the run, a connection whose writes keep failing for that long stops the run
(``Outage``): the writes not yet started are refused, and the run ends 12 too.
A stop ends every pause at once.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Iterator

from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.settings.variables import LEDGER_WAIT
from vaxo_ortane.util import stopping

Record = Callable[..., None]

FIRST_PAUSE = 0.5
LONGEST_PAUSE = 8.0


def pauses() -> Iterator[float]:
    """0.5 s, then twice as long each time, never more than 8 s."""
    pause = FIRST_PAUSE
    while True:
        yield pause
        pause = min(2 * pause, LONGEST_PAUSE)


def paused(seconds: float) -> bool:
    """Sleep ``seconds``, less when the run is asked to stop; whether it was."""
    woken = threading.Event()
    with stopping.on_stop(woken.set):
        if stopping.reason() is None:
            woken.wait(seconds)
    return stopping.reason() is not None


class Outage:
    """How long one connection to the ledger has been failing; past ``wait`` seconds, the run stops."""

    def __init__(self, wait: float, record: Record) -> None:
        self.wait = wait
        self._record = record
        self.since: float | None = None  # time.monotonic() of the first failure in a row
        self.stops = True  # whether a long outage stops the run: no longer once the run is ending

    def failed(self) -> bool:
        """Count a failure; whether it is the first in a row. The one past the wait stops the run."""
        now = time.monotonic()
        if self.since is None:
            self.since = now
            return True
        if self.stops and now - self.since >= self.wait and stopping.request_for(statuses.LEDGER_STOP_REASON):
            self._record(
                "error",
                f"Stopping: the run's ledger could not be written for {self.wait:g} s ({LEDGER_WAIT}); writes not "
                f"yet started fail without contacting their mediator, exit status {statuses.LEDGER_INCOMPLETE}",
                status=statuses.LEDGER_INCOMPLETE,
            )
        return False

    def recovered(self) -> bool:
        """The connection works again; whether it had been failing."""
        failing, self.since = self.since is not None, None
        return failing
