"""The one thread that writes a run's facts to its ledger.

Workers hand it each meter's outcome through a queue and never wait on the disk
or the network: the writer owns the connection and, ``BATCH_SECONDS`` after the
first item of a batch came in, commits the batch as one transaction. An outcome
is therefore committed about ``BATCH_SECONDS`` after the job logged it, plus the
time the commit takes.

The workers stop starting new writes while ``FLIP_LEDGER_BACKLOG`` outcomes wait
to be saved (``wait_for_room``, the mediator client's write gate), and the writer
commits early once half as many wait: a healthy ledger keeps up, and while it
fails a kill loses at most that backlog and the writes in flight.

A write that fails (disk full, server gone) is recorded once, and tried again
every ``RETRY_SECONDS`` with everything that came in since; a ledger that
recovers loses nothing. One that keeps failing for ``FLIP_LEDGER_WAIT`` stops
the run (``waiting.Outage``). At the run's end the writer goes on trying for
``CLOSE_RETRY_SECONDS``; whatever is still unwritten then, or was refused as data
the store cannot hold, makes the ledger incomplete.

Each transaction carries the run's heartbeat, and an idle writer beats every
``HEARTBEAT_SECONDS``: the run's claims on its names stay its own while it lives
(``ledger.claims``).
"""

from __future__ import annotations

import queue
import threading
import time
from collections.abc import Callable

from vaxo_ortane.launcher.ledger.claims import HEARTBEAT_SECONDS
from vaxo_ortane.launcher.ledger.store import END, OUTCOME, Item, Ledger, LedgerError, RunEnd
from vaxo_ortane.launcher.ledger.waiting import Outage
from vaxo_ortane.launcher.settings.environment import DEFAULT_LEDGER_BACKLOG, DEFAULT_LEDGER_WAIT
from vaxo_ortane.launcher.settings.variables import LEDGER_BACKLOG, LEDGER_WAIT
from vaxo_ortane.util import stopping
from vaxo_ortane.util.observers import Observation

Record = Callable[..., None]

BATCH_SECONDS = 0.1
RETRY_SECONDS = 1.0
# The longest a run's end waits for the ledger: attempts are started for the first
# CLOSE_RETRY_SECONDS, and one against a server that has gone quiet (connect and
# statement time-outs, 20 s) still ends inside it.
CLOSE_SECONDS = 30.0
CLOSE_RETRY_SECONDS = 10.0


class LedgerWriter:
    def __init__(
        self,
        ledger: Ledger,
        record: Record,
        backlog: int = DEFAULT_LEDGER_BACKLOG,
        wait: float = DEFAULT_LEDGER_WAIT,
    ) -> None:
        self._ledger = ledger
        self._record = record
        self._queue: queue.SimpleQueue[Item] = queue.SimpleQueue()
        # Called under the outcomes' lock: a put, and nothing else.
        self.put = self._queue.put
        self.backlog = backlog
        self.outcomes_put = 0  # counted under the outcomes' lock
        self.saved = 0  # outcomes committed or refused; the writer thread's, under _room
        self._room = threading.Condition()  # told when outcomes are saved, the run stops or the writer ends
        self._wake = threading.Event()  # commit now, without waiting for the batch's end
        self._failure: str | None = None
        self._outage = Outage(wait, record)
        self.refused = 0  # outcomes the store refused as data
        self.unwritten = 0  # outcomes still unwritten at the end
        self._complete = False
        self._close_by = float("inf")
        self._thread = threading.Thread(target=self._run, name="ledger-writer", daemon=True)
        self._on_stop: Observation | None = None

    def start(self) -> None:
        self._on_stop = stopping.on_stop(self._tell_waiters)
        self._thread.start()

    def put_outcome(self, item: Item) -> None:
        """Hand over a meter's outcome; call under the outcomes' lock, which keeps the count."""
        self.outcomes_put += 1
        self._queue.put(item)

    def wait_for_room(self) -> None:
        """Before a write: wait while ``backlog`` outcomes wait to be saved; at once when the run stops."""
        waiting = self.outcomes_put - self.saved
        if 2 * waiting < self.backlog:
            return
        if self._failure is None:
            self._wake.set()  # a ledger that works takes them now rather than at the batch's end
        if waiting < self.backlog:
            return
        with self._room:
            while (
                self.outcomes_put - self.saved >= self.backlog and stopping.reason() is None and self._thread.is_alive()
            ):
                self._room.wait()

    def _tell_waiters(self) -> None:
        with self._room:
            self._room.notify_all()

    def close(self, end: RunEnd, limit: float = CLOSE_SECONDS) -> bool:
        """Write what is left, then the run's end; whether the ledger holds every fact of the run."""
        self._outage.stops = False  # the run is over: its status is settled
        self._close_by = time.monotonic() + min(self._outage.wait, CLOSE_RETRY_SECONDS, limit)
        self.put((END, end))
        self._wake.set()
        self._thread.join(limit)
        if self._on_stop is not None:
            self._on_stop.remove()
        if self._thread.is_alive():  # an attempt still under way: nothing of it counts
            self.unwritten = self.outcomes_put - self.saved
            return False
        return self._complete

    def _run(self) -> None:
        pending: list[Item] = []
        try:
            while True:
                if not pending:
                    try:
                        pending.append(self._queue.get(timeout=HEARTBEAT_SECONDS))
                    except queue.Empty:
                        self._write([])  # the heartbeat alone
                        continue
                # The batch gathers while the writer sleeps: one wake-up a batch, where
                # waiting on the queue would cost a thread switch an outcome.
                self._wake.wait(RETRY_SECONDS if self._failure is not None else BATCH_SECONDS)
                self._wake.clear()
                pending += self._drain()
                ending = pending[-1][0] == END
                pending = self._write(pending)
                if ending and (not pending or time.monotonic() >= self._close_by):
                    self.unwritten = sum(item[0] == OUTCOME for item in pending)
                    self._complete = not pending and self.refused == 0
                    return
        finally:
            self._ledger.close()
            self._tell_waiters()

    def _drain(self) -> list[Item]:
        items: list[Item] = []
        while True:
            try:
                items.append(self._queue.get_nowait())
            except queue.Empty:
                return items

    def _saved(self, items: list[Item]) -> None:
        with self._room:
            self.saved += sum(item[0] == OUTCOME for item in items)
            self._room.notify_all()

    def _write(self, items: list[Item]) -> list[Item]:
        """What is left to write after one attempt at ``items``."""
        try:
            self._ledger.write(items, complete=self.refused == 0)
        except LedgerError as exc:
            if exc.transient:
                if self._outage.failed():
                    self._record(
                        "error",
                        f"The run's ledger failed: {exc}; the run goes on, new writes wait while "
                        f"{self.backlog} outcomes wait to be saved ({LEDGER_BACKLOG}), and the ledger is tried "
                        f"again every {RETRY_SECONDS:g} s for up to {self._outage.wait:g} s ({LEDGER_WAIT})",
                    )
                self._failure = str(exc)
                return items
            refused = [item for item in items if item[0] != END]
            self.refused += sum(item[0] == OUTCOME for item in refused)
            if refused:
                self._record("error", f"The run's ledger refused {len(refused)} facts of the run: {exc}")
            self._saved(refused)
            return [item for item in items if item[0] == END]
        self._saved(items)
        if self._outage.recovered():
            self._failure = None
            self._record("info", "The run's ledger is written again: nothing was lost")
        return []
