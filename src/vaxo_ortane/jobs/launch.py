"""Run the compiled prepay-enabled flip as the program's main module.

``python -m`` cannot do this: runpy only runs modules with Python source or byte code.

The first SIGTERM or SIGINT asks the run to stop: writes not yet started fail at
once without contacting their mediator, writes in flight finish, the run ends with
its summary and the process exits 128 + the signal's number. A second signal ends
the process at once.

Before the module runs, settings given as ``<VAR>_FILE`` files are read into the
environment and a sharded run keeps only its shard's names (``job_environment``).
"""

from __future__ import annotations

import functools
import gc
import importlib.util
import os
import signal
import socket
import sys
import threading
import traceback
from types import FrameType
from typing import Any

from vaxo_ortane.jobs import job_environment
from vaxo_ortane.util import stopping
from vaxo_ortane.util.logging import get_logger

JOB_MODULE = "vaxo_ortane.jobs.prepay_enabled_flip"
STOP_SIGNALS = (signal.SIGTERM, signal.SIGINT)


def run_main() -> None:
    """Execute a fresh copy of the job module as ``__main__``.

    The module reads its command line from ``sys.argv`` and ends the process through
    ``SystemExit`` when a precondition fails; both reach the caller unchanged.
    """
    spec = importlib.util.find_spec(JOB_MODULE)
    if spec is None or spec.loader is None:
        raise ImportError(f"cannot find the module {JOB_MODULE}", name=JOB_MODULE)
    module = importlib.util.module_from_spec(spec)
    module.__name__ = "__main__"
    sys.modules["__main__"] = module
    spec.loader.exec_module(module)


def record(level: str, message: str, **fields: object) -> None:
    """Write one of the launcher's records through the project's logger.

    The logger is made at the first record, so a run that no signal reaches makes
    none. Should it fail, the record still reaches standard error as plain text:
    a stop must not depend on the logging settings.
    """
    try:
        getattr(_logger(), level)(message, **fields)
    except Exception as exc:
        print(f"{message} ({fields}; the logger failed: {exc!r})", file=sys.stderr, flush=True)


@functools.cache
def _logger() -> Any:
    return get_logger(__name__)


def _leave_to_watcher(signum: int, frame: FrameType | None) -> None:
    # The watcher thread acts on the signal. This handler only keeps the default
    # action (death, or KeyboardInterrupt in the job's threads) away.
    pass


class SignalWatcher:
    """Turns SIGTERM and SIGINT into a stop request the moment they arrive.

    A Python-level handler runs on the main thread only, between byte codes, and the
    main thread may sit in C code (a registry query, a thread join) for a long time.
    The interpreter's C-level handler also writes each signal's number to a wake-up
    socket, and a thread of our own reads it there at once.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._finished = False
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
        with self._lock:  # held while logging: this record comes before the run's last
            finished = self._finished
            if not finished and stopping.request(signum):
                record(
                    "warning",
                    f"Stopping on {signum.name}: writes not yet started fail without contacting "
                    "their mediator, writes in flight finish; a second signal exits at once",
                    signal=signum.name,
                )
                return
        status = 128 + signum
        lost = "the run had ended" if finished else "writes in flight have no outcome record"
        record("error", f"Exiting at once on {signum.name}: {lost}", signal=signum.name, status=status)
        os._exit(status)  # no clean-up: the signal asked for the process to end now


def main() -> int:
    """The program's entry point: run the job, then let the process end."""
    try:
        return _run_watched()
    finally:
        # The process ends next. Frozen, the interpreter's collections at shutdown
        # skip every object instead of walking them all: 10-15 ms of CPU a run.
        # Standard streams are still flushed, and atexit handlers still run.
        gc.freeze()


def _run_watched() -> int:
    shard_run = job_environment.prepare(os.environ, record)
    if (status := job_environment.status_without_run(shard_run, record)) is not None:
        return status
    watcher = SignalWatcher()
    watcher.install()
    try:
        run_main()
    except SystemExit as exit_info:
        if (signum := watcher.finish()) is None:
            if (status := job_environment.settled_status(shard_run, exit_info.code, record)) is not None:
                return status
            raise  # no signal: the job's own status reaches the process unchanged
        run_status: object = exit_info.code
    except BaseException as exc:
        if (signum := watcher.finish()) is None:
            raise
        traceback.print_exception(exc)
        run_status = 1
    else:
        if (signum := watcher.finish()) is None:
            return 0
        run_status = 0
    # An interrupted run says so, whatever the job itself ended with: a scheduler
    # must not take a stopped run for a complete one.
    status = 128 + signum
    record(
        "warning", f"Stopped on {signum.name}: exit status {status}",
        signal=signum.name, status=status, run_status=run_status,
    )
    return status
