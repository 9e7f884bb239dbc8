"""A throwaway PostgreSQL server for the tests: its own cluster in a temporary
folder, on loopback and a free port, started and stopped by its PID.

The server gets a bare environment: the sanitizer run's LD_PRELOAD and
*SAN_OPTIONS must not reach it.
"""

from __future__ import annotations

import glob
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from collections.abc import Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import psycopg
from psycopg import sql

ADMIN, ADMIN_PASSWORD = "registry_admin", "admin-pw-5c1e"
READER, READER_PASSWORD = "registry_reader", "reader-pw-'q,\"9"
START_LIMIT = 60

TABLE = """
CREATE TABLE meter_registry (
    id bigint PRIMARY KEY,
    name text NOT NULL,
    meter_id text NOT NULL,
    serial text NOT NULL,
    esco text NOT NULL,
    prepay_enabled boolean
)
"""


def server_bindir() -> Path | None:
    """The newest installed server's bin folder, or None."""
    for folder in sorted(glob.glob("/usr/lib/postgresql/*/bin"), key=lambda p: int(p.split("/")[-2]), reverse=True):
        if Path(folder, "initdb").exists() and Path(folder, "postgres").exists():
            return Path(folder)
    found = shutil.which("initdb")
    return Path(found).parent if found and shutil.which("postgres") else None


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def _server_env() -> dict[str, str]:
    return {"PATH": "/usr/bin:/bin", "LANG": "C", "LC_ALL": "C"}


@dataclass
class Cluster:
    folder: Path
    port: int
    process: subprocess.Popen[bytes]

    @property
    def host(self) -> str:
        return "127.0.0.1"

    def url(self, dbname: str, user: str = READER, password: str | None = READER_PASSWORD) -> str:
        from urllib.parse import quote

        auth = quote(user, safe="") + (":" + quote(password, safe="") if password is not None else "")
        return f"postgresql://{auth}@{self.host}:{self.port}/{quote(dbname, safe='')}"

    def admin(self, dbname: str = "postgres") -> psycopg.Connection[Any]:
        return psycopg.connect(self.url(dbname, ADMIN, ADMIN_PASSWORD), autocommit=True)

    def create_registry(self, dbname: str, rows: Iterable[tuple[Any, ...]] = ()) -> str:
        """A new database holding ``meter_registry`` with ``rows``; the reader's URL."""
        with self.admin() as conn:
            conn.execute(sql.SQL("DROP DATABASE IF EXISTS {}").format(sql.Identifier(dbname)))
            conn.execute(sql.SQL("CREATE DATABASE {}").format(sql.Identifier(dbname)))
        with self.admin(dbname) as conn:
            conn.execute(TABLE)
            conn.execute(sql.SQL("GRANT SELECT ON meter_registry TO {}").format(sql.Identifier(READER)))
        self.replace_rows(dbname, rows)
        return self.url(dbname)

    def owned_database(self, name: str, password: str) -> str:
        """A new database owned by a new role of the same name; that role's URL."""
        with self.admin() as admin:
            admin.execute(
                sql.SQL("CREATE ROLE {} LOGIN PASSWORD {}").format(sql.Identifier(name), sql.Literal(password))
            )
            admin.execute(sql.SQL("CREATE DATABASE {} OWNER {}").format(sql.Identifier(name), sql.Identifier(name)))
        return self.url(name, name, password)

    def replace_rows(self, dbname: str, rows: Iterable[tuple[Any, ...]]) -> None:
        with self.admin(dbname) as conn:
            conn.execute("TRUNCATE meter_registry")
            with conn.cursor().copy("COPY meter_registry FROM STDIN") as copy:
                for row in rows:
                    copy.write_row(row)

    def log_size(self) -> int:
        return (self.folder / "server.log").stat().st_size

    def statements(self, user: str, since: int) -> list[str]:
        """Statements ``user`` ran, as logged after byte ``since`` of the server's log."""
        with (self.folder / "server.log").open("rb") as log:
            log.seek(since)
            text = log.read().decode(errors="replace")
        marker = f"{user}@"
        return [
            line.split("statement: ", 1)[-1] if "statement: " in line else line.split(": ", 3)[-1]
            for line in text.splitlines()
            if line.startswith(marker) and ("LOG:  statement: " in line or "LOG:  execute " in line)
        ]

    def stop(self) -> None:
        self.halt()
        shutil.rmtree(self.folder, ignore_errors=True)

    def resume(self) -> None:
        """Start the halted server again, on its port and data."""
        user = "postgres" if os.geteuid() == 0 else None
        with (self.folder / "server.log").open("ab") as log:
            self.process = subprocess.Popen(
                self.process.args, user=user, env=_server_env(), stdin=subprocess.DEVNULL, stdout=log, stderr=log
            )
        _wait_until_ready(self)

    def halt(self) -> None:
        """Stop the server and keep its data: clients find its port closed."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)  # fast shutdown
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def start_cluster(bindir: Path, log_statements: bool = True) -> Cluster:
    """initdb, then the server in the foreground so that its PID is ours to stop.

    With ``log_statements``, every statement is logged by user, so that tests
    can see what a client sent; benchmarks turn it off.
    """
    folder = Path(tempfile.mkdtemp(prefix="registry-pg-"))
    as_root = os.geteuid() == 0
    user = "postgres" if as_root else None  # initdb refuses to run as root
    try:
        data, sockets = folder / "data", folder / "sockets"
        sockets.mkdir()
        pwfile = folder / "pw"
        pwfile.write_text(ADMIN_PASSWORD + "\n")
        if as_root:
            shutil.chown(folder, "postgres")
            shutil.chown(sockets, "postgres")
            shutil.chown(pwfile, "postgres")
        subprocess.run(
            [
                str(bindir / "initdb"),
                "-D",
                str(data),
                "-U",
                ADMIN,
                f"--pwfile={pwfile}",
                "--auth=scram-sha-256",
                "--no-locale",
                "-E",
                "UTF8",
                "--no-sync",
            ],
            user=user,
            env=_server_env(),
            check=True,
            capture_output=True,
            timeout=START_LIMIT,
        )
        port = free_port()
        with (folder / "server.log").open("wb") as log:  # the server keeps its own copy
            process = subprocess.Popen(
                [
                    str(bindir / "postgres"),
                    "-D",
                    str(data),
                    "-p",
                    str(port),
                    "-k",
                    str(sockets),
                    "-c",
                    "listen_addresses=127.0.0.1",
                    "-c",
                    "fsync=off",
                    "-c",
                    "logging_collector=off",
                    "-c",
                    f"log_statement={'all' if log_statements else 'none'}",
                    "-c",
                    "log_line_prefix=%u@%d: ",
                    "-c",
                    "log_parameter_max_length=0",
                ],
                user=user,
                env=_server_env(),
                stdin=subprocess.DEVNULL,
                stdout=log,
                stderr=subprocess.STDOUT,
            )
        cluster = Cluster(folder, port, process)
    except BaseException:
        shutil.rmtree(folder, ignore_errors=True)
        raise
    try:
        _wait_until_ready(cluster)
        with cluster.admin() as conn:
            conn.execute(
                sql.SQL("CREATE ROLE {} LOGIN PASSWORD {}").format(sql.Identifier(READER), sql.Literal(READER_PASSWORD))
            )
    except BaseException:
        cluster.stop()
        raise
    return cluster


def _wait_until_ready(cluster: Cluster) -> None:
    deadline = time.monotonic() + START_LIMIT
    while True:
        if cluster.process.poll() is not None:
            log = (cluster.folder / "server.log").read_text(errors="replace")
            raise RuntimeError(f"PostgreSQL exited with status {cluster.process.returncode}:\n{log}")
        try:
            cluster.admin().close()
            return
        except psycopg.OperationalError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)
