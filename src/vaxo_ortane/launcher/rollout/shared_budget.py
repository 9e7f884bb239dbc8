"""``FLIP_MAX_WRITES_PER_MINUTE`` with a ledger: one bucket for every process of the rollout.

The bucket is one row of the ledger (``flip_write_budget``, keyed by the rollout):
when the slot after the last one handed out falls, in the store's clock. A
process draws a few slots at a time (a quarter of a second's worth, one to five)
in one statement, then hands them to its workers in turn; those commits are not
waited for on disk, since a bucket lost with its machine holds nobody's writes. Slots are ``1/rate``
apart across the whole rollout, and none is earlier than now less the burst's
allowance. So the rollout sends at most ``rate * t + burst`` requests in any ``t``
seconds, however many processes it has, whenever they start or end: a process that
ends leaves the slots it no longer draws to the others, and a restarted one finds
the bucket where the others left it, with no burst of its own.

A slot drawn and not used within the allowance of its time lapses: held slots
never pile up into a burst. The thread that drew a batch takes its first slot
itself, so that every draw sends a request, however slow the ledger. Slots drawn by a process that is killed lapse too; the
rollout then runs a little below its rate. While the ledger cannot be reached no
slot is drawn, so no request is sent; the draw is tried again, and past
``FLIP_LEDGER_WAIT`` the run stops (``ledger.waiting``).
"""

from __future__ import annotations

import collections
import threading
import time
from collections.abc import Callable

from vaxo_ortane.launcher.ledger.backends import open_ledger
from vaxo_ortane.launcher.ledger.store import Ledger, LedgerError
from vaxo_ortane.launcher.ledger.waiting import Outage
from vaxo_ortane.launcher.rollout.rate_budget import BURST_MAX, RateBudget

Record = Callable[..., None]

DRAW_SECONDS = 0.25  # a draw holds about this much of the rollout's rate, at most a burst
RETRY_SECONDS = 0.5


class SharedBudget(RateBudget):
    def __init__(self, per_minute: float, url: str, rollout: str, wait: float, record: Record) -> None:
        super().__init__(per_minute)
        # A burst one short of the most: the request of a slot may reach its mediator late
        # (a worker woken late, a busy network), and the rollout's busiest window keeps room for it.
        self.burst = max(1, min(self.burst, BURST_MAX - 1))
        self._allowance = (self.burst - 1) * self.interval
        # No more than a process's five workers can take at once: a batch's slots come at
        # the rollout's rate, and a slot not taken within the allowance lapses.
        self.batch = max(1, min(BURST_MAX, round(self.per_second * DRAW_SECONDS)))
        self._url, self._rollout, self._record = url, rollout, record
        self._ledger: Ledger | None = None
        self._outage = Outage(wait, record)
        self._turn = threading.Condition(self._lock)  # one draw at a time; the others wait for its slots
        self._drawing = False
        self._slots: collections.deque[tuple[float, float]] = collections.deque()  # (slot, last use)
        self.draws = 0
        self.lapsed = 0

    def _slot(self) -> float | None:
        while True:
            with self._turn:
                while self._drawing and not self._stopped.is_set():
                    self._turn.wait()
                if self._stopped.is_set():
                    return None
                now = time.monotonic()
                while self._slots and self._slots[0][1] < now:
                    self._slots.popleft()
                    self.lapsed += 1
                if self._slots:
                    self.requests += 1
                    return self._slots.popleft()[0]
                self._drawing = True
            slots = self._draw()
            with self._turn:
                self._drawing = False
                self._turn.notify_all()
                if slots:
                    self.requests += 1
                    self._slots.extend(slots[1:])
                    return slots[0][0]

    def _draw(self) -> list[tuple[float, float]]:
        """The next slots of the rollout, in this process's clock; none when the ledger failed."""
        try:
            if self._ledger is None:
                self._ledger = open_ledger(self._url)
                self._ledger.unsynced()
            first, now = self._ledger.reserve(self._rollout, self.batch, self.interval, self._allowance)
        except LedgerError as exc:
            if self._outage.failed():
                self._record("error", f"The write budget cannot be drawn from the ledger: {exc}; requests wait for it")
            self._stopped.wait(RETRY_SECONDS)
            return []
        after = time.monotonic()
        if self._outage.recovered():
            self._record("info", "The write budget is drawn from the ledger again")
        self.draws += 1
        # The store's now came before ``after``: mapped this way a slot never falls early,
        # and at most the draw's round trip late.
        offset = after - now
        slots = (first + k * self.interval + offset for k in range(self.batch))
        return [(slot, slot + self._allowance) for slot in slots]

    def wake(self) -> None:
        super().wake()
        with self._turn:
            self._turn.notify_all()

    def close(self) -> None:
        if self._ledger is not None:
            self._ledger.close()
