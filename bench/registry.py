"""The registry query on both backends: time, requests and peak memory.

- Embedded: a 100,000-meter SQLite registry, queried for 10,000 names. A
  "request" here is one SQL statement: the name list is split to stay under
  SQLite's limit on bound variables.
- Hosted: 5,000 matching rows from a loopback PostgREST stand-in that caps
  every response at 1,000 rows, as ``db-max-rows`` does. The stand-in filters
  with sets, so its own time stays small beside the client's.
- PostgreSQL: the same 100,000 meters and 10,000 names on a throwaway local
  server (the tests' own, started here and stopped at the end). Round trips are
  counted from libpq's protocol trace of the query's connection: each turn from
  client to server messages is one. Connecting (start-up and password
  exchange) is timed apart; it happens once per query. tracemalloc sees only
  Python objects, not libpq's buffer for the result.

Time is the best of a few runs; peak memory is the largest Python allocation
seen by tracemalloc during a separate run (tracemalloc slows the code it
watches, so it is kept out of the timed runs).

    python bench/registry.py
"""

from __future__ import annotations

import json
import os
import sqlite3
import sys
import tempfile
import threading
import time
import tracemalloc
from collections.abc import Callable
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path
from typing import Any
from urllib.parse import parse_qsl, urlsplit

from vaxo_ortane.mediator.sample_fleet import SampleMeter, write_registry
from vaxo_ortane.util.supabase import embedded, postgres, supa_client

ANON, ROLE = "bench-anon", "bench-role"
REPEAT = 3


def names_of(count: int, step: int = 1) -> list[str]:
    return [f"M{i:06d}" for i in range(1, count * step + 1, step)]


def query(client: Any, names: list[str]) -> list[dict[str, Any]]:
    return client.table("meter_registry").select("*").in_("name", names).neq("prepay_enabled", False).execute().data


def measure(work: Callable[[], list[dict[str, Any]]]) -> tuple[float, int, int]:
    """Best time in seconds, rows, and peak traced memory in bytes."""
    best, rows = float("inf"), 0
    for _ in range(REPEAT):
        start = time.perf_counter()
        rows = len(work())
        best = min(best, time.perf_counter() - start)
    tracemalloc.start()
    work()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return best, rows, peak


class CountingSqlite:
    """Stands in for the sqlite3 module inside the embedded backend; counts SELECTs."""

    def __init__(self) -> None:
        self.selects = 0

    def __getattr__(self, name: str) -> Any:
        return getattr(sqlite3, name)

    def connect(self, *args: Any, **kwargs: Any) -> sqlite3.Connection:
        conn = sqlite3.connect(*args, **kwargs)
        conn.set_trace_callback(self._trace)
        return conn

    def _trace(self, statement: str) -> None:
        if statement.lstrip().upper().startswith("SELECT"):
            self.selects += 1


def bench_embedded(folder: Path) -> None:
    meters, wanted = 100_000, 10_000
    path = folder / "registry.db"
    write_registry(
        path,
        (
            SampleMeter(id=i, name=f"M{i:06d}", meter_id=f"MTR-{i:06d}", serial=f"SN{i:08d}", esco="BENCH")
            for i in range(1, meters + 1)
        ),
    )
    names = names_of(wanted, step=meters // wanted)  # spread over the whole table
    client = supa_client(f"sqlite://{path}", ANON, ROLE)
    counter = CountingSqlite()
    embedded.sqlite3 = counter  # type: ignore[assignment]
    try:
        seconds, rows, peak = measure(lambda: query(client, names))
        counter.selects = 0
        query(client, names)
        statements = counter.selects
    finally:
        embedded.sqlite3 = sqlite3
    print(f"embedded: {meters} meters, {wanted} names -> {rows} rows")
    print(
        f"  time {seconds * 1e3:8.1f} ms   statements {statements:4d}   peak memory {peak / 2**20:6.1f} MiB"
        f"   ({seconds / rows * 1e6:.1f} us per row)"
    )


class PostgrestStandIn:
    """Just enough of PostgREST for the registry client: select, in, neq, order, offset, limit."""

    def __init__(self, rows: list[dict[str, Any]], max_rows: int) -> None:
        self.rows = sorted(rows, key=lambda r: r["id"])
        self.max_rows = max_rows
        self.requests = 0
        self.server = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    @property
    def url(self) -> str:
        return f"http://127.0.0.1:{self.server.server_address[1]}"

    def stop(self) -> None:
        self.server.shutdown()
        self.server.server_close()

    def answer(self, params: list[tuple[str, str]]) -> list[dict[str, Any]]:
        rows, offset, limit = self.rows, 0, self.max_rows
        for key, value in params:
            if key == "offset":
                offset = int(value)
            elif key == "limit":
                limit = min(int(value), self.max_rows)
            elif value.startswith("in.("):
                wanted = set(value[4:-1].replace('"', "").split(","))
                rows = [r for r in rows if str(r[key]) in wanted]
            elif value.startswith("neq."):
                text = value[4:]
                rows = [r for r in rows if r[key] is not None and str(r[key]).lower() != text]
        return rows[offset : offset + limit]

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        stand_in = self

        class Handler(BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"
            disable_nagle_algorithm = True

            def log_message(self, format: str, *args: Any) -> None:
                pass

            def do_GET(self) -> None:
                stand_in.requests += 1
                page = stand_in.answer(parse_qsl(urlsplit(self.path).query, keep_blank_values=True))
                data = json.dumps(page).encode()
                self.send_response(200)
                self.send_header("Content-Type", "application/json")
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

        return Handler


def bench_hosted() -> None:
    meters, wanted, cap = 10_000, 5_000, 1_000
    rows = [
        {
            "id": i,
            "name": f"M{i:06d}",
            "meter_id": f"MTR-{i:06d}",
            "serial": f"SN{i:08d}",
            "esco": "BENCH",
            "prepay_enabled": True,
        }
        for i in range(1, meters + 1)
    ]
    server = PostgrestStandIn(rows, cap)
    try:
        client = supa_client(server.url, ANON, ROLE)
        names = names_of(wanted, step=meters // wanted)
        seconds, got, peak = measure(lambda: query(client, names))
        server.requests = 0
        query(client, names)
        requests = server.requests
    finally:
        server.stop()
    print(f"hosted (PostgREST, {cap} rows per response): {meters} meters, {wanted} names -> {got} rows")
    print(
        f"  time {seconds * 1e3:8.1f} ms   requests   {requests:4d}   peak memory {peak / 2**20:6.1f} MiB"
        f"   ({seconds / got * 1e6:.1f} us per row, server included)"
    )


class TracingPsycopg:
    """Stands in for psycopg inside the PostgreSQL backend: times connecting and
    traces each connection's protocol messages."""

    def __init__(self, psycopg: Any, folder: Path) -> None:
        self.psycopg = psycopg
        self.trace = folder / "trace.txt"
        self.connect_seconds: list[float] = []

    def __getattr__(self, name: str) -> Any:
        return getattr(self.psycopg, name)

    def connect(self, *args: Any, **kwargs: Any) -> Any:
        start = time.perf_counter()
        conn = self.psycopg.connect(*args, **kwargs)
        self.connect_seconds.append(time.perf_counter() - start)
        # libpq writes through a stdio stream on this descriptor, flushed on untrace;
        # the stream is never closed, so each traced connection leaves one descriptor.
        conn.pgconn.trace(os.open(self.trace, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600))
        close = conn.close

        def untrace_then_close() -> None:
            conn.pgconn.untrace()
            close()

        conn.close = untrace_then_close
        return conn

    def round_trips(self) -> int:
        turns, last = 0, "B"
        for line in self.trace.read_text(errors="replace").splitlines():
            direction = line.split("\t")[1] if line.count("\t") >= 2 else ""
            if direction == "F" and last == "B":
                turns += 1
            last = direction or last
        return turns


def bench_postgres(folder: Path) -> None:
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
    from pg_cluster import server_bindir, start_cluster

    bindir = server_bindir()
    if bindir is None:
        print("postgresql: skipped, no PostgreSQL server programs (initdb, postgres) installed")
        return
    meters, wanted = 100_000, 10_000
    cluster = start_cluster(bindir, log_statements=False)
    try:
        url = cluster.create_registry(
            "bench", ((i, f"M{i:06d}", f"MTR-{i:06d}", f"SN{i:08d}", "BENCH", True) for i in range(1, meters + 1))
        )
        with cluster.admin("bench") as admin:
            admin.execute("CREATE INDEX ON meter_registry (name)")  # as a registry of this size would have
            admin.execute("ANALYZE meter_registry")
        client = supa_client(url, ANON, ROLE)
        names = names_of(wanted, step=meters // wanted)
        tracer = TracingPsycopg(postgres.psycopg, folder)
        postgres.psycopg = tracer  # type: ignore[assignment]
        try:
            seconds, rows, peak = measure(lambda: query(client, names))
            tracer.connect_seconds.clear()
            query(client, names)
            trips = tracer.round_trips()
            connect = tracer.connect_seconds[0]
        finally:
            postgres.psycopg = tracer.psycopg
    finally:
        cluster.stop()
    print(f"postgresql (local server, loopback): {meters} meters, {wanted} names -> {rows} rows")
    print(
        f"  time {seconds * 1e3:8.1f} ms   round trips {trips:3d}   peak memory {peak / 2**20:6.1f} MiB"
        f"   ({seconds / rows * 1e6:.1f} us per row; connecting {connect * 1e3:.1f} ms of it)"
    )


def main() -> None:
    with tempfile.TemporaryDirectory(prefix="bench-registry-") as tmp:
        bench_embedded(Path(tmp))
    bench_hosted()
    with tempfile.TemporaryDirectory(prefix="bench-registry-") as tmp:
        bench_postgres(Path(tmp))


if __name__ == "__main__":
    main()
