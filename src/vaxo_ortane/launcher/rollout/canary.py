"""``FLIP_CANARY=N`` or ``P%``: a first wave of meters that must pass before the rest is written.

The wave is the first N selected rows (or P % of them, rounded up) in the run's
order: the rows the job submits first, so their writes start first. Every other
meter's write waits until each wave meter has ended, then ``FLIP_CANARY_PAUSE``
seconds more; a stop ends that wait at once, and the write is refused unsent.

The wave passes when its failures stay within ``FLIP_MAX_FAILURES`` applied to
the wave alone (a share is judged whatever the wave's size), or, with no
threshold, when none failed. A failed wave stops the run as the threshold does
(status 11), for ``REASON``. A wave cut short by another stop is not judged.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING

from vaxo_ortane.launcher.run.messages import REGISTRY_TABLE
from vaxo_ortane.launcher.run.outcomes import ACCEPTED
from vaxo_ortane.util import stopping

if TYPE_CHECKING:
    from vaxo_ortane.launcher.run.outcomes import MeterOutcome, Outcomes
    from vaxo_ortane.launcher.settings.counts import Threshold, Wave
    from vaxo_ortane.util.supabase.query import Query, Response, Row

REASON = "the canary failed"
# What became of the wave: "stopped" when the run stopped, or ended, before it could be judged.
PASSED, FAILED, STOPPED, NONE = "passed", "failed", "stopped", "none"
OUTCOMES = (PASSED, FAILED, STOPPED, NONE)


class Canary:
    """The wave of one run: formed from the registry's answer, judged as its last meter ends,
    and the gate every other meter's write waits at."""

    def __init__(
        self,
        wave: Wave,
        pause: float,
        threshold: Threshold | None,
        outcomes: Outcomes,
        record: Callable[..., None],
    ) -> None:
        self.wave, self.pause, self._threshold = wave, pause, threshold
        self._outcomes, self._record = outcomes, record
        self._cond = threading.Condition(threading.Lock())
        self._rows: dict[int, Row] = {}  # by id(): the rows are kept, so no other object takes their id
        self._formed = False
        self._open = False  # past the pause: no write waits any more
        self._release_at: float | None = None
        self.size = self.selected = self.ended = self.failures = self.refused = 0
        self._judged: str | None = None

    @property
    def outcome(self) -> str:
        return self._judged or (STOPPED if self.size else NONE)

    def on_response(self, query: Query, response: Response) -> None:
        """The registry client's observer: the job's one query on the table gives the wave."""
        if query.table_name == REGISTRY_TABLE:
            self.on_selected(response.data)

    def on_selected(self, rows: list[Row]) -> None:
        """The rows the run writes, in its order: the first of them are the wave."""
        if self._formed:
            return
        size = self.wave.size(len(rows))
        with self._cond:
            self._rows = {id(row): row for row in rows[:size]}
            self.size, self.selected, self._formed = size, len(rows), True
            if not size:
                self._release_at = time.monotonic()
        if size:
            self._record(
                "info",
                f"Canary ({self.wave.variable}={self.wave.text}): the first {size} of {len(rows)} selected meters "
                "are written first; the others wait until each of them has ended",
                canary=self.wave.text,
                wave=size,
                selected=len(rows),
            )

    def on_meter_end(self, meter: MeterOutcome) -> None:
        """The outcomes' listener, under their lock. An accepted write has not ended: a wave
        meter ends when its write is confirmed, or fails."""
        if meter.outcome == ACCEPTED or id(meter.row) not in self._rows:
            return
        self.ended += 1
        if meter.cause == "stopped":
            self.refused += 1
        elif meter.cause is not None:
            self.failures += 1
        if self.ended == self.size:
            self._judge()

    def _fails(self) -> bool:
        if self._threshold is None:
            return self.failures > 0
        return self._threshold.crossed(self.failures, self.ended - self.refused, least=1)

    def _judge(self) -> None:
        fields = {"canary": self.wave.text, "wave": self.size, "failures": self.failures, "ended": self.ended}
        if self._fails():
            self._judged = FAILED
            limit = (
                "with no failure threshold, any failure fails it"
                if self._threshold is None
                else f"{self._threshold.variable}={self._threshold.text} applied to the wave"
            )
            self._record(
                "warning",
                f"Stopping: {REASON} ({self.wave.variable}={self.wave.text}): {self.failures} of its {self.size} "
                f"meters failed ({limit}); writes not yet started fail without contacting their mediator",
                **fields,
                selected=self.selected,
            )
            stopping.request_for(REASON)
        elif self.refused:
            self._judged = STOPPED  # the stop that refused them has its own record
        else:
            self._judged = PASSED
            with self._cond:
                self._release_at = time.monotonic() + self.pause
                self._cond.notify_all()
            rest = self.selected - self.size
            self._record(
                "info",
                f"Canary passed ({self.wave.variable}={self.wave.text}): {self.failures} of its {self.size} meters "
                f"failed; the other {rest} start " + (f"in {self.pause:g} s" if self.pause else "now"),
                **fields,
                pause_seconds=self.pause,
            )

    def gate(self) -> None:
        """Before a write: a wave meter goes on; any other waits for the wave, then the pause, or a stop."""
        if self._open:
            return
        meter = self._outcomes.current()
        if meter is not None and id(meter.row) in self._rows:
            return
        with self._cond:
            while stopping.reason() is None:
                if self._release_at is None:
                    self._cond.wait()
                elif (delay := self._release_at - time.monotonic()) > 0:
                    self._cond.wait(min(delay, threading.TIMEOUT_MAX))
                else:
                    self._open = True
                    return

    def wake(self) -> None:
        """End every wait: the run is stopping."""
        with self._cond:
            self._cond.notify_all()

    def summary(self) -> dict[str, object]:
        return {
            "canary": self.wave.text,
            "outcome": self.outcome,
            "wave": self.size,
            "ended": self.ended,
            "failures": self.failures,
            "pause_seconds": self.pause,
        }
