"""The run ledger: what each run of a rollout did, kept in the launcher's own tables.

``FLIP_LEDGER`` names the store: ``sqlite:///ABSOLUTE/PATH``, one file that the
processes of one machine share (WAL, a busy time-out), or ``postgresql://...``,
one database that every shard on every machine shares. The tables are created
on first use; docs/ledger.md gives their columns.

- ``flip_rollout_names`` (rollout, name): every name a run of the rollout listed;
- ``flip_runs`` (run_id): each run's shard, start, end, status and counts;
- ``flip_meter_outcomes`` (rollout, row_id): each registry row's latest outcome,
  its run and time, and the first run that switched it off.

Every write is an upsert keyed by what identifies the fact, so a fact written
twice changes nothing, and "switched off in this rollout", once set, stays set.
The registry is the job's input and is never written: the ledger is where a
rollout's progress lives. Errors say what failed and never carry a password.
"""

from __future__ import annotations

import datetime
import os
import socket
import sqlite3
from abc import ABC, abstractmethod
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager, suppress
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import orjson

from vaxo_ortane.launcher.outcomes import NOT_RUN, SWITCHED_OFF
from vaxo_ortane.util.json_values import safe_str
from vaxo_ortane.util.urls import without_credentials

NAMES_TABLE, RUNS_TABLE, METERS_TABLE = "flip_rollout_names", "flip_runs", "flip_meter_outcomes"
RUNS_INDEX = "flip_runs_by_rollout"
# How long an SQLite writer waits for another process's transaction to end.
BUSY_SECONDS = 10.0
CONNECT_SECONDS = 5
STATEMENT_SECONDS = 15
# Shards that start together would race on CREATE TABLE IF NOT EXISTS in PostgreSQL.
SCHEMA_LOCK = 0x666C6970
MAX_CAUSE = 300

# What the writer hands the ledger, in tuples whose first item is one of these.
SELECTED, OUTCOME, END = "selected", "outcome", "end"
Item = tuple[Any, ...]

_SCHEMA = (
    """CREATE TABLE IF NOT EXISTS {names} (
    rollout text NOT NULL,
    name text NOT NULL,
    first_run text NOT NULL,
    listed_at {time} NOT NULL,
    PRIMARY KEY (rollout, name))""",
    """CREATE TABLE IF NOT EXISTS {runs} (
    run_id text PRIMARY KEY,
    rollout text NOT NULL,
    shard_index integer,
    shard_count integer,
    host text NOT NULL,
    pid integer NOT NULL,
    started_at {time} NOT NULL,
    names integer NOT NULL,
    left_out integer NOT NULL,
    ended_at {time},
    status integer,
    esco text,
    selected integer,
    switched_off integer,
    failed integer,
    not_run integer,
    ledger_complete boolean)""",
    "CREATE INDEX IF NOT EXISTS {runs_index} ON {runs} (rollout, started_at)",
    """CREATE TABLE IF NOT EXISTS {meters} (
    rollout text NOT NULL,
    row_id text NOT NULL,
    name text,
    meter_id text,
    serial text,
    outcome text NOT NULL,
    cause text,
    detail text,
    mediator_address text,
    run_id text NOT NULL,
    at {time} NOT NULL,
    switched_off_at {time},
    switched_off_run text,
    PRIMARY KEY (rollout, row_id))""",
)

# What the ledger tool shows of each run and each meter.
RUN_COLUMNS = (
    "run_id",
    "shard_index",
    "shard_count",
    "host",
    "pid",
    "started_at",
    "ended_at",
    "status",
    "esco",
    "names",
    "left_out",
    "selected",
    "switched_off",
    "failed",
    "not_run",
    "ledger_complete",
)
METER_COLUMNS = (
    "row_id",
    "name",
    "meter_id",
    "serial",
    "outcome",
    "cause",
    "detail",
    "mediator_address",
    "run_id",
    "at",
    "switched_off_at",
    "switched_off_run",
)

# Rows written in batches: their columns, and what a row that is there already keeps.
_WRITTEN = {
    # A row selected again keeps the outcome it had: only an outcome replaces an outcome.
    "selected": (
        ("rollout", "row_id", "name", "meter_id", "serial", "outcome", "run_id", "at"),
        "name = excluded.name, meter_id = excluded.meter_id, serial = excluded.serial",
    ),
    "outcome": (
        ("rollout", *METER_COLUMNS),
        "name = excluded.name, meter_id = excluded.meter_id, serial = excluded.serial, outcome = excluded.outcome, "
        "cause = excluded.cause, detail = excluded.detail, mediator_address = excluded.mediator_address, "
        "run_id = excluded.run_id, at = excluded.at, "
        "switched_off_at = COALESCE({meters}.switched_off_at, excluded.switched_off_at), "
        "switched_off_run = COALESCE({meters}.switched_off_run, excluded.switched_off_run)",
    ),
}
_TIME_COLUMNS = frozenset({"started_at", "ended_at", "at", "switched_off_at"})


def _upsert(key: str, source: Callable[[Sequence[str]], str]) -> str:
    columns, keeps = _WRITTEN[key]
    return (
        f"INSERT INTO {{meters}} ({', '.join(columns)}) {source(columns)} "
        f"ON CONFLICT (rollout, row_id) DO UPDATE SET {keeps}"
    )


def _values(columns: Sequence[str]) -> str:
    return "VALUES (" + ", ".join("{p}" for _ in columns) + ")"


def _json_rows(columns: Sequence[str]) -> str:
    # A batch as one JSON parameter, one statement: orjson writes it for a small
    # part of the CPU that psycopg spends adapting the same values one by one.
    cells = (f"(r->>{i})::{{time}}" if c in _TIME_COLUMNS else f"r->>{i}" for i, c in enumerate(columns))
    return "SELECT " + ", ".join(cells) + " FROM json_array_elements({p}::json) AS r"


# A name is done when the rollout has seen rows of it and switched every one of them off.
_DONE = (
    "SELECT name FROM {meters} WHERE rollout = {p} AND name IS NOT NULL "
    "GROUP BY name HAVING count(*) = count(switched_off_at)"
)
_STATEMENTS = {
    "done": _DONE,
    "name": "INSERT INTO {names} (rollout, name, first_run, listed_at) VALUES ({p}, {p}, {p}, {p}) "
    "ON CONFLICT (rollout, name) DO NOTHING",
    "run": "INSERT INTO {runs} (run_id, rollout, shard_index, shard_count, host, pid, started_at, names, left_out) "
    "VALUES ({p}, {p}, {p}, {p}, {p}, {p}, {p}, {p}, {p})",
    "selected": _upsert("selected", _values),
    "outcome": _upsert("outcome", _values),
    "end": "UPDATE {runs} SET ended_at = {p}, status = {p}, esco = {p}, selected = {p}, switched_off = {p}, "
    "failed = {p}, not_run = {p}, ledger_complete = {p} WHERE run_id = {p}",
    "listed": "SELECT name FROM {names} WHERE rollout = {p} ORDER BY name",
    "runs_of": f"SELECT {', '.join(RUN_COLUMNS)} FROM {{runs}} WHERE rollout = {{p}} ORDER BY started_at, run_id",
    "counts": "SELECT outcome, cause, switched_off_at IS NOT NULL, count(*) FROM {meters} WHERE rollout = {p} "
    "GROUP BY 1, 2, 3",
    "meters_of": f"SELECT {', '.join(METER_COLUMNS)} FROM {{meters}} WHERE rollout = {{p}} ORDER BY name, row_id",
}


class LedgerError(Exception):
    """The ledger cannot be opened, read or written. ``transient``: trying again later may work."""

    def __init__(self, message: str, transient: bool = True) -> None:
        super().__init__(message)
        self.transient = transient


class LedgerMissing(LedgerError):
    """A ledger to read that is not there: it holds no rollout yet."""


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


def _iso(moment: float) -> str:
    return datetime.datetime.fromtimestamp(moment, datetime.UTC).isoformat().replace("+00:00", "Z")


class Ledger(ABC):
    """One connection to the ledger, used by one thread at a time."""

    shown: str
    _statements: dict[str, Any]
    _schema: list[Any]
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
    def _cause(self, exc: Exception) -> str: ...
    @abstractmethod
    def has_tables(self) -> bool: ...
    @abstractmethod
    def close(self) -> None: ...

    @abstractmethod
    def recover(self) -> None: ...  # the connection made usable again after a failed write

    @contextmanager
    def _failing(self, what: str) -> Iterator[None]:
        try:
            yield
        except self._errors as exc:
            with suppress(*self._errors):
                self._rollback()
            cause = self._cause(exc)
            cause = cause if len(cause) <= MAX_CAUSE else cause[:MAX_CAUSE] + "..."
            raise LedgerError(f"the ledger {self.shown} {what}: {cause}", isinstance(exc, self._transient)) from None

    def begin(self, run: RunStart, listed: Sequence[str]) -> frozenset[str]:
        """Create the tables if need be, record the run and its listed names; the listed names already done.

        One transaction: when it returns, the ledger has been written once.
        """
        with self._failing("cannot be opened or written"):
            self._begin()
            for statement in self._schema:
                self._execute(statement)
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
                ),
            )
            self._commit()
        self.run = run
        return done

    def write(self, items: Sequence[Item], complete: bool) -> None:
        """Commit ``items`` (selections, outcomes, the run's end) as one transaction."""
        run = self.run
        assert run is not None, "begin() records the run first"
        selected: list[tuple[Any, ...]] = []
        outcomes: list[tuple[Any, ...]] = []
        ends: list[tuple[Any, ...]] = []
        for item in items:
            if item[0] == OUTCOME:
                _, row, outcome, cause, detail, address, moment = item
                at = self._time(moment)
                off = (at, run.run_id) if outcome == SWITCHED_OFF else (None, None)
                outcomes.append(
                    (run.rollout, *_row_cells(row), outcome, cause, name_key(detail), address, run.run_id, at, *off)
                )
            elif item[0] == SELECTED:
                _, rows, moment = item
                at = self._time(moment)
                selected += [(run.rollout, *_row_cells(row), NOT_RUN, run.run_id, at) for row in rows]
            else:
                end: RunEnd = item[1]
                status = end.status if complete else end.status_if_incomplete
                counts = (end.selected, end.switched_off, end.failed, end.not_run)
                ends.append((self._time(end.ended), status, name_key(end.esco), *counts, complete, run.run_id))
        self.recover()
        with self._failing("cannot be written"):
            self._begin()
            if selected:
                self._write_rows("selected", selected)
            if outcomes:
                self._write_rows("outcome", outcomes)
            for end_row in ends:
                self._execute(self._statements["end"], end_row)
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
        return self._read_dicts("meters_of", METER_COLUMNS, rollout)

    def _read(self, key: str, rollout: str) -> list[tuple[Any, ...]]:
        with self._failing("cannot be read"):
            rows = self._execute(self._statements[key], (rollout,)) if self.has_tables() else []
            self._rollback()  # ends the read's transaction: no snapshot held between reads
            return rows

    def _read_dicts(self, key: str, columns: Sequence[str], rollout: str) -> list[dict[str, Any]]:
        return [
            {c: self._shown_time(v) if c in _TIME_COLUMNS else v for c, v in zip(columns, row, strict=True)}
            for row in self._read(key, rollout)
        ]

    def _shown_time(self, value: Any) -> Any:
        if isinstance(value, datetime.datetime):
            return value.astimezone(datetime.UTC).isoformat().replace("+00:00", "Z")
        return value


def _row_cells(row: Any) -> tuple[str, str | None, str | None, str | None]:
    return (
        name_key(row.get("id")) or "",
        name_key(row.get("name")),
        name_key(row.get("meter_id")),
        name_key(row.get("serial")),
    )


def _compiled(compose: Callable[[str], Any]) -> tuple[list[Any], dict[str, Any]]:
    return [compose(s) for s in _SCHEMA], {key: compose(s) for key, s in _STATEMENTS.items()}


def _sqlite_ident(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


class SqliteLedger(Ledger):
    """A ledger file, in WAL mode so that readers never wait on the writer; each commit is synced."""

    _errors = (sqlite3.Error,)
    _transient = (sqlite3.OperationalError,)

    def __init__(self, path: Path, read_only: bool) -> None:
        self.shown = f"sqlite://{path}"
        if read_only and not path.is_file():
            raise LedgerMissing(f"the ledger {self.shown} does not exist")
        if not path.parent.is_dir():
            raise LedgerError(f"the ledger {self.shown} cannot be created: its folder does not exist", False)
        self._schema, self._statements = _compiled(
            lambda s: s.format(
                p="?",
                time="text",
                names=_sqlite_ident(NAMES_TABLE),
                runs=_sqlite_ident(RUNS_TABLE),
                meters=_sqlite_ident(METERS_TABLE),
                runs_index=_sqlite_ident(RUNS_INDEX),
            )
        )
        target = f"file:{path}?mode=ro" if read_only else str(path)
        with self._failing("cannot be opened"):
            # Opened on the main thread, then used by the writer thread alone.
            self._conn = sqlite3.connect(
                target, timeout=BUSY_SECONDS, isolation_level=None, check_same_thread=False, uri=read_only
            )
            if not read_only:
                self._conn.execute("PRAGMA journal_mode=WAL")
                # FULL: a committed batch survives a power loss, at one fsync a batch.
                self._conn.execute("PRAGMA synchronous=FULL")

    def _execute(self, statement: Any, params: Sequence[Any] = ()) -> list[tuple[Any, ...]]:
        rows: list[tuple[Any, ...]] = self._conn.execute(statement, params).fetchall()
        return rows

    def _write_rows(self, key: str, rows: list[tuple[Any, ...]]) -> None:
        self._conn.executemany(self._statements[key], rows)

    def recover(self) -> None:
        pass  # the failed transaction was rolled back; the file stays open

    def _begin(self) -> None:
        # IMMEDIATE: the write lock from the start; a read that turns into a write
        # would fail at once, without the busy time-out, if another process wrote between.
        self._conn.execute("BEGIN IMMEDIATE")

    def _commit(self) -> None:
        self._conn.execute("COMMIT")

    def _rollback(self) -> None:
        if self._conn is not None and self._conn.in_transaction:
            self._conn.execute("ROLLBACK")

    def _time(self, moment: float) -> Any:
        return _iso(moment)

    def _insert_names(self, run: RunStart, names: list[str], moment: Any) -> None:
        self._conn.executemany(self._statements["name"], [(run.rollout, n, run.run_id, moment) for n in names])

    def _cause(self, exc: Exception) -> str:
        return str(exc) or type(exc).__name__

    def has_tables(self) -> bool:
        found = self._conn.execute(
            "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN (?, ?, ?)",
            (NAMES_TABLE, RUNS_TABLE, METERS_TABLE),
        ).fetchone()
        return bool(found[0] == 3)

    def close(self) -> None:
        self._conn.close()


class PostgresLedger(Ledger):
    """A ledger in a PostgreSQL database, over a connection of its own (never the registry's)."""

    def __init__(self, url: str, read_only: bool) -> None:
        import psycopg
        from psycopg import sql
        from psycopg.conninfo import conninfo_to_dict

        self._psycopg = psycopg
        self._errors = (psycopg.Error,)
        self._transient = (psycopg.OperationalError, psycopg.InterfaceError)
        scheme, _, rest = url.partition(":")
        self._url = scheme.lower() + ":" + rest  # libpq knows the scheme in lower case only
        self.shown = without_credentials(self._url)
        try:
            params = conninfo_to_dict(self._url)
        except psycopg.Error:
            # libpq's parse errors quote the URL, password included.
            raise LedgerError(
                "FLIP_LEDGER is not a valid postgresql:// URL; the form is postgresql://USER@HOST:PORT/DBNAME, "
                "with special characters percent-encoded",
                False,
            ) from None
        passwords = {str(params.get("password") or ""), os.environ.get("PGPASSWORD", "")}
        self._secrets = sorted((p for p in passwords if p), key=len, reverse=True)
        options = f"{params.get('options') or ''} -c statement_timeout={STATEMENT_SECONDS * 1000}"
        if read_only:
            options += " -c default_transaction_read_only=on"
        self._connect_args: dict[str, Any] = {
            "options": options.strip(),
            "connect_timeout": CONNECT_SECONDS,
            "application_name": "prepay-enabled-flip-ledger",
        }

        def compose(s: str) -> Any:
            return sql.SQL(s).format(
                p=sql.Placeholder(),
                time=sql.SQL("timestamptz"),
                names=sql.Identifier(NAMES_TABLE),
                runs=sql.Identifier(RUNS_TABLE),
                meters=sql.Identifier(METERS_TABLE),
                runs_index=sql.Identifier(RUNS_INDEX),
            )

        self._schema, self._statements = _compiled(compose)
        self._bulk = {key: compose(_upsert(key, _json_rows)) for key in _WRITTEN}
        self._names = compose(
            "INSERT INTO {names} (rollout, name, first_run, listed_at) SELECT {p}, n, {p}, {p} "
            "FROM unnest({p}::text[]) AS n ON CONFLICT (rollout, name) DO NOTHING"
        )
        self._connect()

    def _connect(self) -> None:
        with self._failing("cannot be opened"):
            self._conn = self._psycopg.connect(self._url, **self._connect_args)

    def recover(self) -> None:
        if self._conn is None or self._conn.broken or self._conn.closed:
            self._connect()

    def _execute(self, statement: Any, params: Sequence[Any] = ()) -> list[tuple[Any, ...]]:
        cursor = self._conn.execute(statement, params)
        return cursor.fetchall() if cursor.description is not None else []

    def _write_rows(self, key: str, rows: list[tuple[Any, ...]]) -> None:
        # One statement may not update a row twice: the last of a row's facts stands.
        latest = list({row[1]: row for row in rows}.values())
        self._conn.execute(self._bulk[key], (orjson.dumps(latest).decode(),))

    def _begin(self) -> None:
        pass  # psycopg opens a transaction at the first statement

    def _commit(self) -> None:
        self._conn.commit()

    def _rollback(self) -> None:
        if self._conn is not None and not self._conn.closed:
            self._conn.rollback()

    def _time(self, moment: float) -> Any:
        return datetime.datetime.fromtimestamp(moment, datetime.UTC)

    def _insert_names(self, run: RunStart, names: list[str], moment: Any) -> None:
        self._conn.execute(self._names, (run.rollout, run.run_id, moment, names))

    def begin(self, run: RunStart, listed: Sequence[str]) -> frozenset[str]:
        with self._failing("cannot be opened or written"):
            self._conn.execute("SELECT pg_advisory_xact_lock(%s)", (SCHEMA_LOCK,))
        return super().begin(run, listed)

    def _cause(self, exc: Exception) -> str:
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        for secret in self._secrets:
            text = text.replace(secret, "[password]")
        return text

    def has_tables(self) -> bool:
        found = self._conn.execute(
            "SELECT count(to_regclass(t)) FROM unnest(%s::text[]) AS t", ([NAMES_TABLE, RUNS_TABLE, METERS_TABLE],)
        ).fetchone()
        return bool(found[0] == 3)

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()


def open_ledger(url: str, read_only: bool = False) -> Ledger:
    """The ledger at ``url`` (``sqlite:///PATH`` or ``postgresql://...``, as settings checked it)."""
    scheme, _, rest = url.partition("://")
    if scheme.lower() == "sqlite":
        return SqliteLedger(Path("/" + rest.lstrip("/")), read_only)
    return PostgresLedger(url, read_only)
