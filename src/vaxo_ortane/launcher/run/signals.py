"""SIGTERM, SIGINT and SIGHUP (a terminal or SSH session closed) as stop requests.

The first signal asks the run to stop: writes not yet started fail at once
without contacting their mediator, writes in flight finish, the run ends with its
summary. A second signal ends the process at once. Signals that arrive within
about a second of the first are the same request: ``timeout`` and
``kill -- -PGID`` send one to the process and one to its process group.
"""

from __future__ import annotations

import os
import signal
import socket
import threading
import time
from collections.abc import Callable
from types import FrameType

from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.records import record
from vaxo_ortane.util import stopping, temp_files
from vaxo_ortane.util.observers import Observation, Observers

STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
# Signals this soon after the first one repeat its request.
SAME_REQUEST = 1.0
# Called just before a second signal ends the process: a live display gives the terminal back.
_before_exit: Observers[Callable[[], None]] = Observers()


def before_exit_at_once(callback: Callable[[], None]) -> Observation:
    """Have ``callback()`` called, quickly and from any thread, before the process ends at once."""
    return _before_exit.add(callback)


def _leave_to_watcher(signum: int, frame: FrameType | None) -> None:
    # The watcher thread acts on the signal. This handler only keeps the default
    # action (death, or KeyboardInterrupt in the job's threads) away.
    pass


class SignalWatcher:
    """Turns SIGTERM, SIGINT and SIGHUP into a stop request the moment they arrive.

    A Python-level handler runs on the main thread only, between byte codes, and the
    main thread may sit in C code (a registry query, a thread join) for a long time.
    The interpreter's C-level handler also writes each signal's number to a wake-up
    socket, and a thread of our own reads it there at once.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._finished = False
        self._first: float | None = None  # when the first stop signal came
        self._reader, self._writer = socket.socketpair()
        self._writer.setblocking(False)  # the C-level handler must never block
        self._thread = threading.Thread(target=self._watch, name="signal-watcher", daemon=True)

    def install(self) -> None:
        """Start watching; call on the main thread, before the job runs."""
        self._thread.start()
        signal.set_wakeup_fd(self._writer.fileno(), warn_on_full_buffer=False)
        for signum in STOP_SIGNALS:
            # A signal the caller chose to ignore (nohup, `cmd &` in a script) stays ignored.
            if signal.getsignal(signum) is not signal.SIG_IGN:
                signal.signal(signum, _leave_to_watcher)

    def finish(self) -> signal.Signals | None:
        """Mark the run as ended; from now on any signal ends the process at once.

        Returns the signal that asked the run to stop, if one did.
        """
        with self._lock:
            self._finished = True
            return stopping.requested()

    def _watch(self) -> None:
        while data := self._reader.recv(64):
            for signum in data:
                if signum in STOP_SIGNALS:
                    self._on_signal(signal.Signals(signum))

    def _on_signal(self, signum: signal.Signals) -> None:
        now = time.monotonic()
        with self._lock:  # held while logging: this record comes before the run's last
            finished = self._finished
            if self._first is not None and now - self._first < SAME_REQUEST:
                return
            if self._first is None:
                self._first = now
            if not finished and stopping.request(signum):
                record(
                    "warning",
                    f"Stopping on {signum.name}: writes not yet started fail without contacting "
                    f"their mediator, writes in flight finish; a signal more than {SAME_REQUEST:g} s "
                    "later exits at once",
                    signal=signum.name,
                )
                return
        status = statuses.stopped_by(signum)
        lost = "the run had ended" if finished else "writes in flight have no outcome record"
        record("error", f"Exiting at once on {signum.name}: {lost}", signal=signum.name, status=status)
        temp_files.remove_all_for_exit()  # a report half written goes, a pair half renamed is completed
        try:
            for callback in _before_exit.current():
                callback()
        finally:
            os._exit(status)  # no other clean-up: the signal asked for the process to end now
