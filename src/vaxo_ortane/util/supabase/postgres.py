"""A registry in PostgreSQL, read directly with psycopg 3.

``SUPABASE_URL=postgresql://[USER[:PASSWORD]@]HOST[:PORT]/DBNAME[?PARAM=VALUE...]``
(or ``postgres://``). What the URL leaves out comes from libpq's own sources:
``PGHOST``, ``PGUSER``, ``PGPASSWORD``, ``PGSSLMODE``, ``PGPASSFILE`` or
``~/.pgpass``, and so on. The two registry keys are not sent.

A query is one statement with bound parameters, each ``in_`` list one array
parameter, so a name list of any length is one round trip. Each query opens
its own connection and closes it: the job asks once, then spends minutes on
the mediators, and an idle connection would only hold a server slot.

The connection is read-only and its statements time out after
``REGISTRY_TIMEOUT``, both set as startup options so that no extra round trip
is spent; the server's report of ``default_transaction_read_only`` is checked,
as a pooler may drop startup options.
"""

from __future__ import annotations

import getpass
import math
import os
import re
import socket
import threading
from collections.abc import Callable, Iterator, Mapping
from contextlib import contextmanager
from typing import Any, TypeVar

import psycopg
from psycopg import errors, sql
from psycopg.conninfo import conninfo_to_dict
from psycopg.rows import dict_row

from .errors import RegistryError
from .query import ORDER_COLUMN, Query, Row
from .settings import DEFAULT_TIMEOUT

# Past the server's own statement time-out, how long the client still waits for
# a server that has gone silent before cutting the connection itself.
GRACE = 1.0
MAX_QUOTED = 300

T = TypeVar("T")


def _login_name() -> str:
    try:
        return getpass.getuser()
    except OSError:  # no name for this uid, as in some containers
        return "the login user"


def _first_line(text: str) -> str:
    return text.strip().splitlines()[0] if text.strip() else ""


class PostgresRegistry:
    def __init__(self, url: str, timeout: float = DEFAULT_TIMEOUT, environ: Mapping[str, str] | None = None) -> None:
        env = os.environ if environ is None else environ
        scheme, _, rest = url.partition(":")
        url = scheme.lower() + ":" + rest  # libpq knows the scheme in lower case only
        try:
            params = conninfo_to_dict(url)
        except psycopg.Error:
            # libpq's parse errors quote parts of the URL, which may hold a password.
            raise RegistryError(
                "SUPABASE_URL is not a valid postgresql:// URL; the form is "
                "postgresql://USER@HOST:PORT/DBNAME, with special characters percent-encoded"
            ) from None
        self.url = url
        self.timeout = timeout
        self._secrets = tuple(
            s
            for s in sorted({str(params.get("password") or ""), env.get("PGPASSWORD", "")}, key=len, reverse=True)
            if s
        )
        host = str(params.get("host") or params.get("hostaddr") or env.get("PGHOST") or "localhost")
        port = str(params.get("port") or env.get("PGPORT") or "5432")
        user = str(params.get("user") or env.get("PGUSER") or _login_name())
        dbname = str(params.get("dbname") or env.get("PGDATABASE") or user)
        # libpq's defaults, for messages until a connection tells the real ones.
        self._shown = f"postgresql://{host}:{port}/{dbname}"
        # Ours last: for a setting given twice, the server keeps the last.
        ms = max(1, round(timeout * 1000))
        options = f"{params.get('options') or ''} -c default_transaction_read_only=on -c statement_timeout={ms}"
        self._connect_args: dict[str, Any] = {
            "options": options.strip(),
            # Whole seconds, two at least, as libpq counts them.
            "connect_timeout": max(2, math.ceil(timeout)),
            "autocommit": True,
            "row_factory": dict_row,
        }

    def describe(self) -> str:
        return self._shown

    def close(self) -> None:
        pass  # each query opens and closes its own connection

    def _scrub(self, text: str) -> str:
        for secret in self._secrets:
            text = text.replace(secret, "[password]")
        return text if len(text) <= MAX_QUOTED else text[:MAX_QUOTED] + "..."

    def _fail(self, cause: str) -> RegistryError:
        return RegistryError(f"registry database {self._shown}: {self._scrub(cause)}")

    @contextmanager
    def _connect(self) -> Iterator[psycopg.Connection[Row]]:
        try:
            conn: psycopg.Connection[Row] = psycopg.connect(self.url, **self._connect_args)
        except psycopg.Error as exc:
            raise self._fail(self._connect_cause(exc)) from None
        try:
            # A service file or a host list may have chosen other ones.
            self._shown = f"postgresql://{conn.info.host}:{conn.info.port}/{conn.info.dbname}"
            if conn.info.parameter_status("default_transaction_read_only") == "off":
                raise self._fail(
                    "the connection could not be made read-only (a pooler that drops start-up "
                    "options?); connect to the server directly, or have the pooler pass them through"
                )
            yield conn
        finally:
            conn.close()

    def _connect_cause(self, exc: psycopg.Error) -> str:
        text = str(exc).removeprefix("connection failed: ")
        # Keep the server's or the network's own words, without libpq's preamble.
        text = re.sub(r'^connection to server (at "[^"]*"(, port \d+)?|on socket "[^"]*") failed: ', "", text)
        text = re.sub(r"^(FATAL|ERROR): +", "", text)
        cause = _first_line(text)
        lowered = cause.lower()
        if "authentication failed" in lowered or "no password supplied" in lowered or "pg_hba.conf" in lowered:
            hint = "check the user and the password in SUPABASE_URL, PGPASSWORD or the password file"
        elif "does not exist" in lowered:
            hint = "check the database name in SUPABASE_URL"
        elif "refused" in lowered:
            hint = "is the server running and accepting TCP/IP connections on that port?"
        elif "timeout" in lowered or "timed out" in lowered:
            cause = f"no answer within {self._connect_args['connect_timeout']} s"
            hint = "REGISTRY_TIMEOUT sets the wait"
        else:
            hint = "check SUPABASE_URL and the server"
        return f"cannot connect: {cause}; {hint}"

    def fetch(self, query: Query) -> list[Row]:
        statement, params = self._statement(query)
        with self._connect() as conn:
            try:
                rows = self._within_deadline(conn, lambda: conn.execute(statement, params).fetchall())
            except RegistryError:
                raise
            except psycopg.Error as exc:
                raise self._fail(self._query_cause(query, exc, conn)) from None
        return rows

    def _within_deadline(self, conn: psycopg.Connection[Row], work: Callable[[], T]) -> T:
        """``work()``, or an error once the server has been silent past its own time-out.

        ``statement_timeout`` needs a server that still runs; one that hangs
        (stopped, or cut off without a reset) would keep libpq waiting forever.
        """
        cut = threading.Event()

        def cut_connection() -> None:
            cut.set()
            try:
                # A duplicate descriptor: shutting it down wakes libpq, closing it leaves libpq's own.
                with socket.socket(fileno=os.dup(conn.fileno())) as sock:
                    sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

        timer = threading.Timer(self.timeout + GRACE, cut_connection)
        timer.daemon = True
        timer.start()
        try:
            return work()
        except psycopg.OperationalError:
            if cut.is_set():
                raise self._fail(
                    f"no answer within {self.timeout + GRACE:g} s; the server or the network has stalled "
                    "(REGISTRY_TIMEOUT sets the wait)"
                ) from None
            raise
        finally:
            timer.cancel()

    def _query_cause(self, query: Query, exc: psycopg.Error, conn: psycopg.Connection[Row]) -> str:
        table = query.table_name
        said = _first_line(exc.diag.message_primary or str(exc))
        if isinstance(exc, errors.UndefinedTable):
            return f"registry table {table!r} not found ({said})"
        if isinstance(exc, errors.QueryCanceled):
            return f"the query on {table!r} was cancelled after {self.timeout:g} s ({said}); REGISTRY_TIMEOUT sets the limit"
        if conn.broken or isinstance(exc, errors.AdminShutdown):
            return f"the server closed the connection during the query on {table!r}: {said}"
        return f"reading registry table {table!r} failed: {said}"

    def _statement(self, query: Query) -> tuple[sql.Composed, list[Any]]:
        if query.selects_all():
            columns: sql.Composable = sql.SQL("*")
        else:
            columns = sql.SQL(", ").join(map(sql.Identifier, query.columns))
        where: list[sql.Composable] = []
        params: list[Any] = []
        for f in query.filters:
            if f.op == "in":
                where.append(sql.SQL("{} = ANY(%s)").format(sql.Identifier(f.column)))
                params.append(list(f.value))
            else:
                where.append(sql.SQL("{} <> %s").format(sql.Identifier(f.column)))
                params.append(f.value)
        statement = sql.SQL("SELECT {} FROM {}").format(columns, sql.Identifier(query.table_name))
        if where:
            statement += sql.SQL(" WHERE ") + sql.SQL(" AND ").join(where)
        statement += sql.SQL(" ORDER BY {}").format(sql.Identifier(ORDER_COLUMN))
        return statement, params
