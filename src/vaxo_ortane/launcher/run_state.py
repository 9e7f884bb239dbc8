"""What a run has done so far, kept apart from its settings: when it started and,
when a setting needs them, every meter's outcome.

With no threshold, report or metrics asked for, FLIP_PROGRESS_SECONDS=0 and
standard error no terminal, nothing is installed on the write path: the job's
records go by unobserved, and the modules that would watch them are not even
loaded (prometheus_client alone costs a run 30-40 ms to import). Only the
registry's answer to the job's one query is kept (``selection``), to tell at the
end which listed names selected nothing.

The rollout controls (a write-rate budget, a canary wave, the wait for room in
the ledger's backlog) go into the mediator client's hooks only when set; the
canary also needs the outcomes. The watch on refused credentials is always there:
a counter the mediator client calls. So are the write hooks (``confirming``): every
write carries its idempotency key, and a write the mediator only accepted is
confirmed beside the workers.

A command that writes the meters itself rather than run the job (the undo, which
writes true) hands the rows it writes to ``select`` and tells each outcome to the
outcomes (``Outcomes.begin``, ``written``, ``failed``); the job's records and registry
answer, which it never makes, are watched for nothing.
"""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from vaxo_ortane.launcher.rollout import threshold
from vaxo_ortane.launcher.rollout.refusals import RefusalWatch
from vaxo_ortane.launcher.run.messages import REGISTRY_TABLE
from vaxo_ortane.launcher.settings.environment import Settings
from vaxo_ortane.mediator import pacing
from vaxo_ortane.util.supabase.query import Query, Response, Row, observe_responses
from vaxo_ortane.util.timestamps import utc_now

if TYPE_CHECKING:
    from vaxo_ortane.launcher.confirming.hooks import Confirming
    from vaxo_ortane.launcher.ledger.resume import LedgerRun
    from vaxo_ortane.launcher.rollout.controls import Controls
    from vaxo_ortane.launcher.run.outcomes import Outcomes
    from vaxo_ortane.launcher.watching.live_line import LiveLine
    from vaxo_ortane.launcher.watching.progress import ProgressWatch
    from vaxo_ortane.util.observers import Observation

Record = Callable[..., None]


@dataclass
class Selection:
    """The rows the job's registry query selected, once it has run."""

    rows: list[Row] | None = None

    def on_response(self, query: Query, response: Response) -> None:
        if query.table_name == REGISTRY_TABLE:
            self.rows = response.data


@dataclass
class RunState:
    started: float = field(default_factory=time.monotonic)
    started_at: str = field(default_factory=utc_now)
    outcomes: Outcomes | None = None
    selection: Selection = field(default_factory=Selection)
    ledger: LedgerRun | None = None  # set before watch(), when the run has a ledger
    rollout: Controls | None = None
    confirming: Confirming | None = None
    value: bool = False  # what the run writes: the job's false, or the undo's true
    _observations: list[Observation] = field(default_factory=list)
    _progress: ProgressWatch | None = None
    _display: LiveLine | None = None
    _refusals: RefusalWatch | None = None

    def watch(self, settings: Settings, record: Record) -> None:
        """Start learning the outcomes when ``settings`` need them; call before the job is imported."""
        self._refusals = RefusalWatch(record)
        self._refusals.install()
        self._observations.append(observe_responses(self.selection.on_response))
        if not settings.watched:
            self._confirm(record)
            self._control(settings, record)
            return
        from vaxo_ortane.launcher.run.messages import JOB_LOGGER
        from vaxo_ortane.launcher.run.outcomes import Outcomes
        from vaxo_ortane.util.logging import observe

        on_failure = None
        if settings.max_failures is not None:
            on_failure = threshold.watcher(settings.max_failures, record, lambda: len(outcomes.meters))
        self.outcomes = outcomes = Outcomes(on_failure, self.value)
        self._observations += [observe(JOB_LOGGER, outcomes.on_record), observe_responses(outcomes.on_response)]
        if self.ledger is not None:
            self._observations.append(self.ledger.attach(outcomes))
        self._confirm(record)
        self._control(settings, record)
        self._watch_progress(settings, outcomes, record)

    def _confirm(self, record: Record) -> None:
        # Each write's key, from the rollout with a ledger, else from a run id of this run's own.
        from vaxo_ortane.launcher.confirming.hooks import Confirming
        from vaxo_ortane.launcher.confirming.keys import Keys, rollout_scope, run_scope

        ledger = self.ledger
        if ledger is None:
            keys = Keys(run_scope(os.urandom(16).hex()), self.outcomes, self._selected_rows)
        else:
            from vaxo_ortane.launcher.ledger.store import name_key  # the row id as the ledger keeps it

            scope, unsettled = rollout_scope(ledger.setting.rollout), ledger.unsettled
            keys = Keys(scope, self.outcomes, self._selected_rows, unsettled.requests, unsettled.refused, name_key)
        self.confirming = Confirming.install(keys, self.outcomes, record)

    def _selected_rows(self) -> list[Row] | None:
        return self.selection.rows

    def select(self, rows: list[Row]) -> None:
        """The rows a command that writes the meters itself will write, in its order: to the outcomes,
        the ledger and the canary, as the job's registry answer goes to them."""
        assert self.outcomes is not None, "such a command is watched: it has a ledger"
        self.outcomes.select(rows, by_text=False)
        if self.ledger is not None:
            self.ledger.selected(rows)
        if self.rollout is not None and self.rollout.canary is not None:
            self.rollout.canary.on_selected(rows)

    def confirm_accepted(self) -> None:
        """Hold the run until every accepted write is settled, or the run stops."""
        if self.confirming is not None:
            self.confirming.wait()

    def unconfirmed(self) -> int:
        """How many meters' writes ended unconfirmed; call after ``end``."""
        if self.outcomes is not None:
            count: int = self.outcomes.counts()["failed_by_cause"]["unconfirmed"]
            return count
        return 0 if self.confirming is None else self.confirming.confirmer.unconfirmed

    def _control(self, settings: Settings, record: Record) -> None:
        # The write-rate budget, the canary and the ledger's backlog, when set, in the mediator client's hooks.
        if settings.rollout.active:
            from vaxo_ortane.launcher.rollout.controls import Controls

            self.rollout = Controls.install(
                settings.rollout, settings.max_failures, self.outcomes, record, ledger=self.ledger
            )
        elif self.ledger is not None:
            pacing.install(None, self.ledger.writer.wait_for_room)  # the controls need not load for it

    def _watch_progress(self, settings: Settings, outcomes: Outcomes, record: Record) -> None:
        # How far the run has got: a record every so many seconds, a live line on a terminal.
        if settings.display:
            from vaxo_ortane.launcher.run.signals import before_exit_at_once
            from vaxo_ortane.launcher.watching.live_line import LiveLine

            self._display = LiveLine(sys.stderr)
            self._display.start()
            self._observations.append(before_exit_at_once(self._display.stop))
        if settings.progress_seconds > 0 or self._display is not None:
            from vaxo_ortane.launcher.watching.progress import ProgressWatch

            show = None if self._display is None else self._display.show
            self._progress = ProgressWatch(outcomes, settings.progress_seconds, record, show)
            self._progress.start()

    def end(self) -> float:
        """Stop watching and settle the outcomes; the run's seconds."""
        if self._progress is not None:
            self._progress.stop()
        if self._display is not None:
            self._display.stop()
        for observation in self._observations:
            observation.remove()
        self._observations.clear()
        if self.rollout is not None:
            self.rollout.remove()
        elif self.ledger is not None:
            pacing.reset()
        if self.confirming is not None:
            self.confirming.remove()
        if self._refusals is not None:
            self._refusals.remove()
        if self.outcomes is not None:
            self.outcomes.finish()
        return time.monotonic() - self.started
