"""A PostgreSQL ledger: one database that every shard on every machine shares."""

from __future__ import annotations

import datetime
import os
from collections.abc import Sequence
from typing import Any

import orjson

from vaxo_ortane.launcher.ledger.schema import (
    TABLES,
    WRITTEN,
    compiled,
    json_rows,
    name_insert,
    upsert,
)
from vaxo_ortane.launcher.ledger.store import Ledger, LedgerError, RunStart
from vaxo_ortane.util.urls import without_credentials

CONNECT_SECONDS = 5
STATEMENT_SECONDS = 15
SCHEMA_LOCK = 0x666C6970
# libpq's words for a server out of reach, and the server's for one that cannot take
# connections yet: waited for. Anything else it says (a password refused, no such
# database or user, a pg_hba.conf rule) is a setting to fix. libpq's connection errors
# carry no SQLSTATE, only this text.
OUT_OF_REACH = (
    "connection refused",
    "timeout expired",
    "timed out",
    "could not translate host name",
    "no route to host",
    "network is unreachable",
    "connection reset",
    "closed the connection",
    "connection to server was lost",
    "the database system is starting up",
    "the database system is shutting down",
    "the database system is in recovery mode",
    "the database system is not yet accepting connections",
    "too many clients",
    "remaining connection slots are reserved",
    "terminating connection due to administrator command",
)
# A statement cancelled at its time-out, a lock not to be had: a ledger busy for now, as when
# the shards of a large rollout wait in turn for the lock under which each takes its claims.
BUSY_STATES = ("57014", "55P03")
# Seconds since 1970 by the server's clock: the same for every machine of a rollout.
NOW_SQL = "extract(epoch from clock_timestamp())::double precision"


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

        tables = {key: sql.Identifier(name) for key, name in TABLES.items()}
        now, greatest = sql.SQL(NOW_SQL), sql.SQL("greatest")

        def compose(s: str) -> Any:
            return sql.SQL(s).format(
                p=sql.Placeholder(), time=sql.SQL("timestamptz"), now=now, greatest=greatest, **tables
            )

        self._upgrades, self._statements = compiled(compose)
        self._bulk = {key: compose(upsert(key, json_rows)) for key in WRITTEN}
        self._names = compose(name_insert(lambda columns: "SELECT {p}, n, {p}, {p} FROM unnest({p}::text[]) AS n"))
        # The names as one JSON text, which orjson writes: psycopg would adapt a list name by name.
        self._claims = compose(
            "INSERT INTO {claims} (rollout, name, run_id) SELECT {p}, n, {p} "
            "FROM json_array_elements_text({p}::json) AS n ON CONFLICT (rollout, name) DO NOTHING"
        )
        self._connect()

    def _connect(self) -> None:
        with self._failing("cannot be opened"):
            self._conn = self._psycopg.connect(self._url, **self._connect_args)

    def recover(self) -> None:
        if self._conn is None or self._conn.broken or self._conn.closed:
            self._connect()

    def unsynced(self) -> None:
        self._connect_args["options"] += " -c synchronous_commit=off"  # for every connection it makes next
        with self._failing("cannot be opened"):
            self._conn.execute("SET synchronous_commit = off")
            self._conn.commit()

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

    def _insert_claims(self, run: RunStart, names: list[str]) -> None:
        self._conn.execute(self._claims, (run.rollout, run.run_id, orjson.dumps(names).decode()))

    def _serialize(self) -> None:
        self._conn.execute("SELECT pg_advisory_xact_lock(%s)", (SCHEMA_LOCK,))

    def _upgrade(self) -> None:
        # Shards that start together would race on CREATE TABLE IF NOT EXISTS and the version:
        # the first takes the lock, the others then find the ledger up to date. Held to the
        # end of the transaction, it also keeps their claims apart.
        self._serialize()
        super()._upgrade()

    def _cause(self, exc: Exception) -> str:
        text = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        for secret in self._secrets:
            text = text.replace(secret, "[password]")
        return text

    def _unreachable(self, exc: Exception) -> bool:
        if getattr(exc, "sqlstate", None) in BUSY_STATES:
            return True
        text = str(exc).lower()
        return any(words in text for words in OUT_OF_REACH)

    def _present(self, tables: Sequence[str]) -> int:
        found = self._conn.execute(
            "SELECT count(to_regclass(t)) FROM unnest(%s::text[]) AS t", (list(tables),)
        ).fetchone()
        return int(found[0])

    def close(self) -> None:
        if self._conn is not None:
            self._conn.close()
