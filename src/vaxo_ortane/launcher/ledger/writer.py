"""The one thread that writes a run's facts to its ledger.

Workers hand it each meter's outcome through a queue and never wait on the disk
or the network: the writer owns the connection and, ``BATCH_SECONDS`` after the
first item of a batch came in, commits the batch as one transaction. An outcome
is therefore committed about ``BATCH_SECONDS`` after the job logged it, plus the
time the commit takes.

A write that fails (disk full, server gone) is recorded once, and tried again
every ``RETRY_SECONDS`` with everything that came in since: the run goes on, and
a ledger that recovers loses nothing. Whatever is still unwritten when the run
ends, or was refused as data the store cannot hold, makes the ledger incomplete.

Each transaction carries the run's heartbeat, and an idle writer beats every
``HEARTBEAT_SECONDS``: the run's claims on its names stay its own while it lives
(``ledger.claims``).
"""

from __future__ import annotations

import queue
import threading
from collections.abc import Callable

from vaxo_ortane.launcher.ledger.claims import HEARTBEAT_SECONDS
from vaxo_ortane.launcher.ledger.store import END, OUTCOME, Item, Ledger, LedgerError, RunEnd

Record = Callable[..., None]

BATCH_SECONDS = 0.1
RETRY_SECONDS = 1.0
# The longest a run's end waits for the ledger: a final attempt against a server
# that has gone quiet (connect and statement time-outs) fits inside it.
CLOSE_SECONDS = 30.0


class LedgerWriter:
    def __init__(self, ledger: Ledger, record: Record) -> None:
        self._ledger = ledger
        self._record = record
        self._queue: queue.SimpleQueue[Item] = queue.SimpleQueue()
        # Called under the outcomes' lock: a put, and nothing else.
        self.put = self._queue.put
        self._failure: str | None = None
        self.refused = 0  # outcomes the store refused as data
        self.unwritten = 0  # outcomes still unwritten at the end
        self._complete = False
        self._ending = threading.Event()
        self._thread = threading.Thread(target=self._run, name="ledger-writer", daemon=True)

    def start(self) -> None:
        self._thread.start()

    def close(self, end: RunEnd, limit: float = CLOSE_SECONDS) -> bool:
        """Write what is left, then the run's end; whether the ledger holds every fact of the run."""
        self.put((END, end))
        self._ending.set()
        self._thread.join(limit)
        return not self._thread.is_alive() and self._complete

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
                self._ending.wait(RETRY_SECONDS if self._failure is not None else BATCH_SECONDS)
                pending += self._drain()
                ending = pending[-1][0] == END
                pending = self._write(pending)
                if ending and (not pending or self._failure is not None):
                    self.unwritten = sum(item[0] == OUTCOME for item in pending)
                    self._complete = not pending and self.refused == 0
                    return
        finally:
            self._ledger.close()

    def _drain(self) -> list[Item]:
        items: list[Item] = []
        while True:
            try:
                items.append(self._queue.get_nowait())
            except queue.Empty:
                return items

    def _write(self, items: list[Item]) -> list[Item]:
        """What is left to write after one attempt at ``items``."""
        try:
            self._ledger.write(items, complete=self.refused == 0)
        except LedgerError as exc:
            if exc.transient:
                if self._failure is None:
                    self._record(
                        "error",
                        f"The run's ledger failed: {exc}; the run goes on, and the ledger is "
                        f"tried again every {RETRY_SECONDS:g} s",
                    )
                self._failure = str(exc)
                return items
            refused = [item for item in items if item[0] != END]
            self.refused += sum(item[0] == OUTCOME for item in refused)
            if refused:
                self._record("error", f"The run's ledger refused {len(refused)} facts of the run: {exc}")
            return [item for item in items if item[0] == END]
        if self._failure is not None:
            self._failure = None
            self._record("info", "The run's ledger is written again: nothing was lost")
        return []
