"""An SQLite ledger: one file that the processes of one machine share."""

from __future__ import annotations

import os
import sqlite3
import stat
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from vaxo_ortane.launcher.ledger.schema import TABLES, WRITTEN, compiled, many_values, name_insert, sqlite_ident, upsert
from vaxo_ortane.launcher.ledger.store import Ledger, LedgerError, LedgerMissing, RunStart, iso

# How long an SQLite writer waits for another process's transaction to end.
BUSY_SECONDS = 10.0
# Another connection holds the file: its transaction outlasted the busy time-out.
_BUSY = frozenset({sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED})
# Rows a statement writes at most, then fewer for the rest: within the 999 parameters
# that any SQLite takes. sqlite3 lets other threads run during each statement's step:
# a row a statement, the job's workers and the writer would swap the GIL at every row.
ROWS_A_STATEMENT = (64, 16, 4, 1)
# Seconds since 1970 by the ledger's clock: one machine's, as the file is.
NOW = "((julianday('now') - 2440587.5) * 86400.0)"


class SqliteLedger(Ledger):
    """A ledger file, in WAL mode so that readers never wait on the writer; each commit is synced."""

    _errors = (sqlite3.Error,)
    _transient = (sqlite3.OperationalError,)

    def __init__(self, path: Path, read_only: bool) -> None:
        self.shown = f"sqlite://{path}"
        try:
            mode: int | None = os.stat(path).st_mode  # through links: one to /dev/null is a device
        except FileNotFoundError:
            mode = None
        except OSError as exc:
            raise LedgerError(f"the ledger {self.shown} cannot be examined: {exc.strerror}", False) from None
        if mode is not None and not stat.S_ISREG(mode):
            # SQLite would open it, and make its journal beside whatever it links to.
            raise LedgerError(f"the ledger {self.shown} exists and is not a regular file", False)
        if read_only and mode is None:
            raise LedgerMissing(f"the ledger {self.shown} does not exist")
        if not path.parent.is_dir():
            raise LedgerError(f"the ledger {self.shown} cannot be created: its folder does not exist", False)
        tables = {key: sqlite_ident(name) for key, name in TABLES.items()}

        def compose(text: str) -> str:
            return text.format(p="?", time="text", now=NOW, greatest="max", **tables)

        self._upgrades, self._statements = compiled(compose)
        self._many = {key: {n: compose(upsert(key, many_values(n))) for n in ROWS_A_STATEMENT} for key in WRITTEN} | {
            "name": {n: compose(name_insert(many_values(n))) for n in ROWS_A_STATEMENT}
        }
        # A file URI with the path percent-encoded: a "?", "#" or "%" in it stays part of the name.
        target = f"{path.as_uri()}?mode=ro" if read_only else str(path)
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
        # In the rows' order, as executemany would: a row written twice keeps the later.
        statements, done = self._many[key], 0
        for count in ROWS_A_STATEMENT:
            while len(rows) - done >= count:
                self._conn.execute(statements[count], [cell for row in rows[done : done + count] for cell in row])
                done += count

    def recover(self) -> None:
        pass  # the failed transaction was rolled back; the file stays open

    def unsynced(self) -> None:
        with self._failing("cannot be opened"):
            self._conn.execute("PRAGMA synchronous=NORMAL")  # in WAL mode: synced at checkpoints only

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
        return iso(moment)

    def _insert_names(self, run: RunStart, names: list[str], moment: Any) -> None:
        self._write_rows("name", [(run.rollout, n, run.run_id, moment) for n in names])

    def _serialize(self) -> None:
        pass  # BEGIN IMMEDIATE holds the file's write lock already

    def _insert_claims(self, run: RunStart, names: list[str]) -> None:
        self._conn.executemany(self._statements["claim"], [(run.rollout, n, run.run_id) for n in names])

    def _cause(self, exc: Exception) -> str:
        return str(exc) or type(exc).__name__

    def _unreachable(self, exc: Exception) -> bool:
        return isinstance(exc, sqlite3.Error) and exc.sqlite_errorcode & 0xFF in _BUSY

    def _present(self, tables: Sequence[str]) -> int:
        marks = ", ".join("?" for _ in tables)
        found = self._conn.execute(
            f"SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN ({marks})", tuple(tables)
        ).fetchone()
        return int(found[0])

    def close(self) -> None:
        self._conn.close()
