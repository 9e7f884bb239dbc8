"""The undo of a rollout, from its ledger to its workers.

As it begins (``begin``), in the transaction that records it, the undo reads in the
ledger what the rollout did to each meter (``ledger.undoing``): it puts back on every
meter that the rollout switched off and whose value before was true, and leaves every
other one as it is. It refuses a rollout that the ledger does not hold, or one with a
live run, whose writes would race its own. Its names are then recorded, claimed and
left out when done as any rollout's (``ledger.resume``): a killed undo resumed writes
again only what its ledger does not show put back, under the same keys.

``run`` looks each meter's mediator up in the inventory again, by the row id and
serial the ledger holds, and writes true through the mediator client on five
workers: the job's own pool, with the run's hooks around every write (keys, read-back,
accepted writes confirmed, budget, canary, threshold, the ledger's backlog). It tells
each outcome to the run's outcomes itself (``Outcomes.begin``, ``written``, ``failed``).
"""

from __future__ import annotations

from collections.abc import Callable, MutableMapping
from concurrent.futures import ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, NoReturn, Protocol

from vaxo_ortane.launcher.ledger.store import Ledger, RolloutLive
from vaxo_ortane.launcher.ledger.undoing import KINDS, Undo, read_undo
from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.messages import NO_MEDIATOR
from vaxo_ortane.launcher.run.outcomes import ACCEPTED, ALREADY_OFF, SWITCHED_OFF, MeterOutcome, mediator_cause
from vaxo_ortane.launcher.run.records import UNDO_JOB
from vaxo_ortane.launcher.undo.command import PROGRAM

if TYPE_CHECKING:
    from vaxo_ortane.launcher.ledger.resume import LedgerRun
    from vaxo_ortane.launcher.run.outcomes import Outcomes
    from vaxo_ortane.launcher.settings.environment import Settings

Record = Callable[..., None]

WORKERS = 5  # as the job's pool
# What each worker's record says of a meter whose write returned.
_ENDED = {SWITCHED_OFF: "Put back on", ALREADY_OFF: "Already on at the meter: not written", ACCEPTED: "Accepted"}


class State(Protocol):
    """What the undo needs of the run's state (``run_state.RunState``)."""

    outcomes: Outcomes | None

    def select(self, rows: list[dict[str, Any]]) -> None: ...


class UndoRun:
    PROGRAM = PROGRAM

    def __init__(self, settings: Settings, esco: str | None, record: Record) -> None:
        assert settings.ledger is not None and settings.ledger.undo_of is not None
        self.settings, self.esco, self._record = settings, esco, record
        self.rollout = settings.ledger.undo_of
        self.undo: Undo | None = None  # the rollout as the ledger held it when the undo began
        self.ledger: LedgerRun | None = None

    def begin(self, environ: MutableMapping[str, str]) -> LedgerRun:
        """Record the undo in the ledger and claim what it puts back; ends the process on a refusal."""
        from vaxo_ortane.launcher.ledger import resume

        self.ledger = resume.start(self.settings, environ, self._record, self._listing)
        return self.ledger

    def _refuse(self, message: str) -> NoReturn:
        self._record("error", f"The undo cannot start: {message}", rollout=self.rollout, status=statuses.BAD_SETTING)
        raise SystemExit(statuses.BAD_SETTING)

    def _listing(self, ledger: Ledger) -> list[str]:
        # On the ledger just opened, before the undo is recorded: what the rollout did, by meter.
        if ledger.outdated():
            ledger.upgrade()
        undo = read_undo(ledger, self.rollout)
        if undo is None:
            self._refuse(f"the ledger {ledger.shown} holds no rollout {self.rollout!r}; --rollout names the rollout")
        if live := ledger.live_runs(self.rollout):  # said here; the undo's begin checks again under its lock
            self._refuse(str(RolloutLive(self.rollout, live[0])))
        self.undo = undo
        counts = undo.counts()
        said = ", ".join(f"{n} {KINDS[kind]}" for kind, n in counts.items() if n)
        self._record(
            "info",
            f"Undo of rollout {self.rollout}: {len(undo.meters)} meters in the ledger: {said or 'none'}",
            rollout=self.rollout,
            undo=True,
            counts=counts,
        )
        return undo.remaining_names()

    def run(self, state: State) -> None:
        """Put back on the meters whose names this run holds, five at a time."""
        from vaxo_ortane.orchestrate.adapter.factory import get_instance

        assert self.undo is not None and self.ledger is not None and state.outcomes is not None
        containers = get_instance(esco=self.esco)  # an inventory that cannot be used stops the undo: status 1
        kept = self.ledger.kept
        rows = [meter.row() for meter in self.undo.to_put_back() if str(meter.name) in kept]
        state.select(rows)
        outcomes = state.outcomes
        outcomes.esco = self.esco
        self._record(
            "info",
            f"Starting the undo of rollout {self.rollout}: {len(rows)} meters to put back on",
            rollout=self.rollout,
            esco=self.esco,
            meters=len(rows),
        )
        with ThreadPoolExecutor(max_workers=WORKERS) as pool:
            for meter in outcomes.meters:
                pool.submit(self._put_back, outcomes, containers, meter)
        put_back = sum(m.outcome in (SWITCHED_OFF, ALREADY_OFF) for m in outcomes.meters)
        self._record(
            "info", f"Finished the undo of rollout {self.rollout}. Put back: {put_back}/{len(rows)}", esco=self.esco
        )
        outcomes.completed = True

    def _put_back(self, outcomes: Outcomes, containers: Any, meter: MeterOutcome) -> None:
        from vaxo_ortane.mediator.client import OrtaneMediatorClient
        from vaxo_ortane.mediator.mediator_client_exception import MediatorClientException

        outcomes.begin(meter)
        row = meter.row
        fields = {"name": row["name"], "meter_id": row["meter_id"], "serial": row["serial"]}
        # Everything in the try: the pool's futures are not read, so nothing may leave unsaid.
        try:
            address = containers.mediator_address(row["id"], row["serial"])
            if address is None:
                text = f"{NO_MEDIATOR}{row['serial']}"
                outcomes.failed("no_mediator", text)
                self._record("error", text, **fields)
                return
            meter.mediator_address = address
            OrtaneMediatorClient(mediator_address=address, meter_id=row["meter_id"]).prepay_enabled_write(True)
            outcomes.written()
            said = _ENDED.get(meter.outcome, meter.outcome)
            self._record("info", said, **fields, mediator_address=address, outcome=meter.outcome)
        except MediatorClientException as exc:
            outcomes.failed(mediator_cause(exc.cause), exc)
            self._record("error", f"Undo of meter {row['meter_id']} failed: {exc}", **fields, cause=meter.cause)
        except Exception as exc:  # any other failure is this meter's alone, as in the job
            outcomes.failed("error", exc)
            self._record("error", f"Undo of meter {row['meter_id']} failed: {exc!r}", **fields, cause="error")

    def report(self) -> dict[str, Any]:
        """What the undo's report adds to a run's: the rollout, and the meters left as they are."""
        undo = self.undo
        return {
            "job": UNDO_JOB,
            "undo_of": self.rollout,
            "value_written": True,
            "kinds": None if undo is None else undo.counts(),
            "left_as_they_are": None if undo is None else undo.named(),
        }
