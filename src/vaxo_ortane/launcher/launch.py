"""``prepay-enabled-flip``: run the compiled job as the program's main module.

``python -m`` cannot do this: runpy only runs modules with Python source or byte code.

The path of a run, a step a line, with where each step lives::

    run.signals            SIGTERM, SIGINT and SIGHUP become stop requests, from the very start
    settings.environment   the environment read once: <VAR>_FILE values, the shard's
                           names (run.shards), every launcher setting, checked
    ledger.resume          with FLIP_LEDGER: the run and its names recorded, the names
                           already switched off left out (ledger.writer commits outcomes)
    run_state              the outcomes watched when a setting needs them (run.outcomes),
                           the controls put in place (rollout.controls: rate_budget,
                           canary, threshold), progress and the live line (watching)
    run_main               the job module run as __main__: the job's own work, then the
                           wait for its accepted writes to be confirmed (confirming)
    _close                 the ledger's end, the report and the metrics (results), then
                           the closing summary (watching.summary)

A run stopped by a signal, by its failure threshold, by a failed canary or by
mediators that refuse its credentials says so in its status, whatever the job
itself ended with.

``prepay-enabled-flip-undo`` takes the same path, with the undo's own work in place
of the job's (``undo``): its names come from the ledger, and its workers write true.
"""

from __future__ import annotations

import gc
import importlib.util
import os
import signal
import sys
import traceback
from collections.abc import Callable
from typing import TYPE_CHECKING

from vaxo_ortane.launcher.rollout import refusals, threshold
from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.records import record
from vaxo_ortane.launcher.run.shards import ShardRun, settled_status, status_without_run
from vaxo_ortane.launcher.run.signals import SignalWatcher
from vaxo_ortane.launcher.run_state import RunState
from vaxo_ortane.launcher.settings import environment as launcher_settings
from vaxo_ortane.launcher.settings.environment import Settings
from vaxo_ortane.util import stopping

if TYPE_CHECKING:
    from vaxo_ortane.launcher.undo.runner import UndoRun

JOB_MODULE = "vaxo_ortane.jobs.prepay_enabled_flip"


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


def main() -> int:
    """The program's entry point: run the job, then let the process end."""
    try:
        return _run_watched()
    finally:
        # The process ends next. Frozen, the interpreter's collections at shutdown
        # skip every object instead of walking them all: 10-15 ms of CPU a run.
        # Standard streams are still flushed, and atexit handlers still run.
        gc.freeze()


def undo_main(argv: list[str] | None = None) -> int:
    """``prepay-enabled-flip-undo``: put back on what a rollout switched off (``undo``)."""
    from vaxo_ortane.launcher.undo import command
    from vaxo_ortane.launcher.undo.runner import UndoRun

    args = command.arguments(argv)
    if args.plan:
        from vaxo_ortane.launcher.undo import plan

        return plan.main(args)  # reads only: Ctrl-C ends it at once, as the run's plan
    try:
        watcher = SignalWatcher()
        watcher.install()
        settings = command.settings(args.rollout, os.environ, record)
        undo = UndoRun(settings, args.esco, record)
        state = RunState(value=True)
        state.ledger = undo.begin(os.environ)
        return _watched(watcher, settings, state, lambda: undo.run(state), undo)
    finally:
        gc.freeze()


def _run_watched() -> int:
    # From the very start: a signal while the settings are read is a stop request too.
    watcher = SignalWatcher()
    watcher.install()
    settings = launcher_settings.from_env(os.environ, record)
    state = RunState()
    if settings.ledger is not None:
        from vaxo_ortane.launcher.ledger import resume  # loaded only for a run with a ledger

        state.ledger = resume.start(settings, os.environ, record)
    return _watched(watcher, settings, state, run_main)


def _watched(
    watcher: SignalWatcher, settings: Settings, state: RunState, work: Callable[[], None], undo: UndoRun | None = None
) -> int:
    """The run from its settings to its status: ``work`` (the job, or an undo's own) watched."""
    if (status := _status_without_run(settings, state)) is not None:
        if (signum := watcher.finish()) is not None:
            status = _stopped_on(signum, status)
        state.watch(settings, record)
        return _close(settings, state, status, undo)
    state.watch(settings, record)
    try:
        status = _run_to_end(watcher, settings.shard, work, state.confirm_accepted)
    except SystemExit as exit_info:
        status = _status_of(exit_info.code)
        if state.ledger is not None and (settled := state.ledger.settled_status(status, record)) is not None:
            return _close(settings, state, settled, undo)
        _close(settings, state, status, undo)
        raise
    except BaseException:
        _close(settings, state, statuses.COLLABORATOR_FAILED, undo)
        raise
    return _close(settings, state, status, undo)


def _status_without_run(settings: Settings, state: RunState) -> int | None:
    # An empty shard, or a rollout that has already switched off every name of this run.
    if (status := status_without_run(settings.shard, record)) is not None or state.ledger is None:
        return status
    return state.ledger.status_without_run(record)


def _close(settings: Settings, state: RunState, status: int, undo: UndoRun | None = None) -> int:
    """The ledger's end, the report, the metrics, then the closing summary, of a run (or ``undo``)
    that ended with ``status``. Only an incomplete ledger changes the status (``resume``); the rest never do.
    """
    seconds = state.end()
    status = _confirmed_status(state, status)
    unselected = None
    if state.selection.rows is not None:
        from vaxo_ortane.launcher.results.unselected import look_up

        unselected = look_up(os.environ, state.selection.rows, record)
    outcomes = state.outcomes
    if outcomes is None:
        return status
    if state.ledger is not None:
        status = state.ledger.close(outcomes, status, record)
    reported = False
    if settings.report is not None:
        from vaxo_ortane.launcher.results import report

        reported = report.write_run(
            settings.report,
            settings,
            outcomes,
            status,
            state.started_at,
            seconds,
            record,
            rollout=state.rollout,
            unselected=unselected,
            more=None if undo is None else undo.report(),
        )
    if settings.pushgateway is not None:
        from vaxo_ortane.launcher.results import metrics

        job = metrics.JOB if undo is None else metrics.UNDO_JOB
        metrics.push_run(
            settings.pushgateway, outcomes, status, seconds, settings.shard, record, rollout=state.rollout, job=job
        )
    from vaxo_ortane.launcher.watching import summary  # last: it names the report and the exit status

    program = summary.PROGRAM if undo is None else undo.PROGRAM
    summary.write(outcomes, status, settings.report if reported else None, settings.display, record, program)
    return status


def _status_of(code: object) -> int:
    # What the interpreter makes of a SystemExit's code.
    return statuses.SUCCESS if code is None else code if isinstance(code, int) else statuses.COLLABORATOR_FAILED


def _confirmed_status(state: RunState, status: int) -> int:
    # A run that would end 0 says so when some meter's write was not confirmed.
    if status != statuses.SUCCESS or not (unconfirmed := state.unconfirmed()):
        return status
    record(
        "warning",
        f"{unconfirmed} meters' writes are not confirmed: exit status {statuses.UNCONFIRMED}",
        unconfirmed=unconfirmed,
        status=statuses.UNCONFIRMED,
        run_status=status,
    )
    return statuses.UNCONFIRMED


def _run_to_end(
    watcher: SignalWatcher, shard_run: ShardRun | None, work: Callable[[], None], confirm: Callable[[], None]
) -> int:
    try:
        work()
        confirm()  # before the run's end: a signal while it waits is a stop request
    except SystemExit as exit_info:
        if (signum := watcher.finish()) is None and stopping.reason() is None:
            if (status := settled_status(shard_run, exit_info.code, record)) is not None:
                return status
            raise  # no stop: the job's own status reaches the process unchanged
        run_status: object = exit_info.code
    except BaseException as exc:
        if (signum := watcher.finish()) is None and stopping.reason() is None:
            raise
        traceback.print_exception(exc)
        run_status = statuses.COLLABORATOR_FAILED
    else:
        if (signum := watcher.finish()) is None and stopping.reason() is None:
            return statuses.SUCCESS
        run_status = statuses.SUCCESS
    # A stopped run says so, whatever the job itself ended with: a scheduler
    # must not take a stopped run for a complete one.
    if signum is None:
        reason = stopping.reason() or threshold.REASON
        status = statuses.CREDENTIALS_REFUSED if reason == refusals.REASON else statuses.stopped_as(reason)
        record("warning", f"Stopped as {reason}: exit status {status}", status=status, run_status=run_status)
        return status
    return _stopped_on(signum, run_status)


def _stopped_on(signum: signal.Signals, run_status: object) -> int:
    status = statuses.stopped_by(signum)
    record(
        "warning",
        f"Stopped on {signum.name}: exit status {status}",
        signal=signum.name,
        status=status,
        run_status=run_status,
    )
    return status
