"""Accepted writes confirmed beside the job's workers.

A write the mediator answered with 202 is handed here, and the worker goes on to its
next meter. A few threads of our own (at most ``THREADS``, started as accepted writes
come) look at each request when it is due (``confirmation``: half a second after its
acceptance, then after growing pauses), until it is applied or failed, or the
client's ``MEDIATOR_CONFIRM_TIMEOUT`` seconds have passed. Each verdict settles the meter's
outcome, when the outcomes are watched, and one that is not a confirmation is
recorded. A look is a mediator request: it waits for the write budget like any other.

At the run's end ``wait`` holds the run until every accepted write is settled; a stop
ends that wait, and every look not yet made, at once: what is still pending then is
unconfirmed.

The lock is never held while a write is settled or recorded: settling takes the
outcomes' lock, under which a failure may ask for a stop, which takes this one.
"""

from __future__ import annotations

import heapq
import itertools
import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING

from vaxo_ortane.mediator import confirmation
from vaxo_ortane.mediator.confirmation import Accepted, Verdict
from vaxo_ortane.util import stopping

if TYPE_CHECKING:
    from vaxo_ortane.launcher.run.outcomes import MeterOutcome, Outcomes
    from vaxo_ortane.util.observers import Observation

Record = Callable[..., None]

THREADS = 5


class Confirmer:
    def __init__(self, outcomes: Outcomes | None, record: Record) -> None:
        self._outcomes = outcomes
        self._record = record
        lock = threading.Lock()
        self._cond = threading.Condition(lock)  # the confirm threads': a look due, or a stop
        self._idle = threading.Condition(lock)  # the run's wait: every write settled, or a stop
        self._due: list[tuple[float, int, Accepted, MeterOutcome | None]] = []
        self._order = itertools.count()
        self._threads: list[threading.Thread] = []
        self._timing = False  # one idle thread waits for the next look's time; the others for a notify
        self.open = 0  # accepted writes not yet settled
        self._last_deadline = 0.0  # time.monotonic() past which no accepted write is waited for
        self._unconfirmed = 0  # writes settled as unconfirmed
        self._stop: Observation | None = None
        self._closed = False  # the run has ended: a look still under way settles nothing

    def take(self, accepted: Accepted) -> bool:
        """The client's hook for an accepted write, on the worker's thread: confirmed here from now on."""
        meter = None if self._outcomes is None else self._outcomes.current()
        if meter is not None:
            meter.request_id = accepted.request_id
        with self._cond:
            if self._stop is None:
                self._stop = stopping.on_stop(self._wake)
            self.open += 1
            self._last_deadline = max(self._last_deadline, accepted.deadline)
            self._push(accepted, meter)
            if len(self._threads) < min(THREADS, self.open):
                thread = threading.Thread(target=self._run, name=f"confirm-{len(self._threads) + 1}", daemon=True)
                self._threads.append(thread)
                thread.start()
        return True

    def _push(self, accepted: Accepted, meter: MeterOutcome | None) -> None:
        # Under the lock. Only a look due before every other one changes when the timing thread
        # wakes; any thread may be the one a notify reaches, so all are told.
        first = not self._due or accepted.next_at < self._due[0][0]
        heapq.heappush(self._due, (accepted.next_at, next(self._order), accepted, meter))
        if first:
            self._cond.notify_all()

    def _wake(self) -> None:
        # A stop: every thread settles what is left, and the run's wait ends.
        with self._cond:
            self._cond.notify_all()
            self._idle.notify_all()

    def _run(self) -> None:
        while True:
            with self._cond:
                while True:
                    if stopping.reason() is not None:
                        left, self._due = self._due, []
                        break
                    now = time.monotonic()
                    if self._due and self._due[0][0] <= now:
                        left = [heapq.heappop(self._due)]
                        if self._due:
                            self._cond.notify()  # another thread takes the next, or waits for its time
                        break
                    if self._timing or not self._due:
                        self._cond.wait()
                    else:
                        self._timing = True
                        self._cond.wait(self._due[0][0] - now)
                        self._timing = False
            if stopping.reason() is not None:
                self._settle_all(left)
                return
            ((_, _, accepted, meter),) = left
            try:
                verdict = confirmation.look(accepted)
            except Exception as exc:  # settled all the same: the run's wait counts on every write
                verdict = confirmation.unconfirmed(accepted, f"could not be looked at ({type(exc).__name__})")
            if verdict is None:
                if stopping.reason() is not None:
                    verdict = confirmation.stopped(accepted)
                elif not accepted.schedule(time.monotonic()):
                    verdict = confirmation.timed_out(accepted)
            if verdict is None:
                with self._cond:
                    self._push(accepted, meter)
                continue
            self._settle(accepted, meter, verdict)

    def _settle_all(self, left: list[tuple[float, int, Accepted, MeterOutcome | None]]) -> None:
        # The run is stopping: the writes taken off the queue are unconfirmed.
        for _, _, accepted, meter in left:
            self._settle(accepted, meter, confirmation.stopped(accepted))

    def _settle(self, accepted: Accepted, meter: MeterOutcome | None, verdict: Verdict) -> None:
        if self._closed:
            return
        try:
            if self._outcomes is not None and meter is not None:
                self._outcomes.confirm(meter, verdict)
            if not verdict.confirmed:
                fields = {} if meter is None else {"name": meter.row.get("name"), "serial": meter.row.get("serial")}
                self._record(
                    "error",
                    f"Meter {accepted.client.meter_id}: its accepted write is not confirmed: {verdict.detail}",
                    meter_id=accepted.client.meter_id,
                    request_id=accepted.request_id,
                    verdict=verdict.kind,
                    **fields,
                )
        finally:  # counted whatever a listener or the record did: the run's wait ends on it
            with self._cond:
                self._unconfirmed += verdict.kind == confirmation.UNCONFIRMED
                self.open -= 1
                if not self.open:
                    self._idle.notify_all()

    def wait(self) -> None:
        """Hold the run until every accepted write is settled, or the run stops."""
        with self._cond:
            if not self.open:
                return
            waiting, longest = self.open, max(0.0, self._last_deadline - time.monotonic())
        self._record(
            "info",
            f"Waiting for {waiting} accepted writes to be confirmed, at most {longest:.0f} s more",
            accepted=waiting,
            wait_seconds=round(longest, 1),
        )
        with self._idle:
            while self.open and stopping.reason() is None:
                self._idle.wait()
            left, self._due = self._due, []
        self._settle_all(left)

    @property
    def unconfirmed(self) -> int:
        return self._unconfirmed + self.open

    def close(self) -> None:
        """The run has ended: what is still pending is the outcomes' to settle (``finish``)."""
        with self._cond:
            self._closed = True
        if self._stop is not None:
            self._stop.remove()
