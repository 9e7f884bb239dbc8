"""A run with a ledger: its names recorded under the rollout, the ones already done left out.

Before the job reads its name list (after the ``_FILE`` values and the shard),
the launcher opens the ledger, records the run and the names it lists, and
takes out of the list every name whose selected meters the ledger shows all
switched off in this rollout: the job's query never selects them. It claims the
others (``ledger.claims``); a name that another live run of the rollout holds is
waited for, then left out: that run writes it. A run left with no name does not
run the job and ends 0, as an empty shard does.

The ledger also gives what earlier runs left to follow up: the requests they hold
for accepted writes, which this run polls instead of writing again, and the keys
whose change the head-end refused, which this run makes again under the next key.

While the job runs, the registry's answer (the selected rows) and each meter's
outcome go to the ledger's writer thread (``ledger.writer``). A ledger out of
reach at the start (no answer, busy, starting up) is waited for, up to
``FLIP_LEDGER_WAIT`` (``waiting``), then the launcher ends with status 12, which a
scheduler retries; one that refuses (a bad address, a password refused, a newer
schema) ends it with status 2 before any write. One that fails later never fails
a meter, and a run that would have ended 0 ends 12 when its ledger is incomplete.
"""

from __future__ import annotations

import dataclasses
import time
import uuid
from collections.abc import Callable, MutableMapping
from dataclasses import dataclass, field
from typing import NoReturn

from vaxo_ortane.launcher.ledger import waiting
from vaxo_ortane.launcher.ledger.backends import open_ledger
from vaxo_ortane.launcher.ledger.claims import POLL_SECONDS, STOPPING_WAIT_SECONDS, WAIT_SECONDS, Holder
from vaxo_ortane.launcher.ledger.store import (
    OUTCOME,
    SELECTED,
    Ledger,
    LedgerError,
    LedgerMissing,
    RolloutClosed,
    RunEnd,
    RunStart,
    Unsettled,
    name_key,
)
from vaxo_ortane.launcher.ledger.writer import LedgerWriter
from vaxo_ortane.launcher.run import statuses
from vaxo_ortane.launcher.run.messages import REGISTRY_TABLE
from vaxo_ortane.launcher.run.outcomes import ALREADY_OFF, FAILED, NOT_RUN, SWITCHED_OFF, MeterOutcome, Outcomes
from vaxo_ortane.launcher.run.shards import split_names
from vaxo_ortane.launcher.settings.environment import LedgerSetting, Settings
from vaxo_ortane.launcher.settings.variables import LEDGER, LEDGER_WAIT, NAMES
from vaxo_ortane.util import stopping
from vaxo_ortane.util.observers import Observation
from vaxo_ortane.util.supabase.query import Query, Response, Row, observe_responses

Record = Callable[..., None]


@dataclass
class LedgerRun:
    """The ledger's part in one run."""

    setting: LedgerSetting
    writer: LedgerWriter
    run_id: str
    listed: int
    left_out: int
    held: int = 0  # left out too: another live run of the rollout writes them
    unsettled: Unsettled = field(default_factory=lambda: Unsettled({}, {}))
    kept: frozenset[str] = frozenset()  # the listed names this run writes: neither done nor held

    def status_without_run(self, record: Record) -> int | None:
        """0 when every listed name is already done, or held by another run, so the job need not run;
        None when it runs. An undo with no name lists nothing to put back: it need not run either."""
        if self.listed == 0 and self.setting.undo_of is not None:
            record("info", f"{self.setting.title}: nothing to put back, exit status 0", **self.setting.fields)
            return statuses.SUCCESS
        if self.listed == 0 or self.left_out + self.held < self.listed:
            return None
        done = f"already {self.setting.done}" + ("" if not self.held else " or held by another live run")
        record(
            "info",
            f"{self.setting.title}: every name of this run is {done}: nothing to do, exit status 0",
            **self.setting.fields,
            run_id=self.run_id,
        )
        return statuses.SUCCESS

    def settled_status(self, status: int, record: Record) -> int | None:
        """0 for a resumed run whose remaining names select no meter: the rollout's work is done."""
        if self.left_out == 0 or status != statuses.NO_METER_SELECTED:
            return None
        said = f"{self.setting.title}: the names left select no meter, exit status 0 instead of 10"
        record("info", said, **self.setting.fields, status=statuses.SUCCESS, run_status=status)
        return statuses.SUCCESS

    def attach(self, outcomes: Outcomes) -> Observation:
        """Hand the writer the selected rows (the job's registry answer) and each meter's outcome as it ends."""
        put_outcome = self.writer.put_outcome

        def on_meter(meter: MeterOutcome) -> None:
            item = (
                OUTCOME,
                meter.row,
                meter.outcome,
                meter.cause,
                meter.detail,
                meter.mediator_address,
                time.time(),
                meter.key,
                meter.request_id,
                meter.value_before,
                meter.confirmed_at,
            )
            put_outcome(item)

        def on_response(query: Query, response: Response) -> None:
            if query.table_name == REGISTRY_TABLE:
                self.selected(response.data)

        outcomes.listen(on_meter)
        return observe_responses(on_response)

    def selected(self, rows: list[Row]) -> None:
        """Hand the writer the rows the run writes, as they are selected."""
        self.writer.put((SELECTED, rows, time.time()))

    def close(self, outcomes: Outcomes, status: int, record: Record) -> int:
        """Write the rest and the run's end; ``status``, or 12 for a run that ended 0 with its ledger incomplete."""
        counts = outcomes.counts()
        incomplete = statuses.LEDGER_INCOMPLETE if status == statuses.SUCCESS else status
        end = RunEnd(
            time.time(),
            status,
            incomplete,
            None if outcomes.esco is None else str(outcomes.esco),
            counts["selected"],
            counts[SWITCHED_OFF],
            counts[FAILED],
            counts[NOT_RUN],
            counts[ALREADY_OFF],
        )
        if self.writer.close(end):
            return status
        record(
            "error",
            f"The ledger of rollout {self.setting.rollout} is incomplete: {self.writer.unwritten} outcomes "
            f"unwritten, {self.writer.refused} refused, or the run's end missing; exit status {incomplete}",
            **self.setting.fields,
            run_id=self.run_id,
            ledger=self.setting.shown,
            status=incomplete,
            run_status=status,
        )
        return incomplete


def _refuse(record: Record, message: str) -> NoReturn:
    record("error", message, status=statuses.BAD_SETTING)
    raise SystemExit(statuses.BAD_SETTING) from None


def start(
    settings: Settings,
    environ: MutableMapping[str, str],
    record: Record,
    listing: Callable[[Ledger], list[str]] | None = None,
) -> LedgerRun:
    """Open the ledger, record the run and its names, leave out the names already done.

    The names are the job's list, which loses the names left out; or, for a command that finds
    them in the ledger (the undo), what ``listing`` reads from it once it is open.
    """
    setting = settings.ledger
    assert setting is not None
    job_list = listing is None
    if listing is None:
        text = environ.get(NAMES)
        listed_names = [] if text is None else split_names(text)
        listing = lambda ledger: listed_names  # noqa: E731 - the job's list, known already
    shard = None if settings.shard is None else settings.shard.shard
    run = RunStart(
        uuid.uuid4().hex,
        setting.rollout,
        None if shard is None else shard.index,
        None if shard is None else shard.count,
        time.time(),
    )
    ledger, names, done, held, unsettled = _begun(setting, run, listing, record)
    keys = [name_key(name) or "" for name in names]
    listed = [key for key in keys if key]  # an empty piece names no meter
    kept = [name for name, key in zip(names, keys, strict=True) if key not in done and key not in held]
    left_out = sum(key in done for key in keys)
    if held:
        _record_held(record, setting, run.run_id, held, sum(key in held for key in keys), len(listed))
    if job_list and kept and len(kept) < len(names):
        environ[NAMES] = ",".join(kept)
    record(
        "info",
        f"{setting.title}: {left_out} of {len(listed)} meter names already {setting.done}, left out",
        **setting.fields,
        run_id=run.run_id,
        left_out=left_out,
        names=len(listed),
        ledger=setting.shown,
    )
    writer = LedgerWriter(ledger, record, setting.backlog, setting.wait)
    writer.start()
    if unsettled.requests or unsettled.refused:
        record(
            "info",
            f"{setting.title}: {len(unsettled.requests)} accepted writes to confirm rather than write again, "
            f"{len(unsettled.refused)} refused by the head-end to make again under new keys",
            **setting.fields,
            to_confirm=len(unsettled.requests),
            to_write_again=len(unsettled.refused),
        )
    held_here = sum(key in held for key in keys)
    # The job reads its list from the environment; a command that found its names in the ledger takes these.
    others = frozenset() if job_list else frozenset(kept)
    return LedgerRun(setting, writer, run.run_id, len(listed), left_out, held_here, unsettled, others)


def _wait_for_holders(
    ledger: Ledger, setting: LedgerSetting, run: RunStart, held: dict[str, Holder], record: Record
) -> tuple[frozenset[str], dict[str, Holder]]:
    """Try the names live runs hold again, each second, until they are this run's, or done, or the
    wait is over: a killed holder is found dead within it, one that is stopping is waited for."""
    holders = sorted({holder.shown for holder in held.values()})
    record(
        "info",
        f"{setting.title}: {len(held)} names are held by another run of it ({'; '.join(holders[:3])}); "
        f"waiting up to {WAIT_SECONDS:g} s for it to end or be found dead ({STOPPING_WAIT_SECONDS:g} s if stopping)",
        **setting.fields,
        run_id=run.run_id,
        held=len(held),
    )
    started, done = time.monotonic(), frozenset[str]()
    while held and stopping.reason() is None:
        limit = STOPPING_WAIT_SECONDS if any(h.stopping for h in held.values()) else WAIT_SECONDS
        if time.monotonic() - started >= limit:
            break
        if waiting.paused(POLL_SECONDS):
            break  # a stop: the names still held are left out, as after the wait
        more_done, held = ledger.claim_again(run, list(held))
        done |= more_done
    return done, held


def _record_held(
    record: Record, setting: LedgerSetting, run_id: str, held: dict[str, Holder], count: int, listed: int
) -> None:
    holders = {holder.run_id: holder for holder in held.values()}.values()
    record(
        "warning",
        f"{setting.title}: {count} of {listed} meter names are held by another live run of it "
        f"({'; '.join(h.shown for h in holders)}): left out of this run, which that run writes",
        **setting.fields,
        run_id=run_id,
        held=count,
        holders=[{"run_id": h.run_id, "host": h.host, "pid": h.pid} for h in holders],
    )


def _begun(
    setting: LedgerSetting, run: RunStart, listing: Callable[[Ledger], list[str]], record: Record
) -> tuple[Ledger, list[str], frozenset[str], dict[str, Holder], Unsettled]:
    """The ledger opened and the run begun in it, waiting for a ledger out of reach; the names
    ``listing`` gives, those done, those another live run holds, and what earlier runs left to
    follow up."""
    deadline = time.monotonic() + setting.wait
    pauses = waiting.pauses()
    while True:
        try:
            ledger = open_ledger(setting.url)
            try:
                names = listing(ledger)
                listed = [key for name in names if (key := name_key(name))]
                done, held = ledger.begin(run, listed)
            except BaseException:
                ledger.close()
                raise
        except RolloutClosed as exc:
            _refuse(record, f"The run cannot start: {exc}")
        except LedgerError as exc:
            if not exc.unreachable:
                _refuse(record, f"The run cannot start: {exc}; {LEDGER} must name a ledger this process can write")
            left = deadline - time.monotonic()
            if left <= 0:
                _unreached(setting, exc, record)
            pause = min(next(pauses), left)
            record(
                "warning",
                f"The run's ledger cannot be reached: {exc}; trying again in {pause:.1f} s "
                f"({left:.0f} s left of {LEDGER_WAIT}={setting.wait:g} s)",
                ledger=setting.shown,
                pause_seconds=round(pause, 1),
            )
            if waiting.paused(pause):
                signum = stopping.requested()
                status = statuses.stopped_as(stopping.reason()) if signum is None else statuses.stopped_by(signum)
                record("warning", f"Stopped while waiting for the run's ledger: exit status {status}", status=status)
                raise SystemExit(status) from None
            run = dataclasses.replace(run, started=time.time())  # the run starts when its ledger is open
            continue
        # The run is begun, its claims taken: a failure now is not tried again in this process.
        try:
            if held:
                more_done, held = _wait_for_holders(ledger, setting, run, held, record)
                done |= more_done
            unsettled = ledger.unsettled(run.rollout)
        except LedgerError as exc:
            ledger.close()
            if not exc.unreachable:
                _refuse(record, f"The run cannot start: {exc}; {LEDGER} must name a ledger this process can write")
            _unreached(setting, exc, record)
        return ledger, names, done, held, unsettled


def _unreached(setting: LedgerSetting, exc: LedgerError, record: Record) -> NoReturn:
    status = statuses.LEDGER_INCOMPLETE
    said = f"not reached within {LEDGER_WAIT}={setting.wait:g} s: {exc}; exit status {status}"
    record("error", f"The run cannot start: its ledger was {said}", ledger=setting.shown, status=status)
    raise SystemExit(status) from None


def done_names(setting: LedgerSetting, names: list[str]) -> frozenset[str]:
    """The ``names`` that the rollout has switched off, read without writing; none for a ledger not made yet."""
    try:
        ledger = open_ledger(setting.url, read_only=True)
    except LedgerMissing:
        return frozenset()
    try:
        done = ledger.done_names(setting.rollout)
    finally:
        ledger.close()
    return frozenset(name for name in names if name_key(name) in done)
