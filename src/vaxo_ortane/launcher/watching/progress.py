"""``FLIP_PROGRESS_SECONDS``: how far a run has got, as a record every so many seconds.

A listener on the outcomes keeps running counts, so that a look at them costs
the same at ten meters as at a million. One thread of our own samples them: it
writes a progress record when one is due, while meters are being worked on
(after the registry's answer, before every selected meter has ended and the
job's summary), and hands each sample to the terminal's live line when there is
one. The rate is taken over the last minute, so that the time left follows a
run that slows down or speeds up.
"""

from __future__ import annotations

import threading
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass

from vaxo_ortane.launcher.run.outcomes import (
    ACCEPTED,
    ALREADY_OFF,
    CAUSES,
    SWITCH_OFF_WORDS,
    SWITCHED_OFF,
    MeterOutcome,
    Outcomes,
)
from vaxo_ortane.util import stopping

Record = Callable[..., None]
Show = Callable[["Snapshot"], None]

RATE_WINDOW = 60.0
# How often the live line is redrawn; without one, how often a due record is looked for.
DISPLAY_TICK = 0.2
RECORD_TICK = 1.0


@dataclass(frozen=True)
class Snapshot:
    selected: int
    switched_off: int
    failed_by_cause: dict[str, int]
    rate: float  # meters ended a second
    stopping: str | None
    already_off: int = 0
    accepted: int = 0  # written, and waiting to be confirmed: not ended
    words: tuple[str, str] = SWITCH_OFF_WORDS  # how the two good ends are named (``Outcomes.words``)

    @property
    def not_sent(self) -> int:
        """Meters refused unsent because the run is stopping: never tried, so not failed."""
        return self.failed_by_cause.get("stopped", 0)

    @property
    def failed(self) -> int:
        return sum(self.failed_by_cause.values()) - self.not_sent

    @property
    def ended(self) -> int:
        return self.switched_off + self.already_off + self.failed + self.not_sent

    @property
    def eta_seconds(self) -> int | None:
        left = self.selected - self.ended
        if left <= 0:
            return 0
        return max(1, round(left / self.rate)) if self.rate > 0 else None


def rate_text(rate: float) -> str:
    return f"{rate:,.0f}" if rate >= 10 else f"{rate:.1f}".removesuffix(".0")


def duration_text(seconds: int) -> str:
    if seconds < 60:
        return "1 second" if seconds == 1 else f"{seconds} seconds"
    if seconds < 90 * 60:
        minutes = round(seconds / 60)
        return "1 minute" if minutes == 1 else f"{minutes} minutes"
    return f"{seconds / 3600:.1f} hours".replace(".0 ", " ")


def time_left(snapshot: Snapshot) -> str:
    eta = snapshot.eta_seconds
    if eta == 0:
        return "all ended"
    return "time left unknown" if eta is None else f"about {duration_text(eta)} left"


def message(snapshot: Snapshot) -> str:
    done, already = snapshot.words
    already_off = f"{snapshot.already_off:,} {already}, " if snapshot.already_off else ""
    not_sent = f", {snapshot.not_sent:,} not sent" if snapshot.not_sent else ""
    accepted = f"; {snapshot.accepted:,} accepted, to confirm" if snapshot.accepted else ""
    return (
        f"Progress: {snapshot.ended:,} of {snapshot.selected:,} meters ended "
        f"({snapshot.switched_off:,} {done}, {already_off}{snapshot.failed:,} failed{not_sent}{accepted}), "
        f"{rate_text(snapshot.rate)} a second, {time_left(snapshot)}"
    )


def fields(snapshot: Snapshot) -> dict[str, object]:
    return Outcomes.recorded(
        {
            "ended": snapshot.ended,
            "selected": snapshot.selected,
            "switched_off": snapshot.switched_off,
            "already_off": snapshot.already_off,
            "accepted": snapshot.accepted,
            "failed": snapshot.failed,
            "not_sent": snapshot.not_sent,
            "failed_by_cause": snapshot.failed_by_cause,
            "rate": round(snapshot.rate, 2),
            "eta_seconds": snapshot.eta_seconds,
        }
    )


class ProgressWatch:
    """Samples a run's outcomes on a thread of its own; ``every`` 0 writes no record."""

    def __init__(self, outcomes: Outcomes, every: float, record: Record, show: Show | None = None) -> None:
        self._outcomes = outcomes
        self._every = every
        self._record = record
        self._show = show
        # Taken by the listener and around a progress record: a record never follows the last meter's end.
        self._lock = threading.Lock()
        self._switched_off = self._already_off = 0
        self._accepted: set[int] = set()  # the meters (by id) whose accepted writes wait to be confirmed
        self._failed = dict.fromkeys(CAUSES, 0)
        self._samples: deque[tuple[float, int]] = deque()
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, name="progress", daemon=True)
        outcomes.listen(self._on_end)

    def _on_end(self, meter: MeterOutcome) -> None:
        # Called under the outcomes' lock as each meter ends: counts only.
        with self._lock:
            if meter.outcome == ACCEPTED:
                self._accepted.add(id(meter))
                return
            if meter.request_id is not None:
                self._accepted.discard(id(meter))
            if meter.outcome == SWITCHED_OFF:
                self._switched_off += 1
            elif meter.outcome == ALREADY_OFF:
                self._already_off += 1
            else:
                cause = meter.cause if meter.cause in self._failed else "error"
                self._failed[cause] += 1

    def start(self) -> None:
        self._thread.start()

    def stop(self) -> None:
        self._stop.set()
        if self._thread.is_alive():
            self._thread.join()

    def sample(self, now: float) -> Snapshot | None:
        """The counts now, or None before the registry has answered."""
        selected_at = self._outcomes.selected_at
        if selected_at is None:
            return None
        with self._lock:
            switched_off, failed = self._switched_off, dict(self._failed)
            already_off, accepted = self._already_off, len(self._accepted)
        ended = switched_off + already_off + sum(failed.values())
        samples = self._samples
        if not samples:
            samples.append((selected_at, 0))
        samples.append((now, ended))
        while len(samples) > 2 and samples[1][0] <= now - RATE_WINDOW:
            samples.popleft()
        since, ended_then = samples[0]
        rate = (ended - ended_then) / (now - since) if now > since else 0.0
        outcomes = self._outcomes
        return Snapshot(
            len(outcomes.meters), switched_off, failed, rate, stopping.reason(), already_off, accepted, outcomes.words
        )

    def _run(self) -> None:
        tick = DISPLAY_TICK if self._show is not None else min(self._every, RECORD_TICK)
        due: float | None = None
        while not self._stop.wait(tick):
            now = time.monotonic()
            snapshot = self.sample(now)
            if snapshot is None:
                continue
            if self._every > 0:
                if due is None:
                    due = (self._outcomes.selected_at or now) + self._every
                if now >= due:
                    due = max(due + self._every, now)
                    self._write(snapshot)
            if self._show is not None:
                try:
                    self._show(snapshot)
                except Exception as exc:  # the records go on without the live line
                    self._show = None
                    self._record("error", f"The live line stopped: {exc!r}")

    def _write(self, snapshot: Snapshot) -> None:
        with self._lock:
            ended = self._switched_off + self._already_off + sum(self._failed.values())
            # After the job's summary, while its accepted writes are being confirmed, records go on.
            if ended < snapshot.selected and (not self._outcomes.completed or self._accepted):
                self._record("info", message(snapshot), **fields(snapshot))
