"""The ledger's tables and statements, written once for both backends.

Each statement is text with ``{p}`` for a parameter, ``{time}`` for the time type,
``{now}`` for the ledger's own clock in seconds (one clock for every machine of a
rollout), ``{greatest}`` for the larger of two values and the tables' keys of
``TABLES`` in braces; a backend composes them in its own way.

The ledger keeps its schema version in ``flip_ledger_schema``. ``UPGRADES`` lists
the steps from one version to the next; opening an older ledger applies the steps
it lacks, in the transaction that records the run, and a new ledger takes them all.
A ledger written before versions were kept holds the first step's tables: version 0.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

NAMES_TABLE, RUNS_TABLE, METERS_TABLE = "flip_rollout_names", "flip_runs", "flip_meter_outcomes"
BUDGET_TABLE = "flip_write_budget"
RUNS_INDEX = "flip_runs_by_rollout"
SCHEMA_TABLE = "flip_ledger_schema"
# Which run of a rollout may write each name: held by a live run, given up by a dead one.
CLAIMS_TABLE, CLAIMS_INDEX = "flip_name_claims", "flip_name_claims_by_run"
# The undo of rollout R keeps itself under R and this (``undoing``): U+001F, the unit
# separator, which no printable FLIP_ROLLOUT holds.
UNDO_MARK = "\x1fundo"


def undo_rollout(rollout: str) -> str:
    """The name under which the undo of ``rollout`` keeps itself in the ledger."""
    return rollout + UNDO_MARK


# What a statement names in braces, and the name it stands for.
TABLES = {
    "names": NAMES_TABLE,
    "runs": RUNS_TABLE,
    "meters": METERS_TABLE,
    "runs_index": RUNS_INDEX,
    "schema": SCHEMA_TABLE,
    "claims": CLAIMS_TABLE,
    "claims_index": CLAIMS_INDEX,
    "budget": BUDGET_TABLE,
}
# The tables a ledger holds once it has been written: one without them holds no rollout yet.
CORE_TABLES = (NAMES_TABLE, RUNS_TABLE, METERS_TABLE)

_FIRST_TABLES = (
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

# Each run's heartbeat (the ledger's clock, written by its writer thread), who it is on its
# machine (``ledger.claims``) and whether it is stopping; the names each live run holds.
_CLAIMS = (
    "ALTER TABLE {runs} ADD COLUMN heartbeat double precision",
    "ALTER TABLE {runs} ADD COLUMN process text",
    "ALTER TABLE {runs} ADD COLUMN stopping boolean",
    """CREATE TABLE IF NOT EXISTS {claims} (
    rollout text NOT NULL,
    name text NOT NULL,
    run_id text NOT NULL,
    PRIMARY KEY (rollout, name))""",
    "CREATE INDEX IF NOT EXISTS {claims_index} ON {claims} (rollout, run_id)",
)

# A rollout's write budget, shared by every process of it: when the slot after the last
# one handed out falls, in the store's clock (rollout.shared_budget).
_BUDGET_TABLE = (
    """CREATE TABLE IF NOT EXISTS {budget} (
    rollout text PRIMARY KEY,
    next_free double precision NOT NULL)""",
)

# (version, its statements), in order. A step's statements run once, on a ledger below
# its version; never change a step that has shipped: add one.
# Each write's idempotency key, the request id of an accepted one, the meter's value
# before the write and when it was confirmed; the meters already off in a run's counts.
_CONFIRMATIONS = (
    "ALTER TABLE {meters} ADD COLUMN idempotency_key text",
    "ALTER TABLE {meters} ADD COLUMN request_id text",
    "ALTER TABLE {meters} ADD COLUMN value_before boolean",
    "ALTER TABLE {meters} ADD COLUMN confirmed_at {time}",
    "ALTER TABLE {runs} ADD COLUMN already_off integer",
)

UPGRADES: tuple[tuple[int, tuple[str, ...]], ...] = (
    (1, _FIRST_TABLES),
    (2, _CLAIMS),
    (3, _BUDGET_TABLE),
    (4, _CONFIRMATIONS),
)
VERSION = UPGRADES[-1][0]
SCHEMA_STATEMENTS = {
    "create": "CREATE TABLE IF NOT EXISTS {schema} (version integer NOT NULL)",
    "read": "SELECT max(version) FROM {schema}",
    "clear": "DELETE FROM {schema}",
    "set": "INSERT INTO {schema} (version) VALUES ({p})",
}

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
    "already_off",
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
    "idempotency_key",
    "request_id",
    "value_before",
    "confirmed_at",
)

# Rows written in batches: their columns, and what a row that is there already keeps.
WRITTEN = {
    # A row selected again keeps the outcome it had: only an outcome replaces an outcome.
    # The registry's setting is the value before until a read says otherwise.
    "selected": (
        ("rollout", "row_id", "name", "meter_id", "serial", "outcome", "run_id", "at", "value_before"),
        "name = excluded.name, meter_id = excluded.meter_id, serial = excluded.serial",
    ),
    "outcome": (
        ("rollout", *METER_COLUMNS),
        "name = excluded.name, meter_id = excluded.meter_id, serial = excluded.serial, outcome = excluded.outcome, "
        "cause = excluded.cause, detail = excluded.detail, mediator_address = excluded.mediator_address, "
        "run_id = excluded.run_id, at = excluded.at, "
        "switched_off_at = COALESCE({meters}.switched_off_at, excluded.switched_off_at), "
        "switched_off_run = COALESCE({meters}.switched_off_run, excluded.switched_off_run), "
        "idempotency_key = excluded.idempotency_key, request_id = excluded.request_id, "
        # The value before the rollout first wrote: a later run's read may follow that write.
        "value_before = CASE WHEN {meters}.value_before IS NULL OR {meters}.run_id = excluded.run_id "
        "THEN excluded.value_before ELSE {meters}.value_before END, "
        "confirmed_at = COALESCE({meters}.confirmed_at, excluded.confirmed_at)",
    ),
}
TIME_COLUMNS = frozenset({"started_at", "ended_at", "at", "switched_off_at", "confirmed_at"})
BOOLEAN_COLUMNS = frozenset({"value_before", "ledger_complete"})


def upsert(key: str, source: Callable[[Sequence[str]], str]) -> str:
    columns, keeps = WRITTEN[key]
    return (
        f"INSERT INTO {{meters}} ({', '.join(columns)}) {source(columns)} "
        f"ON CONFLICT (rollout, row_id) DO UPDATE SET {keeps}"
    )


def _values(columns: Sequence[str]) -> str:
    return "VALUES (" + ", ".join("{p}" for _ in columns) + ")"


def many_values(count: int) -> Callable[[Sequence[str]], str]:
    """A source of ``count`` rows of parameters, for one statement that writes them all."""

    def source(columns: Sequence[str]) -> str:
        return ", ".join([_values(columns)] * count).replace(", VALUES ", ", ")

    return source


NAME_COLUMNS = ("rollout", "name", "first_run", "listed_at")


def name_insert(source: Callable[[Sequence[str]], str]) -> str:
    return f"INSERT INTO {{names}} ({', '.join(NAME_COLUMNS)}) {source(NAME_COLUMNS)} ON CONFLICT (rollout, name) DO NOTHING"


def json_rows(columns: Sequence[str]) -> str:
    # A batch as one JSON parameter, one statement: orjson writes it for a small
    # part of the CPU that psycopg spends adapting the same values one by one.
    cells = (
        f"(r->>{i})::{{time}}" if c in TIME_COLUMNS else f"(r->>{i})::boolean" if c in BOOLEAN_COLUMNS else f"r->>{i}"
        for i, c in enumerate(columns)
    )
    return "SELECT " + ", ".join(cells) + " FROM json_array_elements({p}::json) AS r"


# A name is done when the rollout has seen rows of it and switched every one of them off.
_DONE = (
    "SELECT name FROM {meters} WHERE rollout = {p} AND name IS NOT NULL "
    "GROUP BY name HAVING count(*) = count(switched_off_at)"
)
STATEMENTS = {
    "done": _DONE,
    "run": "INSERT INTO {runs} (run_id, rollout, shard_index, shard_count, host, pid, started_at, names, left_out, "
    "process, heartbeat, stopping) VALUES ({p}, {p}, {p}, {p}, {p}, {p}, {p}, {p}, {p}, {p}, {now}, false)",
    # Claims: the runs of a rollout that may hold some, the names a run takes, and gives up.
    "beat": "UPDATE {runs} SET heartbeat = {now}, stopping = {p} WHERE run_id = {p}",
    "holders": "SELECT run_id, host, pid, process, stopping, {now} - heartbeat FROM {runs} "
    "WHERE rollout = {p} AND run_id <> {p} AND ended_at IS NULL",
    "claim": "INSERT INTO {claims} (rollout, name, run_id) VALUES ({p}, {p}, {p}) ON CONFLICT (rollout, name) DO NOTHING",
    "claimed": "SELECT count(*) FROM {claims} WHERE rollout = {p} AND run_id = {p}",
    "held_by": "SELECT name FROM {claims} WHERE rollout = {p} AND run_id = {p}",
    "release": "DELETE FROM {claims} WHERE rollout = {p} AND run_id = {p}",
    "end": "UPDATE {runs} SET ended_at = {p}, status = {p}, esco = {p}, selected = {p}, switched_off = {p}, "
    "already_off = {p}, failed = {p}, not_run = {p}, ledger_complete = {p} WHERE run_id = {p}",
    # What an earlier run left to follow up: requests it holds, keys the head-end refused.
    "unsettled": "SELECT row_id, idempotency_key, request_id, cause FROM {meters} WHERE rollout = {p} "
    "AND switched_off_at IS NULL AND idempotency_key IS NOT NULL",
    "listed": "SELECT name FROM {names} WHERE rollout = {p} ORDER BY name",
    "runs_of": f"SELECT {', '.join(RUN_COLUMNS)} FROM {{runs}} WHERE rollout = {{p}} ORDER BY started_at, run_id",
    "counts": "SELECT outcome, cause, switched_off_at IS NOT NULL, count(*) FROM {meters} WHERE rollout = {p} "
    "GROUP BY 1, 2, 3",
    "meters_of": f"SELECT {', '.join(METER_COLUMNS)} FROM {{meters}} WHERE rollout = {{p}} ORDER BY name, row_id",
    # What an undo reads of a rollout (``undoing``): each meter, and the rows it has put back.
    "rollout_meters": "SELECT row_id, name, meter_id, serial, outcome, cause, switched_off_at IS NOT NULL, "
    "value_before FROM {meters} WHERE rollout = {p} ORDER BY name, row_id",
    "switched_off_rows": "SELECT row_id FROM {meters} WHERE rollout = {p} AND switched_off_at IS NOT NULL",
    "first_run": "SELECT min(started_at) FROM {runs} WHERE rollout = {p}",
    # Slots handed out one after the other, never before now less the burst's allowance:
    # (rollout, allowance, span, allowance, span); the new next_free, and now.
    "reserve": "INSERT INTO {budget} (rollout, next_free) VALUES ({p}, {now} - {p} + {p}) "
    "ON CONFLICT (rollout) DO UPDATE SET next_free = {greatest}({budget}.next_free, {now} - {p}) + {p} "
    "RETURNING next_free, {now}",
}


def compiled(compose: Callable[[str], Any]) -> tuple[list[tuple[int, list[Any]]], dict[str, Any]]:
    """The upgrade steps and the statements, each composed by ``compose``."""
    upgrades = [(version, [compose(s) for s in statements]) for version, statements in UPGRADES]
    statements = {key: compose(s) for key, s in STATEMENTS.items()}
    return upgrades, statements | {f"schema_{key}": compose(s) for key, s in SCHEMA_STATEMENTS.items()}


def sqlite_ident(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'
