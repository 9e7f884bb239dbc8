"""The embedded registry: an SQLite file, opened read-only with the stdlib.

The jobs never write to the registry, so the file is opened in read-only mode:
a fault in a job cannot change it. Columns declared with a BOOL type come back
as ``bool``; SQLite itself stores them as 0 and 1.
"""

from __future__ import annotations

import json
import sqlite3
import stat
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any
from urllib.parse import quote

from .errors import RegistryError
from .query import ORDER_COLUMN, Query, Row, ordered, unique
from .settings import DEFAULT_TIMEOUT

# SQLite versions before 3.32 allow 999 bound variables; keep well below.
MAX_IN_VALUES = 900
# json_each is built in from 3.38. A list of text values then goes in as one JSON
# parameter and one statement, one scan of the table: chunks of 900 scan a table
# without an index on the column once each (200,000 names, 1,000,000 rows: 45 s
# against 1.2 s). Text only, so that the comparison is exactly that of bound text.
JSON_IN = sqlite3.sqlite_version_info >= (3, 38)


def path_from_url(url: str) -> Path:
    """``sqlite:///abs/path`` or ``sqlite:rel/path`` to the database file's path."""
    rest = url[len("sqlite:") :]
    if rest.startswith("//"):
        rest = rest[2:]
        if not rest.startswith("/"):
            raise RegistryError(
                "SUPABASE_URL for the embedded registry must be sqlite:///ABSOLUTE/PATH "
                "or sqlite:RELATIVE/PATH; a host part is not allowed"
            )
    if not rest:
        raise RegistryError("SUPABASE_URL names no database file after 'sqlite:'")
    return Path(rest)


def _quote_ident(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def _row_id(row: Row) -> str:
    return f" (id {row[ORDER_COLUMN]!r})" if isinstance(row.get(ORDER_COLUMN), int) else ""


class SqliteRegistry:
    def __init__(self, path: Path, timeout: float = DEFAULT_TIMEOUT) -> None:
        self.path = path
        # How long to wait while a writer holds the file's lock.
        self.timeout = timeout
        shown = str(path)
        try:
            regular = stat.S_ISREG(path.stat().st_mode)
        except (FileNotFoundError, NotADirectoryError):
            regular = False
        except OSError as exc:
            raise RegistryError(f"registry database {shown!r} cannot be reached: {exc.strerror}") from None
        if not regular:
            raise RegistryError(
                f"registry database {shown!r} does not exist or is not a file; check SUPABASE_URL"
            )
        try:
            path.open("rb").close()
        except OSError as exc:
            # SQLite would only say "unable to open database file".
            raise RegistryError(
                f"registry database {shown!r} cannot be read: {exc.strerror}; check its permissions"
            ) from None
        with self._connect() as conn:
            try:
                conn.execute("PRAGMA schema_version").fetchone()
            except sqlite3.DatabaseError as exc:
                raise RegistryError(
                    f"registry database {shown!r} cannot be read as SQLite: {self._explain(exc)}"
                ) from None

    def _explain(self, exc: sqlite3.Error) -> str:
        if getattr(exc, "sqlite_errorname", "") in ("SQLITE_BUSY", "SQLITE_LOCKED"):
            return f"{exc} (still locked after {self.timeout:g} s; REGISTRY_TIMEOUT sets the wait)"
        return str(exc)

    def describe(self) -> str:
        return f"sqlite:{self.path}"

    def close(self) -> None:
        pass  # each query opens and closes its own connection

    @contextmanager
    def _connect(self) -> Iterator[sqlite3.Connection]:
        uri = "file:" + quote(str(self.path.absolute())) + "?mode=ro"
        try:
            conn = sqlite3.connect(uri, uri=True, timeout=self.timeout)
        except sqlite3.Error as exc:
            raise RegistryError(f"cannot open registry database {str(self.path)!r}: {exc}") from None
        try:
            yield conn
        finally:
            conn.close()

    def _columns(self, conn: sqlite3.Connection, table: str) -> dict[str, str]:
        info = conn.execute(f"PRAGMA table_info({_quote_ident(table)})").fetchall()
        if not info:
            raise RegistryError(f"registry table {table!r} not found in {str(self.path)!r}")
        return {row[1]: (row[2] or "").upper() for row in info}

    def fetch(self, query: Query) -> list[Row]:
        # A damaged or locked file can fail at any step, rows included.
        try:
            return self._fetch(query)
        except sqlite3.Error as exc:
            raise RegistryError(
                f"reading registry table {query.table_name!r} from {str(self.path)!r} failed: "
                f"{self._explain(exc)}"
            ) from None

    def _fetch(self, query: Query) -> list[Row]:
        with self._connect() as conn:
            declared = self._columns(conn, query.table_name)
            if ORDER_COLUMN not in declared:
                raise RegistryError(
                    f"registry table {query.table_name!r} has no {ORDER_COLUMN!r} column to order by"
                )
            wanted = list(declared) if query.selects_all() else list(query.columns)
            if query.needs_order_column():
                wanted.append(ORDER_COLUMN)
            for column in wanted + [f.column for f in query.filters]:
                if column not in declared:
                    raise RegistryError(
                        f"column {column!r} not found in registry table {query.table_name!r}"
                    )
            booleans = {c for c in wanted if "BOOL" in declared[c]}
            rows: list[Row] = []
            for sql, params in self._statements(query, wanted):
                cursor = conn.execute(sql, params)
                for values in cursor:
                    row = dict(zip(wanted, values))
                    for column in booleans:
                        value = row[column]
                        if isinstance(value, (str, bytes)):
                            # Text is never equal to 0, so "not false" picked it whatever it says.
                            raise RegistryError(
                                f"registry table {query.table_name!r} in {str(self.path)!r}: column "
                                f"{column!r} holds text or a blob, not 1, 0 or NULL, in a row the query selected"
                                f"{_row_id(row)}; a file written by sqlite3's .import does this, "
                                "vaxo-registry-load does not"
                            )
                        if value is not None:
                            row[column] = bool(value)
                    rows.append(row)
        return ordered(rows, query.needs_order_column())

    def _statements(self, query: Query, wanted: list[str]) -> Iterator[tuple[str, list[Any]]]:
        """One statement per chunk of the (single) ``in_`` list, else one."""
        where: list[str] = []
        params: list[Any] = []
        in_filter = None
        for f in query.filters:
            if f.op == "in" and in_filter is None:
                in_filter = f
            elif f.op == "in":
                where.append(f"{_quote_ident(f.column)} IN ({','.join('?' * len(f.value))})")
                params.extend(f.value)
            else:
                where.append(f"{_quote_ident(f.column)} != ?")
                params.append(f.value)
        head = (
            f"SELECT {', '.join(map(_quote_ident, wanted))} "
            f"FROM {_quote_ident(query.table_name)}"
        )
        tail = f" ORDER BY {_quote_ident(ORDER_COLUMN)}"
        if in_filter is None:
            yield head + (" WHERE " + " AND ".join(where) if where else "") + tail, params
            return
        values = unique(in_filter.value)
        if JSON_IN and all(type(value) is str for value in values):
            clause = f"{_quote_ident(in_filter.column)} IN (SELECT value FROM json_each(?))"
            listed = json.dumps(values, ensure_ascii=False)  # a lone surrogate fails to bind, as before
            yield head + " WHERE " + " AND ".join([clause, *where]) + tail, [listed, *params]
            return
        for start in range(0, len(values), MAX_IN_VALUES):
            chunk = values[start : start + MAX_IN_VALUES]
            clause = f"{_quote_ident(in_filter.column)} IN ({','.join('?' * len(chunk))})"
            yield head + " WHERE " + " AND ".join([clause, *where]) + tail, chunk + params
