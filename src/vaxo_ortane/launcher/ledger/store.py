"""The run ledger: what each run of a rollout did, kept in the launcher's own tables.

``FLIP_LEDGER`` names the store: ``sqlite:///ABSOLUTE/PATH``, one file that the
processes of one machine share (WAL, a busy time-out), or ``postgresql://...``,
one database that every shard on every machine shares. The tables are created
on first use; docs/ledger.md gives their columns.

- ``flip_rollout_names`` (rollout, name): every name a run of the rollout listed;
- ``flip_runs`` (run_id): each run's shard, start, end, status and counts;
- ``flip_meter_outcomes`` (rollout, row_id): each registry row's latest outcome,
  its run and time, and the first run that switched it off;
- ``flip_name_claims`` (rollout, name): the live run that may write the name (``claims``).

Every write is an upsert keyed by what identifies the fact, so a fact written
twice changes nothing, and "switched off in this rollout", once set, stays set.
The registry is the job's input and is never written: the ledger is where a
rollout's progress lives. Errors say what failed and never carry a password.
"""

from __future__ import annotations

import datetime
import os
import socket
from abc import ABC, abstractmethod
from collections.abc import Iterator, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from typing import Any

from vaxo_ortane.launcher.ledger.claims import LEASE_SECONDS, Holder, process_key
from vaxo_ortane.launcher.ledger.schema import (
    CORE_TABLES,
    METER_COLUMNS,
    RUN_COLUMNS,
    SCHEMA_TABLE,
    TIME_COLUMNS,
    UNDO_MARK,
    VERSION,
    undo_rollout,
)
from vaxo_ortane.launcher.run.outcomes import ALREADY_OFF, CONFIRMATION_CAUSES, NOT_RUN, SWITCHED_OFF
from vaxo_ortane.mediator.confirmation import NOT_APPLIED, REFUSED
from vaxo_ortane.util import stopping
from vaxo_ortane.util.json_values import safe_str

MAX_CAUSE = 300
# The selected rows go in statements of this many: their cells are made a part at a time,
# not all at once beside every row and future of a large run.
SELECTED_CHUNK = 5_000

# What the writer hands the ledger, in tuples whose first item is one of these.
SELECTED, OUTCOME, END = "selected", "outcome", "end"
Item = tuple[Any, ...]


class LedgerError(Exception):
    """The ledger cannot be opened, read or written. ``transient``: trying again later may work;
    ``unreachable``: the ledger is out of reach for now (no answer, busy, starting), not refusing."""

    def __init__(self, message: str, transient: bool = True, unreachable: bool = False) -> None:
        super().__init__(message)
        self.transient = transient
        self.unreachable = unreachable


class LedgerMissing(LedgerError):
    """A ledger to read that is not there: it holds no rollout yet."""


class RolloutClosed(LedgerError):
    """A run that its rollout's own state refuses at the start, however well the ledger answers."""

    def __init__(self, message: str) -> None:
        super().__init__(message, transient=False)


class RolloutUndone(RolloutClosed):
    """A run of a rollout whose undo has begun: it would switch off again what the undo puts back."""

    def __init__(self, rollout: str, since: object) -> None:
        super().__init__(
            f"rollout {rollout} has been undone (its undo began at {since}): a run of it now would write false "
            "again to meters its undo puts back; give a new change a FLIP_ROLLOUT of its own"
        )


class RolloutLive(RolloutClosed):
    """An undo of a rollout that a live run is writing: its writes of false would race the undo's true."""

    def __init__(self, rollout: str, holder: Holder) -> None:
        super().__init__(
            f"rollout {rollout} has a live run ({holder.shown}), whose writes would race the undo's: "
            f"let it end, or stop it, first (a run killed on another machine counts as live for "
            f"{LEASE_SECONDS:g} s after its last heartbeat)"
        )


@dataclass(frozen=True)
class RunStart:
    run_id: str
    rollout: str
    shard_index: int | None
    shard_count: int | None
    started: float  # time.time()


@dataclass(frozen=True)
class RunEnd:
    ended: float
    status: int
    status_if_incomplete: int
    esco: str | None
    selected: int
    switched_off: int
    failed: int
    not_run: int
    already_off: int = 0


@dataclass(frozen=True)
class Unsettled:
    """What earlier runs of a rollout left to follow up: accepted requests by key, and by
    row id the keys whose change the head-end refused."""

    requests: dict[str, str]
    refused: dict[str, str]


def name_key(value: object) -> str | None:
    """A name or cell as the ledger stores it: text both backends take (no NUL, no lone surrogate)."""
    if value is None:
        return None
    text = value if isinstance(value, str) else safe_str(value)
    if "\0" in text:
        text = text.replace("\0", "\\0")
    if not text.isascii():
        # A name from undecodable bytes holds lone surrogates; it then matches no registry row.
        text = text.encode("utf-8", "backslashreplace").decode("utf-8")
    return text


def iso(moment: float) -> str:
    return datetime.datetime.fromtimestamp(moment, datetime.UTC).isoformat().replace("+00:00", "Z")


class Ledger(ABC):
    """One connection to the ledger, used by one thread at a time."""

    shown: str
    _statements: dict[str, Any]
    _upgrades: list[tuple[int, list[Any]]]
    _errors: tuple[type[Exception], ...]
    _transient: tuple[type[Exception], ...]

    run: RunStart | None = None
    _conn: Any = None

    # What each backend provides.
    @abstractmethod
    def _execute(self, statement: Any, params: Sequence[Any] = ()) -> list[tuple[Any, ...]]: ...
    @abstractmethod
    def _write_rows(self, key: str, rows: list[tuple[Any, ...]]) -> None: ...
    @abstractmethod
    def _begin(self) -> None: ...
    @abstractmethod
    def _commit(self) -> None: ...
    @abstractmethod
    def _rollback(self) -> None: ...
    @abstractmethod
    def _time(self, moment: float) -> Any: ...
    @abstractmethod
    def _insert_names(self, run: RunStart, names: list[str], moment: Any) -> None: ...
    @abstractmethod
    def _insert_claims(self, run: RunStart, names: list[str]) -> None: ...  # those no run holds
    @abstractmethod
    def _serialize(self) -> None: ...  # two runs never judge the same claims at once
    @abstractmethod
    def _cause(self, exc: Exception) -> str: ...
    @abstractmethod
    def _present(self, tables: Sequence[str]) -> int: ...  # how many of ``tables`` exist
    @abstractmethod
    def _unreachable(self, exc: Exception) -> bool: ...  # out of reach for now, rather than refusing
    @abstractmethod
    def close(self) -> None: ...

    @abstractmethod
    def recover(self) -> None: ...  # the connection made usable again after a failed write
    @abstractmethod
    def unsynced(self) -> None: ...  # this connection's commits need not outlive a power loss

    @contextmanager
    def _failing(self, what: str) -> Iterator[None]:
        try:
            yield
        except self._errors as exc:
            with suppress(*self._errors):
                self._rollback()
            cause = self._cause(exc)
            cause = cause if len(cause) <= MAX_CAUSE else cause[:MAX_CAUSE] + "..."
            transient = isinstance(exc, self._transient)
            shown = f"the ledger {self.shown} {what}: {cause}"
            raise LedgerError(shown, transient, transient and self._unreachable(exc)) from None

    def begin(self, run: RunStart, listed: Sequence[str]) -> tuple[frozenset[str], dict[str, Holder]]:
        """Create the tables if need be, record the run and its listed names, and claim the names it
        will write; the listed names already done, and the others that a live run holds.

        One transaction: when it returns, the ledger has been written once.
        """
        with self._failing("cannot be opened or written"):
            self._begin()
            self._upgrade()
            # Checked under the lock that every run's begin takes, so that a run and an undo of
            # one rollout never both start.
            if run.rollout.endswith(UNDO_MARK):
                undone = run.rollout.removesuffix(UNDO_MARK)
                if live := self._live(undone):
                    self._rollback()
                    raise RolloutLive(undone, live[0])
            else:
                ((since,),) = self._execute(self._statements["first_run"], (undo_rollout(run.rollout),))
                if since is not None:
                    self._rollback()
                    raise RolloutUndone(run.rollout, self._shown_time(since))
            done = frozenset(row[0] for row in self._execute(self._statements["done"], (run.rollout,)))
            done = done.intersection(listed)
            moment = self._time(run.started)
            self._insert_names(run, list(dict.fromkeys(listed)), moment)
            left_out = sum(name in done for name in listed)
            self._execute(
                self._statements["run"],
                (
                    run.run_id,
                    run.rollout,
                    run.shard_index,
                    run.shard_count,
                    socket.gethostname(),
                    os.getpid(),
                    moment,
                    len(listed),
                    left_out,
                    process_key(),
                ),
            )
            held = self._claim(run, [name for name in dict.fromkeys(listed) if name not in done])
            self._commit()
        self.run = run
        return done, held

    def claim_again(self, run: RunStart, names: Sequence[str]) -> tuple[frozenset[str], dict[str, Holder]]:
        """Another try at ``names``, which live runs held: those the rollout has switched off since,
        and those still held; the rest are this run's now."""
        with self._failing("cannot be written"):
            self._begin()
            self._serialize()
            done = frozenset(row[0] for row in self._execute(self._statements["done"], (run.rollout,)))
            done = done.intersection(names)
            held = self._claim(run, [name for name in names if name not in done])
            self._execute(self._statements["beat"], (False, run.run_id))
            self._commit()
        return done, held

    def _claim(self, run: RunStart, names: list[str]) -> dict[str, Holder]:
        """Claim ``names`` in the transaction open; the ones a live run holds, with it."""
        count = self._statements["claimed"]
        before = self._execute(count, (run.rollout, run.run_id))[0][0]
        self._insert_claims(run, names)
        if self._execute(count, (run.rollout, run.run_id))[0][0] - before == len(names):
            return {}  # no other run held any: shards side by side, and most runs
        holders = [Holder.judged(row) for row in self._execute(self._statements["holders"], (run.rollout, run.run_id))]
        dead = [holder for holder in holders if not holder.alive]
        for holder in dead:  # given up: their names are this run's to take
            self._execute(self._statements["release"], (run.rollout, holder.run_id))
        if dead:
            self._insert_claims(run, names)
        wanted, held = set(names), {}
        for holder in holders:
            if holder.alive:
                for (name,) in self._execute(self._statements["held_by"], (run.rollout, holder.run_id)):
                    if name in wanted:
                        held[name] = holder
        return held

    def write(self, items: Sequence[Item], complete: bool) -> None:
        """Commit ``items`` (selections, outcomes, the run's end: its claims given up) as one
        transaction, with the run's heartbeat; no items, the heartbeat alone."""
        run = self.run
        assert run is not None, "begin() records the run first"
        selections: list[tuple[Sequence[Any], Any]] = []
        outcomes: list[tuple[Any, ...]] = []
        ends: list[tuple[Any, ...]] = []
        for item in items:
            if item[0] == OUTCOME:
                _, row, outcome, cause, detail, address, moment, key, request_id, before, confirmed = item
                at = self._time(moment)
                off = (at, run.run_id) if outcome in (SWITCHED_OFF, ALREADY_OFF) else (None, None)
                outcomes.append(
                    (
                        run.rollout,
                        *_row_cells(row),
                        outcome,
                        cause,
                        name_key(detail),
                        address,
                        run.run_id,
                        at,
                        *off,
                        key,
                        name_key(request_id),
                        before,
                        # Confirmed as its outcome came, unless the confirmer settled it.
                        off[0] if confirmed is None else self._time(confirmed),
                    )
                )
            elif item[0] == SELECTED:
                _, rows, moment = item
                selections.append((rows, self._time(moment)))
            else:
                end: RunEnd = item[1]
                status = end.status if complete else end.status_if_incomplete
                counts = (end.selected, end.switched_off, end.already_off, end.failed, end.not_run)
                ends.append((self._time(end.ended), status, name_key(end.esco), *counts, complete, run.run_id))
        self.recover()
        with self._failing("cannot be written"):
            self._begin()
            for rows, at in selections:
                for start in range(0, len(rows), SELECTED_CHUNK):
                    chunk = rows[start : start + SELECTED_CHUNK]
                    self._write_rows(
                        "selected",
                        [(run.rollout, *_row_cells(r), NOT_RUN, run.run_id, at, registry_value(r)) for r in chunk],
                    )
            if outcomes:
                self._write_rows("outcome", outcomes)
            for end_row in ends:
                self._execute(self._statements["end"], end_row)
                self._execute(self._statements["release"], (run.rollout, run.run_id))
            self._execute(self._statements["beat"], (stopping.reason() is not None, run.run_id))
            self._commit()

    def reserve(self, rollout: str, count: int, interval: float, allowance: float) -> tuple[float, float]:
        """Reserve the next ``count`` slots, ``interval`` apart, of ``rollout``'s write budget, none
        before now less ``allowance``; (the first slot, now), both in the store's clock."""
        span = count * interval
        self.recover()
        with self._failing("cannot be written"):
            self._begin()
            ((next_free, now),) = self._execute(
                self._statements["reserve"], (rollout, allowance, span, allowance, span)
            )
            self._commit()
        return float(next_free) - span, float(now)

    def has_tables(self) -> bool:
        """Whether a run has written this ledger: one without its tables holds no rollout yet."""
        return self._present(CORE_TABLES) == len(CORE_TABLES)

    def schema_version(self) -> int | None:
        """The ledger's schema version: 0 for one written before versions were kept, None for none yet."""
        if self._present((SCHEMA_TABLE,)):
            found = self._execute(self._statements["schema_read"])
            if found and found[0][0] is not None:
                return int(found[0][0])
        return 0 if self.has_tables() else None

    def _upgrade(self) -> None:
        # Inside the caller's transaction: a ledger is brought up to date whole, or not at all.
        found = self._known_version()
        if found == VERSION:
            return
        for version, statements in self._upgrades:
            if found is None or version > found:
                for statement in statements:
                    self._execute(statement)
        self._execute(self._statements["schema_create"])
        self._execute(self._statements["schema_clear"])
        self._execute(self._statements["schema_set"], (VERSION,))

    def _known_version(self) -> int | None:
        found = self.schema_version()
        if found is not None and found > VERSION:
            # Its tables may mean more than this release knows: reading them could mislead.
            raise LedgerError(
                f"the ledger {self.shown} has schema version {found}, newer than this release's {VERSION}: "
                "read and write it with the release that wrote it, or a later one",
                False,
            )
        return found

    def outdated(self) -> bool:
        """Whether this ledger was written by an older release and needs ``upgrade`` before it is read."""
        with self._failing("cannot be read"):
            found = self._known_version()
            self._rollback()
        return found is not None and found < VERSION

    def upgrade(self) -> None:
        """Bring an older ledger up to date, in one transaction, before it is read."""
        with self._failing("cannot be brought up to date"):
            self._begin()
            self._upgrade()
            self._commit()

    # Reads, for the ledger tool and the plan.
    def done_names(self, rollout: str) -> frozenset[str]:
        return frozenset(row[0] for row in self._read("done", rollout))

    def listed_names(self, rollout: str) -> list[str]:
        return [row[0] for row in self._read("listed", rollout)]

    def counts(self, rollout: str) -> list[tuple[str, str | None, bool, int]]:
        """(latest outcome, cause, switched off in this rollout, meters) for each combination."""
        return [(row[0], row[1], bool(row[2]), int(row[3])) for row in self._read("counts", rollout)]

    def runs(self, rollout: str) -> list[dict[str, Any]]:
        runs = self._read_dicts("runs_of", RUN_COLUMNS, rollout)
        for run in runs:  # SQLite keeps a boolean as 0 or 1
            run["ledger_complete"] = None if run["ledger_complete"] is None else bool(run["ledger_complete"])
        return runs

    def meters(self, rollout: str) -> list[dict[str, Any]]:
        meters = self._read_dicts("meters_of", METER_COLUMNS, rollout)
        for meter in meters:
            meter["value_before"] = None if meter["value_before"] is None else bool(meter["value_before"])
        return meters

    def rollout_meters(self, rollout: str) -> list[tuple[Any, ...]]:
        """Each meter of ``rollout``: (row id, name, meter_id, serial, latest outcome, cause, switched off
        in the rollout, value before), by name and row id."""
        return [
            (*row[:6], bool(row[6]), None if row[7] is None else bool(row[7]))
            for row in self._read("rollout_meters", rollout)
        ]

    def switched_off_rows(self, rollout: str) -> frozenset[str]:
        """The row ids that ``rollout`` has written (or found) at its value."""
        return frozenset(row[0] for row in self._read("switched_off_rows", rollout))

    def live_runs(self, rollout: str) -> list[Holder]:
        """The runs of ``rollout`` that have begun, not ended, and still beat."""
        with self._failing("cannot be read"):
            live = self._live(rollout) if self.has_tables() else []
            self._rollback()
        return live

    def _live(self, rollout: str) -> list[Holder]:
        rows = self._execute(self._statements["holders"], (rollout, ""))
        return [holder for holder in map(Holder.judged, rows) if holder.alive]

    def unsettled(self, rollout: str) -> Unsettled:
        """The requests and refused keys that earlier runs of ``rollout`` left behind."""
        requests: dict[str, str] = {}
        refused: dict[str, str] = {}
        for row_id, key, request_id, cause in self._read("unsettled", rollout):
            if cause in (CONFIRMATION_CAUSES[REFUSED], CONFIRMATION_CAUSES[NOT_APPLIED]):
                refused[row_id] = key  # the change is made again, under the next key
            elif request_id is not None:
                requests[key] = request_id
        return Unsettled(requests, refused)

    def _read(self, key: str, rollout: str) -> list[tuple[Any, ...]]:
        with self._failing("cannot be read"):
            rows = self._execute(self._statements[key], (rollout,)) if self.has_tables() else []
            self._rollback()  # ends the read's transaction: no snapshot held between reads
            return rows

    def _read_dicts(self, key: str, columns: Sequence[str], rollout: str) -> list[dict[str, Any]]:
        return [
            {c: self._shown_time(v) if c in TIME_COLUMNS else v for c, v in zip(columns, row, strict=True)}
            for row in self._read(key, rollout)
        ]

    def _shown_time(self, value: Any) -> Any:
        if isinstance(value, datetime.datetime):
            return value.astimezone(datetime.UTC).isoformat().replace("+00:00", "Z")
        return value


def registry_value(row: Any) -> bool | None:
    """The registry row's setting as a value before: true or false, else unknown."""
    value = row.get("prepay_enabled")
    return value if isinstance(value, bool) else None


def _row_cells(row: Any) -> tuple[str, str | None, str | None, str | None]:
    return (
        name_key(row.get("id")) or "",
        name_key(row.get("name")),
        name_key(row.get("meter_id")),
        name_key(row.get("serial")),
    )
