"""What became of each meter of a run, learnt from around the compiled job.

The job's registry answer gives the selected rows; its log records, seen by an
observer on its logger before they are filtered, give each row's outcome. Each
worker thread handles one row at a time, from its "run_job for meter_row ..."
record to its outcome record, so a record belongs to the row its thread last
started. A row whose thread starts another row, or whose run ends, without an
outcome record raised out of ``run_job``: the job logs that later, as "Error
processing meter: ...", without naming the meter.

The job takes a write that returned as done. What the mediator client told the
launcher's hooks on the same thread says more: a meter read back as already off
was not written (``already_off``); a write the mediator only accepted is
``accepted`` until the confirmer settles it (``confirm``): ``switched_off`` once
its request is seen applied, else failed. ``switched_off`` always means confirmed.

A command of the launcher's own that writes the meters itself (the undo, which
writes true) is the second source: it hands over its rows (``select``) and tells
each outcome on the worker's thread (``begin``, ``written``, ``failed``), and the
same names then mean the write it makes: ``switched_off`` is its write confirmed,
``already_off`` a meter read back as already at its value. Records say so in the
command's own words (``words``).
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, MutableMapping
from dataclasses import dataclass
from typing import Any

from vaxo_ortane.launcher.run.messages import (
    ESCAPED,
    MEDIATOR_FAILURE,
    NO_MEDIATOR,
    PREPAY_DISABLED,
    PUSHING_TOKEN_FAILURE,
    REGISTRY_TABLE,
    ROW_START,
    RUN_JOB,
    STARTING,
    SUMMARY,
    UNKNOWN_FAILURE,
)
from vaxo_ortane.mediator.confirmation import NOT_APPLIED, REFUSED, UNCONFIRMED, Verdict
from vaxo_ortane.util import stopping
from vaxo_ortane.util.supabase.query import Query, Response, Row

SWITCHED_OFF, FAILED, NOT_RUN = "switched_off", "failed", "not_run"
ALREADY_OFF, ACCEPTED = "already_off", "accepted"
# Why a meter failed: its mediator's exchange, no mediator known, any other error,
# refused unsent because the run was stopping; an accepted request that ended failed,
# a write not confirmed in time, a meter read back unchanged.
CAUSES = ("mediator", "no_mediator", "error", "stopped", "refused_by_head_end", "unconfirmed", "not_applied")
# The cause of a write the client could not confirm, by how the client's cause begins.
CONFIRMATION_CAUSES = {REFUSED: "refused_by_head_end", UNCONFIRMED: "unconfirmed", NOT_APPLIED: "not_applied"}
# Counts a run against head-ends that answer 200, without read-back, never has: left out of
# its records while they are 0, so that such a run's records read as they always have.
UNCOMMON = frozenset({ALREADY_OFF, ACCEPTED, *CONFIRMATION_CAUSES.values()})
MAX_DETAIL = 300
# How records name the two good ends of a write: confirmed, and found already so at the meter.
SWITCH_OFF_WORDS = ("switched off", "already off")
PUT_BACK_WORDS = ("put back on", "already on")
ESCAPED_DETAIL = "an exception left run_job (logged as 'Error processing meter: ...')"

# The cause each failure record of a meter gives; its field `error` says what happened.
_FAILURES = {
    MEDIATOR_FAILURE: "mediator",
    UNKNOWN_FAILURE: "error",
    PUSHING_TOKEN_FAILURE: "error",
}


@dataclass(slots=True)  # one a selected meter: a third smaller without a __dict__
class MeterOutcome:
    row: Row
    outcome: str = NOT_RUN
    cause: str | None = None
    detail: str | None = None
    mediator_address: str | None = None
    started: bool = False
    key: str | None = None  # the write's idempotency key
    request_id: str | None = None  # of a write the mediator accepted
    read_before: bool | None = None  # with read-back, the value read before the write
    confirmed_at: float | None = None  # time.time() of an accepted write's confirmation
    verdict: Verdict | None = None  # a confirmation that came before the job's record of the write

    @property
    def value_before(self) -> bool | None:
        """The value before the write: the read with read-back, else the registry's (true, or None)."""
        if self.read_before is not None:
            return self.read_before
        value = self.row.get("prepay_enabled")
        return value if isinstance(value, bool) else None


class RowTexts:
    """The meters by their row's str(), the row record's message: the key that finds
    a meter again.

    Kept by the text's hash, which costs a meter an int where the text itself would
    cost some 150 bytes; two different texts of one hash, found as the meters are
    put in, are kept by their text.
    """

    def __init__(self, meters: list[MeterOutcome]) -> None:
        by_hash: dict[int, MeterOutcome | None] = {}
        self._clashes: dict[str, MeterOutcome] = {}
        for meter in meters:
            text = str(meter.row)
            key = hash(text)
            known = by_hash.get(key, meter)
            if known is meter or known is None or str(known.row) == text:
                if known is None:
                    self._clashes[text] = meter
                else:
                    by_hash[key] = meter  # the last of equal rows, as a dict of texts keeps it
                continue
            by_hash[key] = None
            self._clashes[str(known.row)] = known
            self._clashes[text] = meter
        self._by_hash = by_hash

    def get(self, text: str) -> MeterOutcome | None:
        meter = self._by_hash.get(hash(text))
        return self._clashes.get(text) if meter is None else meter


def _text(value: object) -> str:
    try:
        text = str(value)
    except Exception:
        text = f"<{type(value).__name__}>"
    return text if len(text) <= MAX_DETAIL else text[:MAX_DETAIL] + "..."


class Outcomes:
    """Every selected meter's outcome, and the run's counts, as the job goes.

    ``on_failure(failures, ended)`` is called, under this object's lock, after each
    failure that is not a refusal of a stopping run; each listener (``listen``)
    after every meter that ends, under the same lock, so it must be quick.
    """

    def __init__(self, on_failure: Callable[[int, int], None] | None = None, value: bool = False) -> None:
        self.value = value  # what the run writes: a meter read back as that is not written
        self.words = PUT_BACK_WORDS if value else SWITCH_OFF_WORDS
        self._lock = threading.Lock()
        self._local = threading.local()
        self._on_failure = on_failure
        self._listeners: list[Callable[[MeterOutcome], None]] = []
        self.meters: list[MeterOutcome] = []
        self.selected_at: float | None = None  # time.monotonic() of the registry's answer
        self._by_text = RowTexts([])
        self.failures = 0  # counted towards the threshold
        self.ended = 0
        self.esco: object = None
        self.completed = False  # the job wrote its summary
        self.escaped: list[str] = []

    # The registry client's observer: the job's query is the run's only one on the table.
    def on_response(self, query: Query, response: Response) -> None:
        if query.table_name == REGISTRY_TABLE:
            self.select(response.data)

    def select(self, rows: list[Row], by_text: bool = True) -> None:
        """The rows the run writes, in its order; ``by_text``: found again by the job's row records."""
        meters = [MeterOutcome(row) for row in rows]
        texts = RowTexts(meters if by_text else [])
        with self._lock:
            self.meters, self._by_text = meters, texts
            self.selected_at = time.monotonic()

    # The second source: a command that writes the meters itself says what became of each.
    def begin(self, meter: MeterOutcome) -> None:
        """The calling worker thread handles ``meter`` from now on."""
        meter.started = True
        self._local.current = meter

    def written(self) -> None:
        """The calling thread's write returned: what the client's hooks learnt decides its outcome."""
        self._written()

    def failed(self, cause: str, detail: object) -> None:
        """The calling thread's meter failed for ``cause``."""
        self._end(FAILED, cause, _text(detail))

    # The job logger's observer.
    def on_record(self, level: str, event_dict: MutableMapping[str, Any]) -> None:
        event = event_dict.get("event")
        if type(event) is not str:
            return
        cause = _FAILURES.get(event)
        if cause is not None:
            error = event_dict.get("error")
            if cause == "mediator":
                cause = mediator_cause(str(getattr(error, "cause", "")))
            self._end(FAILED, cause, _text(error))
        elif event == PREPAY_DISABLED:
            self._written()
        elif event == RUN_JOB:
            current = getattr(self._local, "current", None)
            if current is not None:
                address = event_dict.get("mediator_address")
                current.mediator_address = address if isinstance(address, str) else None
        elif event.startswith(ROW_START):
            self._start(event[len(ROW_START) :])
        elif event.startswith(NO_MEDIATOR):
            self._end(FAILED, "no_mediator", event)
        elif event.startswith(ESCAPED):
            with self._lock:
                self.escaped.append(_text(event[len(ESCAPED) :]))
        elif event == STARTING:
            self.esco = event_dict.get("esco")
        elif event.startswith(SUMMARY):
            self.completed = True

    def _start(self, text: str) -> None:
        previous = getattr(self._local, "current", None)
        if previous is not None and previous.outcome == NOT_RUN:
            self._settle(previous, FAILED, "error", ESCAPED_DETAIL)  # raised out of run_job
        meter = self._by_text.get(text)
        if meter is not None:
            meter.started = True
        self._local.current = meter

    def _end(self, outcome: str, cause: str | None, detail: str | None) -> None:
        meter = getattr(self._local, "current", None)
        if meter is not None and meter.outcome == NOT_RUN:
            self._settle(meter, outcome, cause, detail)

    def _written(self) -> None:
        # The job's record of a write that returned: what the client's hooks learnt decides.
        meter: MeterOutcome | None = getattr(self._local, "current", None)
        if meter is None or meter.outcome != NOT_RUN:
            return
        # Confirmed now: the time of the outcome is the time of the confirmation.
        if meter.read_before is self.value:
            self._settle(meter, ALREADY_OFF, None, None)
        elif meter.request_id is None:
            self._settle(meter, SWITCHED_OFF, None, None)
        else:
            with self._lock:
                meter.outcome = ACCEPTED
                early = meter.verdict
                if early is None:
                    for listener in self._listeners:
                        listener(meter)
            if early is not None:
                self.confirm(meter, early)

    def confirm(self, meter: MeterOutcome, verdict: Verdict) -> None:
        """Settle an accepted write as the confirmer found it; from any thread."""
        with self._lock:
            if meter.outcome == NOT_RUN:
                meter.verdict = verdict  # the job's record of the write comes next
                return
            if meter.outcome != ACCEPTED:
                return  # settled already, as the run ended
            if verdict.confirmed:
                meter.confirmed_at = verdict.at
                self._settle_locked(meter, SWITCHED_OFF, None, None)
            else:
                self._settle_locked(meter, FAILED, CONFIRMATION_CAUSES[verdict.kind], _text(verdict.detail))

    def current(self) -> MeterOutcome | None:
        """The meter the calling worker thread is handling, if it is a selected one."""
        meter: MeterOutcome | None = getattr(self._local, "current", None)
        return meter

    def listen(self, listener: Callable[[MeterOutcome], None]) -> None:
        """Have ``listener(meter)`` called as each meter ends, and as a write is accepted
        (``outcome`` ACCEPTED: not an end), from the thread that ended it."""
        self._listeners.append(listener)

    def _settle(self, meter: MeterOutcome, outcome: str, cause: str | None, detail: str | None) -> None:
        with self._lock:
            self._settle_locked(meter, outcome, cause, detail)

    def _settle_locked(self, meter: MeterOutcome, outcome: str, cause: str | None, detail: str | None) -> None:
        meter.outcome, meter.cause, meter.detail = outcome, cause, detail
        self.ended += 1
        if outcome == FAILED and cause != "stopped":
            self.failures += 1
            if self._on_failure is not None:
                self._on_failure(self.failures, self.ended)
        for listener in self._listeners:
            listener(meter)

    def finish(self) -> None:
        """Settle the rows that started and never logged an outcome (they raised), and the
        accepted writes still pending (the run stopped waiting for them)."""
        with self._lock:
            unsettled = [m for m in self.meters if m.started and m.outcome == NOT_RUN]
            detail = self.escaped[0] if len(unsettled) == 1 and len(self.escaped) == 1 else ESCAPED_DETAIL
            pending = [m for m in self.meters if m.outcome == ACCEPTED]
            for meter in unsettled + pending:
                meter.outcome, meter.cause, meter.detail = FAILED, "error", detail
                if meter.request_id is not None:
                    meter.cause = "unconfirmed"
                    meter.detail = f"{UNCONFIRMED}: request {meter.request_id!r} not settled when the run ended"
                self.ended += 1
                for listener in self._listeners:
                    listener(meter)

    def counts(self) -> dict[str, Any]:
        by_cause = dict.fromkeys(CAUSES, 0)
        counts = {"selected": len(self.meters), SWITCHED_OFF: 0, ALREADY_OFF: 0, ACCEPTED: 0, FAILED: 0, NOT_RUN: 0}
        for meter in self.meters:
            counts[meter.outcome] += 1
            if meter.cause is not None:
                by_cause[meter.cause] += 1
        return counts | {"failed_by_cause": by_cause}

    @staticmethod
    def recorded(counts: dict[str, Any]) -> dict[str, Any]:
        """``counts`` (of ``counts()``, or a progress sample's) as a record carries them: the
        uncommon ones only when some meter has them."""
        kept = {key: n for key, n in counts.items() if key not in UNCOMMON or n}
        if "failed_by_cause" in counts:
            kept["failed_by_cause"] = {c: n for c, n in counts["failed_by_cause"].items() if c not in UNCOMMON or n}
        return kept

    def rerun_names(self) -> list[str]:
        """The names of the meters not switched off (nor already off), once each, in the run's order."""
        names: dict[str, None] = {}
        for meter in self.meters:
            name = meter.row.get("name")
            if meter.outcome not in (SWITCHED_OFF, ALREADY_OFF) and isinstance(name, str):
                names[name] = None
        return list(names)


def mediator_cause(cause: str) -> str:
    """The cause of a failure the client reported: a refusal of a stopping run, a write it could
    not confirm, or its exchange. The client's cause is the exception's whole cause, however long its message."""
    if stopping.reason() is not None and cause.startswith(stopping.REFUSAL):
        return "stopped"
    for begins, named in CONFIRMATION_CAUSES.items():
        if cause.startswith(begins):
            return named
    return "mediator"
